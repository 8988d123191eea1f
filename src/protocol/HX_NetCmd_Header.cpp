#include "protocol/HX_NetCmd_Header.h"

#include <ace/CDR_Stream.h>
#include <ace/Message_Block.h>

#include <cstring>

#include "log/HX_Log.h"

namespace {
// Debian's ACE writes native order even when asked for big-endian, so the
// header is stored byte by byte. Reading big-endian through CDR works.
void StoreBigEndian(char* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out[i] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}

// CDR aligns from absolute addresses; a copy on an aligned buffer makes the
// read independent of where the block's read position lies.
struct AlignedHeader {
  alignas(ACE_CDR::MAX_ALIGNMENT) char bytes[HX_NetCmd_Header::kHeaderSize];
};
}  // namespace

int HX_NetCmd_Header::Encode(ACE_Message_Block* block) const {
  struct Field {
    uint64_t value;
    int bytes;
    const char* failure;
  };
  const Field fields[] = {
      {m_uiPacketLen, 4, "encode uiBodyLen failed"},
      {m_uiMagicNumber, 4, "encode uiMagicNumber failed"},
      {m_uiCmdId, 4, "encode m_usCmdId failed"},
      {m_uiSequenceNo, 4, "encode m_uiSequenceNo failed"},
      {m_ullRequesterId, 8, "encode m_ullRequesterId failed"},
  };
  // Fields are checked before anything is written, so a failure leaves the
  // block untouched.
  size_t needed = 0;
  for (const Field& f : fields) {
    needed += static_cast<size_t>(f.bytes);
    if (block == nullptr || block->space() < needed) {
      HX_LOG_WARNING("%s", f.failure);
      return -2;
    }
  }
  char* out = block->wr_ptr();
  for (const Field& f : fields) {
    StoreBigEndian(out, f.value, f.bytes);
    out += f.bytes;
  }
  block->wr_ptr(kHeaderSize);
  return 0;
}

int HX_NetCmd_Header::Decode(ACE_Message_Block* block) {
  const size_t available = block != nullptr ? block->length() : 0;
  if (available < kHeaderSize) {
    HX_LOG_WARNING("mb->length() is too small, len=%u", static_cast<unsigned>(available));
    return -3;
  }
  AlignedHeader copy;
  std::memcpy(copy.bytes, block->rd_ptr(), kHeaderSize);
  ACE_InputCDR in(copy.bytes, kHeaderSize, ACE_CDR::BYTE_ORDER_BIG_ENDIAN);
  ACE_CDR::ULong packetLen = 0, magic = 0, cmdId = 0, sequenceNo = 0;
  ACE_CDR::ULongLong requesterId = 0;
  if (!in.read_ulong(packetLen)) {
    HX_LOG_WARNING("parse m_uiPacketLen failed");
    return -3;
  }
  if (packetLen > kMaxPacketLen) {
    HX_LOG_WARNING("m_uiPacketLen too large, m_uiPacketLen=%u", packetLen);
    return -3;
  }
  if (!in.read_ulong(magic)) {
    HX_LOG_WARNING("parse m_uiMagicNumber failed");
    return -3;
  }
  if (magic != MAGIC_NUMBER) {
    HX_LOG_WARNING("magic number not match, uiMagicNumber=%x, MAGIC_NUMBER=%x", magic, MAGIC_NUMBER);
    return -3;
  }
  if (!in.read_ulong(cmdId)) {
    HX_LOG_WARNING("parse m_uiCmdId failed");
    return -3;
  }
  if (!in.read_ulong(sequenceNo)) {
    HX_LOG_WARNING("parse m_uiSequenceNo failed");
    return -3;
  }
  if (!in.read_ulonglong(requesterId)) {
    HX_LOG_WARNING("parse command m_ullRequesterId failed");
    return -3;
  }
  m_uiPacketLen = packetLen;
  m_uiMagicNumber = magic;
  m_uiCmdId = cmdId;
  m_uiSequenceNo = sequenceNo;
  m_ullRequesterId = requesterId;
  block->rd_ptr(kHeaderSize);
  return 0;
}

int HX_NetCmd_Header::peekPakcetLen(const ACE_Message_Block* block, uint32_t& len) {
  AlignedHeader copy;
  const size_t available = block != nullptr ? block->length() : 0;
  const size_t n = available < 4 ? available : 4;
  if (n > 0) std::memcpy(copy.bytes, block->rd_ptr(), n);
  ACE_InputCDR in(copy.bytes, n, ACE_CDR::BYTE_ORDER_BIG_ENDIAN);
  ACE_CDR::ULong value = 0;
  if (!in.read_ulong(value)) {
    HX_LOG_ERROR_TRACE("stInputCDR.read_ulong failed");
    return -1;
  }
  len = value;
  if (len < kMinPacketLen) {
    HX_LOG_WARNING("ERROR, uiPacketLen too small, uiPacketLen=%u", len);
    return -1;
  }
  if (len > kMaxPacketLen) {
    HX_LOG_WARNING("ERROR, uiPacketLen too large, uiPacketLen=%u", len);
    return -1;
  }
  return 0;
}
