#include "encode/VrEncodeParams.h"

#include <algorithm>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "config/HX_ServerConfiguration.h"

int32_t VrSoftwareEncoderThreads(int32_t requested, int32_t width, int32_t height, unsigned cores) {
  if (requested > 0) return requested;
  const int64_t pixels = int64_t{width} * height;
  if (pixels < kVrSlicedThreadsMinPixels) return 1;
  constexpr int64_t kPixelsPerSlice = 1920LL * 1080;
  const int64_t wanted = (pixels + kPixelsPerSlice - 1) / kPixelsPerSlice;
  const int64_t limit = std::min<int64_t>(std::max(cores, 1u), 4);
  return static_cast<int32_t>(std::min(wanted, limit));
}

VrEncodeSelection VrSelectEncoder(int32_t encodeType) {
  switch (encodeType) {
    case 2:
      return {AV_CODEC_ID_MJPEG, kVrEncoderSoftware};
    case 3:
      return {AV_CODEC_ID_H264, kVrEncoderVaapi};
    case 4:
      return {AV_CODEC_ID_H264, kVrEncoderQuickSync};
    case 5:
      return {AV_CODEC_ID_H264, kVrEncoderNvenc};
    case 1:
    default:
      return {AV_CODEC_ID_H264, kVrEncoderSoftware};
  }
}

void VrMakeEncodeParams(const HX_ServerSettings& settings, int32_t outputWidth,
                        int32_t outputHeight, VrEncodeParams* video, VrEncodeParams* audio) {
  const VrEncodeSelection selection = VrSelectEncoder(settings.m_iEncodeType);
  if (video != nullptr) {
    *video = VrEncodeParams();
    video->m_iCodecId = selection.m_iCodecId;
    video->m_iFrameRate = settings.m_iFps;
    video->m_iWidth = outputWidth;
    video->m_iHeight = outputHeight;
    video->m_iBitRate = settings.m_iEncodeSample;
    video->m_iReserved = 0;
    video->m_iKeyIntervalMs = kVrKeyFrameIntervalMs;
    video->m_iEncoderKind = selection.m_iEncoderKind;
  }
  if (audio != nullptr) {
    *audio = VrEncodeParams();
    audio->m_iCodecId = AV_CODEC_ID_AAC;
    audio->m_iBitRate = settings.m_iAudioBitRate;
    audio->m_iReserved = settings.m_iAudioSample;
    audio->m_iKeyIntervalMs = kVrKeyFrameIntervalMs;
    audio->m_iEncoderKind = kVrEncoderSoftware;
  }
}

void VrMakeEncodeParamsFromConfiguration(const HX_ServerConfiguration& config,
                                         VrEncodeParams* video, VrEncodeParams* audio) {
  int32_t width = 0;
  int32_t height = 0;
  config.getOutputSize(&width, &height);
  VrMakeEncodeParams(config, width, height, video, audio);
}
