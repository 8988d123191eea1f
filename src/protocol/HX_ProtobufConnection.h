#pragma once
// A connection speaking the framed protocol: collects one complete message at
// a time, decodes its header and hands header and body to the subclass, and
// frames and queues answers. Network thread only.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/HX_BaseConnection.h"
#include "net/HX_IObject.h"
#include "protocol/HX_NetCmd_Header.h"

class HX_ProtobufConnection : public HX_BaseConnection, public HX_IObject {
 public:
  static constexpr size_t kInitialRecvBlockSize = 512;
  // A readable event takes at most this much of a body from the socket, so
  // that one peer's large messages cannot hold the loop from the others.
  static constexpr size_t kMaxBytesReadPerPass = 64 * 1024;
  // Process-wide bound on the receive blocks held for incomplete messages;
  // a message whose block would go beyond it closes its connection.
  static constexpr uint64_t kDefaultRecvBufferBudget = 32ull * 1024 * 1024;

  // |maxQueuedMediaBytes|: the send queue's bound for media messages.
  explicit HX_ProtobufConnection(uint64_t maxQueuedMediaBytes = SendQueue::kNoByteLimit);
  ~HX_ProtobufConnection() override;

  // At most one message per readable event; the rest stays in the socket and
  // makes it readable again in the next pass. A request that arrives while
  // the send queue is over its bound closes the connection instead.
  int handleRead() override;
  // The body is the block's readable part. Non-zero closes the connection.
  virtual int handleNetMessage(ACE_Message_Block* body, const HX_NetCmd_Header& header) = 0;
  // Frames |body| behind |header| (whose m_uiPacketLen is set to body + 20)
  // and queues it. The connection is not closed on failure.
  int sendNetResponse(HX_NetCmd_Header& header, const char* body, size_t bodyLength);
  int sendNetResponse(HX_NetCmd_Header& header, const std::string& body) {
    return sendNetResponse(header, body.data(), body.size());
  }
  // Frames |body| behind a copy of |header| and queues it as a media message
  // (see pushMediaToSendQueue); -1 when it cannot be framed or queued.
  int sendNetMedia(HX_NetCmd_Header header, const std::string& body, bool keyFrame,
                   HX_PushResult* result);

  uint64_t getObjId() const override { return m_ullObjId; }

  // The receive-block bound shared by every connection (tests lower it), and
  // what the connections hold against it now. Network thread only.
  static void setRecvBufferBudget(uint64_t bytes);
  static uint64_t recvBufferBytesHeld();

 private:
  // Charges the receive block's growth against the process-wide bound; false
  // (with one WARNING per episode) when the bound does not allow it.
  bool chargeRecvBlock();
  // Gives the receive block back: the message is done or the connection ends.
  void releaseRecvBlock();

  // The 24-byte header with m_uiPacketLen set, then the body; null (logged)
  // when the body is too long or the block cannot be made.
  HX_MsgBlockPtr frameMessage(HX_NetCmd_Header& header, const char* body, size_t bodyLength);

  uint64_t m_ullObjId;
  uint64_t m_ullRecvCharged = 0;  // bytes of the receive block charged to the bound
};
