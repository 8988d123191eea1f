#include "platform/HX_PeriodicTimer.h"

#include <chrono>
#include <system_error>
#include "platform/HX_ThreadName.h"

HX_PeriodicTimer::~HX_PeriodicTimer() { kill(); }

int HX_PeriodicTimer::start(uint32_t periodMs, Callback callback, void* user) {
  if (periodMs == 0 || callback == nullptr) return -1;
  HX_LockGuard lock(m_mutex);
  if (m_thread.joinable()) return -1;
  auto state = std::make_shared<State>();
  try {
    m_thread = std::thread(&HX_PeriodicTimer::Run, state, periodMs, callback, user);
  } catch (const std::system_error&) {
    return -2;
  }
  m_pstState = std::move(state);
  return 0;
}

void HX_PeriodicTimer::kill() {
  std::thread thread;
  std::shared_ptr<State> state;
  {
    HX_LockGuard lock(m_mutex);
    thread = std::move(m_thread);
    state = std::move(m_pstState);
  }
  if (!state) return;
  {
    HX_LockGuard lock(state->mutex);
    state->stop = true;
  }
  state->wake.notify_all();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    // Called from inside a tick: the loop sees the stop flag when the tick returns.
    thread.detach();
  } else {
    thread.join();
  }
}

bool HX_PeriodicTimer::running() const {
  HX_LockGuard lock(m_mutex);
  return m_thread.joinable();
}

void HX_PeriodicTimer::Run(std::shared_ptr<State> state, uint32_t periodMs, Callback callback,
                           void* user) {
  HX_SetThreadName("ostrel-timer");
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::milliseconds(periodMs);
  auto deadline = Clock::now() + period;
  for (;;) {
    {
      HX_UniqueLock lock(state->mutex);
      while (!state->stop && lock.waitUntil(state->wake, deadline)) {
      }
      if (state->stop) return;
    }
    // The tick runs unlocked so that it may call kill.
    if (user != nullptr) callback(user);
    deadline = NextDeadline(deadline, Clock::now(), period);
  }
}

std::chrono::steady_clock::time_point HX_PeriodicTimer::NextDeadline(std::chrono::steady_clock::time_point deadline,
                                                                    std::chrono::steady_clock::time_point now,
                                                                    std::chrono::steady_clock::duration period) {
  auto next = deadline + period;
  if (next <= now) next += ((now - next) / period) * period;
  return next;
}
