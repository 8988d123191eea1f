#include "encode/VrEncodeParams.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "config/HX_ServerConfiguration.h"  // HX_ServerSettings

// The stored EncodeType is the settings dialog's radio button; each hardware
// choice must reach its own back-end (3 "AMD" -> VA-API, 4 "QuickSync" ->
// QuickSync, 5 "NVENC" -> NVENC).
TEST(VrEncodeParams, EncodeTypeSelectsCodecAndKind) {
  struct Row {
    int32_t encodeType;
    int32_t codec;
    int32_t kind;
  };
  const Row rows[] = {
      {1, AV_CODEC_ID_H264, kVrEncoderSoftware}, {2, AV_CODEC_ID_MJPEG, kVrEncoderSoftware},
      {3, AV_CODEC_ID_H264, kVrEncoderVaapi},    {4, AV_CODEC_ID_H264, kVrEncoderQuickSync},
      {5, AV_CODEC_ID_H264, kVrEncoderNvenc},    {0, AV_CODEC_ID_H264, 0},
      {6, AV_CODEC_ID_H264, 0}, {-1, AV_CODEC_ID_H264, 0},
  };
  for (const Row& r : rows) {
    VrEncodeSelection s = VrSelectEncoder(r.encodeType);
    EXPECT_EQ(s.m_iCodecId, r.codec) << "EncodeType " << r.encodeType;
    EXPECT_EQ(s.m_iEncoderKind, r.kind) << "EncodeType " << r.encodeType;
  }
}

TEST(VrEncodeParams, RecordsAreFilledFromTheSettings) {
  HX_ServerSettings s;
  s.m_iEncodeType = 2;
  s.m_iFps = 15;
  s.m_iEncodeSample = 4000000;
  s.m_iAudioBitRate = 128000;
  s.m_iAudioSample = 48000;
  VrEncodeParams v;
  VrEncodeParams a;
  v.m_iReserved = 99;  // stale values are overwritten
  a.m_iFrameRate = 99;
  VrMakeEncodeParams(s, 1280, 720, &v, &a);
  EXPECT_EQ(v.m_iCodecId, AV_CODEC_ID_MJPEG);
  EXPECT_EQ(v.m_iFrameRate, 15);
  EXPECT_EQ(v.m_iWidth, 1280);
  EXPECT_EQ(v.m_iHeight, 720);
  EXPECT_EQ(v.m_iBitRate, 4000000);
  EXPECT_EQ(v.m_iReserved, 0);
  EXPECT_EQ(v.m_iKeyIntervalMs, 2000);
  EXPECT_EQ(v.m_iEncoderKind, 0);

  EXPECT_EQ(a.m_iCodecId, AV_CODEC_ID_AAC);
  EXPECT_EQ(a.m_iCodecId, 0x15002);
  EXPECT_EQ(a.m_iFrameRate, 0);
  EXPECT_EQ(a.m_iWidth, 0);
  EXPECT_EQ(a.m_iHeight, 0);
  EXPECT_EQ(a.m_iBitRate, 128000);
  EXPECT_EQ(a.m_iReserved, 48000);
  EXPECT_EQ(a.m_iKeyIntervalMs, 2000);
  EXPECT_EQ(a.m_iEncoderKind, 0);
}

TEST(VrEncodeParams, SlicedThreadsOnlyFromTheLargeSizesBoundedByTheCores) {
  EXPECT_EQ(VrSoftwareEncoderThreads(0, 1920, 1080, 8), 1);
  EXPECT_EQ(VrSoftwareEncoderThreads(0, 2560, 1438, 8), 1);  // just below 1440p
  EXPECT_EQ(VrSoftwareEncoderThreads(0, 2560, 1440, 8), 2);  // 1.8 x 1080p
  EXPECT_EQ(VrSoftwareEncoderThreads(0, 2560, 1440, 1), 1);
  EXPECT_EQ(VrSoftwareEncoderThreads(0, 3840, 2160, 2), 2);
  EXPECT_EQ(VrSoftwareEncoderThreads(0, 3840, 2160, 8), 4);
  EXPECT_EQ(VrSoftwareEncoderThreads(0, 7680, 4320, 64), 4);
  EXPECT_EQ(VrSoftwareEncoderThreads(0, 3840, 2160, 0), 1);  // cores unknown
  EXPECT_EQ(VrSoftwareEncoderThreads(3, 640, 480, 1), 3);    // asked for
  VrEncodeParams video;
  VrMakeEncodeParams(HX_ServerSettings(), 3840, 2160, &video, nullptr);
  EXPECT_EQ(video.m_iThreads, 0);  // chosen by the encoder
}
