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
std::string g_stateDir HX_GUARDED_BY(g_mutex);

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

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

HX_ResolvedPaths HX_ResolvePaths(const HX_PathInputs& in) {
  HX_ResolvedPaths out;
  std::string dir = !in.m_strHomeArg.empty() ? in.m_strHomeArg : in.m_strEnvHome;
  if (!dir.empty() || !in.m_bExeDirInstalled) {
    if (dir.empty()) dir = in.m_strExeDir;
    out.m_strBase = out.m_strState = TrimSlash(dir);
    return out;
  }
  // XDG base directories: relative values are invalid and ignored.
  const std::string home = in.m_strUserHome.empty() ? std::string("/tmp") : TrimSlash(in.m_strUserHome);
  std::string config = in.m_strXdgConfig, state = in.m_strXdgState;
  if (config.empty() || config[0] != '/') config = home + "/.config";
  if (state.empty() || state[0] != '/') state = home + "/.local/state";
  out.m_strBase = TrimSlash(config) + "/ostrel";
  out.m_strState = TrimSlash(state) + "/ostrel";
  return out;
}

bool HX_IsInstalledDirectory(const std::string& dir) {
  const std::string d = TrimSlash(dir);
  // root may write anywhere, so writability alone does not tell an installed copy.
  for (const char* system : {"/usr/bin", "/usr/local/bin", "/bin", "/usr/games"}) {
    if (d == system) return true;
  }
#ifdef OSTREL_INSTALL_BINDIR
  if (d == TrimSlash(OSTREL_INSTALL_BINDIR)) return true;
#endif
  return access(d.c_str(), W_OK) != 0;
}

void HX_InitBaseDirectory(int argc, char** argv) {
  HX_PathInputs in;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--home") == 0 && i + 1 < argc) {
      in.m_strHomeArg = argv[i + 1];
    } else if (std::strncmp(argv[i], "--home=", 7) == 0) {
      in.m_strHomeArg = argv[i] + 7;
    }
  }
  in.m_strEnvHome = Env("OSTREL_HOME");
  in.m_strExeDir = HX_GetExecutableDirectory();
  in.m_bExeDirInstalled = HX_IsInstalledDirectory(in.m_strExeDir);
  in.m_strXdgConfig = Env("XDG_CONFIG_HOME");
  in.m_strXdgState = Env("XDG_STATE_HOME");
  in.m_strUserHome = Env("HOME");
  HX_ResolvedPaths paths = HX_ResolvePaths(in);
  HX_LockGuard lock(g_mutex);
  g_baseDir = paths.m_strBase;
  g_stateDir = paths.m_strState;
}

void HX_SetBaseDirectory(const std::string& dir) {
  HX_LockGuard lock(g_mutex);
  g_baseDir = g_stateDir = TrimSlash(dir);
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

std::string HX_GetStateDirectory() {
  {
    HX_LockGuard lock(g_mutex);
    if (!g_stateDir.empty()) return g_stateDir;
  }
  HX_InitBaseDirectory(0, nullptr);
  HX_LockGuard lock(g_mutex);
  return g_stateDir;
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
