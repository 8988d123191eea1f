#pragma once
// Codec numbers as the streaming protocol carries them. They are fixed by the
// protocol and are not the linked FFmpeg's AVCodecID values (H.264 is 27 and
// MJPEG 7 there); clients map them back through their own table.
#include <cstdint>

constexpr uint32_t kWireCodecMJPEG = 8;
constexpr uint32_t kWireCodecH264 = 28;
constexpr uint32_t kWireCodecAAC = 86018;  // 0x15002
constexpr uint32_t kWireAudioChannels = 2;
constexpr uint32_t kWireChannelLayoutStereo = 3;  // front left + front right
constexpr uint32_t kWireAudioProfile = 38;

// The video codec the encoder pair produces for the configured EncodeType:
// MJPEG for 2, H.264 for everything else.
uint32_t VrWireVideoCodecForEncodeType(int32_t encodeType);
