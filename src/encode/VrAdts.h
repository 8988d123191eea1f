#pragma once
// ADTS framing for raw AAC packets: the recorder's "aac_adtstoasc" filter and
// stream clients expect every AAC packet to carry its own 7-byte header built
// from the encoder's AudioSpecificConfig. Pure functions, any thread.
#include <cstdint>

constexpr int kVrAdtsHeaderSize = 7;
// The 13-bit frame-length field counts the header too.
constexpr int kVrAdtsMaxFrameSize = 8191;

// The part of an AudioSpecificConfig that ADTS can carry.
struct VrAacConfig {
  int32_t m_iObjectType = 0;      // 2 = AAC LC
  int32_t m_iFrequencyIndex = 0;  // 3 = 48000 Hz, 4 = 44100 Hz
  int32_t m_iChannelConfig = 0;   // 2 = stereo
};

// Reads object type, sampling-frequency index and channel configuration from
// the start of an AudioSpecificConfig. False when the data is too short or
// describes something an ADTS header cannot express (object types above 4, an
// explicit sampling frequency, channel configurations above 7).
bool VrParseAacConfig(const uint8_t* config, int size, VrAacConfig* out);

// Writes the 7-byte header (MPEG-4, no CRC) for a raw payload of
// |payloadSize| bytes. False when the framed packet would not fit the
// 13-bit length field.
bool VrWriteAdtsHeader(const VrAacConfig& config, int payloadSize, uint8_t* header);

// True when |data| starts with an ADTS sync word (12 bits set, layer 0).
bool VrHasAdtsSync(const uint8_t* data, int size);
