#pragma once
// Starting a worker thread as an operation that can fail: the system may
// refuse a new thread (EAGAIN when a process or user thread limit is reached),
// which std::thread reports by throwing. HX_StartThread turns that into a
// result the caller propagates, and lets tests make chosen starts fail.
// Safe to call from any thread.
#include <atomic>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace hx_thread_detail {
// Starts still to succeed before the injected failures, and how many fail.
inline std::atomic<int> g_startsBeforeFailure{0};
inline std::atomic<int> g_failingStarts{0};

inline bool InjectedFailure() {
  if (g_failingStarts.load() <= 0) return false;
  if (g_startsBeforeFailure.fetch_sub(1) > 0) return false;
  return g_failingStarts.fetch_sub(1) > 0;
}
}  // namespace hx_thread_detail

// Starts |thread| running |body|. 0, or -1 with |error| set to the system's
// reason when no thread could be started (|thread| is then left empty).
template <typename Body>
int HX_StartThread(std::thread* thread, Body&& body, std::string* error) {
  try {
    if (hx_thread_detail::InjectedFailure()) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "thread start refused for a test");
    }
    *thread = std::thread(std::forward<Body>(body));
  } catch (const std::system_error& e) {
    if (error != nullptr) *error = e.what();
    return -1;
  }
  return 0;
}

// Test seam: after the next |succeeding| starts, the following |failing|
// starts fail as if the system had no thread left. (0, 0) ends it.
inline void HX_FailThreadStartsForTest(int succeeding, int failing) {
  hx_thread_detail::g_failingStarts = 0;
  hx_thread_detail::g_startsBeforeFailure = succeeding;
  hx_thread_detail::g_failingStarts = failing;
}
