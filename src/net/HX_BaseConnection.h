#pragma once
// One TCP socket driven by the event loop: owns the socket, the outgoing queue
// of message blocks and the write side; closes itself on any socket error and
// is deleted by the loop's lifecycle sweep, never directly. Network thread only.
#include <cstdint>
#include <string>

#include "core/HX_BoundedQueue.h"
#include "net/HX_ILifecycle.h"
#include "net/HX_INet.h"
#include "net/HX_ITimer.h"
#include "net/HX_MessageBlock.h"
#include "net/HX_NetDefs.h"

// A message waiting in a connection's send queue, and what the queue's
// key-frame rule needs to know of it.
struct HX_OutgoingMessage {
  HX_MsgBlockPtr block;
  bool keyFrame = false;
};

struct HX_OutgoingMessageTraits {
  static uint64_t Bytes(const HX_OutgoingMessage& m) { return m.block ? m.block->length() : 0; }
  static bool IsKeyFrame(const HX_OutgoingMessage& m) { return m.keyFrame; }
};

class HX_BaseConnection : public HX_INet, public HX_ITimer, public HX_ILifecycle {
 public:
  enum ConnectionState { kInitial = 0, kConnecting = 1, kConnected = 2 };
  using SendQueue = HX_BoundedQueue<HX_OutgoingMessage, HX_OutgoingMessageTraits>;

  // A writable event hands at most this much to the socket, so that one
  // connection with a long queue cannot hold the loop from the others.
  static constexpr uint64_t kMaxBytesWrittenPerPass = 64 * 1024;
  // A bounded connection's answers may go this far beyond the media bound, so
  // that a client that reads, however slowly, can still ask.
  static constexpr uint64_t kAnswerAllowanceBytes = 1024 * 1024;
  // Blocks a bounded connection may hold: a queue of tiny answers costs far
  // more memory than its bytes say. Media may fill half of them.
  static constexpr size_t kMaxQueuedBlocks = 4096;

  // Media messages may hold at most |maxQueuedBytes| queued (counting what
  // is being written) and kMaxQueuedBlocks / 2 blocks; past it they are
  // dropped up to the next key frame. kNoByteLimit leaves the queue unbounded.
  explicit HX_BaseConnection(uint64_t maxQueuedBytes = SendQueue::kNoByteLimit);
  ~HX_BaseConnection() override;
  HX_BaseConnection(const HX_BaseConnection&) = delete;
  HX_BaseConnection& operator=(const HX_BaseConnection&) = delete;

  int handleWrite() override;
  virtual int onConnEstablished();
  // Idle check of the connection's own timer (armIdleCheck). Closes the
  // connection when a message begun more than the limit ago is still
  // incomplete, when the peer left something queued unread for longer than
  // the limit, or when a peer expected to send requests has completed none
  // within the limit of its last one (or of the connection's start).
  int onTimer(uint64_t timerId) override;

  // Queues |block| (the queue owns it from now on, also on failure) and turns
  // write interest on. Never dropped: for answers to requests, which the
  // caller stops asking for once sendQueueOverBound().
  int pushToSendQueue(HX_MsgBlockPtr block);
  // A bounded connection holds more than its media bound plus the answer
  // allowance, or more than kMaxQueuedBlocks blocks: its peer asks without
  // reading the answers.
  bool sendQueueOverBound() const;
  // Queues a media message under the byte bound and the key-frame rule;
  // |result| says whether it was queued or dropped and why. 0 unless write
  // interest cannot be turned on (-1, the block stays queued).
  int pushMediaToSendQueue(HX_MsgBlockPtr block, bool keyFrame, HX_PushResult* result);
  // Media messages are dropped from now on up to the next key frame.
  void skipMediaToKeyFrame() { m_stSendQueue.skipToKeyFrame(); }
  // True when a non-key media message would be refused now, so the caller
  // need not frame it.
  bool refuseMediaWhileSkipping(bool keyFrame) { return m_stSendQueue.refuseWhileSkipping(keyFrame); }
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
  uint64_t queuedBytes() const { return m_stSendQueue.bytes(); }
  size_t queuedBlocks() const { return m_stSendQueue.size() + (m_pstSendingMsgBlk ? 1 : 0); }
  bool isSendSideShut() const { return m_bSendSideShut; }

 protected:
  // Arms the idle check (see onTimer) with the limit |idleLimitMs|. 0 or -1.
  int armIdleCheck(uint64_t idleLimitMs);
  // Whether the peer is expected to send requests: while it is, a connection
  // that completes none within the idle limit is closed. A streaming client
  // stops asking once it has what it asked for.
  virtual bool expectsRequests() const { return true; }
  // The receive block now holds the first bytes of a message.
  void noteMessageBegun();

  int m_iSocketFd = kInvalidSocketId;
  bool m_bShutdownAfterSend = false;
  uint64_t m_ullTimerId = kInvalidTimerId;
  uint64_t m_ullLastActiveTick;
  // The block being written stays counted in the queue's bytes until sent.
  SendQueue m_stSendQueue;
  HX_MsgBlockPtr m_pstSendingMsgBlk;
  HX_MsgBlockPtr m_pstRecvMsgBlk;
  int m_eConnectionState = kInitial;
  std::string m_strPeerIp;
  uint16_t m_usPeerPort = 0;
  bool m_bSendSideShut = false;
  uint64_t m_ullMaxQueuedBytes;
  uint64_t m_ullIdleLimitMs = 0;
  // When the current partial message began; 0 while none is being received.
  uint64_t m_ullMessageBegunTick = 0;
  // Since when the connection waits for its peer to read: the last time the
  // socket took bytes, or when the queue stopped being empty.
  uint64_t m_ullSendWaitTick;
};
