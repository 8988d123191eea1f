#pragma once
// The "mix format" of the sound output being captured: what a loopback device
// reports about the samples it will deliver. A plain value type.
#include <cstdint>

// Format tags in the numbering of the wave-format family the capture logic uses.
constexpr uint16_t kWaveFormatUnknown = 0;
constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatIeeeFloat = 3;
constexpr uint16_t kWaveFormatALaw = 6;
constexpr uint16_t kWaveFormatMuLaw = 7;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

// Speaker-position bits of a channel mask (front left = bit 0 ...). These are
// the same bits as FFmpeg's channel-layout masks for the first 18 positions.
constexpr uint32_t kSpeakerFrontLeft = 0x1;
constexpr uint32_t kSpeakerFrontRight = 0x2;
constexpr uint32_t kSpeakerFrontCenter = 0x4;
constexpr uint32_t kSpeakerLowFrequency = 0x8;
constexpr uint32_t kSpeakerBackLeft = 0x10;
constexpr uint32_t kSpeakerBackRight = 0x20;
constexpr uint32_t kSpeakerFrontLeftOfCenter = 0x40;
constexpr uint32_t kSpeakerFrontRightOfCenter = 0x80;
constexpr uint32_t kSpeakerBackCenter = 0x100;
constexpr uint32_t kSpeakerSideLeft = 0x200;
constexpr uint32_t kSpeakerSideRight = 0x400;
constexpr uint32_t kSpeakerTopCenter = 0x800;
constexpr uint32_t kSpeakerTopFrontLeft = 0x1000;
constexpr uint32_t kSpeakerTopFrontCenter = 0x2000;
constexpr uint32_t kSpeakerTopFrontRight = 0x4000;
constexpr uint32_t kSpeakerTopBackLeft = 0x8000;
constexpr uint32_t kSpeakerTopBackCenter = 0x10000;
constexpr uint32_t kSpeakerTopBackRight = 0x20000;

struct HX_LoopbackFormat {
  uint16_t m_usFormatTag = kWaveFormatUnknown;
  uint32_t m_uiSampleRate = 0;     // frames per second
  uint16_t m_usChannels = 0;
  uint16_t m_usBitsPerSample = 0;  // container bits of one sample
  uint16_t m_usBlockAlign = 0;     // bytes of one frame (all channels)
  // Extensible formats only: the speaker positions, and whether the samples
  // are IEEE float (else integer PCM).
  uint32_t m_uiChannelMask = 0;
  bool m_bSubFormatFloat = false;
};
