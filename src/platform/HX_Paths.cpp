#include "platform/HX_Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/HX_Mutex.h"

namespace {
HX_Mutex g_mutex;
std::string g_baseDir HX_GUARDED_BY(g_mutex);

std::string TrimSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}
}  // namespace

std::string HX_GetExecutableDirectory() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void HX_InitBaseDirectory(int argc, char** argv) {
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--home") == 0 && i + 1 < argc) {
      dir = argv[i + 1];
    } else if (std::strncmp(argv[i], "--home=", 7) == 0) {
      dir = argv[i] + 7;
    }
  }
  if (dir.empty()) {
    const char* env = std::getenv("OSTREL_HOME");
    if (env != nullptr && *env != '\0') dir = env;
  }
  if (dir.empty()) dir = HX_GetExecutableDirectory();
  HX_SetBaseDirectory(dir);
}

void HX_SetBaseDirectory(const std::string& dir) {
  HX_LockGuard lock(g_mutex);
  g_baseDir = TrimSlash(dir);
}

std::string HX_GetBaseDirectory() {
  {
    HX_LockGuard lock(g_mutex);
    if (!g_baseDir.empty()) return g_baseDir;
  }
  HX_InitBaseDirectory(0, nullptr);
  HX_LockGuard lock(g_mutex);
  return g_baseDir;
}

int HX_MakeDirectories(const std::string& dir) {
  if (dir.empty()) return -1;
  std::string path;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    path = dir.substr(0, pos);
    if (path.empty()) continue;
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  }
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}
