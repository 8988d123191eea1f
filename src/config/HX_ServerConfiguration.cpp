#include "config/HX_ServerConfiguration.h"

#include <INIReader.h>
#include <ini.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include "config/HX_ConfigKey.h"
#include "log/HX_Log.h"
#include "platform/HX_Paths.h"

namespace {
constexpr char kSection[] = "config";
// The INI reader keeps a line in a buffer of INI_MAX_LINE bytes: a longer one
// is cut and its remainder read as a line of its own.
constexpr size_t kMaxLineChars = INI_MAX_LINE - 1;

// config.ini as the INI reader may take it: lines too long for the reader
// are blanked (so line numbers stay) and the keys they held are listed.
struct HX_IniText {
  std::string m_strText;
  std::vector<std::pair<std::string, size_t>> m_vecLongLines;  // key (may be empty), line number
  bool m_bBinary = false;                  // a NUL byte: not a text file
};

bool ReadFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

HX_IniText PrepareIniText(const std::string& bytes) {
  HX_IniText ini;
  ini.m_bBinary = bytes.find('\0') != std::string::npos;
  size_t lineNo = 0;
  for (size_t pos = 0; pos < bytes.size();) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) end = bytes.size();
    ++lineNo;
    const std::string line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() <= kMaxLineChars) {
      ini.m_strText += line;
      ini.m_strText += '\n';
      continue;
    }
    ini.m_strText += '\n';
    const std::string trimmed = Trim(line);
    if (trimmed[0] == ';' || trimmed[0] == '#') continue;  // a long comment reads as nothing
    const size_t sep = trimmed.find_first_of("=:");
    std::string key = sep == std::string::npos ? std::string() : Trim(trimmed.substr(0, sep));
    if (key.size() > kMaxLineChars) key.clear();
    ini.m_vecLongLines.emplace_back(key, lineNo);
  }
  return ini;
}

bool SameKey(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }
}  // namespace

HX_ServerConfiguration* HX_ServerConfiguration::instance() {
  static HX_ServerConfiguration config;
  return &config;
}

HX_ServerConfiguration::HX_ServerConfiguration() { resetToDefaults(); }

std::string HX_ServerConfiguration::DefaultRecordPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return HX_GetBaseDirectory();
  return std::string(home) + "/Videos";
}

void HX_ServerConfiguration::resetToDefaults() {
  static_cast<HX_ServerSettings&>(*this) = HX_ServerSettings();
  m_strRecordPath = DefaultRecordPath();
  m_stSnapshot = *this;
  m_strMinLogLevelText = "debug";
  m_strEnableConsoleLogText = "true";
  HX_LockGuard lock(m_mutex);
  m_stCaptureRegion = HX_Rect();
  m_iOutputWidth = 1920;
  m_iOutputHeight = 1080;
}

int HX_ServerConfiguration::loadNormalConfig() {
  HX_LOG_ERROR("================ Ostrel server start ================");
  m_vecLoadProblems.clear();
  const std::string path = configFilePath();
  std::string bytes;
  if (!ReadFile(path, &bytes)) {
    std::fputs("HX_ServerConfiguration, reader.ParseError!\n", stderr);
    return -1;
  }
  const HX_IniText ini = PrepareIniText(bytes);
  const INIReader reader(ini.m_strText.data(), ini.m_strText.size());
  // Malformed lines among good ones are skipped; a file with nothing but them
  // (or with keys outside [config]) is no configuration at all.
  if (ini.m_bBinary || (!reader.HasSection(kSection) && (reader.ParseError() > 0 || reader.HasSection("")))) {
    HX_LOG_ERROR("%s is not an INI file with a [%s] section (first bad line %d); the settings stay as they were",
                 path.c_str(), kSection, reader.ParseError());
    return kUnparsable;
  }
  for (const auto& [key, lineNo] : ini.m_vecLongLines) {
    std::string problem = "config.ini: " + (key.empty() ? "line " + std::to_string(lineNo) : "the " + key + " line") +
                          " is longer than " + std::to_string(kMaxLineChars) + " characters and was not read";
    for (const HX_ConfigKey& row : HX_ConfigKeys()) {
      if (SameKey(key, row.name())) problem += "; " + row.Render(*this) + " is used instead";
    }
    HX_LOG_ERROR("%s", problem.c_str());
    m_vecLoadProblems.push_back(std::move(problem));
  }
  m_strMinLogLevelText = reader.Get(kSection, "min_log_level", "debug");
  m_strEnableConsoleLogText = reader.Get(kSection, "enable_console_log", "true");
  for (const HX_ConfigKey& row : HX_ConfigKeys()) {
    if (!reader.HasValue(kSection, row.name())) continue;
    std::string problem = row.Apply(reader.Get(kSection, row.name(), std::string()), this);
    if (problem.empty()) continue;
    HX_LOG_WARNING("%s", problem.c_str());
    m_vecLoadProblems.push_back(std::move(problem));
  }
  m_stSnapshot = *this;
  return 0;
}

bool HX_ServerConfiguration::isConfigChanged() {
  for (const HX_ConfigKey& row : HX_ConfigKeys()) {
    if (row.Changed(*this, m_stSnapshot)) return true;
  }
  return false;
}

std::string HX_ServerConfiguration::renderConfigText() const {
  // The logging keys are written under the names the loaders read, so a saved
  // file keeps the operator's logging settings.
  std::string text = "[config]\n";
  auto add = [&text](const char* key, const std::string& value) {
    text += key;
    text += '=';
    text += value;
    text += '\n';
  };
  add("min_log_level", m_strMinLogLevelText);
  add("enable_console_log", m_strEnableConsoleLogText);
  for (const HX_ConfigKey& row : HX_ConfigKeys()) {
    const std::string value = row.Render(*this);
    // Optional keys stay out of the file while they hold their defaults, so
    // that files of runs that do not use them stay as they were.
    if (row.omittedWhenDefault() && value == row.Render(HX_ServerSettings())) continue;
    add(row.name(), value);
  }
  return text;
}

bool HX_ServerConfiguration::saveNormalConfig() {
  const std::string path = configFilePath();
  const std::string tmp = path + ".tmp";
  const std::string text = renderConfigText();
  for (const HX_ConfigKey& row : HX_ConfigKeys()) {
    const size_t chars = std::strlen(row.name()) + 1 + row.Render(*this).size();
    if (chars > kMaxLineChars) {
      HX_LOG_WARNING("config.ini: the %s line has %zu characters, more than the %zu that are read back",
                     row.name(), chars, kMaxLineChars);
    }
  }
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    HX_LOG_ERROR("cannot create %s: %s", tmp.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    HX_LOG_ERROR("cannot write %s: %s", tmp.c_str(), std::strerror(errno));
    std::remove(tmp.c_str());
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    HX_LOG_ERROR("cannot replace %s: %s", path.c_str(), std::strerror(errno));
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

void HX_ServerConfiguration::getOutputSize(int32_t* width, int32_t* height) const {
  HX_LockGuard lock(m_mutex);
  *width = m_iOutputWidth;
  *height = m_iOutputHeight;
}

void HX_ServerConfiguration::setOutputSize(int32_t width, int32_t height) {
  HX_LockGuard lock(m_mutex);
  m_iOutputWidth = width;
  m_iOutputHeight = height;
}

void HX_ServerConfiguration::getCaptureRegion(int32_t* left, int32_t* top, int32_t* right,
                                              int32_t* bottom) const {
  HX_LockGuard lock(m_mutex);
  *left = m_stCaptureRegion.left;
  *top = m_stCaptureRegion.top;
  *right = m_stCaptureRegion.right;
  *bottom = m_stCaptureRegion.bottom;
}

void HX_ServerConfiguration::setCaptureRegion(int32_t left, int32_t top, int32_t right,
                                              int32_t bottom) {
  HX_LockGuard lock(m_mutex);
  m_stCaptureRegion = HX_Rect{left, top, right, bottom};
}
