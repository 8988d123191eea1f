#include "protocol/HX_TcpConnUtils.h"

#include <ace/Message_Block.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "log/HX_Log.h"
#include "protocol/HX_NetCmd_Header.h"

namespace HX_TcpConnUtils {

int recvNetMsgPart(int fd, ACE_Message_Block* block, size_t maxBytes) {
  const size_t space = block->space();
  if (space == 0) return 0;
  const size_t wanted = std::min(space, maxBytes);
  if (wanted == 0) return kNeedMore;  // a zero-byte receive would read as the peer's close
  ssize_t received;
  do {
    received = ::recv(fd, block->wr_ptr(), wanted, 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kNeedMore;
    HX_LOG_WARNING("Socket error, HX_Read failed, %d", fd);
    return -1;
  }
  if (received == 0) {
    HX_LOG_WARNING("peer closed gracefully, %d", fd);
    return -1;
  }
  block->wr_ptr(static_cast<size_t>(received));
  return static_cast<size_t>(received) >= space ? 0 : kNeedMore;
}

int recvNetMsg(int fd, ACE_Message_Block* block, size_t maxBytes) {
  if (fd == -1) {
    HX_LOG_ERROR_TRACE("iSocketFd is invalid");
    return -1;
  }
  if (block == nullptr) {
    HX_LOG_ERROR_TRACE("NULL == pstMsgBlk");
    return -1;
  }
  if (block->length() < HX_NetCmd_Header::kHeaderSize) {
    block->size(HX_NetCmd_Header::kHeaderSize);
    int rc = recvNetMsgPart(fd, block);
    if (rc == kNeedMore) return kNeedMore;
    if (rc != 0) {
      HX_LOG_WARNING("recv header failed");
      return -1;
    }
    uint32_t len = 0;
    if (HX_NetCmd_Header::peekPakcetLen(block, len) != 0) {
      HX_LOG_WARNING("HX_NetCmd_Header::peekPakcetLen failed");
      return -1;
    }
    if (len == HX_NetCmd_Header::kMinPacketLen) return 0;
    // Sized to exactly this message, so no receive takes bytes of the next.
    if (block->size(static_cast<size_t>(len) + 4) != 0) {
      HX_LOG_WARNING("grow message block to %u bytes failed", len + 4);
      return -1;
    }
  }
  int rc = recvNetMsgPart(fd, block, maxBytes);
  if (rc == 0) return 0;
  if (rc == kNeedMore) return kNeedMore;
  HX_LOG_WARNING("recv body failed");
  return -1;
}

}  // namespace HX_TcpConnUtils
