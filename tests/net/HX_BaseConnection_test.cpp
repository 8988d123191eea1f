#include "net/HX_BaseConnection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "NetTestUtil.h"
#include "net/HX_EventLoop.h"
#include "net/HX_SocketApi.h"
#include "support/LogCapture.h"
#include "net/HX_EventLoopTestAccess.h"

namespace {
class TestConnection : public HX_BaseConnection {
 public:
  int established = 0;
  int handleRead() override { return 0; }
  int onConnEstablished() override {
    ++established;
    return HX_BaseConnection::onConnEstablished();
  }
  // An accepted socket: connected, registered for reading.
  void adopt(int fd) {
    m_iSocketFd = fd;
    m_eConnectionState = kConnected;
    ASSERT_EQ(HX_EventLoop::instance()->registerNetEvent(fd, kReadEvent, this), 0);
  }
  void connecting(int fd) {
    m_iSocketFd = fd;
    m_eConnectionState = kConnecting;
    ASSERT_EQ(HX_EventLoop::instance()->registerNetEvent(fd, kReadEvent, this), 0);
    ASSERT_EQ(HX_EventLoop::instance()->modifyNetEvent(fd, kReadEvent | kWriteEvent), 0);
  }
  void setState(int state) { m_eConnectionState = state; }
  void arm(uint64_t limitMs) { ASSERT_EQ(armIdleCheck(limitMs), 0); }
  void beginMessage() { noteMessageBegun(); }
  bool asking = true;
  bool expectsRequests() const override { return asking; }
};

HX_MsgBlockPtr Block(const std::string& bytes) {
  HX_MsgBlockPtr b = HX_CreateMsgBlock(bytes.size());
  std::memcpy(b->wr_ptr(), bytes.data(), bytes.size());
  b->wr_ptr(bytes.size());
  return b;
}

std::string ReadAvailable(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

int Interest(int fd) { return HX_EventLoopTestAccess::pollerInterest(HX_EventLoop::instance(), fd); }

// Runs loop passes until |c| is closed; false when it is still open after
// |passes| passes (each waits at most for the next timer).
bool PassUntilClosed(const HX_BaseConnection& c, int passes = 2000) {
  for (int i = 0; i < passes && !c.isClosed(); ++i) HX_EventLoop::instance()->runOnce();
  return c.isClosed();
}

struct Pair {
  int fd[2];
  Pair() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    EXPECT_EQ(HX_NonBlock(fd[0]), 0);
  }
  ~Pair() { ::close(fd[1]); }  // fd[0] belongs to the connection
};
}  // namespace

TEST(HX_BaseConnectionWrite, WriteInterestFollowsTheQueueAndShutdownWaitsForIt) {
  Pair p;
  TestConnection c;
  c.adopt(p.fd[0]);
  ASSERT_EQ(c.pushToSendQueue(Block("hello ")), 0);
  ASSERT_EQ(c.pushToSendQueue(Block("world")), 0);
  EXPECT_EQ(Interest(p.fd[0]), kReadEvent | kWriteEvent);
  EXPECT_EQ(c.queuedBytes(), 11u);

  EXPECT_EQ(c.handleWrite(), 0);
  EXPECT_EQ(ReadAvailable(p.fd[1]), "hello world");
  EXPECT_EQ(c.queuedBytes(), 0u);
  // Empty queue, flag clear: only the write interest goes.
  EXPECT_EQ(Interest(p.fd[0]), kReadEvent);
  EXPECT_FALSE(c.isSendSideShut());

  c.requestShutdownAfterSend();
  EXPECT_EQ(Interest(p.fd[0]), kReadEvent | kWriteEvent);
  ASSERT_EQ(c.pushToSendQueue(Block("last")), 0);
  EXPECT_EQ(c.handleWrite(), 0);
  EXPECT_TRUE(c.isSendSideShut());
  EXPECT_EQ(Interest(p.fd[0]), kReadEvent);
  char buf[16];
  EXPECT_EQ(::read(p.fd[1], buf, sizeof buf), 4);
  EXPECT_EQ(::read(p.fd[1], buf, sizeof buf), 0);  // end of stream
  EXPECT_FALSE(c.isClosed());
}

TEST(HX_BaseConnectionWrite, ABlockedSendResumesFromItsReadPosition) {
  Pair p;
  int small = 4096;
  ASSERT_EQ(::setsockopt(p.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  TestConnection c;
  c.adopt(p.fd[0]);
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_EQ(c.pushToSendQueue(Block(big)), 0);
  ASSERT_EQ(c.pushToSendQueue(Block("tail")), 0);

  EXPECT_EQ(c.handleWrite(), 0);
  EXPECT_GT(c.queuedBytes(), 0u);
  EXPECT_LT(c.queuedBytes(), big.size() + 4);
  EXPECT_EQ(c.queuedBlocks(), 2u);  // one in progress, one waiting
  EXPECT_EQ(Interest(p.fd[0]), kReadEvent | kWriteEvent);

  std::string got;
  for (int rounds = 0; rounds < 100000 && got.size() < big.size() + 4; ++rounds) {
    got += ReadAvailable(p.fd[1]);
    c.handleWrite();
  }
  EXPECT_EQ(got.size(), big.size() + 4);
  EXPECT_TRUE(got == big + "tail");
  EXPECT_EQ(c.queuedBytes(), 0u);
  EXPECT_FALSE(c.isClosed());
}

TEST(HX_BaseConnectionWrite, APeerThatHungUpClosesTheConnectionWithoutASignal) {
  Pair p;
  TestConnection c;
  c.adopt(p.fd[0]);
  ::close(p.fd[1]);
  p.fd[1] = ::open("/dev/null", O_RDONLY);  // keep the destructor's close harmless
  LogCapture log;
  ASSERT_EQ(c.pushToSendQueue(Block("data")), 0);
  EXPECT_EQ(c.handleWrite(), -1);
  EXPECT_TRUE(log.contains("HX_BaseConnection::handleWrite: Socket error, HX_Write failed."));
  EXPECT_TRUE(c.isClosed());
  EXPECT_EQ(c.socketFd(), kInvalidSocketId);
  EXPECT_EQ(HX_EventLoopTestAccess::fileEvent(HX_EventLoop::instance(), p.fd[0]).fd, kInvalidSocketId);
  EXPECT_EQ(c.handleWrite(), 0);  // closed: nothing more happens
}

TEST(HX_BaseConnectionWrite, PushOnAClosedConnectionKeepsTheBlockAndReports) {
  TestConnection c;
  LogCapture log;
  EXPECT_EQ(c.pushToSendQueue(Block("x")), -1);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "HX_EventLoop::modifyNetEvent: invalid fd!, fd: -1");
  EXPECT_EQ(lines[1].text, "HX_BaseConnection::pushToSendQueue: modifyNetEvent failed!");
  EXPECT_EQ(c.queuedBlocks(), 1u);  // freed with the connection
  EXPECT_EQ(c.pushToSendQueue(nullptr), -1);
  EXPECT_TRUE(log.contains("NULL == pstMsgBlk"));
}

TEST(HX_BaseConnectionWrite, WriteInTheInitialStateClosesWithATrace) {
  Pair p;
  TestConnection c;
  c.adopt(p.fd[0]);
  c.setState(HX_BaseConnection::kInitial);
  LogCapture log;
  EXPECT_EQ(c.handleWrite(), -1);
  EXPECT_TRUE(log.contains("HX_BaseConnection::handleWrite: kInitial == m_eConnectionState\n"));
  EXPECT_TRUE(c.isClosed());
  EXPECT_EQ(c.socketFd(), kInvalidSocketId);
}

TEST(HX_BaseConnectionConnect, AnOutgoingConnectCompletesOnWritable) {
  ScopedFd server(HX_TcpServer(0, "127.0.0.1"));
  ASSERT_GE(server.fd, 0);
  int fd = HX_CreateSocket();
  ASSERT_EQ(HX_NonBlock(fd), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(BoundPort(server.fd)));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ASSERT_TRUE(rc == 0 || errno == EINPROGRESS);
  TestConnection c;
  c.connecting(fd);
  pollfd pfd{fd, POLLOUT, 0};
  ASSERT_EQ(::poll(&pfd, 1, 2000), 1);
  EXPECT_EQ(c.handleWrite(), 0);
  EXPECT_EQ(c.connectionState(), HX_BaseConnection::kConnected);
  EXPECT_EQ(c.established, 1);
  EXPECT_EQ(Interest(fd), kReadEvent | kWriteEvent);
  // The next writable event finds the queue empty and drops write interest.
  EXPECT_EQ(c.handleWrite(), 0);
  EXPECT_EQ(Interest(fd), kReadEvent);
}

TEST(HX_BaseConnectionThreadRule, QueueingFromAnotherThreadWhileTheLoopRunsAborts) {
#if defined(OSTREL_THREAD_CHECKS) || !defined(NDEBUG)
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Pair p;
        TestConnection c;
        c.adopt(p.fd[0]);
        HX_EventLoop* loop = HX_EventLoop::instance();
        loop->clearStop();
        std::thread network([&] { loop->run(); });
        while (HX_EventLoopTestAccess::loopThread(loop) == std::thread::id()) std::this_thread::yield();
        c.pushToSendQueue(Block("late"));
        loop->requestStop();
        network.join();
      },
      "HX_BaseConnection::pushToSendQueue.* called off the network thread");
#else
  GTEST_SKIP() << "thread checks are compiled out of this build";
#endif
}

TEST(HX_BaseConnectionWrite, AWritableEventHandsTheSocketOnlyItsShareOfAPass) {
  Pair p;
  // Room for far more than one share on both ends.
  int big = 4 << 20;
  ASSERT_EQ(::setsockopt(p.fd[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big), 0);
  ASSERT_EQ(::setsockopt(p.fd[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big), 0);
  TestConnection c;
  c.adopt(p.fd[0]);
  const std::string payload(4 * HX_BaseConnection::kMaxBytesWrittenPerPass, 'x');
  ASSERT_EQ(c.pushToSendQueue(Block(payload)), 0);
  ASSERT_EQ(c.pushToSendQueue(Block("tail")), 0);

  EXPECT_EQ(c.handleWrite(), 0);
  EXPECT_EQ(ReadAvailable(p.fd[1]).size(), HX_BaseConnection::kMaxBytesWrittenPerPass);
  // The rest waits for the next pass with write interest kept on.
  EXPECT_EQ(Interest(p.fd[0]), kReadEvent | kWriteEvent);
  std::string rest;
  for (int i = 0; i < 10 && c.queuedBlocks() > 0; ++i) {
    c.handleWrite();
    rest += ReadAvailable(p.fd[1]);
  }
  EXPECT_EQ(rest.size(), payload.size() - HX_BaseConnection::kMaxBytesWrittenPerPass + 4);
  EXPECT_EQ(rest.substr(rest.size() - 4), "tail");
  EXPECT_EQ(Interest(p.fd[0]), kReadEvent);
}

TEST(HX_BaseConnectionIdle, APeerThatNeverAsksIsClosedAfterTheLimit) {
  Pair p;
  TestConnection c;
  c.adopt(p.fd[0]);
  LogCapture log;
  c.arm(100);
  ASSERT_TRUE(PassUntilClosed(c));
  EXPECT_EQ(c.socketFd(), kInvalidSocketId);
  EXPECT_EQ(log.count("with no request"), 1);
  char b;
  EXPECT_EQ(::read(p.fd[1], &b, 1), 0);  // the peer sees its connection end
}

TEST(HX_BaseConnectionIdle, AHalfReceivedMessageIsClosedEvenWhenNoRequestIsDue) {
  Pair p;
  TestConnection c;
  c.adopt(p.fd[0]);
  c.asking = false;
  LogCapture log;
  c.arm(100);
  c.beginMessage();
  ASSERT_TRUE(PassUntilClosed(c));
  EXPECT_EQ(log.count("with a message still incomplete"), 1);
}

TEST(HX_BaseConnectionIdle, APeerThatDoesNotReadIsClosedOneThatHasNothingToReadIsNot) {
  Pair quiet, stuck;
  TestConnection waiting, blocked;
  waiting.adopt(quiet.fd[0]);
  blocked.adopt(stuck.fd[0]);
  waiting.asking = blocked.asking = false;
  int small = 4096;
  ASSERT_EQ(::setsockopt(stuck.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  LogCapture log;
  waiting.arm(100);
  blocked.arm(100);
  ASSERT_EQ(blocked.pushToSendQueue(Block(std::string(1 << 20, 'y'))), 0);
  blocked.handleWrite();  // fills the socket; the peer never reads
  ASSERT_TRUE(PassUntilClosed(blocked));
  EXPECT_EQ(log.count("with what was sent still unread"), 1);
  // Same time gone by for the one with an empty queue and nothing to ask.
  EXPECT_FALSE(waiting.isClosed());
  EXPECT_EQ(log.count("closing socket"), 1);
}
