#pragma once
// Loopback helpers shared by the reactor tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

// The port a listening descriptor is bound to.
inline int BoundPort(int fd) {
  sockaddr_in a;
  socklen_t n = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) return -1;
  return ntohs(a.sin_port);
}

// A blocking connection to 127.0.0.1:port, or -1.
inline int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

struct ScopedFd {
  int fd;
  explicit ScopedFd(int f = -1) : fd(f) {}
  ~ScopedFd() {
    if (fd >= 0) ::close(fd);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
};
