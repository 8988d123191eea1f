#include "capture/VrVideoWinRTCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "capture/VrWindowList.h"
#include "capture/x11/ScreenFakes.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/x11/X11Pixels.h"
#include "platform/x11/X11TestScene.h"
#include "support/LogCapture.h"
#include "support/XvfbServer.h"

namespace {
constexpr HX_WindowId kWin = 0x500001;

// An image w x h whose row bytes are |fill| (padding 0xCD).
HX_WinRTImage* Image(int32_t w, int32_t h, uint8_t fill, int32_t pitch = 0) {
  auto* img = new HX_WinRTImage();
  img->m_iWidth = w;
  img->m_iHeight = h;
  img->m_iPitch = pitch ? pitch : w * 4;
  img->m_pData.reset(new uint8_t[static_cast<size_t>(img->m_iPitch) * h]);
  std::memset(img->m_pData.get(), 0xCD, static_cast<size_t>(img->m_iPitch) * h);
  for (int32_t r = 0; r < h; ++r) {
    std::memset(img->m_pData.get() + static_cast<size_t>(r) * img->m_iPitch, fill,
                static_cast<size_t>(std::min(w * 4, img->m_iPitch)));
  }
  return img;
}

bool Filled(const VrMediaFramePtr& f, uint8_t value) {
  for (int32_t i = 0; i < f->m_iSize; ++i) {
    if (f->m_pData[i] != value) return false;
  }
  return true;
}

// A capture component that only counts.
int g_inits = 0;
int g_frees = 0;
bool g_refuse = false;
HX_WinRTCaptureSession* FakeInit(HX_WindowId, HX_WinRTCallback, void*) {
  ++g_inits;
  return g_refuse ? nullptr : reinterpret_cast<HX_WinRTCaptureSession*>(0x1);
}
void FakeFree(HX_WinRTCaptureSession*) { ++g_frees; }

class WinRTCaptureFakes : public ::testing::Test {
 protected:
  void SetUp() override {
    HX_ServerConfiguration::instance()->resetToDefaults();
    HX_ServerConfiguration::instance()->m_iCaptureMode = kCaptureWindow;
    HX_ServerConfiguration::instance()->m_bCaptureCursor = false;
    g_inits = g_frees = 0;
    g_refuse = false;
    m_win.windows[kWin] = FakeWindowInfo::Window();
  }
  void TearDown() override { VrWindowList::release(); }
  std::unique_ptr<VrVideoWinRTCapture> Make() {
    auto src = std::make_unique<VrVideoWinRTCapture>(std::make_unique<FakeWindowInfo>(&m_win),
                                                     HX_WinRTCaptureApi{&FakeInit, &FakeFree},
                                                     std::make_unique<FakeCursorSource>(&m_cursor));
    src->SetManualTicks(true);
    m_sink.Attach(*src);
    return src;
  }
  FakeWindowInfo::State m_win;
  FakeCursorSource::State m_cursor;
  FrameSink m_sink;
};
}  // namespace

TEST_F(WinRTCaptureFakes, AClosedWindowIsSaidOnceAndItsLastPictureIsSentOn) {
  LogCapture log;
  HX_ServerConfiguration::instance()->m_strTargetName = "Editor";
  SelectWindow(kWin);
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  VrVideoWinRTCapture::OnTexture(Image(8, 4, 0x42), src.get());
  src->TickAt(1000);
  m_win.windows[kWin].exists = false;
  for (int64_t t = 1040; t <= 4000; t += 40) src->TickAt(t);
  EXPECT_EQ(log.count("the captured window 0x500001 (\"Editor\") is gone; the last picture is sent on"), 1);
  EXPECT_EQ(src->lostSince(), -1);  // the display itself is there
  EXPECT_TRUE(Filled(m_sink.Last(), 0x42));
  EXPECT_EQ(m_sink.Count(), 76u);  // a picture on every tick

  // With the display gone too, a new connection fails: the display is what was lost.
  auto other = Make();
  m_win.windows[kWin].exists = true;
  ASSERT_EQ(other->start(), 0);
  m_win.windows[kWin].exists = false;
  m_win.openRc = -1;
  other->TickAt(5000);
  EXPECT_EQ(other->lostSince(), 5000);
  other->TickAt(5500);
  m_win.openRc = 0;
  other->TickAt(6000);  // back, and the window did not survive it
  EXPECT_EQ(other->lostSince(), -1);
  EXPECT_EQ(log.count("is gone; the last picture is sent on"), 2);
}

TEST_F(WinRTCaptureFakes, APointerMovingOverAStillWindowGivesNewPictures) {
  HX_ServerConfiguration::instance()->m_bCaptureCursor = true;
  m_win.windows[kWin].client = HX_ScreenRect{200, 100, 208, 104};
  m_cursor.now.visible = true;
  m_cursor.now.x = 201;  // window pixel (1, 1)
  m_cursor.now.y = 101;
  m_cursor.now.image = FakeCursorSource::Square(2, 0xFF0000FF, 1);
  SelectWindow(kWin);
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  VrVideoWinRTCapture::OnTexture(Image(8, 4, 0x42), src.get());
  src->DoCaptureEx();
  EXPECT_EQ(PixelAt(m_sink.Last(), 0, 0), 0x420000FFu);
  src->DoCaptureEx();  // nothing new
  EXPECT_EQ(PixelAt(m_sink.Last(), 0, 0), 0x420000FFu);
  m_cursor.now.x = 206;
  src->DoCaptureEx();
  EXPECT_EQ(PixelAt(m_sink.Last(), 0, 0), 0x42424242u);
  EXPECT_EQ(PixelAt(m_sink.Last(), 5, 0), 0x420000FFu);
  EXPECT_EQ(m_sink.Count(), 3u);
}

TEST_F(WinRTCaptureFakes, ElevenImagesBetweenTwoTicksLeaveTheTenNewest) {
  auto src = Make();
  for (int i = 0; i < 11; ++i) VrVideoWinRTCapture::OnTexture(Image(10 + 2 * i, 4, 0x10 + i), src.get());
  EXPECT_EQ(src->QueuedTextures(), 10u);
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 1u);
  EXPECT_EQ(m_sink.Last()->m_iWidth, 12);  // the first image was dropped
  EXPECT_TRUE(Filled(m_sink.Last(), 0x11));
  src->DoCaptureEx();
  EXPECT_EQ(m_sink.Last()->m_iWidth, 14);  // oldest first
  EXPECT_EQ(src->QueuedTextures(), 8u);
}

TEST_F(WinRTCaptureFakes, CallbackRulesForNullImagesAndNullUsers) {
  auto src = Make();
  VrVideoWinRTCapture::OnTexture(nullptr, src.get());
  EXPECT_EQ(src->QueuedTextures(), 0u);
  // Without a user the image is released here (the leak checker would see it otherwise).
  VrVideoWinRTCapture::OnTexture(Image(8, 8, 1), nullptr);
  EXPECT_EQ(src->QueuedTextures(), 0u);
}

TEST_F(WinRTCaptureFakes, TicksCopyResizeAndRepeat) {
  auto src = Make();
  src->DoCaptureEx();
  EXPECT_EQ(m_sink.Count(), 0u);  // nothing before the first image

  VrVideoWinRTCapture::OnTexture(Image(16, 8, 0x55, 16 * 4 + 12), src.get());  // padded rows
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 1u);
  VrMediaFramePtr f = m_sink.Last();
  EXPECT_EQ(f->m_iWidth, 16);
  EXPECT_EQ(f->m_iHeight, 8);
  EXPECT_EQ(f->m_iSize, 16 * 8 * 4);
  EXPECT_EQ(f->m_iPixelFormat, kVrPixFmtBGRA);
  EXPECT_EQ(f->m_iCaptureMode, kCaptureWindow);
  EXPECT_TRUE(Filled(f, 0x55));

  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  src->DoCaptureEx();  // a static window: the last frame again, newly stamped
  ASSERT_EQ(m_sink.Count(), 2u);
  EXPECT_TRUE(Filled(m_sink.Last(), 0x55));
  EXPECT_EQ(m_sink.Last()->m_pData, f->m_pData);  // shared, not copied
  EXPECT_GT(m_sink.Last()->m_llTimestamp, f->m_llTimestamp);

  VrVideoWinRTCapture::OnTexture(Image(30, 20, 0x66), src.get());  // the window grew
  src->DoCaptureEx();
  EXPECT_EQ(m_sink.Last()->m_iWidth, 30);
  EXPECT_EQ(m_sink.Last()->m_iHeight, 20);

  VrVideoWinRTCapture::OnTexture(Image(30, 20, 0x77, 30 * 4 - 4), src.get());  // rows too short
  src->DoCaptureEx();
  EXPECT_EQ(m_sink.Count(), 3u);  // dropped, and not repeated either
  EXPECT_EQ(src->QueuedTextures(), 0u);
}

TEST_F(WinRTCaptureFakes, StartNeedsAValidSelectedWindowAndTheComponent) {
  auto src = Make();
  EXPECT_EQ(src->start(), -2);  // nothing selected
  SelectWindow(0x999);                // selected, but not a window
  EXPECT_EQ(src->start(), -2);
  EXPECT_EQ(g_inits, 0);
  SelectWindow(kWin);
  g_refuse = true;
  EXPECT_EQ(src->start(), -3);
  src->stop();
  EXPECT_EQ(g_frees, 0);  // nothing was started

  g_refuse = false;
  ASSERT_EQ(src->start(), 0);
  VrVideoWinRTCapture::OnTexture(Image(4, 4, 1), src.get());
  src->stop();
  EXPECT_EQ(g_frees, 1);
  EXPECT_EQ(src->QueuedTextures(), 0u);  // emptied after the component ended
  src->stop();
  EXPECT_EQ(g_frees, 1);
}

TEST(WinRTCaptureXvfb, CoveredWindowThroughTheCompositeComponent) {
  XvfbServer x;
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  cfg->m_iCaptureMode = kCaptureWindow;
  cfg->m_iFps = 50;
  X11TestScene s(x.display());
  uint32_t target = s.createApp(50, 50, 120, 90, 0xFF8000, "target");
  s.createApp(0, 0, 400, 400, 0x202020, "cover");
  ASSERT_EQ(VrWindowList::instance()->refill(), 0);
  std::vector<VrWindowEntry> entries;
  ASSERT_EQ(VrWindowList::instance()->copyEntries(&entries), 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].m_uiWindow == target) VrWindowList::instance()->setSelectedIndex(static_cast<int>(i));
  }
  ASSERT_EQ(VrWindowList::instance()->getSelectedWindow(), target);

  VrVideoWinRTCapture src;
  FrameSink sink;
  sink.Attach(src);
  ASSERT_EQ(src.start(), 0);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return sink.Count() >= 3; }));
  src.stop();
  VrMediaFramePtr f = sink.Last();
  EXPECT_EQ(f->m_iWidth, 120);
  EXPECT_EQ(f->m_iHeight, 90);
  EXPECT_TRUE(X11Pixels::Block(f->m_pData, 120 * 4, 0, 0, 120, 90, 0xFF8000));
  VrWindowList::release();
}
