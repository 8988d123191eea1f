#pragma once
// Lets one consumer sleep until any of several producers has news (a push into
// one of the queues it reads, a stop request). A notification is kept until
// the next wait returns, so one that comes between the consumer's last look
// and its wait is not lost. Safe to call from any thread.
#include <chrono>
#include <condition_variable>
#include <mutex>

class HX_WakeSignal {
 public:
  HX_WakeSignal() = default;
  HX_WakeSignal(const HX_WakeSignal&) = delete;
  HX_WakeSignal& operator=(const HX_WakeSignal&) = delete;

  void notify() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_bNotified = true;
    }
    m_cv.notify_all();
  }

  // Waits at most |limit| for a notification and consumes it. True when one
  // came (possibly before the call), false after the limit.
  bool waitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool notified = m_cv.wait_for(lock, limit, [this] { return m_bNotified; });
    m_bNotified = false;
    return notified;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bNotified = false;
};
