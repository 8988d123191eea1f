#include "encode/VrAdts.h"

bool VrParseAacConfig(const uint8_t* config, int size, VrAacConfig* out) {
  if (config == nullptr || size < 2 || out == nullptr) return false;
  const int objectType = config[0] >> 3;
  const int frequencyIndex = ((config[0] & 0x07) << 1) | (config[1] >> 7);
  const int channelConfig = (config[1] >> 3) & 0x0F;
  // The ADTS profile field is two bits (object types 1..4); index 15 means an
  // explicit 24-bit frequency, which ADTS cannot carry.
  if (objectType < 1 || objectType > 4) return false;
  if (frequencyIndex > 12) return false;
  if (channelConfig > 7) return false;
  out->m_iObjectType = objectType;
  out->m_iFrequencyIndex = frequencyIndex;
  out->m_iChannelConfig = channelConfig;
  return true;
}

bool VrWriteAdtsHeader(const VrAacConfig& config, int payloadSize, uint8_t* header) {
  if (header == nullptr || payloadSize < 0) return false;
  const int frameLength = payloadSize + kVrAdtsHeaderSize;
  if (frameLength > kVrAdtsMaxFrameSize) return false;
  const int profile = config.m_iObjectType - 1;
  header[0] = 0xFF;
  // sync (low 4 bits), MPEG-4, layer 0, no CRC
  header[1] = 0xF1;
  header[2] = static_cast<uint8_t>(((profile & 0x03) << 6) | ((config.m_iFrequencyIndex & 0x0F) << 2) |
                                   ((config.m_iChannelConfig >> 2) & 0x01));
  header[3] = static_cast<uint8_t>(((config.m_iChannelConfig & 0x03) << 6) | ((frameLength >> 11) & 0x03));
  header[4] = static_cast<uint8_t>((frameLength >> 3) & 0xFF);
  // Buffer fullness 0x7FF (variable bit rate), one raw data block.
  header[5] = static_cast<uint8_t>(((frameLength & 0x07) << 5) | 0x1F);
  header[6] = 0xFC;
  return true;
}

bool VrHasAdtsSync(const uint8_t* data, int size) {
  return data != nullptr && size >= kVrAdtsHeaderSize && data[0] == 0xFF && (data[1] & 0xF6) == 0xF0;
}
