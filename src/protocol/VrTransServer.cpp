#include "protocol/VrTransServer.h"

#include <pthread.h>

#include <system_error>

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "net/HX_EventLoop.h"
#include "protocol/HX_ClientList.h"

VrTransServer::VrTransServer() = default;

VrTransServer::~VrTransServer() { stop(); }

int VrTransServer::start() {
  if (isRunning()) {
    HX_LOG_WARNING("server already running");
    return 1;
  }
  if (!m_pAcceptor) m_pAcceptor.reset(new HX_BaseAcceptor<VrTransClient>());
  const int port = HX_ServerConfiguration::instance()->m_iPrivatePort;
  if (m_pAcceptor->start(port, kBindAddress) != 0) {
    HX_LOG_WARNING("cannot listen on port %d", port);
    m_pAcceptor.reset();
    return 0;
  }
  // Cleared before the thread exists, so a stop right after start is seen.
  HX_EventLoop::instance()->clearStop();
  try {
    m_thNetwork = std::thread(&VrTransServer::networkThreadMain, this);
  } catch (const std::system_error& e) {
    HX_LOG_WARNING("cannot start the network thread: %s", e.what());
    m_pAcceptor.reset();
    return 0;
  }
  HX_LOG_INFO("listening on port %d", m_pAcceptor->localPort());
  return 1;
}

void VrTransServer::networkThreadMain() {
  pthread_setname_np(pthread_self(), "ostrel-net");
  HX_EventLoop* loop = HX_EventLoop::instance();
  std::shared_ptr<HX_ClientList> list = HX_ClientList::instance();
  list->start();
  loop->run();

  // Stop requested. The list's timer is disarmed here, on the loop's own
  // thread; the listed sessions then get a short time to send what they hold
  // and shut their sending side down, so that clients see the stream end.
  list->stop();
  const uint64_t deadline = loop->now() + kDrainMs;
  for (;;) {
    bool draining = false;
    for (VrTransClient* session : list->clients())
      draining = draining || (!session->isClosed() && !session->isSendSideShut());
    if (!draining || loop->now() >= deadline) break;
    loop->runOnce();
  }
}

void VrTransServer::stop() {
  if (isRunning()) {
    HX_EventLoop::instance()->requestStop();
    // Nothing below touches the loop, the list or a session while the network
    // thread can still run a pass.
    m_thNetwork.join();
    HX_ClientList::destroyInstance();
  }
  // Unregisters and closes the listening socket: no new client is accepted.
  m_pAcceptor.reset();
}
