#pragma once
// The streaming server of one capture run: listens on PrivatePort on all
// interfaces and runs the network thread (event loop, sessions and the client
// list's timer). start and stop are called by the run's owner on one thread
// (the UI thread); packets reach the sessions through HX_ClientList.
#include <memory>
#include <thread>

#include "net/HX_BaseAcceptor.h"
#include "protocol/VrTransClient.h"

class VrTransServer {
 public:
  static constexpr const char* kBindAddress = "0.0.0.0";
  // How long the network thread keeps running after stop so that the listed
  // sessions can send what they hold and shut their sending side down.
  static constexpr uint64_t kDrainMs = 500;

  VrTransServer();
  ~VrTransServer();  // stops the server when it still runs
  VrTransServer(const VrTransServer&) = delete;
  VrTransServer& operator=(const VrTransServer&) = delete;

  // 1 when the server runs, 0 when it could not start (the port is taken ...).
  int start();
  // Stops accepting, waits for the network thread, then disarms and destroys
  // the client list. Connected sessions are not closed: their sending side is
  // shut down once their queues have drained.
  void stop();

  bool isRunning() const { return m_thNetwork.joinable(); }
  // The port listened on (useful when PrivatePort is 0), or -1.
  int listeningPort() const { return m_pAcceptor ? m_pAcceptor->localPort() : -1; }

 private:
  void networkThreadMain();

  std::unique_ptr<HX_BaseAcceptor<VrTransClient>> m_pAcceptor;
  std::thread m_thNetwork;
};
