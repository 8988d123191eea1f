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

  // |maxQueuedMediaBytes|: the send queue's bound for media messages.
  explicit HX_ProtobufConnection(uint64_t maxQueuedMediaBytes = SendQueue::kNoByteLimit);

  // At most one message per readable event; the rest stays in the socket and
  // makes it readable again in the next pass.
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

 private:
  // The 24-byte header with m_uiPacketLen set, then the body; null (logged)
  // when the body is too long or the block cannot be made.
  HX_MsgBlockPtr frameMessage(HX_NetCmd_Header& header, const char* body, size_t bodyLength);

  uint64_t m_ullObjId;
};
