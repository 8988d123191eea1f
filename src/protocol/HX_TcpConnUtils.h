#pragma once
// Resumable receive of one framed message into a message block. Called by the
// connection that owns the socket and the block, on the network thread.
#include <cstddef>
#include <cstdint>

class ACE_Message_Block;

namespace HX_TcpConnUtils {
// Result of a receive that needs more bytes before the message is complete.
constexpr int kNeedMore = -4;
constexpr size_t kNoReceiveLimit = SIZE_MAX;

// One receive of at most |maxBytes| into the block's space. 0 when the block
// is full, kNeedMore when bytes are still missing (or the socket has none
// now), -1 on close or error.
int recvNetMsgPart(int fd, ACE_Message_Block* block, size_t maxBytes = kNoReceiveLimit);
// Collects the 24-byte header, then exactly the rest of the message the
// header announces, across as many calls as needed, taking at most
// |maxBytes| of the body per call. 0 when complete, kNeedMore, or -1.
int recvNetMsg(int fd, ACE_Message_Block* block, size_t maxBytes = kNoReceiveLimit);
}  // namespace HX_TcpConnUtils
