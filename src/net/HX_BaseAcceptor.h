#pragma once
// Listens on a TCP port and turns each accepted socket into a new Session (a
// connection offering start(int fd) -> int and getObjId()). A started session
// belongs to the loop's lifecycle manager. start() and the destructor run while
// the loop's thread is not running; handleRead/handleWrite on the loop thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "core/HX_Handle.h"
#include "log/HX_Log.h"
#include "net/HX_EventLoop.h"
#include "net/HX_INet.h"
#include "net/HX_NetDefs.h"
#include "net/HX_SocketApi.h"

template <typename Session>
class HX_BaseAcceptor : public HX_INet {
 public:
  HX_BaseAcceptor() = default;
  HX_BaseAcceptor(const HX_BaseAcceptor&) = delete;
  HX_BaseAcceptor& operator=(const HX_BaseAcceptor&) = delete;

  ~HX_BaseAcceptor() override {
    if (m_listenFd) HX_EventLoop::instance()->unregisterNetEvent(m_listenFd.get());
  }

  int start(int port, const std::string& bindAddress) {
    HX_UniqueFd fd(HX_TcpServer(port, bindAddress.c_str()));
    if (!fd) {
      HX_LOG_WARNING("HX_TcpServer failed.");
      return -1;
    }
    if (HX_NonBlock(fd.get()) != 0) {
      HX_LOG_WARNING("HX_NonBlock failed.");
      return -1;
    }
    if (HX_EventLoop::instance()->registerNetEvent(fd.get(), kReadEvent, this) != 0) {
      HX_LOG_WARNING("registerNetEvent failed.");
      return -1;
    }
    m_listenFd = std::move(fd);
    HX_LOG_INFO("start ok");
    return 0;
  }

  // One accept per readable event; the next pass accepts the next connection.
  int handleRead() override {
    char ip[128];
    std::memset(ip, 0, sizeof ip);
    int port = 0;
    HX_UniqueFd fd(HX_TcpAccept(m_listenFd.get(), ip, &port));
    if (!fd) {
      HX_LOG_WARNING("HX_TcpAccept failed.");
      return -1;
    }
    if (HX_NonBlock(fd.get()) != 0) {
      HX_LOG_WARNING("HX_NonBlock failed.");
      return -1;
    }
    Session* session = new (std::nothrow) Session();
    if (session == nullptr) {
      HX_LOG_WARNING("new session failed.");
      return -1;
    }
    // From here the session owns the socket.
    if (session->start(fd.release()) != 0) {
      HX_LOG_WARNING("pstSession->start failed.");
      delete session;  // closes the socket if the session still holds it
      return -1;
    }
    HX_LOG_DEBUG("create new session, ullObjId=%llu", static_cast<unsigned long long>(session->getObjId()));
    return 0;
  }

  int handleWrite() override {
    HX_LOG_WARNING("handleWrite");
    return 0;
  }

  int listenFd() const { return m_listenFd.get(); }
  // The port actually bound (the configured one, or the kernel's choice for 0).
  int localPort() const {
    sockaddr_in address;
    socklen_t length = sizeof address;
    if (!m_listenFd ||
        ::getsockname(m_listenFd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return -1;
    return ntohs(address.sin_port);
  }

 private:
  HX_UniqueFd m_listenFd;
};
