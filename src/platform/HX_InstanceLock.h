#pragma once
// Keeps a second process off one base directory: an exclusive flock on a lock
// file named after the directory, held until the object goes (or the process
// ends). Different base directories get different locks, so runs with their
// own --home stay independent. Owner's thread only.
#include <string>

#include "core/HX_Handle.h"

class HX_InstanceLock {
 public:
  static constexpr int kAcquired = 0;
  static constexpr int kHeldElsewhere = -1;  // another process holds it
  static constexpr int kCannotCreate = -2;   // the lock file cannot be made

  HX_InstanceLock() = default;
  ~HX_InstanceLock();
  HX_InstanceLock(const HX_InstanceLock&) = delete;
  HX_InstanceLock& operator=(const HX_InstanceLock&) = delete;

  // Takes the lock for |baseDir| without waiting.
  int acquire(const std::string& baseDir);
  void release();
  bool held() const { return m_fd.valid(); }
  const std::string& path() const { return m_strPath; }

  // "ostrel-<16 hex digits>": the same for every spelling of one directory
  // (trailing '/', symbolic links, "." and ".."), different for others. Names
  // both the lock file and the local socket of the running instance.
  static std::string InstanceName(const std::string& baseDir);
  // Where the lock files live: $XDG_RUNTIME_DIR when set, else /tmp.
  static std::string LockDirectory();

 private:
  HX_UniqueFd m_fd;
  std::string m_strPath;
};
