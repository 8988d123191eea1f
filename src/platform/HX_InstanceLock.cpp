#include "platform/HX_InstanceLock.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

HX_InstanceLock::~HX_InstanceLock() { release(); }

std::string HX_InstanceLock::InstanceName(const std::string& baseDir) {
  std::string canonical = baseDir;
  char resolved[PATH_MAX];
  if (realpath(baseDir.c_str(), resolved) != nullptr) canonical = resolved;
  while (canonical.size() > 1 && canonical.back() == '/') canonical.pop_back();
  // FNV-1a: stable across builds and processes, unlike std::hash.
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : canonical) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char name[32];
  std::snprintf(name, sizeof name, "ostrel-%016" PRIx64, hash);
  return name;
}

std::string HX_InstanceLock::LockDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && access(runtime, W_OK) == 0) return runtime;
  return "/tmp";
}

int HX_InstanceLock::acquire(const std::string& baseDir) {
  release();
  m_strPath = LockDirectory() + "/" + InstanceName(baseDir) + ".lock";
  HX_UniqueFd fd(open(m_strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    std::fprintf(stderr, "ostrel: cannot create the lock file %s: %s\n", m_strPath.c_str(),
                 std::strerror(errno));
    return kCannotCreate;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) return kHeldElsewhere;
    std::fprintf(stderr, "ostrel: cannot lock %s: %s\n", m_strPath.c_str(), std::strerror(err));
    return kCannotCreate;
  }
  m_fd = std::move(fd);
  return kAcquired;
}

void HX_InstanceLock::release() {
  if (!m_fd.valid()) return;
  // The file stays: unlinking it would let a third process lock a new inode
  // while a second still waits on the old one.
  flock(m_fd.get(), LOCK_UN);
  m_fd.reset();
}
