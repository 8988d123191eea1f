#pragma once
// The single-threaded reactor: a table of descriptors with their handlers, a
// poller, millisecond timers and deferred deletion of closed objects. One pass
// polls, dispatches readiness, fires expired timers and every 250 ms deletes
// the objects that marked themselves closed. Loop thread only, except that the
// owner may register before the loop's thread starts and after it ended, and
// requestStop() is safe from any thread: while a thread runs the loop (run, or
// one runOnce), a call from another thread aborts in builds with thread
// checks (HX_ASSERT_IN_LOOP). Handlers, timers and lifecycle objects are not
// owned, except that lifecycle objects are deleted by the sweep.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "net/HX_IEventPoller.h"
#include "net/HX_ILifecycle.h"
#include "net/HX_INet.h"
#include "net/HX_ITimer.h"
#include "net/HX_NetDefs.h"

struct HX_FileEvent {
  int fd = kInvalidSocketId;
  HX_INet* handler = nullptr;
  bool fired = false;
  int mask = 0;
};

struct HX_TimerInfo {
  uint64_t expiry;
  uint64_t delay;
  uint64_t interval;  // 0: one-shot
  HX_ITimer* timer;
  uint64_t timerId;
};

class HX_EventLoop {
 public:
  using ClockFn = uint64_t (*)();
  static constexpr uint64_t kSweepPeriodMs = 250;
  static constexpr uint64_t kFirstTimerId = 100;

  // The process-wide loop, created on first use and never destroyed.
  static HX_EventLoop* instance();

  // |clock| replaces the monotonic millisecond clock (tests).
  explicit HX_EventLoop(ClockFn clock = nullptr);
  // Deletes the lifecycle objects still registered.
  ~HX_EventLoop();
  HX_EventLoop(const HX_EventLoop&) = delete;
  HX_EventLoop& operator=(const HX_EventLoop&) = delete;

  // Registers |fd| for reading (|events| is not used). 0 or -1.
  int registerNetEvent(int fd, int events, HX_INet* handler);
  int unregisterNetEvent(int fd);
  int modifyNetEvent(int fd, int mask);
  // Arms a timer; |timerId| must hold kInvalidTimerId and receives the new id.
  int registerTimer(HX_ITimer* timer, uint64_t delay, uint64_t interval, uint64_t& timerId);
  // Always 0; an id that is not live is reported with a WARNING line.
  int unregisterTimer(uint64_t timerId);
  int registerToLifecycleManager(HX_ILifecycle* object);

  // One pass: net events, timers, lifecycle sweep.
  void runOnce();
  // Runs passes until requestStop(); the flag is tested after each full pass
  // and is not cleared here (clearStop() before the loop's thread starts), so
  // a stop requested right after start is never lost.
  void run();
  void requestStop() { m_bStop.store(true); }
  void clearStop() { m_bStop.store(false); }
  bool isStopRequested() const { return m_bStop.load(); }

  uint64_t now() const;

  // Aborts, naming |where|, when called on another thread than the one that
  // runs the loop; any thread passes while none runs it.
  void assertInLoopThread(const char* where) const;

 private:
  friend struct HX_EventLoopTestAccess;
  // Makes the calling thread the loop's for one run or pass; false when a
  // thread already is (a pass inside run).
  bool bindToCallingThread();

  void processNetEvents();
  void processTimers();
  void processLifecycle();
  // The slot checks shared by unregister and modify; 0 when |fd| is in use.
  int checkUsedSlot(int fd, const char* operation);

  std::unique_ptr<HX_FileEvent[]> m_pFileEvents;
  std::unique_ptr<HX_IEventPoller> m_pstEventPoller;
  uint64_t m_ullNextTimerId = kFirstTimerId;
  uint64_t m_ullLastSweep;
  std::multimap<uint64_t, HX_TimerInfo> m_mapTimers;
  std::set<uint64_t> m_setLiveTimerIds;
  std::atomic<bool> m_bStop{false};
  LinkNode<HX_ILifecycle> m_stLifecycleList;  // sentinel
  ClockFn m_pfnClock;
  std::vector<HX_FiredEvent> m_vecFired;  // reused by every pass
  std::atomic<std::thread::id> m_loopThread{};  // default while no thread runs the loop
};

// Loop-only entry points start with HX_ASSERT_IN_LOOP(loop): in debug builds
// and in the sanitizer and thread-safety builds a call from a thread other
// than the loop's aborts; otherwise it compiles to nothing.
#if defined(OSTREL_THREAD_CHECKS) || !defined(NDEBUG)
#define HX_ASSERT_IN_LOOP(loop) (loop)->assertInLoopThread(__PRETTY_FUNCTION__)
#else
#define HX_ASSERT_IN_LOOP(loop) static_cast<void>(0)
#endif
