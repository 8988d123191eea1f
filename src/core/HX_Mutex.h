#pragma once
// A std::mutex the thread-safety analysis knows as a lock, and the two scoped
// locks that hold it: HX_LockGuard, and HX_UniqueLock for waits on a
// std::condition_variable. libstdc++'s own mutex carries no annotations, so
// members guarded by one of these are checked by clang and theirs are not.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/HX_ThreadAnnotations.h"

class HX_CAPABILITY("mutex") HX_Mutex {
 public:
  HX_Mutex() = default;
  HX_Mutex(const HX_Mutex&) = delete;
  HX_Mutex& operator=(const HX_Mutex&) = delete;

  void lock() HX_ACQUIRE() { m_mutex.lock(); }
  void unlock() HX_RELEASE() { m_mutex.unlock(); }
  bool try_lock() HX_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

 private:
  friend class HX_UniqueLock;
  std::mutex m_mutex;
};

class HX_SCOPED_CAPABILITY HX_LockGuard {
 public:
  explicit HX_LockGuard(HX_Mutex& mutex) HX_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
  ~HX_LockGuard() HX_RELEASE() { m_mutex.unlock(); }
  HX_LockGuard(const HX_LockGuard&) = delete;
  HX_LockGuard& operator=(const HX_LockGuard&) = delete;

 private:
  HX_Mutex& m_mutex;
};

// Holds the mutex for its scope; wait* release it while blocked, as
// std::condition_variable does, and hold it again when they return. The
// caller re-tests its condition after every return.
class HX_SCOPED_CAPABILITY HX_UniqueLock {
 public:
  explicit HX_UniqueLock(HX_Mutex& mutex) HX_ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
  ~HX_UniqueLock() HX_RELEASE() {}
  HX_UniqueLock(const HX_UniqueLock&) = delete;
  HX_UniqueLock& operator=(const HX_UniqueLock&) = delete;

  // False once |deadline| has passed.
  bool waitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point deadline) {
    return cv.wait_until(m_lock, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> m_lock;
};
