#include "net/HX_BaseAcceptor.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <memory>

#include "NetTestUtil.h"
#include "net/HX_BaseConnection.h"
#include "support/LogCapture.h"
#include "net/HX_EventLoopTestAccess.h"

namespace {
int g_started = 0;
int g_destroyed = 0;

class TestSession : public HX_BaseConnection {
 public:
  ~TestSession() override { ++g_destroyed; }
  int start(int fd) {
    m_iSocketFd = fd;
    m_eConnectionState = kConnected;
    if (HX_EventLoop::instance()->registerNetEvent(fd, kReadEvent, this) != 0) {
      closeSocket();
      return -1;
    }
    HX_EventLoop::instance()->registerToLifecycleManager(this);
    ++g_started;
    return 0;
  }
  int handleRead() override {
    char buf[64];
    if (::recv(m_iSocketFd, buf, sizeof buf, 0) <= 0) return closeConnection();
    return 0;
  }
  uint64_t getObjId() const { return 42; }
};

// Keeps the accepted socket but refuses to start: the acceptor must delete it.
class RefusingSession : public HX_BaseConnection {
 public:
  ~RefusingSession() override { ++g_destroyed; }
  int start(int fd) {
    m_iSocketFd = fd;
    return -1;
  }
  int handleRead() override { return 0; }
  uint64_t getObjId() const { return 7; }
};

bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}
}  // namespace

TEST(HX_BaseAcceptor, AcceptsOneConnectionPerPass) {
  g_started = g_destroyed = 0;
  HX_BaseAcceptor<TestSession> acceptor;
  ASSERT_EQ(acceptor.start(0, "127.0.0.1"), 0);
  const int port = acceptor.localPort();
  ASSERT_GT(port, 0);
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(HX_EventLoop::instance(), acceptor.listenFd()).handler, &acceptor);

  ScopedFd a(ConnectLoopback(port)), b(ConnectLoopback(port));
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  ASSERT_TRUE(WaitReadable(acceptor.listenFd(), 2000));
  HX_EventLoop::instance()->runOnce();
  EXPECT_EQ(g_started, 1);
  HX_EventLoop::instance()->runOnce();
  EXPECT_EQ(g_started, 2);
  EXPECT_EQ(HX_EventLoopTestAccess::lifecycleCount(HX_EventLoop::instance()), 2u);

  // A client that leaves: its session closes itself and a sweep deletes it.
  ::close(a.fd);
  a.fd = -1;
  for (int i = 0; i < 20 && g_destroyed == 0; ++i) HX_EventLoop::instance()->runOnce();
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_EQ(HX_EventLoopTestAccess::lifecycleCount(HX_EventLoop::instance()), 1u);
}

TEST(HX_BaseAcceptor, AReadableEventWithoutAPendingClientKeepsListening) {
  HX_BaseAcceptor<TestSession> acceptor;
  ASSERT_EQ(acceptor.start(0, "127.0.0.1"), 0);
  LogCapture log;
  EXPECT_EQ(acceptor.handleRead(), -1);
  EXPECT_TRUE(log.contains("HX_GenericAccept: accept: "));
  EXPECT_TRUE(log.contains("HX_TcpAccept: HX_GenericAccept failed"));
  EXPECT_TRUE(log.contains("::handleRead: HX_TcpAccept failed."));
  EXPECT_TRUE(log.contains("HX_BaseAcceptor<"));
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(HX_EventLoop::instance(), acceptor.listenFd()).fd, acceptor.listenFd());
  log.clear();
  EXPECT_EQ(acceptor.handleWrite(), 0);
  EXPECT_TRUE(log.contains("handleWrite"));
}

TEST(HX_BaseAcceptor, ASessionThatFailsToStartIsDeletedAtOnce) {
  g_destroyed = 0;
  HX_BaseAcceptor<RefusingSession> acceptor;
  ASSERT_EQ(acceptor.start(0, "127.0.0.1"), 0);
  ScopedFd client(ConnectLoopback(acceptor.localPort()));
  ASSERT_TRUE(WaitReadable(acceptor.listenFd(), 2000));
  LogCapture log;
  const size_t before = HX_EventLoopTestAccess::lifecycleCount(HX_EventLoop::instance());
  EXPECT_EQ(acceptor.handleRead(), -1);
  EXPECT_TRUE(log.contains("pstSession->start failed."));
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_EQ(HX_EventLoopTestAccess::lifecycleCount(HX_EventLoop::instance()), before);
  // The session's destructor closed the accepted socket: the client sees EOF.
  ASSERT_TRUE(WaitReadable(client.fd, 2000));
  char c;
  EXPECT_EQ(::read(client.fd, &c, 1), 0);
}

TEST(HX_BaseAcceptor, StartFailureLeavesNothingAndDestructionStopsListening) {
  auto first = std::make_unique<HX_BaseAcceptor<TestSession>>();
  ASSERT_EQ(first->start(0, "0.0.0.0"), 0);
  const int port = first->localPort();
  const int fd = first->listenFd();
  {
    HX_BaseAcceptor<TestSession> second;
    LogCapture log;
    EXPECT_EQ(second.start(port, "0.0.0.0"), -1);
    // GCC names the template parameter, Clang the argument.
    EXPECT_TRUE(log.contains("HX_BaseAcceptor<"));
    EXPECT_TRUE(log.contains(">::start: HX_TcpServer failed."));
    EXPECT_EQ(second.listenFd(), kInvalidSocketId);
  }
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(HX_EventLoop::instance(), fd).handler, first.get());
  first.reset();
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(HX_EventLoop::instance(), fd).fd, kInvalidSocketId);
  ScopedFd refused(ConnectLoopback(port));
  EXPECT_EQ(refused.fd, -1);
}
