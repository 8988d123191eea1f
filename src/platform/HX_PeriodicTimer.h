#pragma once
// A periodic timer on its own thread with absolute deadlines (no drift), one
// tick at a time. start/kill may be called from any thread; kill returns only
// when no tick can still run, except when called from inside a tick, where it
// stops further ticks and returns at once.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <thread>

#include "core/HX_Mutex.h"

class HX_PeriodicTimer {
 public:
  // The tick callback. A null user value makes the timer skip the call.
  using Callback = void (*)(void* user);

  HX_PeriodicTimer() = default;
  ~HX_PeriodicTimer();
  HX_PeriodicTimer(const HX_PeriodicTimer&) = delete;
  HX_PeriodicTimer& operator=(const HX_PeriodicTimer&) = delete;

  // Starts ticking every |periodMs| (at least 1) from now. Returns 0, -1 when
  // already running or the arguments are invalid, -2 when no thread can start.
  int start(uint32_t periodMs, Callback callback, void* user);
  // Stops ticking; idempotent.
  void kill();
  bool running() const;

  // When the tick after one whose deadline was |deadline| runs, given that
  // the tick ended at |now|: the next deadline on the grid when it is still
  // ahead; otherwise at once (the return value is not after |now|), on the
  // latest grid point passed, so that a tick made late by a busy machine is
  // caught up instead of lost, while a longer stall skips the deadlines it
  // missed rather than bursting. Every deadline stays on the grid of the
  // start: the rate never drifts.
  static std::chrono::steady_clock::time_point NextDeadline(std::chrono::steady_clock::time_point deadline,
                                                            std::chrono::steady_clock::time_point now,
                                                            std::chrono::steady_clock::duration period);

 private:
  struct State {
    HX_Mutex mutex;
    std::condition_variable wake;
    bool stop HX_GUARDED_BY(mutex) = false;
  };
  static void Run(std::shared_ptr<State> state, uint32_t periodMs, Callback callback, void* user);

  mutable HX_Mutex m_mutex;
  std::thread m_thread HX_GUARDED_BY(m_mutex);
  std::shared_ptr<State> m_pstState HX_GUARDED_BY(m_mutex);
};
