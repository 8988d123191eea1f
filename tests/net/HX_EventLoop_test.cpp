#include "net/HX_EventLoop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/LogCapture.h"
#include "net/HX_EventLoopTestAccess.h"

namespace {
uint64_t g_now = 1000;
uint64_t FakeClock() { return g_now; }

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
};

struct Handler : HX_INet {
  std::vector<std::string>* journal;
  std::string name;
  std::function<void()> onRead;
  std::function<void()> onWrite;
  Handler(std::vector<std::string>* j, std::string n) : journal(j), name(std::move(n)) {}
  int handleRead() override {
    journal->push_back(name + ".read");
    if (onRead) onRead();
    return 0;
  }
  int handleWrite() override {
    journal->push_back(name + ".write");
    if (onWrite) onWrite();
    return 0;
  }
};

struct Timer : HX_ITimer {
  std::vector<uint64_t> fired;
  std::function<void(uint64_t)> then;
  int onTimer(uint64_t id) override {
    fired.push_back(id);
    if (then) then(id);
    return 0;
  }
};

struct Doomed : HX_ILifecycle {
  int* deleted;
  explicit Doomed(int* d) : deleted(d) {}
  ~Doomed() override { ++*deleted; }
};
}  // namespace

TEST(HX_EventLoopRegistration, TableLimitsAndSlotErrors) {
  HX_EventLoop loop;
  LogCapture log;
  std::vector<std::string> journal;
  Handler h(&journal, "h");

  EXPECT_EQ(loop.registerNetEvent(HX_SETSIZE - 1, kReadEvent, &h), 0);
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(&loop, HX_SETSIZE - 1).fd, HX_SETSIZE - 1);
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(&loop, HX_SETSIZE - 1).mask, kReadEvent);
  EXPECT_EQ(loop.unregisterNetEvent(HX_SETSIZE - 1), 0);

  EXPECT_EQ(loop.registerNetEvent(HX_SETSIZE, kReadEvent, &h), -1);
  EXPECT_EQ(log.count("HX_EventLoop::registerNetEvent: fd >= HX_SETSIZE"), 1);

  EXPECT_EQ(loop.registerNetEvent(-1, kReadEvent, &h), -1);
  EXPECT_TRUE(log.contains("HX_EventLoop::registerNetEvent: fd is kInvalidSocketId\n"));  // stack follows

  // A second registration is refused and leaves the first untouched, whatever
  // events the caller asked for: every descriptor starts read-only.
  Handler other(&journal, "other");
  EXPECT_EQ(loop.registerNetEvent(7, kReadEvent | kWriteEvent, &h), 0);
  EXPECT_EQ(HX_EventLoopTestAccess::pollerInterest(&loop, 7), kReadEvent);
  EXPECT_EQ(loop.registerNetEvent(7, kReadEvent, &other), -1);
  EXPECT_EQ(log.count("slot in m_pFileEvents is already used!"), 1);
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(&loop, 7).handler, &h);

  EXPECT_EQ(loop.modifyNetEvent(7, kReadEvent | kWriteEvent), 0);
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(&loop, 7).mask, 3);
  EXPECT_EQ(HX_EventLoopTestAccess::pollerInterest(&loop, 7), 3);
  EXPECT_EQ(loop.unregisterNetEvent(7), 0);
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(&loop, 7).fd, kInvalidSocketId);
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(&loop, 7).handler, nullptr);
  EXPECT_EQ(HX_EventLoopTestAccess::pollerInterest(&loop, 7), 0);

  log.clear();
  EXPECT_EQ(loop.unregisterNetEvent(7), -1);
  EXPECT_EQ(loop.modifyNetEvent(7, kReadEvent), -1);
  EXPECT_EQ(log.count("HX_EventLoop::unregisterNetEvent: slot in m_pFileEvents is not used!"), 1);
  EXPECT_EQ(log.count("HX_EventLoop::modifyNetEvent: slot in m_pFileEvents is not used!"), 1);
  EXPECT_EQ(loop.modifyNetEvent(-1, kReadEvent), -1);
  EXPECT_TRUE(log.contains("HX_EventLoop::modifyNetEvent: invalid fd!, fd: -1"));
  EXPECT_EQ(loop.unregisterNetEvent(HX_SETSIZE), -1);
  EXPECT_TRUE(log.contains("HX_EventLoop::unregisterNetEvent: fd >= HX_SETSIZE"));
}

TEST(HX_EventLoopTimers, IdsStartAt100AndAreNeverReused) {
  HX_EventLoop loop(&FakeClock);
  LogCapture log;
  Timer t;
  uint64_t a = kInvalidTimerId, b = kInvalidTimerId, c = kInvalidTimerId;
  ASSERT_EQ(loop.registerTimer(&t, 10, 0, a), 0);
  ASSERT_EQ(loop.registerTimer(&t, 10, 0, b), 0);
  EXPECT_EQ(a, 100u);
  EXPECT_EQ(b, 101u);
  EXPECT_EQ(loop.unregisterTimer(a), 0);
  ASSERT_EQ(loop.registerTimer(&t, 10, 0, c), 0);
  EXPECT_EQ(c, 102u);

  // A variable that already holds an id is refused and left as it was.
  uint64_t held = 555;
  EXPECT_EQ(loop.registerTimer(&t, 0, 0, held), -1);
  EXPECT_EQ(held, 555u);
  EXPECT_TRUE(log.contains("ullTimerId != kInvalidTimerId"));
  uint64_t fresh = kInvalidTimerId;
  EXPECT_EQ(loop.registerTimer(nullptr, 0, 0, fresh), -1);
  EXPECT_TRUE(log.contains("pstITimer == NULL."));
  EXPECT_EQ(fresh, kInvalidTimerId);

  EXPECT_EQ(loop.unregisterTimer(a), 0);
  EXPECT_EQ(log.count("HX_EventLoop::unregisterTimer: remove a invalid timer id!"), 1);
}

TEST(HX_EventLoopTimers, DelayZeroFiresInTheSamePassWithoutWaiting) {
  // The real clock: a pass that had to wait for the sweep would take 250 ms.
  HX_EventLoop loop;
  Timer t;
  uint64_t id = kInvalidTimerId;
  ASSERT_EQ(loop.registerTimer(&t, 0, 0, id), 0);
  const uint64_t before = loop.now();
  loop.runOnce();
  EXPECT_EQ(t.fired, std::vector<uint64_t>{id});
  EXPECT_LT(loop.now() - before, 200u);
}

TEST(HX_EventLoopTimers, PeriodicOneShotAndUnregisteredExpiries) {
  g_now = 1000;
  HX_EventLoop loop(&FakeClock);
  LogCapture log;
  Timer periodic, once, dropped;
  uint64_t pid = kInvalidTimerId, oid = kInvalidTimerId, did = kInvalidTimerId;
  ASSERT_EQ(loop.registerTimer(&periodic, 0, 10, pid), 0);
  ASSERT_EQ(loop.registerTimer(&once, 5, 0, oid), 0);
  ASSERT_EQ(loop.registerTimer(&dropped, 5, 10, did), 0);
  loop.unregisterTimer(did);  // before its expiry: never called, never re-armed

  loop.runOnce();
  EXPECT_EQ(periodic.fired.size(), 1u);
  EXPECT_TRUE(once.fired.empty());
  g_now = 1005;
  loop.runOnce();
  EXPECT_EQ(once.fired.size(), 1u);
  EXPECT_TRUE(dropped.fired.empty());
  EXPECT_EQ(periodic.fired.size(), 1u);  // re-armed at 1010
  g_now = 1010;
  loop.runOnce();
  EXPECT_EQ(periodic.fired.size(), 2u);
  g_now = 1100;
  loop.runOnce();
  EXPECT_EQ(periodic.fired.size(), 3u);  // late expiries do not pile up
  EXPECT_EQ(once.fired.size(), 1u);
  EXPECT_TRUE(dropped.fired.empty());
  EXPECT_EQ(HX_EventLoopTestAccess::armedTimerCount(&loop), 1u);  // only the periodic timer

  // A one-shot timer stays live after firing: unregistering it is no error.
  EXPECT_TRUE(HX_EventLoopTestAccess::isTimerLive(&loop, oid));
  log.clear();
  loop.unregisterTimer(oid);
  EXPECT_FALSE(log.contains("remove a invalid timer id!"));
}

TEST(HX_EventLoopTimers, CallbackUnregisteringItselfIsReArmedOnceThenDropped) {
  g_now = 1000;
  HX_EventLoop loop(&FakeClock);
  Timer t;
  uint64_t id = kInvalidTimerId;
  t.then = [&](uint64_t fired) { loop.unregisterTimer(fired); };
  ASSERT_EQ(loop.registerTimer(&t, 0, 10, id), 0);
  loop.runOnce();
  EXPECT_EQ(t.fired.size(), 1u);
  EXPECT_EQ(HX_EventLoopTestAccess::armedTimerCount(&loop), 1u);
  g_now = 1010;
  loop.runOnce();
  EXPECT_EQ(t.fired.size(), 1u);
  EXPECT_EQ(HX_EventLoopTestAccess::armedTimerCount(&loop), 0u);
}

TEST(HX_EventLoopTimers, EqualExpiriesFireInRegistrationOrder) {
  g_now = 1000;
  HX_EventLoop loop(&FakeClock);
  std::vector<int> order;
  struct Tagged : HX_ITimer {
    std::vector<int>* order;
    int tag;
    int onTimer(uint64_t) override { order->push_back(tag); return 0; }
  } a, b, c;
  a.order = b.order = c.order = &order;
  a.tag = 1, b.tag = 2, c.tag = 3;
  uint64_t ia = kInvalidTimerId, ib = kInvalidTimerId, ic = kInvalidTimerId;
  loop.registerTimer(&b, 5, 0, ib);
  loop.registerTimer(&c, 3, 0, ic);
  loop.registerTimer(&a, 5, 0, ia);
  g_now = 1010;
  loop.runOnce();
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
}

TEST(HX_EventLoopDispatch, HandlerClosingItselfGetsNoWriteInTheSamePass) {
  HX_EventLoop loop;
  std::vector<std::string> journal;
  SocketPair p;
  ASSERT_EQ(::write(p.fd[1], "x", 1), 1);  // readable, and always writable
  Handler h(&journal, "self");
  ASSERT_EQ(loop.registerNetEvent(p.fd[0], kReadEvent, &h), 0);
  ASSERT_EQ(loop.modifyNetEvent(p.fd[0], kReadEvent | kWriteEvent), 0);
  h.onRead = [&] { loop.unregisterNetEvent(p.fd[0]); };
  loop.runOnce();
  EXPECT_EQ(journal, std::vector<std::string>{"self.read"});
}

TEST(HX_EventLoopDispatch, ReadThenWriteAndCancellationOfLaterDescriptors) {
  HX_EventLoop loop;
  std::vector<std::string> journal;
  SocketPair a, b, c;
  Handler ha(&journal, "a"), hb(&journal, "b"), hc(&journal, "c");
  // Register in descending order: dispatch still follows ascending descriptors.
  int fa = a.fd[0], fb = b.fd[0];
  ASSERT_LT(fa, fb);
  ASSERT_EQ(loop.registerNetEvent(fb, kReadEvent, &hb), 0);
  ASSERT_EQ(loop.registerNetEvent(fa, kReadEvent, &ha), 0);
  ASSERT_EQ(loop.modifyNetEvent(fa, kReadEvent | kWriteEvent), 0);
  ASSERT_EQ(::write(a.fd[1], "x", 1), 1);
  ASSERT_EQ(::write(b.fd[1], "x", 1), 1);
  // a's read handler unregisters b (ready in this pass) and registers c (ready
  // too): neither gets an event in this pass.
  ASSERT_EQ(::write(c.fd[1], "x", 1), 1);
  ha.onRead = [&] {
    loop.unregisterNetEvent(fb);
    loop.registerNetEvent(c.fd[0], kReadEvent, &hc);
  };
  loop.runOnce();
  EXPECT_EQ(journal, (std::vector<std::string>{"a.read", "a.write"}));
  EXPECT_FALSE(HX_EventLoopTestAccess::fileEvent(&loop, fa).fired);

  journal.clear();
  ha.onRead = nullptr;
  loop.modifyNetEvent(fa, kReadEvent);
  char buf[4];
  ASSERT_EQ(::read(fa, buf, 1), 1);
  loop.runOnce();
  EXPECT_EQ(journal, std::vector<std::string>{"c.read"});  // level-triggered: still unread
}

TEST(HX_EventLoopDispatch, ManyMoreThan64DescriptorsAreReportedInAscendingOrder) {
  HX_EventLoop loop;
  std::vector<std::string> journal;
  std::vector<std::unique_ptr<SocketPair>> pairs;
  std::vector<std::unique_ptr<Handler>> handlers;
  std::vector<int> fds;
  for (int i = 0; i < 100; ++i) {
    pairs.emplace_back(new SocketPair());
    fds.push_back(pairs.back()->fd[0]);
  }
  for (int i = 99; i >= 0; --i) {
    handlers.emplace_back(new Handler(&journal, std::to_string(fds[i])));
    ASSERT_EQ(loop.registerNetEvent(fds[i], kReadEvent, handlers.back().get()), 0);
    ASSERT_EQ(::write(pairs[i]->fd[1], "x", 1), 1);
  }
  loop.runOnce();
  ASSERT_EQ(journal.size(), 100u);
  std::vector<int> seen;
  for (const std::string& s : journal) seen.push_back(std::stoi(s));
  std::vector<int> sorted = fds;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(seen, sorted);
}

TEST(HX_EventLoopLifecycle, ClosedObjectsAreDeletedOnlyAtASweep) {
  g_now = 1000;
  int deleted = 0;  // outlives the loop, whose destructor deletes what is left
  HX_EventLoop loop(&FakeClock);
  Doomed* closedEarly = new Doomed(&deleted);
  Doomed* open = new Doomed(&deleted);
  Doomed* closedLate = new Doomed(&deleted);
  ASSERT_EQ(loop.registerToLifecycleManager(closedEarly), 0);
  ASSERT_EQ(loop.registerToLifecycleManager(open), 0);
  ASSERT_EQ(loop.registerToLifecycleManager(closedLate), 0);
  EXPECT_EQ(loop.registerToLifecycleManager(nullptr), -1);
  closedEarly->setClosed();

  g_now = 1249;
  loop.runOnce();
  EXPECT_EQ(deleted, 0);
  g_now = 1250;
  loop.runOnce();
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(HX_EventLoopTestAccess::lifecycleCount(&loop), 2u);

  closedLate->setClosed();
  g_now = 1400;
  loop.runOnce();
  EXPECT_EQ(deleted, 1);  // the next sweep is due at 1500
  g_now = 1500;
  loop.runOnce();
  EXPECT_EQ(deleted, 2);
  EXPECT_FALSE(open->isClosed());
  EXPECT_EQ(HX_EventLoopTestAccess::lifecycleCount(&loop), 1u);
}

TEST(HX_EventLoopLifecycle, TheLoopsDestructorDeletesWhatIsStillRegistered) {
  int deleted = 0;
  {
    HX_EventLoop loop(&FakeClock);
    loop.registerToLifecycleManager(new Doomed(&deleted));
    loop.registerToLifecycleManager(new Doomed(&deleted));
  }
  EXPECT_EQ(deleted, 2);
}

TEST(HX_EventLoopLifecycle, AnIdlePassWaitsForTheSweepAtMost) {
  int deleted = 0;
  HX_EventLoop loop;
  Doomed* d = new Doomed(&deleted);
  loop.registerToLifecycleManager(d);
  d->setClosed();
  const uint64_t start = loop.now();
  while (deleted == 0 && loop.now() - start < 2000) loop.runOnce();
  EXPECT_EQ(deleted, 1);
  const uint64_t took = loop.now() - start;
  EXPECT_GE(took, 240u);
}

TEST(HX_EventLoopRun, StopRequestedBeforeRunEndsAfterOnePass) {
  HX_EventLoop loop;
  Timer t;
  uint64_t id = kInvalidTimerId;
  loop.registerTimer(&t, 0, 0, id);
  loop.requestStop();
  loop.run();
  EXPECT_EQ(t.fired.size(), 1u);
  EXPECT_TRUE(loop.isStopRequested());
  loop.clearStop();
  EXPECT_FALSE(loop.isStopRequested());
}

TEST(HX_EventLoopThreadRule, OnlyTheRunningThreadMayCallWhileTheLoopRuns) {
#if defined(OSTREL_THREAD_CHECKS) || !defined(NDEBUG)
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  HX_EventLoop loop;
  Timer t;
  uint64_t id = kInvalidTimerId;
  // The owner registers before the loop's thread starts ...
  ASSERT_EQ(loop.registerTimer(&t, 0, 10, id), 0);
  EXPECT_DEATH(
      {
        std::thread runner([&] { loop.run(); });
        while (HX_EventLoopTestAccess::loopThread(&loop) == std::thread::id()) std::this_thread::yield();
        uint64_t other = kInvalidTimerId;
        loop.registerTimer(&t, 0, 0, other);
        loop.requestStop();
        runner.join();
      },
      "HX_EventLoop::registerTimer.* called off the network thread while the loop runs");
  // ... and after it ended.
  loop.requestStop();
  std::thread runner([&] { loop.run(); });
  runner.join();
  EXPECT_EQ(HX_EventLoopTestAccess::loopThread(&loop), std::thread::id());
  EXPECT_EQ(loop.unregisterTimer(id), 0);
  EXPECT_FALSE(HX_EventLoopTestAccess::isTimerLive(&loop, id));
#else
  GTEST_SKIP() << "thread checks are compiled out of this build";
#endif
}
