#include "core/VrMediaFrame.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(VrMediaFrame, ConstructionDefaults) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->m_pData, nullptr);
  EXPECT_EQ(f->m_iKeyFrame, 0);
  EXPECT_EQ(f->m_iBytesPerPixel, 0);
  EXPECT_EQ(f->m_iPixelFormat, -1);
  EXPECT_EQ(f->m_llReserved[1], 0);
  EXPECT_EQ(f->m_sTail4, 1);
  EXPECT_EQ(f->m_sTail6, 1);
  EXPECT_EQ(f->m_cTail7, 0);
}

TEST(VrMediaFrame, PixelFormatsAreTheLinkedFfmpegNumbers) {
  EXPECT_EQ(kVrPixFmtBGRA, AV_PIX_FMT_BGRA);
  EXPECT_EQ(kVrPixFmtNV12, AV_PIX_FMT_NV12);
}

TEST(VrMediaFrame, CloneCopiesEveryFieldAndOwnsItsPayload) {
  VrMediaFramePtr src = VrCreateMediaFrame();
  src->m_iMediaType = VR_MEDIA_AUDIO;
  ASSERT_TRUE(src->AllocData(16));
  for (int i = 0; i < 16; ++i) src->m_pData[i] = static_cast<uint8_t>(i * 3);
  src->m_llTimestamp = 0x123456789LL;
  src->m_iKeyFrame = 1;
  src->m_iWidth = 640;
  src->m_iHeight = 480;
  src->m_iPixelFormat = kVrPixFmtNV12;
  src->m_iCaptureMode = 3;
  src->m_iCaptureMethod = 2;
  src->m_iChannels = 2;
  src->m_iSampleRate = 48000;
  src->m_iBitsPerSample = 16;
  src->m_iRateBits = 768000;
  src->m_iSamples = 1024;
  src->m_llReserved[2] = 77;

  VrMediaFramePtr c = CloneMediaFrame(src);
  ASSERT_TRUE(c);
  ASSERT_NE(c->m_pData, nullptr);
  EXPECT_NE(c->m_pData, src->m_pData);
  EXPECT_EQ(0, std::memcmp(c->m_pData, src->m_pData, 16));
  EXPECT_EQ(c->m_iSize, 16);
  EXPECT_EQ(c->m_iMediaType, VR_MEDIA_AUDIO);
  EXPECT_EQ(c->m_llTimestamp, 0x123456789LL);
  EXPECT_EQ(c->m_iKeyFrame, 1);
  EXPECT_EQ(c->m_iWidth, 640);
  EXPECT_EQ(c->m_iHeight, 480);
  EXPECT_EQ(c->m_iPixelFormat, kVrPixFmtNV12);
  EXPECT_EQ(c->m_iCaptureMode, 3);
  EXPECT_EQ(c->m_iCaptureMethod, 2);
  EXPECT_EQ(c->m_iSampleRate, 48000);
  EXPECT_EQ(c->m_iRateBits, 768000);
  EXPECT_EQ(c->m_iSamples, 1024);
  EXPECT_EQ(c->m_llReserved[2], 77);

  // The clone is independent of the source's payload.
  src.reset();
  EXPECT_EQ(c->m_pData[5], 15);
}

TEST(VrMediaFrame, FailedAllocationsKeepSizeWithNullData) {
  VrMediaFramePtr src = VrCreateMediaFrame();
  ASSERT_TRUE(src->AllocData(64));
  auto saved = VrMediaFrame::s_pfnAllocate;
  VrMediaFrame::s_pfnAllocate = [](size_t) -> uint8_t* { return nullptr; };
  VrMediaFramePtr f = VrCreateMediaFrame();
  EXPECT_FALSE(f->AllocData(4096));
  VrMediaFramePtr c = CloneMediaFrame(src);
  VrMediaFrame::s_pfnAllocate = saved;

  EXPECT_EQ(f->m_pData, nullptr);
  EXPECT_EQ(f->m_iSize, 4096);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->m_pData, nullptr);
  EXPECT_EQ(c->m_iSize, 64);
  EXPECT_EQ(CloneMediaFrame(nullptr), nullptr);
}

TEST(VrMediaFrame, AShareCopiesTheFieldsAndKeepsTheOwnersBytesAlive) {
  VrMediaFramePtr source = VrCreateMediaFrame();
  ASSERT_TRUE(source->AllocData(16));
  std::memset(source->m_pData, 0x5A, 16);
  source->m_llTimestamp = 40;
  source->m_iWidth = 4;
  source->m_iPixelFormat = kVrPixFmtNV12;
  source->m_iCaptureMethod = 2;
  const uint8_t* bytes = source->m_pData;

  VrMediaFramePtr view = ShareMediaFrame(source);
  ASSERT_TRUE(view);
  EXPECT_NE(view.get(), source.get());
  EXPECT_EQ(view->m_pData, bytes);
  EXPECT_EQ(view->m_iSize, 16);
  EXPECT_EQ(view->m_llTimestamp, 40);
  EXPECT_EQ(view->m_iWidth, 4);
  EXPECT_EQ(view->m_iPixelFormat, kVrPixFmtNV12);
  EXPECT_EQ(view->m_iCaptureMethod, 2);
  view->m_llTimestamp = 80;  // the view's own record
  EXPECT_EQ(source->m_llTimestamp, 40);

  // A share of a share holds the owner, not the chain of views.
  VrMediaFramePtr again = ShareMediaFrame(view);
  std::weak_ptr<VrMediaFrame> firstView = view;
  source.reset();
  view.reset();
  EXPECT_TRUE(firstView.expired());
  EXPECT_EQ(again->m_pData, bytes);
  EXPECT_EQ(again->m_pData[15], 0x5A);  // still owned: ASan reports a use after free

  // A payload of its own ends the sharing.
  ASSERT_TRUE(again->AllocData(8));
  EXPECT_NE(again->m_pData, bytes);
  EXPECT_EQ(ShareMediaFrame(nullptr), nullptr);
}
