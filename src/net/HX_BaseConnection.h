#pragma once
// One TCP socket driven by the event loop: owns the socket, the outgoing queue
// of message blocks and the write side; closes itself on any socket error and
// is deleted by the loop's lifecycle sweep, never directly. Network thread only.
#include <cstdint>
#include <deque>
#include <string>

#include "net/HX_ILifecycle.h"
#include "net/HX_INet.h"
#include "net/HX_ITimer.h"
#include "net/HX_MessageBlock.h"
#include "net/HX_NetDefs.h"

class HX_BaseConnection : public HX_INet, public HX_ITimer, public HX_ILifecycle {
 public:
  enum ConnectionState { kInitial = 0, kConnecting = 1, kConnected = 2 };

  HX_BaseConnection();
  ~HX_BaseConnection() override;
  HX_BaseConnection(const HX_BaseConnection&) = delete;
  HX_BaseConnection& operator=(const HX_BaseConnection&) = delete;

  int handleWrite() override;
  virtual int onConnEstablished();
  // Idle check of the connection's own timer.
  int onTimer(uint64_t timerId) override;

  // Queues |block| (the queue owns it from now on, also on failure) and turns
  // write interest on.
  int pushToSendQueue(HX_MsgBlockPtr block);
  // Unregisters and closes the socket; a no-op without one.
  void closeSocket();
  // closeSocket, then setClosed; returns -1 for the callers' convenience.
  int closeConnection();
  // Shut the sending direction down once the queue has drained. Turns write
  // interest on so that an already empty queue is noticed in the next pass.
  void requestShutdownAfterSend();

  int socketFd() const { return m_iSocketFd; }
  int connectionState() const { return m_eConnectionState; }
  // Bytes queued and not yet handed to the socket.
  uint64_t queuedBytes() const { return m_ullQueuedBytes; }
  size_t queuedBlocks() const { return m_stSendQueue.size() + (m_pstSendingMsgBlk ? 1 : 0); }
  bool isSendSideShut() const { return m_bSendSideShut; }

 protected:
  int m_iSocketFd = kInvalidSocketId;
  bool m_bShutdownAfterSend = false;
  uint64_t m_ullTimerId = kInvalidTimerId;
  uint64_t m_ullLastActiveTick;
  std::deque<HX_MsgBlockPtr> m_stSendQueue;
  HX_MsgBlockPtr m_pstSendingMsgBlk;
  HX_MsgBlockPtr m_pstRecvMsgBlk;
  int m_eConnectionState = kInitial;
  std::string m_strPeerIp;
  uint16_t m_usPeerPort = 0;
  uint64_t m_ullQueuedBytes = 0;
  bool m_bSendSideShut = false;

};
