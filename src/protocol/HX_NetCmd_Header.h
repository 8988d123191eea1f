#pragma once
// The 24-byte big-endian header in front of every message of the streaming
// protocol: length of what follows, magic, command id, and the client's
// sequence number and requester id. A plain value; safe on any thread.
#include <cstdint>

class ACE_Message_Block;

class HX_NetCmd_Header {
 public:
  static constexpr uint32_t MAGIC_NUMBER = 0xCAFEDEAD;
  static constexpr uint32_t kHeaderSize = 24;
  // m_uiPacketLen counts the 20 header bytes after itself plus the body.
  static constexpr uint32_t kMinPacketLen = 20;
  static constexpr uint32_t kMaxPacketLen = 1048596;  // a body of 1 MiB at most

  // Writes the five members as they are at the block's write position and
  // advances it by 24. 0, or -2 when the block has no room for a field.
  int Encode(ACE_Message_Block* block) const;
  // Reads a header at the block's read position and advances it by 24.
  // 0, or -3 with the read position unchanged.
  int Decode(ACE_Message_Block* block);
  // The first four readable bytes as a big-endian length, not consumed.
  // 0 when 20 <= len <= 1048596, else -1.
  static int peekPakcetLen(const ACE_Message_Block* block, uint32_t& len);

  uint32_t m_uiPacketLen = kMinPacketLen;
  uint32_t m_uiMagicNumber = MAGIC_NUMBER;
  uint32_t m_uiCmdId = 0;
  uint32_t m_uiSequenceNo = 0;
  uint64_t m_ullRequesterId = 0;
};
