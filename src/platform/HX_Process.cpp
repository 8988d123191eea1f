#include "platform/HX_Process.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

std::vector<pid_t> HX_FindProcesses(const std::string& name) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  const pid_t self = getpid();
  const uid_t uid = getuid();
  const std::string wanted = name.substr(0, 15);
  while (dirent* e = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid <= 0 || pid == self) continue;
    const std::string dir = std::string("/proc/") + e->d_name;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || st.st_uid != uid) continue;
    // A zombie has ended and only waits for its parent to collect it: not running.
    std::string stateLine;
    std::getline(std::ifstream(dir + "/stat"), stateLine);
    const size_t paren = stateLine.rfind(')');
    if (paren == std::string::npos || stateLine.compare(paren, 3, ") Z") == 0) continue;
    std::ifstream comm(dir + "/comm");
    std::string procName;
    if (std::getline(comm, procName) && procName == wanted) found.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return found;
}

int HX_TerminateProcesses(const std::string& name) {
  int n = 0;
  for (pid_t pid : HX_FindProcesses(name)) {
    if (kill(pid, SIGTERM) == 0) ++n;
  }
  return n;
}
