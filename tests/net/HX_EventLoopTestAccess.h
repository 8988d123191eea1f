#pragma once
// What tests read of an event loop's private state: its descriptor table, the
// poller's interest, the timers, the lifecycle list and the thread it is
// bound to. Kept out of the loop's public header: nothing in the program
// needs it. Same thread rules as the loop itself.
#include <cstddef>
#include <cstdint>
#include <thread>

#include "net/HX_EventLoop.h"
#include "net/HX_PollPoller.h"

struct HX_EventLoopTestAccess {
  static const HX_FileEvent& fileEvent(const HX_EventLoop* loop, int fd) { return loop->m_pFileEvents[fd]; }
  static int pollerInterest(const HX_EventLoop* loop, int fd) {
    return static_cast<const HX_PollPoller*>(loop->m_pstEventPoller.get())->interestOf(fd);
  }
  static bool isTimerLive(const HX_EventLoop* loop, uint64_t timerId) {
    return loop->m_setLiveTimerIds.count(timerId) != 0;
  }
  static size_t armedTimerCount(const HX_EventLoop* loop) { return loop->m_mapTimers.size(); }
  static size_t lifecycleCount(const HX_EventLoop* loop) {
    size_t n = 0;
    for (auto* node = loop->m_stLifecycleList.next(); node != &loop->m_stLifecycleList; node = node->next()) ++n;
    return n;
  }
  // The thread running the loop; a default id while none does.
  static std::thread::id loopThread(const HX_EventLoop* loop) { return loop->m_loopThread.load(); }
};
