#pragma once
// Lets one consumer sleep until any of several producers has news (a push into
// one of the queues it reads, a stop request). A notification is kept until
// the next wait returns, so one that comes between the consumer's last look
// and its wait is not lost. Safe to call from any thread.
#include <chrono>
#include <condition_variable>

#include "core/HX_Mutex.h"

class HX_WakeSignal {
 public:
  HX_WakeSignal() = default;
  HX_WakeSignal(const HX_WakeSignal&) = delete;
  HX_WakeSignal& operator=(const HX_WakeSignal&) = delete;

  void notify() {
    {
      HX_LockGuard lock(m_mutex);
      m_bNotified = true;
    }
    m_cv.notify_all();
  }

  // Waits at most |limit| for a notification and consumes it. True when one
  // came (possibly before the call), false after the limit.
  bool waitFor(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    HX_UniqueLock lock(m_mutex);
    while (!m_bNotified && lock.waitUntil(m_cv, deadline)) {
    }
    const bool notified = m_bNotified;
    m_bNotified = false;
    return notified;
  }

 private:
  HX_Mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bNotified HX_GUARDED_BY(m_mutex) = false;
};
