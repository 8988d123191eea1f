#include "protocol/HX_ProtobufConnection.h"

#include <cstring>

#include "log/HX_Log.h"
#include "net/HX_EventLoop.h"
#include "net/HX_UIDUtils.h"
#include "platform/HX_Clock.h"
#include "protocol/HX_TcpConnUtils.h"

namespace {
// The process-wide receive-block bound. Network thread only.
uint64_t g_recvBudget = HX_ProtobufConnection::kDefaultRecvBufferBudget;
uint64_t g_recvHeld = 0;
bool g_recvRefusing = false;  // a refusal was logged and the bound not yet left
}  // namespace

HX_ProtobufConnection::HX_ProtobufConnection(uint64_t maxQueuedMediaBytes)
    : HX_BaseConnection(maxQueuedMediaBytes), m_ullObjId(HX_UIDUtils::MakeObjectId()) {}

HX_ProtobufConnection::~HX_ProtobufConnection() { releaseRecvBlock(); }

void HX_ProtobufConnection::setRecvBufferBudget(uint64_t bytes) { g_recvBudget = bytes; }

uint64_t HX_ProtobufConnection::recvBufferBytesHeld() { return g_recvHeld; }

bool HX_ProtobufConnection::chargeRecvBlock() {
  const uint64_t size = m_pstRecvMsgBlk->size();
  if (size <= m_ullRecvCharged) return true;
  const uint64_t growth = size - m_ullRecvCharged;
  if (g_recvHeld + growth > g_recvBudget) {
    if (!g_recvRefusing)
      HX_LOG_WARNING("incomplete messages hold %llu bytes of receive buffers: refusing a message of %llu bytes "
                     "and closing its connections until they are released",
                     static_cast<unsigned long long>(g_recvHeld), static_cast<unsigned long long>(size));
    g_recvRefusing = true;
    return false;
  }
  g_recvHeld += growth;
  m_ullRecvCharged = size;
  return true;
}

void HX_ProtobufConnection::releaseRecvBlock() {
  g_recvHeld -= m_ullRecvCharged;
  m_ullRecvCharged = 0;
  m_ullMessageBegunTick = 0;
  if (g_recvRefusing && g_recvHeld < g_recvBudget / 2) g_recvRefusing = false;
}

int HX_ProtobufConnection::handleRead() {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  if (isClosed()) return 0;
  if (!m_pstRecvMsgBlk) {
    m_pstRecvMsgBlk = HX_CreateMsgBlock(kInitialRecvBlockSize);
    if (!m_pstRecvMsgBlk) {
      HX_LOG_WARNING("new ACE_Message_Block failed");
      return closeConnection();
    }
  }
  int rc = HX_TcpConnUtils::recvNetMsg(m_iSocketFd, m_pstRecvMsgBlk.get(), kMaxBytesReadPerPass);
  if (rc != 0 && rc != HX_TcpConnUtils::kNeedMore) {
    HX_LOG_WARNING("HX_TcpConnUtils::recvNetMsg failed, iSocket=%d", m_iSocketFd);
    return closeConnection();
  }
  // The block is sized for the whole message once its header is in; the
  // bound is checked right after it grew, before later passes fill it.
  if (!chargeRecvBlock()) return closeConnection();
  if (rc == HX_TcpConnUtils::kNeedMore) {
    if (m_pstRecvMsgBlk->length() > 0) noteMessageBegun();
    return 0;
  }
  if (sendQueueOverBound()) {
    HX_LOG_WARNING("peer %llu keeps sending requests without reading the answers (%llu bytes in %zu blocks "
                   "queued): closing the connection",
                   static_cast<unsigned long long>(m_ullObjId), static_cast<unsigned long long>(queuedBytes()),
                   queuedBlocks());
    return closeConnection();
  }
  HX_NetCmd_Header header;
  if (header.Decode(m_pstRecvMsgBlk.get()) != 0) {
    HX_LOG_WARNING("stHeader.Decode(&stMsgBlock) failed");
    return closeConnection();
  }
  if (handleNetMessage(m_pstRecvMsgBlk.get(), header) != 0) {
    HX_LOG_WARNING("handleNetMessage failed.");
    return closeConnection();
  }
  m_ullLastActiveTick = static_cast<uint64_t>(HX_GetTickMs());
  m_pstRecvMsgBlk.reset();
  releaseRecvBlock();
  return 0;
}

HX_MsgBlockPtr HX_ProtobufConnection::frameMessage(HX_NetCmd_Header& header, const char* body,
                                                    size_t bodyLength) {
  if (bodyLength > HX_NetCmd_Header::kMaxPacketLen - HX_NetCmd_Header::kMinPacketLen) {
    HX_LOG_WARNING("body of %zu bytes exceeds the protocol's limit", bodyLength);
    return nullptr;
  }
  HX_MsgBlockPtr block = HX_CreateMsgBlock(bodyLength + HX_NetCmd_Header::kHeaderSize);
  if (!block) {
    HX_LOG_WARNING("HX_ObjsBuilder::createMsgBlock failed");
    return nullptr;
  }
  header.m_uiPacketLen = static_cast<uint32_t>(bodyLength) + HX_NetCmd_Header::kMinPacketLen;
  if (header.Encode(block.get()) != 0) {
    HX_LOG_WARNING("stNetCmdHeader.Encode failed");
    return nullptr;
  }
  if (bodyLength > 0) {
    std::memcpy(block->wr_ptr(), body, bodyLength);
    block->wr_ptr(bodyLength);
  }
  return block;
}

int HX_ProtobufConnection::sendNetResponse(HX_NetCmd_Header& header, const char* body, size_t bodyLength) {
  HX_MsgBlockPtr block = frameMessage(header, body, bodyLength);
  if (!block) return -1;
  if (pushToSendQueue(std::move(block)) != 0) {
    HX_LOG_WARNING("pushMsgToQueue failed");
    return -1;
  }
  return 0;
}

int HX_ProtobufConnection::sendNetMedia(HX_NetCmd_Header header, const std::string& body, bool keyFrame,
                                        HX_PushResult* result) {
  *result = HX_PushResult();
  if (refuseMediaWhileSkipping(keyFrame)) {
    result->dropped = 1;
    return 0;
  }
  HX_MsgBlockPtr block = frameMessage(header, body.data(), body.size());
  if (!block) return -1;
  if (pushMediaToSendQueue(std::move(block), keyFrame, result) != 0) {
    HX_LOG_WARNING("pushMsgToQueue failed");
    return -1;
  }
  return 0;
}
