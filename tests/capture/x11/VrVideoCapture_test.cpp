#include "capture/VrVideoCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "capture/x11/ScreenFakes.h"
#include "capture/VrWindowList.h"
#include "platform/HX_Clock.h"
#include "platform/x11/X11Pixels.h"
#include "platform/x11/X11TestScene.h"
#include "support/LogCapture.h"
#include "support/XvfbServer.h"

namespace {
constexpr HX_WindowId kWin = 0x400001;

class VideoCaptureFakes : public ::testing::Test {
 protected:
  void SetUp() override {
    m_cfg = HX_ServerConfiguration::instance();
    m_cfg->resetToDefaults();
    m_cfg->m_iFullScreenMethod = kMethodGDI;
    m_cfg->m_iFps = 25;
    m_cfg->m_bCaptureCursor = false;
  }
  void TearDown() override {
    VrWindowList::release();
    VrMediaFrame::s_pfnAllocate = s_pfnSaved;
  }
  // A source on the fakes, started with manual ticks.
  std::unique_ptr<VrVideoCapture> Make() {
    auto src = std::make_unique<VrVideoCapture>(std::make_unique<FakeGrabber>(&m_grab),
                                                std::make_unique<FakeWindowInfo>(&m_win));
    src->SetManualTicks(true);
    m_sink.Attach(*src);
    return src;
  }
  void UseRegion(int l, int t, int r, int b) {
    m_cfg->m_iCaptureMode = kCaptureRegion;
    m_cfg->m_strTargetName = "DISPLAY";
    m_cfg->setCaptureRegion(l, t, r, b);
  }
  void UseWindow(const HX_ScreenRect& outer, const HX_ScreenRect& client) {
    m_cfg->m_iCaptureMode = kCaptureWindow;
    m_cfg->m_strTargetName = "Some window";
    m_win.windows[kWin] = FakeWindowInfo::Window{true, false, outer, client};
    SelectWindow(kWin);
  }

  static VrMediaFrame::PayloadAllocator s_pfnSaved;
  HX_ServerConfiguration* m_cfg = nullptr;
  FakeGrabber::State m_grab;
  FakeWindowInfo::State m_win;
  FrameSink m_sink;
};
VrMediaFrame::PayloadAllocator VideoCaptureFakes::s_pfnSaved = VrMediaFrame::s_pfnAllocate;

// Fails exactly the |failAt|-th payload allocation (counting from 1).
std::atomic<int> g_allocations{0};
int g_failAt = 0;
uint8_t* FailingAllocate(size_t size) {
  if (++g_allocations == g_failAt) return nullptr;
  return new (std::nothrow) uint8_t[size];
}
}  // namespace

TEST_F(VideoCaptureFakes, RegionFramesFollowTheConfigurationWithEvenSizes) {
  UseRegion(10, 20, 111, 73);  // 101 x 53
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  const int64_t before = HX_GetTickMs();
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 1u);
  VrMediaFramePtr f = m_sink.Last();
  EXPECT_EQ(f->m_iMediaType, VR_MEDIA_VIDEO);
  EXPECT_EQ(f->m_iWidth, 100);
  EXPECT_EQ(f->m_iHeight, 52);
  EXPECT_EQ(f->m_iSize, 100 * 52 * 4);
  EXPECT_EQ(f->m_iBytesPerPixel, 4);
  EXPECT_EQ(f->m_iPixelFormat, kVrPixFmtBGRA);
  EXPECT_EQ(f->m_iCaptureMode, kCaptureRegion);
  EXPECT_EQ(f->m_iCaptureMethod, kMethodGDI);
  EXPECT_EQ(f->m_iKeyFrame, 0);
  EXPECT_GE(f->m_llTimestamp, before);
  EXPECT_LE(f->m_llTimestamp, HX_GetTickMs());
  EXPECT_TRUE(ShowsScreenAt(f, 10, 20));

  // Moved while capturing: the very next tick grabs the new place.
  m_cfg->setCaptureRegion(300, 200, 364, 247);
  src->DoCaptureEx();
  f = m_sink.Last();
  EXPECT_EQ(f->m_iWidth, 64);
  EXPECT_EQ(f->m_iHeight, 46);
  EXPECT_TRUE(ShowsScreenAt(f, 300, 200));
  src->stop();
}

TEST_F(VideoCaptureFakes, AFailedGrabRepeatsTheLastFrameWithANewTimestamp) {
  LogCapture log;
  UseRegion(0, 0, 64, 48);
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  m_grab.failGrab = true;
  src->DoCaptureEx();
  EXPECT_EQ(m_sink.Count(), 0u);  // nothing to repeat yet
  EXPECT_TRUE(log.contains("X screen grab failed"));

  m_grab.failGrab = false;
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 1u);
  VrMediaFramePtr first = m_sink.Last();
  const int64_t firstStamp = first->m_llTimestamp;
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  m_grab.failGrab = true;
  src->DoCaptureEx();
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 3u);
  VrMediaFramePtr repeat = m_sink.At(1);
  EXPECT_NE(repeat.get(), first.get());
  EXPECT_EQ(repeat->m_pData, first->m_pData);  // the pixels are shared, not copied
  EXPECT_GT(repeat->m_llTimestamp, first->m_llTimestamp);
  EXPECT_EQ(repeat->m_iWidth, 64);
  // Repeats share the last grabbed frame's pixels; the frame itself stays untouched.
  EXPECT_EQ(first->m_llTimestamp, firstStamp);
  EXPECT_EQ(m_sink.At(2)->m_iSize, first->m_iSize);
}

TEST_F(VideoCaptureFakes, AFailedAllocationRepeatsTheLastFrame) {
  LogCapture log;
  UseRegion(0, 0, 32, 32);
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  g_allocations = 0;
  g_failAt = 2;  // the second tick's payload
  VrMediaFrame::s_pfnAllocate = &FailingAllocate;
  src->DoCaptureEx();
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 2u);
  EXPECT_TRUE(log.contains("VrVideoCapture::DoCaptureEx: malloc failed."));
  EXPECT_EQ(m_grab.grabs, 1);
  EXPECT_EQ(0, std::memcmp(m_sink.At(0)->m_pData, m_sink.At(1)->m_pData, 32 * 32 * 4));
}

TEST_F(VideoCaptureFakes, WindowAtItsStartSizeIsTakenWholeThenItsClientArea) {
  // Outer 401 x 301 with a frame (left 3, top 25); client 395 x 271.
  HX_ScreenRect outer{100, 50, 501, 351};
  HX_ScreenRect client{103, 75, 498, 346};
  UseWindow(outer, client);
  m_cfg->setOutputSize(400, 300);  // what the dialog stored: the outer size, made even
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  src->DoCaptureEx();
  VrMediaFramePtr f = m_sink.Last();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->m_iWidth, 400);
  EXPECT_EQ(f->m_iHeight, 300);
  EXPECT_TRUE(ShowsScreenAt(f, 100, 50));  // frame included, from the outer corner

  // Resized: only the client area, from where it lies inside the frame.
  m_win.windows[kWin].outer = HX_ScreenRect{100, 50, 601, 451};
  m_win.windows[kWin].client = HX_ScreenRect{103, 75, 598, 446};
  src->DoCaptureEx();
  f = m_sink.Last();
  EXPECT_EQ(f->m_iWidth, 494);   // 495 made even
  EXPECT_EQ(f->m_iHeight, 370);  // 371 made even
  EXPECT_TRUE(ShowsScreenAt(f, 103, 75));
}

TEST_F(VideoCaptureFakes, MinimisedWindowsGiveBlackFramesAndAVanishedOneItsLastPicture) {
  LogCapture log;
  HX_ScreenRect outer{0, 0, 200, 100};
  UseWindow(outer, outer);
  m_cfg->setOutputSize(120, 80);
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  m_win.windows[kWin].minimised = true;
  src->DoCaptureEx();
  VrMediaFramePtr f = m_sink.Last();
  ASSERT_TRUE(f);
  // The window differs from the stored size, so this tick's size is its client area.
  EXPECT_EQ(f->m_iWidth, 200);
  EXPECT_EQ(f->m_iHeight, 100);
  EXPECT_TRUE(AllZero(f));

  m_win.windows[kWin].minimised = false;
  src->DoCaptureEx();
  VrMediaFramePtr shown = m_sink.Last();
  EXPECT_TRUE(ShowsScreenAt(shown, 0, 0));

  // Closed: said once, and the clients keep getting the last picture.
  m_win.windows[kWin].exists = false;
  for (int i = 0; i < 3; ++i) src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 5u);
  EXPECT_EQ(0, std::memcmp(m_sink.Last()->m_pData, shown->m_pData, shown->m_iSize));
  EXPECT_EQ(log.count("the captured window 0x400001 (\"Some window\") is gone; the last picture is sent on"), 1);
  EXPECT_EQ(m_grab.grabs, 1);
  EXPECT_EQ(src->lostSince(), -1);  // the display is still there
}

TEST_F(VideoCaptureFakes, AWindowTitledDISPLAYIsStillTheWindow) {
  HX_ScreenRect outer{100, 50, 300, 150};
  UseWindow(outer, outer);
  m_cfg->m_strTargetName = "DISPLAY";
  m_cfg->setOutputSize(200, 100);
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 1u);
  EXPECT_TRUE(ShowsScreenAt(m_sink.Last(), 100, 50));
  EXPECT_EQ(m_grab.lastX, 100);
}

TEST_F(VideoCaptureFakes, AnEmptyRegionIsRefusedAtStartAndSaidOnceMidRun) {
  LogCapture log;
  UseRegion(10, 10, 11, 50);  // one pixel wide: nothing left once made even
  auto src = Make();
  EXPECT_EQ(src->start(), -1);
  EXPECT_TRUE(log.contains("the capture region (10,10)-(11,50) is empty: choose a region of at least 2 x 2 pixels"));

  UseRegion(0, 0, 32, 32);
  ASSERT_EQ(src->start(), 0);
  src->DoCaptureEx();
  m_cfg->setCaptureRegion(5, 5, 5, 40);  // the region shrank to nothing while running
  for (int i = 0; i < 4; ++i) src->DoCaptureEx();
  EXPECT_EQ(log.count("the region to capture is empty (0x34); the last picture is sent on"), 1);
  EXPECT_FALSE(log.contains("malloc failed."));
  ASSERT_EQ(m_sink.Count(), 5u);
  EXPECT_TRUE(ShowsScreenAt(m_sink.Last(), 0, 0));
  m_cfg->setCaptureRegion(4, 4, 36, 36);
  src->DoCaptureEx();
  EXPECT_TRUE(ShowsScreenAt(m_sink.Last(), 4, 4));
  m_cfg->setCaptureRegion(5, 5, 5, 40);  // a new episode is said again
  src->DoCaptureEx();
  EXPECT_EQ(log.count("the region to capture is empty"), 2);
}

TEST_F(VideoCaptureFakes, ALostDisplayIsSaidOnceAndTriedAgainEverySecond) {
  LogCapture log;
  UseRegion(0, 0, 32, 32);
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  src->TickAt(1000);
  m_grab.failGrab = true;
  m_grab.failRc = HX_IScreenGrabber::kGrabDisplayLost;
  m_grab.openRc = -1;
  for (int64_t t = 1040; t < 2040; t += 40) src->TickAt(t);
  EXPECT_EQ(src->lostSince(), 1040);
  EXPECT_EQ(m_grab.opens, 1);  // no reconnect within the first second
  src->TickAt(2040);
  src->TickAt(2080);
  EXPECT_EQ(m_grab.opens, 2);
  EXPECT_EQ(log.count("is lost; the last picture stands and the capture is tried again every 1000 ms"), 1);
  EXPECT_FALSE(log.contains("X screen grab failed"));
  EXPECT_EQ(m_sink.Count(), 28u);  // the last picture on every tick

  m_grab.openRc = 0;
  m_grab.failGrab = false;
  src->TickAt(3040);
  EXPECT_EQ(src->lostSince(), -1);
  EXPECT_EQ(log.count("is back; capturing again"), 1);
  EXPECT_EQ(m_grab.grabs, 3);  // none while the display was away
}

TEST_F(VideoCaptureFakes, StartFailures) {
  LogCapture log;
  m_cfg->m_iCaptureMode = kCaptureWindow;
  m_cfg->m_strTargetName = "Some window";
  auto src = Make();
  EXPECT_EQ(src->InitGdi(), -2);  // nothing selected
  EXPECT_EQ(src->start(), -1);
  src->stop();  // harmless after a failed start

  SelectWindow(kWin);  // selected, but it does not exist
  EXPECT_EQ(src->start(), -1);

  m_grab.openRc = -1;
  UseRegion(0, 0, 10, 10);
  EXPECT_EQ(src->InitGdi(), -1);
  EXPECT_EQ(src->start(), -1);

  m_grab.openRc = 0;
  m_cfg->m_iFps = 0;
  EXPECT_EQ(src->start(), -1);
  EXPECT_TRUE(log.contains("invalid frame rate 0"));
  EXPECT_EQ(m_sink.Count(), 0u);
}

TEST_F(VideoCaptureFakes, WholeMonitorPathRebuildsALostDevice) {
  LogCapture log;
  m_cfg->m_iCaptureMode = kCaptureFullScreen;
  m_cfg->m_iMonitorIndex = 1;
  m_grab.monitors = {HX_ScreenRect{0, 0, 1920, 1080}, HX_ScreenRect{1920, 0, 3200, 1024}};
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  src->DoCaptureEx2();
  VrMediaFramePtr f = m_sink.Last();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->m_iWidth, 1280);
  EXPECT_EQ(f->m_iHeight, 1024);
  EXPECT_EQ(f->m_iCaptureMode, kCaptureFullScreen);
  EXPECT_TRUE(ShowsScreenAt(f, 1920, 0));

  // The screen was reconfigured: this tick is black, the grab is rebuilt
  // and the next tick has the monitor's new size.
  m_grab.deviceStates = {HX_IScreenGrabber::kDeviceLost};
  m_grab.monitors[1] = HX_ScreenRect{1920, 0, 2944, 768};
  src->DoCaptureEx2();
  f = m_sink.Last();
  EXPECT_EQ(f->m_iWidth, 1280);
  EXPECT_TRUE(AllZero(f));
  EXPECT_TRUE(log.contains(
      "VrVideoCapture::DoCaptureEx2: X screen grab lost (screen layout changed), begin reset!"));
  EXPECT_EQ(m_grab.opens, 2);
  EXPECT_EQ(m_grab.closes, 1);
  src->DoCaptureEx2();
  f = m_sink.Last();
  EXPECT_EQ(f->m_iWidth, 1024);
  EXPECT_EQ(f->m_iHeight, 768);
  EXPECT_TRUE(ShowsScreenAt(f, 1920, 0));

  // A failed grab repeats the last frame.
  m_grab.failGrab = true;
  src->DoCaptureEx2();
  EXPECT_EQ(m_sink.Count(), 4u);
  EXPECT_TRUE(ShowsScreenAt(m_sink.Last(), 1920, 0));

  m_cfg->m_iMonitorIndex = 2;  // no such monitor
  VrVideoCapture other(std::make_unique<FakeGrabber>(&m_grab), nullptr);
  EXPECT_LT(other.InitD3D9(), 0);
  EXPECT_EQ(other.start(), -1);
}

TEST_F(VideoCaptureFakes, AWholeMonitorWhoseDisplayWentIsTriedAgainEverySecond) {
  LogCapture log;
  m_cfg->m_iCaptureMode = kCaptureFullScreen;
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  src->TickAt(1000);
  m_grab.deviceStates = {HX_IScreenGrabber::kDeviceLost};
  m_grab.openRc = -1;  // the display is gone
  for (int64_t t = 1040; t <= 2080; t += 40) src->TickAt(t);
  EXPECT_EQ(log.count("is lost; the last picture stands"), 1);
  EXPECT_FALSE(log.contains("X screen grab lost"));
  EXPECT_EQ(m_grab.opens, 3);  // start, the loss, one retry a second later
  EXPECT_TRUE(ShowsScreenAt(m_sink.Last(), 0, 0));  // the last picture, not black
  EXPECT_EQ(src->lostSince(), 1040);

  m_grab.openRc = 0;  // back, but without the configured monitor
  m_grab.monitors.clear();
  src->TickAt(3040);
  EXPECT_EQ(src->lostSince(), 1040);
  m_grab.monitors = {HX_ScreenRect{0, 0, 1920, 1080}};
  src->TickAt(4040);
  EXPECT_EQ(src->lostSince(), -1);
  EXPECT_TRUE(ShowsScreenAt(m_sink.Last(), 0, 0));
  EXPECT_EQ(m_grab.grabs, 2);
}

// --- against a real X server --------------------------------------------

class VideoCaptureXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_x.ok()) << m_x.error();
    m_x.exportDisplay();
    m_cfg = HX_ServerConfiguration::instance();
    m_cfg->resetToDefaults();
    m_cfg->m_iFullScreenMethod = kMethodGDI;
  }
  void TearDown() override { VrWindowList::release(); }
  XvfbServer m_x;
  HX_ServerConfiguration* m_cfg = nullptr;
};

TEST_F(VideoCaptureXvfb, TimerDrivenRegionCaptureOfRealWindows) {
  X11TestScene s(m_x.display());
  s.createApp(100, 100, 80, 60, 0xFF0000, "red");
  s.createApp(180, 100, 80, 60, 0x0000FF, "blue");
  m_cfg->m_iCaptureMode = kCaptureRegion;
  m_cfg->m_strTargetName = "DISPLAY";
  m_cfg->setCaptureRegion(90, 95, 271, 166);  // 181 x 71 → 180 x 70
  m_cfg->m_iFps = 50;
  VrVideoCapture src;
  FrameSink sink;
  sink.Attach(src);
  ASSERT_EQ(src.start(), 0);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return sink.Count() >= 3; }));
  src.stop();
  const size_t after = sink.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_EQ(sink.Count(), after);  // nothing once stop returned

  VrMediaFramePtr f = sink.Last();
  ASSERT_EQ(f->m_iWidth, 180);
  ASSERT_EQ(f->m_iHeight, 70);
  const int pitch = 180 * 4;
  EXPECT_TRUE(X11Pixels::Block(f->m_pData, pitch, 10, 5, 80, 60, 0xFF0000));
  EXPECT_TRUE(X11Pixels::Block(f->m_pData, pitch, 90, 5, 80, 60, 0x0000FF));
  EXPECT_EQ(X11Pixels::At(f->m_pData, pitch, 9, 5) == X11Pixels::Bgra(0xFF0000), false);
}

TEST_F(VideoCaptureXvfb, WholeMonitorOfTheRealScreen) {
  X11TestScene s(m_x.display());
  s.createApp(1200, 760, 80, 40, 0x00FF00, "corner");
  m_cfg->m_iCaptureMode = kCaptureFullScreen;
  m_cfg->m_iMonitorIndex = 0;
  VrVideoCapture src;
  src.SetManualTicks(true);
  FrameSink sink;
  sink.Attach(src);
  ASSERT_EQ(src.start(), 0);
  src.DoCaptureEx2();
  VrMediaFramePtr f = sink.Last();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->m_iWidth, 1280);
  EXPECT_EQ(f->m_iHeight, 800);
  EXPECT_TRUE(X11Pixels::Block(f->m_pData, 1280 * 4, 1200, 760, 80, 40, 0x00FF00));
}

TEST(VideoCaptureManaged, FramedWindowWholeThenClientAreaThenBlackWhenMinimised) {
  XvfbServer::Options o;
  o.windowManager = true;
  XvfbServer x(o);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  X11TestScene s(x.display());
  uint32_t win = s.createApp(200, 200, 300, 201, 0xFF00FF, "framed");
  // Wait until the window manager framed and listed it.
  std::vector<VrWindowEntry> entries;
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    return VrWindowList::instance()->refill() == 0 &&
           VrWindowList::instance()->copyEntries(&entries) == 0 && entries.size() == 1;
  }));
  VrWindowList::instance()->setSelectedIndex(0);
  ASSERT_EQ(VrWindowList::instance()->getSelectedWindow(), win);

  cfg->m_iCaptureMode = kCaptureWindow;
  cfg->m_strTargetName = "framed";
  cfg->setOutputSize(302, 226);  // outer 302 x 226 (frame 1, 1, 20, 5)
  VrVideoCapture src;
  src.SetManualTicks(true);
  FrameSink sink;
  sink.Attach(src);
  ASSERT_EQ(src.start(), 0);
  src.DoCaptureEx();
  VrMediaFramePtr f = sink.Last();
  ASSERT_TRUE(f);
  ASSERT_EQ(f->m_iWidth, 302);
  ASSERT_EQ(f->m_iHeight, 226);
  // The client sits 1 pixel in and 20 down; the frame around it is not magenta.
  EXPECT_TRUE(X11Pixels::Block(f->m_pData, 302 * 4, 1, 20, 300, 201, 0xFF00FF));
  EXPECT_NE(X11Pixels::At(f->m_pData, 302 * 4, 150, 5), X11Pixels::Bgra(0xFF00FF));

  // Resized: from now on only the client area is taken.
  s.moveResize(win, 200, 200, 400, 301);
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    src.DoCaptureEx();
    return sink.Last()->m_iWidth == 400;
  }));
  f = sink.Last();
  ASSERT_EQ(f->m_iHeight, 300);  // 301 made even
  EXPECT_TRUE(X11Pixels::Block(f->m_pData, 400 * 4, 0, 0, 400, 300, 0xFF00FF));

  ASSERT_EQ(x.run({"xdotool", "windowminimize", std::to_string(win)}), 0);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return !s.viewable(win); }));
  src.DoCaptureEx();
  f = sink.Last();
  EXPECT_EQ(f->m_iWidth, 400);
  EXPECT_TRUE(AllZero(f));
  src.stop();
  VrWindowList::release();
}
