#include "encode/VrVideoFFMPEGEncoder.h"

#include <gtest/gtest.h>
#include <libyuv.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "EncodeTestUtil.h"
#include "support/LogCapture.h"

using enc_test::Decoder;
using enc_test::MakeNV12;
using enc_test::NalTypes;

namespace {

VrEncodeParams VideoParams(int32_t codec, int32_t fps, int32_t w, int32_t h) {
  VrEncodeParams p;
  p.m_iCodecId = codec;
  p.m_iFrameRate = fps;
  p.m_iWidth = w;
  p.m_iHeight = h;
  p.m_iBitRate = 800000;
  p.m_iKeyIntervalMs = 2000;
  return p;
}

// Encodes |count| moving pictures at |fps| and returns one entry per picture:
// the packets that picture produced.
std::vector<std::vector<VrMediaFramePtr>> EncodeSequence(VrVideoFFMPEGEncoder* enc, int count, int fps,
                                                         int w, int h, int64_t firstTs) {
  std::vector<std::vector<VrMediaFramePtr>> out;
  for (int i = 0; i < count; ++i) {
    VrMediaFramePtr pic = MakeNV12(w, h, firstTs + i * (1000 / fps), static_cast<uint8_t>(40 + i % 150));
    enc->InputEncode(pic);
    std::vector<VrMediaFramePtr> packets;
    while (VrMediaFramePtr p = enc->OutputEncode()) packets.push_back(p);
    out.push_back(packets);
  }
  return out;
}

bool Contains(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

}  // namespace

TEST(VrVideoFFMPEGEncoder, H264OnePacketPerPictureStampedWithItsTimestampAndKeyFramesOneGopApart) {
  for (int fps : {25, 15}) {
    SCOPED_TRACE(fps);
    VrVideoFFMPEGEncoder enc;
    VrEncodeParams p = VideoParams(AV_CODEC_ID_H264, fps, 160, 96);
    ASSERT_TRUE(enc.Init(&p));
    const int gop = fps == 25 ? 50 : 30;
    EXPECT_EQ(enc.CodecContext()->gop_size, gop);
    EXPECT_EQ(enc.CodecContext()->max_b_frames, 0);
    EXPECT_EQ(enc.CodecContext()->thread_count, 1);
    EXPECT_EQ(enc.CodecContext()->pix_fmt, AV_PIX_FMT_NV12);
    EXPECT_EQ(enc.PixelFormat(), kVrPixFmtNV12);

    const int count = 2 * gop + 10;
    auto perPicture = EncodeSequence(&enc, count, fps, 160, 96, 123456);
    Decoder dec(AV_CODEC_ID_H264);
    ASSERT_TRUE(dec.ok());
    std::vector<int> keyIndexes;
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(perPicture[i].size(), 1u) << "picture " << i;
      const VrMediaFramePtr& pkt = perPicture[i][0];
      EXPECT_EQ(pkt->m_llTimestamp, 123456 + i * (1000 / fps));
      EXPECT_EQ(pkt->m_iMediaType, VR_MEDIA_VIDEO);
      EXPECT_EQ(pkt->m_iWidth, 160);
      EXPECT_EQ(pkt->m_iHeight, 96);
      ASSERT_GT(pkt->m_iSize, 0);
      const std::vector<int> nals = NalTypes(pkt->m_pData, pkt->m_iSize);
      if (pkt->m_iKeyFrame) {
        keyIndexes.push_back(i);
        // Every key frame can start a stream on its own.
        EXPECT_TRUE(Contains(nals, 7) && Contains(nals, 8) && Contains(nals, 5)) << "picture " << i;
      } else {
        EXPECT_FALSE(Contains(nals, 5)) << "picture " << i;
      }
      EXPECT_EQ(dec.Feed(pkt->m_pData, pkt->m_iSize), 0);
    }
    EXPECT_EQ(keyIndexes, (std::vector<int>{0, gop, 2 * gop}));
    dec.Flush();
    ASSERT_EQ(static_cast<int>(dec.frames.size()), count);
    EXPECT_EQ(dec.frames[0]->width, 160);
    EXPECT_EQ(dec.frames[0]->height, 96);
  }
}

TEST(VrVideoFFMPEGEncoder, MjpegDecodesBackToTheInputColours) {
  // Four colour bars in BGRA, made NV12 the way the capture session does it.
  const int w = 128;
  const int h = 64;
  const uint8_t bars[4][3] = {{255, 255, 255}, {200, 30, 30}, {30, 180, 40}, {40, 60, 210}};  // RGB
  std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const uint8_t* c = bars[x / (w / 4)];
      uint8_t* px = &bgra[(static_cast<size_t>(y) * w + x) * 4];
      px[0] = c[2];
      px[1] = c[1];
      px[2] = c[0];
      px[3] = 255;
    }
  }
  VrMediaFramePtr pic = MakeNV12(w, h, 777);
  libyuv::ARGBToNV12(bgra.data(), w * 4, pic->m_pData, w, pic->m_pData + w * h, w, w, h);

  VrVideoFFMPEGEncoder enc;
  VrEncodeParams p = VideoParams(AV_CODEC_ID_MJPEG, 25, w, h);
  p.m_iBitRate = 20000000;
  ASSERT_TRUE(enc.Init(&p));
  EXPECT_EQ(enc.PixelFormat(), AV_PIX_FMT_YUVJ420P);
  EXPECT_EQ(enc.CodecContext()->pix_fmt, AV_PIX_FMT_YUVJ420P);
  enc.InputEncode(pic);
  VrMediaFramePtr pkt = enc.OutputEncode();
  ASSERT_NE(pkt, nullptr);
  EXPECT_EQ(enc.OutputEncode(), nullptr);
  EXPECT_EQ(pkt->m_llTimestamp, 777);
  EXPECT_EQ(pkt->m_iKeyFrame, 1);
  ASSERT_GT(pkt->m_iSize, 4);
  EXPECT_EQ(pkt->m_pData[0], 0xFF);  // SOI
  EXPECT_EQ(pkt->m_pData[1], 0xD8);

  Decoder dec(AV_CODEC_ID_MJPEG);
  ASSERT_TRUE(dec.ok());
  ASSERT_EQ(dec.Feed(pkt->m_pData, pkt->m_iSize), 0);
  dec.Flush();
  ASSERT_EQ(dec.frames.size(), 1u);
  const AVFrame* out = dec.frames[0];
  ASSERT_EQ(out->format, AV_PIX_FMT_YUVJ420P);
  std::vector<uint8_t> rgbOut(static_cast<size_t>(w) * h * 4);
  // A JPEG decoder shows full-range BT.601.
  libyuv::J420ToARGB(out->data[0], out->linesize[0], out->data[1], out->linesize[1], out->data[2],
                     out->linesize[2], rgbOut.data(), w * 4, w, h);
  for (int b = 0; b < 4; ++b) {
    const int x = b * (w / 4) + w / 8;
    const int y = h / 2;
    const uint8_t* px = &rgbOut[(static_cast<size_t>(y) * w + x) * 4];
    SCOPED_TRACE(b);
    EXPECT_NEAR(px[2], bars[b][0], 8);
    EXPECT_NEAR(px[1], bars[b][1], 8);
    EXPECT_NEAR(px[0], bars[b][2], 8);
  }
}

TEST(VrVideoFFMPEGEncoder, PicturesThatDoNotFitAreDroppedWithAWarning) {
  VrVideoFFMPEGEncoder enc;
  VrEncodeParams p = VideoParams(AV_CODEC_ID_H264, 25, 64, 64);
  ASSERT_TRUE(enc.Init(&p));
  LogCapture log;

  VrMediaFramePtr shortPayload = MakeNV12(64, 64, 1);
  shortPayload->AllocData(64 * 64);  // luma only
  shortPayload->m_iWidth = 64;
  shortPayload->m_iHeight = 64;
  enc.InputEncode(shortPayload);
  EXPECT_EQ(enc.OutputEncode(), nullptr);
  EXPECT_TRUE(log.contains("payload too short"));

  enc.InputEncode(MakeNV12(128, 64, 2));
  EXPECT_EQ(enc.OutputEncode(), nullptr);
  EXPECT_TRUE(log.contains("wrong picture size"));

  VrMediaFramePtr bgra = MakeNV12(64, 64, 3);
  bgra->m_iPixelFormat = kVrPixFmtBGRA;
  enc.InputEncode(bgra);
  EXPECT_EQ(enc.OutputEncode(), nullptr);
  EXPECT_TRUE(log.contains("not NV12"));

  // A good picture still encodes afterwards, and one with no size fields too.
  VrMediaFramePtr bare = MakeNV12(64, 64, 4);
  bare->m_iWidth = 0;
  bare->m_iHeight = 0;
  bare->m_iPixelFormat = kVrPixFmtNone;
  enc.InputEncode(bare);
  VrMediaFramePtr pkt = enc.OutputEncode();
  ASSERT_NE(pkt, nullptr);
  EXPECT_EQ(pkt->m_iKeyFrame, 1);
  EXPECT_EQ(pkt->m_llTimestamp, 4);
}

TEST(VrVideoFFMPEGEncoder, InitFailsCleanlyAndAClosedEncoderYieldsNothing) {
  VrVideoFFMPEGEncoder enc;
  VrEncodeParams none = VideoParams(AV_CODEC_ID_NONE, 25, 64, 64);
  EXPECT_FALSE(enc.Init(&none));
  VrEncodeParams noRate = VideoParams(AV_CODEC_ID_H264, 0, 64, 64);
  EXPECT_FALSE(enc.Init(&noRate));
  VrEncodeParams odd = VideoParams(AV_CODEC_ID_H264, 25, 63, 63);  // 4:2:0 needs even sizes
  EXPECT_FALSE(enc.Init(&odd));
  EXPECT_FALSE(enc.IsOpen());
  EXPECT_FALSE(enc.Init(nullptr));
  enc.InputEncode(MakeNV12(64, 64, 1));
  EXPECT_EQ(enc.OutputEncode(), nullptr);

  VrEncodeParams good = VideoParams(AV_CODEC_ID_H264, 25, 64, 64);
  ASSERT_TRUE(enc.Init(&good));
  enc.Close();
  EXPECT_FALSE(enc.IsOpen());
  enc.InputEncode(MakeNV12(64, 64, 2));
  EXPECT_EQ(enc.OutputEncode(), nullptr);
}

TEST(VrVideoFFMPEGEncoder, PictureIsReadInPlaceAndAFailedPacketAllocationLosesOnlyThatPacket) {
  VrVideoFFMPEGEncoder enc;
  VrEncodeParams p = VideoParams(AV_CODEC_ID_H264, 25, 64, 64);
  ASSERT_TRUE(enc.Init(&p));
  VrMediaFramePtr first = MakeNV12(64, 64, 10);
  VrMediaFramePtr second = MakeNV12(64, 64, 50);
  LogCapture log;
  {
    enc_test::FailingPayloadAllocations failing;
    enc.InputEncode(first);
  }
  // The encoder consumed the picture in the call and gave back its reference.
  EXPECT_EQ(first.use_count(), 1);
  EXPECT_EQ(enc.OutputEncode(), nullptr);
  EXPECT_EQ(log.count("VrVideoFFMPEGEncoder::InputEncode: malloc failed."), 1);
  enc.InputEncode(second);
  VrMediaFramePtr pkt = enc.OutputEncode();
  ASSERT_NE(pkt, nullptr);
  EXPECT_EQ(pkt->m_llTimestamp, 50);
}
