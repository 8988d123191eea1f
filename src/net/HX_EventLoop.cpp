#include "net/HX_EventLoop.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "log/HX_Log.h"
#include "net/HX_PollPoller.h"
#include "platform/HX_Clock.h"

namespace {
uint64_t SystemClock() { return static_cast<uint64_t>(HX_GetTickMs()); }
}  // namespace

HX_EventLoop* HX_EventLoop::instance() {
  // Never destroyed: sessions may still be registered when the process ends.
  static HX_EventLoop* loop = new HX_EventLoop();
  return loop;
}

HX_EventLoop::HX_EventLoop(ClockFn clock)
    : m_pFileEvents(new HX_FileEvent[HX_SETSIZE]),
      m_pstEventPoller(new HX_PollPoller()),
      m_pfnClock(clock != nullptr ? clock : &SystemClock) {
  m_ullLastSweep = now();
  m_stLifecycleList.InitAsSentinel();
}

HX_EventLoop::~HX_EventLoop() {
  while (m_stLifecycleList.next() != &m_stLifecycleList) {
    LinkNode<HX_ILifecycle>* node = m_stLifecycleList.next();
    node->RemoveFromList();
    delete node->value();
  }
}

uint64_t HX_EventLoop::now() const { return m_pfnClock(); }

void HX_EventLoop::assertInLoopThread(const char* where) const {
  const std::thread::id owner = m_loopThread.load();
  if (owner == std::thread::id() || owner == std::this_thread::get_id()) return;
  // A broken thread rule corrupts the loop's tables silently: stop here, where
  // the stack shows the caller.
  HX_LOG_ERROR_TRACE("%s called off the network thread while the loop runs", where);
  std::fprintf(stderr, "%s called off the network thread while the loop runs\n", where);
  std::abort();
}

bool HX_EventLoop::bindToCallingThread() {
  std::thread::id none;
  return m_loopThread.compare_exchange_strong(none, std::this_thread::get_id());
}

int HX_EventLoop::registerNetEvent(int fd, int /*events*/, HX_INet* handler) {
  HX_ASSERT_IN_LOOP(this);
  if (fd >= HX_SETSIZE) {
    HX_LOG_WARNING("fd >= HX_SETSIZE");
    return -1;
  }
  if (fd < 0) {
    HX_LOG_ERROR_TRACE("fd is kInvalidSocketId");
    return -1;
  }
  HX_FileEvent& slot = m_pFileEvents[fd];
  if (slot.fd != kInvalidSocketId) {
    HX_LOG_WARNING("slot in m_pFileEvents is already used!");
    return -1;
  }
  if (m_pstEventPoller->registerNetEvent(fd, kReadEvent) != 0) {
    HX_LOG_WARNING("m_pstEventPoller->registerNetEvent failed.");
    return -1;
  }
  slot.fd = fd;
  slot.handler = handler;
  slot.fired = false;
  slot.mask = kReadEvent;
  return 0;
}

int HX_EventLoop::checkUsedSlot(int fd, const char* operation) {
  // The lines are located at the calling operation, not at this helper.
  if (fd >= HX_SETSIZE) {
    HX_WriteLogLine(__FILE__, __LINE__, operation, HX_LOG_SEV_WARNING, false, "fd >= HX_SETSIZE");
    return -1;
  }
  if (fd < 0) {
    HX_WriteLogLine(__FILE__, __LINE__, operation, HX_LOG_SEV_WARNING, false, "invalid fd!, fd: %d", fd);
    return -1;
  }
  if (m_pFileEvents[fd].fd == kInvalidSocketId) {
    HX_WriteLogLine(__FILE__, __LINE__, operation, HX_LOG_SEV_WARNING, false,
                    "slot in m_pFileEvents is not used!");
    return -1;
  }
  return 0;
}

int HX_EventLoop::unregisterNetEvent(int fd) {
  HX_ASSERT_IN_LOOP(this);
  if (checkUsedSlot(fd, __PRETTY_FUNCTION__) != 0) return -1;
  if (m_pstEventPoller->unregisterNetEvent(fd) != 0) {
    HX_LOG_WARNING("m_pstEventPoller->unregisterNetEven failed.");
    return -1;
  }
  m_pFileEvents[fd] = HX_FileEvent();
  return 0;
}

int HX_EventLoop::modifyNetEvent(int fd, int mask) {
  HX_ASSERT_IN_LOOP(this);
  if (checkUsedSlot(fd, __PRETTY_FUNCTION__) != 0) return -1;
  if (m_pstEventPoller->modifyNetEvent(fd, mask) != 0) {
    HX_LOG_WARNING("m_pstEventPoller->modifyNetEvent failed.");
    return -1;
  }
  m_pFileEvents[fd].mask = mask;
  return 0;
}

int HX_EventLoop::registerTimer(HX_ITimer* timer, uint64_t delay, uint64_t interval, uint64_t& timerId) {
  HX_ASSERT_IN_LOOP(this);
  if (timer == nullptr) {
    HX_LOG_ERROR_TRACE("pstITimer == NULL.");
    return -1;
  }
  if (timerId != kInvalidTimerId) {
    HX_LOG_ERROR_TRACE("ullTimerId != kInvalidTimerId");
    return -1;
  }
  const uint64_t id = m_ullNextTimerId++;
  m_mapTimers.emplace(now() + delay, HX_TimerInfo{now() + delay, delay, interval, timer, id});
  m_setLiveTimerIds.insert(id);
  timerId = id;
  return 0;
}

int HX_EventLoop::unregisterTimer(uint64_t timerId) {
  HX_ASSERT_IN_LOOP(this);
  // The armed entry stays and is dropped when it falls due.
  if (m_setLiveTimerIds.erase(timerId) == 0) HX_LOG_WARNING("remove a invalid timer id!");
  return 0;
}

int HX_EventLoop::registerToLifecycleManager(HX_ILifecycle* object) {
  HX_ASSERT_IN_LOOP(this);
  if (object == nullptr) {
    HX_LOG_ERROR_TRACE("pstILifecycle == NULL");
    return -1;
  }
  object->InsertBefore(&m_stLifecycleList);
  return 0;
}

void HX_EventLoop::runOnce() {
  HX_ASSERT_IN_LOOP(this);
  const bool bound = bindToCallingThread();
  processNetEvents();
  processTimers();
  processLifecycle();
  if (bound) m_loopThread.store(std::thread::id());
}

void HX_EventLoop::run() {
  HX_ASSERT_IN_LOOP(this);
  const bool bound = bindToCallingThread();
  do {
    runOnce();
  } while (!m_bStop.load());
  if (bound) m_loopThread.store(std::thread::id());
}

void HX_EventLoop::processNetEvents() {
  const uint64_t t0 = now();
  const uint64_t sinceSweep = t0 - m_ullLastSweep;
  uint64_t timeout = sinceSweep < kSweepPeriodMs ? kSweepPeriodMs - sinceSweep : 0;
  if (!m_mapTimers.empty()) {
    const uint64_t earliest = m_mapTimers.begin()->first;
    timeout = earliest > t0 ? std::min(timeout, earliest - t0) : 0;
  }
  m_vecFired.clear();
  m_pstEventPoller->poll(&m_vecFired, static_cast<long>(timeout / 1000),
                         static_cast<long>((timeout % 1000) * 1000));
  // Every ready slot is marked before any handler runs, so a handler that
  // unregisters a descriptor (its own or another) cancels the events of this
  // pass for it, and a descriptor registered meanwhile waits for the next pass.
  for (const HX_FiredEvent& e : m_vecFired) m_pFileEvents[e.fd].fired = true;
  for (const HX_FiredEvent& e : m_vecFired) {
    HX_FileEvent& slot = m_pFileEvents[e.fd];
    if ((e.mask & kReadEvent) && slot.fd != kInvalidSocketId && slot.fired) slot.handler->handleRead();
    if ((e.mask & kWriteEvent) && slot.fd != kInvalidSocketId && slot.fired) slot.handler->handleWrite();
    slot.fired = false;
  }
}

void HX_EventLoop::processTimers() {
  const uint64_t t = now();
  std::vector<HX_TimerInfo> expired;
  auto end = m_mapTimers.upper_bound(t);
  for (auto it = m_mapTimers.begin(); it != end; ++it) expired.push_back(it->second);
  m_mapTimers.erase(m_mapTimers.begin(), end);
  for (HX_TimerInfo& info : expired) {
    if (m_setLiveTimerIds.count(info.timerId) == 0) continue;
    info.timer->onTimer(info.timerId);
    if (info.interval != 0) {
      info.expiry = t + info.interval;
      m_mapTimers.emplace(info.expiry, info);
    }
  }
}

void HX_EventLoop::processLifecycle() {
  const uint64_t t = now();
  if (t - m_ullLastSweep < kSweepPeriodMs) return;
  m_ullLastSweep = t;
  LinkNode<HX_ILifecycle>* node = m_stLifecycleList.next();
  while (node != &m_stLifecycleList) {
    LinkNode<HX_ILifecycle>* next = node->next();
    HX_ILifecycle* object = node->value();
    if (object->isClosed()) {
      node->RemoveFromList();
      delete object;
    }
    node = next;
  }
}
