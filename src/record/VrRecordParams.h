#pragma once
// The stream settings a recording needs, taken from the run's encoder
// parameters (video frame rate, size, bit rate, key-frame interval; audio bit
// rate and sample rate). A plain value.
#include <cstdint>

struct VrRecordParams {
  int32_t m_iFrameRate = 25;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  int32_t m_iVideoBitRate = 0;
  int32_t m_iKeyFrameIntervalMs = 2000;
  int32_t m_iAudioBitRate = 0;
  int32_t m_iAudioSampleRate = 44100;

  // The values the run's encoders are configured with: FPS, the output size,
  // EncodeSample, a 2000 ms key-frame interval, AudioBitRate and AudioSample.
  static VrRecordParams FromConfiguration();
};
