#include "net/HX_SocketApi.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/tcp.h>

#include <string>

#include "NetTestUtil.h"
#include "support/LogCapture.h"

TEST(HX_SocketApi, CreatedSocketHasReuseAndNoDelay) {
  ScopedFd s(HX_CreateSocket());
  ASSERT_GE(s.fd, 0);
  int v = 0;
  socklen_t n = sizeof v;
  ASSERT_EQ(::getsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &v, &n), 0);
  EXPECT_EQ(v, 1);
  ASSERT_EQ(::getsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &v, &n), 0);
  EXPECT_EQ(v, 1);
}

TEST(HX_SocketApi, SecondServerOnTheSamePortFailsAndTheFirstKeepsIt) {
  ScopedFd first(HX_TcpServer(0, "127.0.0.1"));
  ASSERT_GE(first.fd, 0);
  const int port = BoundPort(first.fd);
  LogCapture log;
  EXPECT_EQ(HX_TcpServer(port, "0.0.0.0"), -1);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "HX_Listen: bind error: " + std::to_string(EADDRINUSE));
  EXPECT_EQ(lines[1].text, "HX_TcpServer: HX_Listen failed.");
  ScopedFd client(ConnectLoopback(port));
  EXPECT_GE(client.fd, 0);
  ScopedFd accepted(HX_TcpAccept(first.fd, nullptr, nullptr));
  EXPECT_GE(accepted.fd, 0);
}

TEST(HX_SocketApi, RestartSucceedsWhileOldConnectionsLingerInTimeWait) {
  ScopedFd first(HX_TcpServer(0, nullptr));
  ASSERT_GE(first.fd, 0);
  const int port = BoundPort(first.fd);
  {
    ScopedFd client(ConnectLoopback(port));
    ASSERT_GE(client.fd, 0);
    ScopedFd accepted(HX_TcpAccept(first.fd, nullptr, nullptr));
    ASSERT_GE(accepted.fd, 0);
    // The server side closes first, so its end of the connection (on the
    // listening port) goes to TIME_WAIT.
    ::close(accepted.fd);
    accepted.fd = -1;
    char c;
    EXPECT_EQ(::read(client.fd, &c, 1), 0);
  }
  ::close(first.fd);
  first.fd = -1;
  ScopedFd again(HX_TcpServer(port, nullptr));
  EXPECT_GE(again.fd, 0);
}

TEST(HX_SocketApi, BadBindAddressesAreRefused) {
  LogCapture log;
  EXPECT_EQ(HX_TcpServer(0, "255.255.255.255"), -1);
  EXPECT_EQ(HX_TcpServer(0, "localhost"), -1);
  EXPECT_EQ(HX_TcpServer(0, "1.2.3"), -1);
  EXPECT_EQ(log.count("HX_TcpServer: Invalid bind address."), 3);
  EXPECT_EQ(HX_TcpServer(70000, nullptr), -1);
  EXPECT_TRUE(log.contains("invalid port: 70000"));

  // No bind address: every interface, so loopback reaches it.
  ScopedFd any(HX_TcpServer(0, nullptr));
  ASSERT_GE(any.fd, 0);
  ScopedFd client(ConnectLoopback(BoundPort(any.fd)));
  EXPECT_GE(client.fd, 0);
}

TEST(HX_SocketApi, AcceptReportsThePeerAndFailsWhenNothingIsPending) {
  ScopedFd server(HX_TcpServer(0, "127.0.0.1"));
  ASSERT_GE(server.fd, 0);
  ASSERT_EQ(HX_NonBlock(server.fd), 0);
  LogCapture log;
  EXPECT_EQ(HX_TcpAccept(server.fd, nullptr, nullptr), -1);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, std::string("HX_GenericAccept: accept: ") + std::strerror(EAGAIN));
  EXPECT_EQ(lines[1].text, "HX_TcpAccept: HX_GenericAccept failed");

  ScopedFd client(ConnectLoopback(BoundPort(server.fd)));
  ASSERT_GE(client.fd, 0);
  char ip[128] = {};
  int port = 0;
  ScopedFd accepted(-1);
  for (int i = 0; i < 100 && accepted.fd < 0; ++i) {
    accepted.fd = HX_TcpAccept(server.fd, ip, &port);
    if (accepted.fd < 0) ::usleep(10000);
  }
  ASSERT_GE(accepted.fd, 0);
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_EQ(port, BoundPort(client.fd));
  // The accepted socket is blocking; the caller makes it non-blocking.
  EXPECT_EQ(::fcntl(accepted.fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(HX_NonBlock(accepted.fd), 0);
  EXPECT_NE(::fcntl(accepted.fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(HX_NonBlock(-1), -1);
  EXPECT_TRUE(log.contains("ioctl(FIONBIO): " + std::to_string(EBADF)));
}
