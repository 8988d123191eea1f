#include "platform/portal/HX_ScreenCastTokenStore.h"

#include <INIReader.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "log/HX_Log.h"
#include "platform/HX_Paths.h"

namespace {

constexpr const char* kSection = "screencast";
constexpr const char* kFileName = "screencast-token.ini";

const char* KeyOf(HX_ScreenCastRequest::Kind kind) {
  return kind == HX_ScreenCastRequest::kWindow ? "window" : "monitor";
}

// Portals hand out UUID-like tokens; anything that would change meaning in an
// INI line (';', '#', '=', spaces, line breaks) is refused rather than mangled.
bool Storable(const std::string& token) {
  if (token.size() > 180) return false;  // the INI reader cuts lines at 200 characters
  for (char c : token) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.' || c == ':' || c == '/' || c == '+';
    if (!ok) return false;
  }
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

HX_ScreenCastTokenStore::HX_ScreenCastTokenStore(std::string path) : m_strPath(std::move(path)) {}

HX_ScreenCastTokenStore HX_ScreenCastTokenStore::InBaseDirectory() {
  return HX_ScreenCastTokenStore(HX_GetBaseDirectory() + "/" + kFileName);
}

std::string HX_ScreenCastTokenStore::Load(HX_ScreenCastRequest::Kind kind) const {
  INIReader reader(m_strPath);
  if (reader.ParseError() != 0) return "";  // no file yet, or one we did not write
  const std::string token = reader.Get(kSection, KeyOf(kind), "");
  return Storable(token) ? token : "";
}

int HX_ScreenCastTokenStore::Save(HX_ScreenCastRequest::Kind kind, const std::string& token) const {
  if (!Storable(token)) {
    HX_LOG_ERROR("the screen-cast restore token for the %s cannot be saved: it has %zu characters; "
                 "at most 180 letters, digits and -_.:/+ fit",
                 KeyOf(kind), token.size());
    return kBadToken;
  }
  const HX_ScreenCastRequest::Kind other =
      kind == HX_ScreenCastRequest::kWindow ? HX_ScreenCastRequest::kMonitor : HX_ScreenCastRequest::kWindow;
  const std::string otherToken = Load(other);
  std::string text = std::string("[") + kSection + "]\n";
  for (const auto& entry : {std::make_pair(kind, token), std::make_pair(other, otherToken)}) {
    if (!entry.second.empty()) text += std::string(KeyOf(entry.first)) + "=" + entry.second + "\n";
  }

  const std::string tmp = m_strPath + ".tmp";
  HX_UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  // A left-over temporary file keeps its old mode through O_CREAT.
  bool ok = fd.valid() && ::fchmod(fd.get(), 0600) == 0 && WriteAll(fd.get(), text) &&
            ::fsync(fd.get()) == 0;
  if (ok) ok = ::close(fd.release()) == 0;
  if (!ok) {
    HX_LOG_ERROR("cannot write %s: %s", tmp.c_str(), std::strerror(errno));
    fd.reset();
    std::remove(tmp.c_str());
    return kWriteFailed;
  }
  if (std::rename(tmp.c_str(), m_strPath.c_str()) != 0) {
    HX_LOG_ERROR("cannot replace %s: %s", m_strPath.c_str(), std::strerror(errno));
    std::remove(tmp.c_str());
    return kWriteFailed;
  }
  return 0;
}
