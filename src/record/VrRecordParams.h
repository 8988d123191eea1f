#pragma once
// The stream settings a recording needs, taken from the run's encoder
// parameters (video codec, frame rate, size, bit rate, key-frame interval;
// audio bit rate and sample rate), and where the run records. A plain value.
#include <cstdint>
#include <string>

struct VrRecordParams {
  int32_t m_iVideoCodecId = 0;  // an AVCodecID: H.264 or MJPEG; 0 means H.264
  int32_t m_iFrameRate = 25;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  int32_t m_iVideoBitRate = 0;
  int32_t m_iKeyFrameIntervalMs = 2000;
  int32_t m_iAudioBitRate = 0;
  int32_t m_iAudioSampleRate = 44100;

  // The values the run's encoders are configured with: the codec EncodeType
  // selects, FPS, the output size, EncodeSample, a 2000 ms key-frame
  // interval, AudioBitRate and AudioSample.
  static VrRecordParams FromConfiguration();
};

// Where this run records: RecordPath, or the default directory when it is
// empty, without a trailing '/', created when missing. The recorder and the
// disk-space watch both ask here. Empty when the directory cannot be
// created; |reason| (optional) then says which directory and why. Any thread.
std::string VrRecordDirectory(std::string* reason = nullptr);
