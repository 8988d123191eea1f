#include "net/HX_SocketApi.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "core/HX_Handle.h"
#include "log/HX_Log.h"

int HX_CreateSocket() {
  HX_UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) {
    HX_LOG_WARNING("create socket error: %d\n", errno);
    return -1;
  }
  int on = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    HX_LOG_WARNING("setsockopt SO_REUSEADDR: %d\n", errno);
    return -1;
  }
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd.release();
}

int HX_Listen(int fd, const struct sockaddr_in& address) {
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    HX_LOG_WARNING("bind error: %d\n", errno);
    return -1;
  }
  if (::listen(fd, 511) != 0) {
    HX_LOG_WARNING("listen error: %d\n", errno);
    return -1;
  }
  return 0;
}

bool HX_IsDescriptorExhaustion(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

int HX_GenericAccept(int listenFd, struct sockaddr* address, socklen_t* addressLength) {
  for (;;) {
    int fd = ::accept4(listenFd, address, addressLength, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    const int error = errno;
    if (error == EINTR) continue;
    if (!HX_IsDescriptorExhaustion(error)) HX_LOG_WARNING("accept: %s\n", std::strerror(error));
    errno = error;
    return -1;
  }
}

int HX_NonBlock(int fd) {
  int on = 1;
  if (::ioctl(fd, FIONBIO, &on) != 0) {
    HX_LOG_WARNING("ioctl(FIONBIO): %d\n", errno);
    return -1;
  }
  return 0;
}

int HX_TcpAccept(int listenFd, char* ip, int* port) {
  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  socklen_t length = sizeof peer;
  int fd = HX_GenericAccept(listenFd, reinterpret_cast<sockaddr*>(&peer), &length);
  if (fd < 0) {
    const int error = errno;
    if (!HX_IsDescriptorExhaustion(error)) HX_LOG_WARNING("HX_GenericAccept failed");
    errno = error;
    return -1;
  }
  if (ip != nullptr && ::inet_ntop(AF_INET, &peer.sin_addr, ip, INET_ADDRSTRLEN) == nullptr) ip[0] = '\0';
  if (port != nullptr) *port = ntohs(peer.sin_port);
  return fd;
}

int HX_TcpServer(int port, const char* bindAddress) {
  if (port < 0 || port > 65535) {
    HX_LOG_WARNING("invalid port: %d", port);
    return -1;
  }
  HX_UniqueFd fd(HX_CreateSocket());
  if (!fd) {
    HX_LOG_WARNING("HX_CreateSocket failed.");
    return -1;
  }
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bindAddress != nullptr) {
    in_addr parsed;
    // The broadcast address is refused along with text that does not parse.
    if (::inet_pton(AF_INET, bindAddress, &parsed) != 1 || parsed.s_addr == htonl(INADDR_BROADCAST)) {
      HX_LOG_WARNING("Invalid bind address.");
      return -1;
    }
    address.sin_addr = parsed;
  }
  if (HX_Listen(fd.get(), address) != 0) {
    HX_LOG_WARNING("HX_Listen failed.");
    return -1;
  }
  return fd.release();
}
