#pragma once
// Listens on a TCP port and turns each accepted socket into a new Session (a
// connection offering start(int fd) -> int and getObjId()). A started session
// belongs to the loop's lifecycle manager. Keeps the process clear of its
// descriptor limit: a client that would take one of the last descriptors is
// closed at once, and when accept finds none left the listener rests for a
// while instead of being reported readable in every pass. start() and the
// destructor run while the loop's thread is not running; handleRead,
// handleWrite and onTimer on the loop thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "core/HX_Handle.h"
#include "log/HX_Log.h"
#include "net/HX_EventLoop.h"
#include "net/HX_INet.h"
#include "net/HX_ITimer.h"
#include "net/HX_NetDefs.h"
#include "net/HX_SocketApi.h"

template <typename Session>
class HX_BaseAcceptor : public HX_INet, public HX_ITimer {
 public:
  // Descriptors left to the process itself (log files, the configuration, the
  // sanitizers' own checks): clients never take the last ones.
  static constexpr int kDescriptorReserve = 32;
  // How long the listener rests after accept found no descriptor left.
  static constexpr uint64_t kExhaustionRestMs = 200;

  HX_BaseAcceptor() = default;
  HX_BaseAcceptor(const HX_BaseAcceptor&) = delete;
  HX_BaseAcceptor& operator=(const HX_BaseAcceptor&) = delete;

  ~HX_BaseAcceptor() override {
    if (m_ullRestTimerId != kInvalidTimerId) HX_EventLoop::instance()->unregisterTimer(m_ullRestTimerId);
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
    HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
    char ip[128];
    std::memset(ip, 0, sizeof ip);
    int port = 0;
    HX_UniqueFd fd(HX_TcpAccept(m_listenFd.get(), ip, &port));
    if (!fd) {
      const int error = errno;
      if (HX_IsDescriptorExhaustion(error)) return rest(error);
      HX_LOG_WARNING("HX_TcpAccept failed.");
      return -1;
    }
    if (fd.get() >= descriptorCeiling()) {
      if (!m_bRefusing)
        HX_LOG_WARNING("descriptor %d is among the last %d the process may open: closing new clients until "
                       "descriptors free up",
                       fd.get(), kDescriptorReserve);
      m_bRefusing = true;
      return -1;  // the client sees its connection closed
    }
    if (m_bRefusing || m_bExhausted) HX_LOG_INFO("descriptors available again: accepting clients");
    m_bRefusing = false;
    m_bExhausted = false;
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

  // The rest after an exhaustion is over: listen again.
  int onTimer(uint64_t timerId) override {
    HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
    if (m_ullRestTimerId == kInvalidTimerId || timerId != m_ullRestTimerId) return 0;
    HX_EventLoop::instance()->unregisterTimer(m_ullRestTimerId);  // one-shot ids stay live otherwise
    m_ullRestTimerId = kInvalidTimerId;
    if (m_listenFd) HX_EventLoop::instance()->modifyNetEvent(m_listenFd.get(), kReadEvent);
    return 0;
  }

  bool isResting() const { return m_ullRestTimerId != kInvalidTimerId; }

  int listenFd() const { return m_listenFd.get(); }
  // The lowest descriptor a client may not keep: the soft descriptor limit
  // less the reserve, and never beyond the loop's table.
  static int descriptorCeiling() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= static_cast<rlim_t>(HX_SETSIZE))
      return HX_SETSIZE - kDescriptorReserve;
    return static_cast<int>(limit.rlim_cur) - kDescriptorReserve;
  }
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
  // accept found no descriptor (or socket memory) left: the listener is not
  // watched for kExhaustionRestMs, so that the pending clients do not make
  // every pass of the loop spin on it. One WARNING per episode.
  int rest(int error) {
    if (!m_bExhausted)
      HX_LOG_WARNING("accept failed: %s; not accepting clients for %llu ms at a time until descriptors free up",
                     std::strerror(error), static_cast<unsigned long long>(kExhaustionRestMs));
    m_bExhausted = true;
    if (m_ullRestTimerId != kInvalidTimerId) return -1;
    HX_EventLoop* loop = HX_EventLoop::instance();
    if (loop->registerTimer(this, kExhaustionRestMs, 0, m_ullRestTimerId) != 0) return -1;
    loop->modifyNetEvent(m_listenFd.get(), 0);
    return -1;
  }

  HX_UniqueFd m_listenFd;
  uint64_t m_ullRestTimerId = kInvalidTimerId;
  bool m_bExhausted = false;  // an exhaustion episode is running (reported)
  bool m_bRefusing = false;   // clients are being closed for the reserve (reported)
};
