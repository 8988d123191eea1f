#include "capture/VrVideoDXGICapture.h"

#include <gtest/gtest.h>

#include <thread>

#include "capture/x11/ScreenFakes.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/x11/X11Pixels.h"
#include "platform/x11/X11TestScene.h"
#include "support/LogCapture.h"
#include "support/XvfbServer.h"

namespace {
using A = FakeWatcher::Acquire;

A Frame(uint8_t fill, int32_t w = 64, int32_t h = 32, int32_t pitch = 64 * 4) {
  return A{HX_IDamageWatcher::kFrameReady, w, h, pitch, fill};
}
A Code(int code) { return A{code, 0, 0, 0, 0}; }

bool Filled(const VrMediaFramePtr& f, uint8_t value) {
  for (int32_t i = 0; i < f->m_iSize; ++i) {
    if (f->m_pData[i] != value) return false;
  }
  return true;
}

class DXGICaptureFakes : public ::testing::Test {
 protected:
  void SetUp() override {
    m_cfg = HX_ServerConfiguration::instance();
    m_cfg->resetToDefaults();
    m_cfg->m_iCaptureMode = kCaptureFullScreen;
    m_cfg->m_iFullScreenMethod = kMethodDXGI;
    m_cfg->setOutputSize(64, 32);
    m_cfg->m_bCaptureCursor = false;
  }
  std::unique_ptr<VrVideoDXGICapture> Make() {
    auto src = std::make_unique<VrVideoDXGICapture>(std::make_unique<FakeWatcher>(&m_st),
                                                    std::make_unique<FakeCursorSource>(&m_cursor));
    src->SetManualTicks(true);
    m_sink.Attach(*src);
    return src;
  }
  HX_ServerConfiguration* m_cfg = nullptr;
  FakeWatcher::State m_st;
  FakeCursorSource::State m_cursor;
  FrameSink m_sink;
};

uint32_t Pixel(const VrMediaFramePtr& f, int32_t x, int32_t y) { return PixelAt(f, x, y); }
// Full-screen damage capture at |width| x |height| output, for tests on a
// private X server.
HX_ServerConfiguration* ConfigureDamageCapture(int32_t width, int32_t height, bool cursor) {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  cfg->m_bCaptureCursor = cursor;
  cfg->m_iCaptureMode = kCaptureFullScreen;
  cfg->m_iFullScreenMethod = kMethodDXGI;
  cfg->setOutputSize(width, height);
  return cfg;
}
}  // namespace

TEST_F(DXGICaptureFakes, StartReportsEachSetUpStep) {
  struct Case {
    int open, init, monitor, duplicate;
    int expected;
    const char* line;
  } cases[] = {
      {-1, 0, 0, 0, -1, "VrVideoDXGICapture::InitFactory: Failed to connect to the X display"},
      {-2, 0, 0, 0, -1, "VrVideoDXGICapture::InitFactory: Failed to find the X display's screen"},
      {0, -2, 0, 0, -2, "VrVideoDXGICapture::InitDevice: Failed to create device"},
      {0, 0, HX_IDamageWatcher::kMonitorNotFound, 0, -3,
       "VrVideoDXGICapture::CreateDuplicator: Invalid monitor index"},
      {0, 0, -2, 0, -3, "VrVideoDXGICapture::get_monitor: Failed to get output"},
      {0, 0, 0, -1, -3, "VrVideoDXGICapture::CreateDuplicator: Failed to duplicate output"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    m_st = FakeWatcher::State();
    m_st.openRc = c.open;
    m_st.initRc = c.init;
    m_st.monitorRc = c.monitor;
    m_st.duplicateRc = c.duplicate;
    auto src = Make();
    EXPECT_EQ(src->start(), c.expected) << c.line;
    EXPECT_TRUE(log.contains(c.line)) << c.line;
    src->stop();
  }
  // A missing monitor is not an enumeration failure.
  LogCapture log;
  m_st = FakeWatcher::State();
  m_st.monitorRc = HX_IDamageWatcher::kMonitorNotFound;
  EXPECT_EQ(Make()->start(), -3);
  EXPECT_FALSE(log.contains("Failed to get output"));
}

TEST_F(DXGICaptureFakes, SuccessfulStartDescribesTheMonitor) {
  LogCapture log;
  m_st.desc.name = "DP-1";
  m_st.rect = HX_ScreenRect{1920, 0, 3840, 1080};
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  EXPECT_TRUE(log.contains("DAMAGE extension loaded successfully, version used: 1.1"));
  EXPECT_TRUE(log.contains("RandR output:DP-1 RECT:L:1920,R:3840,T:0,B:1080"));
  src->stop();
  EXPECT_EQ(m_st.closes, 1);
}

TEST_F(DXGICaptureFakes, TicksDeliverChangesAndRepeatTheLastFrameOtherwise) {
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  m_st.script = {Code(HX_IDamageWatcher::kFrameTimeout), Frame(0x11), Code(HX_IDamageWatcher::kFrameTimeout),
                 Frame(0x22, 100, 50, 400), Frame(0x33, 64, 32, 64 * 4 + 24), Frame(0x44, 65, 33, 65 * 4),
                 Frame(0x55, 66, 32, 66 * 4)};
  src->DoCaptureEx();
  EXPECT_EQ(m_sink.Count(), 0u);  // no change yet and nothing to repeat

  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 1u);
  VrMediaFramePtr first = m_sink.Last();
  EXPECT_EQ(first->m_iWidth, 64);
  EXPECT_EQ(first->m_iHeight, 32);
  EXPECT_EQ(first->m_iPixelFormat, kVrPixFmtBGRA);
  EXPECT_EQ(first->m_iBytesPerPixel, 4);
  EXPECT_EQ(first->m_iCaptureMode, kCaptureFullScreen);
  EXPECT_EQ(first->m_iCaptureMethod, kMethodDXGI);
  EXPECT_TRUE(Filled(first, 0x11));

  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  m_cfg->m_iCaptureMode = kCaptureRegion;  // read again at every tick
  src->DoCaptureEx();  // nothing changed
  ASSERT_EQ(m_sink.Count(), 2u);
  EXPECT_EQ(m_sink.Last()->m_pData, first->m_pData);  // shared, not copied
  EXPECT_TRUE(Filled(m_sink.Last(), 0x11));
  EXPECT_GT(m_sink.Last()->m_llTimestamp, first->m_llTimestamp);

  src->DoCaptureEx();  // a monitor of another size than configured: repeat
  ASSERT_EQ(m_sink.Count(), 3u);
  EXPECT_TRUE(Filled(m_sink.Last(), 0x11));

  src->DoCaptureEx();  // padded rows are copied without skew or padding
  ASSERT_EQ(m_sink.Count(), 4u);
  EXPECT_TRUE(Filled(m_sink.Last(), 0x33));
  EXPECT_EQ(m_sink.Last()->m_iCaptureMode, kCaptureRegion);

  src->DoCaptureEx();  // an odd-sized monitor streams at the even size below it
  ASSERT_EQ(m_sink.Count(), 5u);
  EXPECT_EQ(m_sink.Last()->m_iWidth, 64);
  EXPECT_EQ(m_sink.Last()->m_iHeight, 32);
  EXPECT_TRUE(Filled(m_sink.Last(), 0x44));

  src->DoCaptureEx();  // two columns more is another monitor size: repeat
  ASSERT_EQ(m_sink.Count(), 6u);
  EXPECT_TRUE(Filled(m_sink.Last(), 0x44));
}

TEST_F(DXGICaptureFakes, FailuresAndLostAccessRepeatTheLastFrame) {
  LogCapture log;
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  m_st.script = {Frame(0x44), Code(HX_IDamageWatcher::kFrameFailure),
                 Code(HX_IDamageWatcher::kAccessLost), Code(HX_IDamageWatcher::kAccessLost)};
  for (int i = 0; i < 4; ++i) src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 4u);
  for (size_t i = 1; i < 4; ++i) EXPECT_TRUE(Filled(m_sink.At(i), 0x44));
  EXPECT_TRUE(log.contains(
      "VrVideoDXGICapture::DuplicatorUpdateFrame: Failed to read the changed monitor image from the "
      "X server (FFFFFFFE)"));
  EXPECT_EQ(log.count("Failed to read the changed monitor image"), 1);  // a lost output is not an error line
}

TEST_F(DXGICaptureFakes, ALayoutChangeRebuildsTheWatcherAndFollowsTheMonitorsNewSize) {
  LogCapture log;
  m_st.desc.name = "DP-2";
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  m_st.script = {Frame(0x11), Code(HX_IDamageWatcher::kAccessLost), Frame(0x22, 80, 40, 80 * 4),
                 Code(HX_IDamageWatcher::kFrameTimeout)};
  src->DoCaptureEx();
  m_st.rect = HX_ScreenRect{1920, 0, 2001, 41};  // the monitor grew to 81 x 41 and moved
  src->DoCaptureEx();  // access lost: rebuilt at once, the last frame stands
  EXPECT_EQ(m_st.opens, 2);
  EXPECT_EQ(m_st.closes, 1);
  EXPECT_EQ(src->lostSince(), -1);
  src->DoCaptureEx();  // the rebuilt watcher's first picture, at the new even size
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 4u);
  EXPECT_TRUE(Filled(m_sink.At(1), 0x11));
  EXPECT_EQ(m_sink.At(2)->m_iWidth, 80);
  EXPECT_EQ(m_sink.At(2)->m_iHeight, 40);
  EXPECT_TRUE(Filled(m_sink.At(2), 0x22));
  EXPECT_TRUE(Filled(m_sink.At(3), 0x22));
  EXPECT_EQ(log.count("the screen layout changed: monitor 0 (DP-2) is now 80x40 at 1920,0"), 1);
  EXPECT_EQ(log.count("RandR output:"), 1);  // the rebuild repeats none of the start's lines
}

TEST_F(DXGICaptureFakes, ALostDisplayIsSaidOnceAndTriedAgainEverySecond) {
  LogCapture log;
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  m_st.script = {Frame(0x11), Code(HX_IDamageWatcher::kAccessLost)};
  src->TickAt(1000);
  m_st.openRc = -1;  // the X server is gone
  src->TickAt(1040);
  EXPECT_EQ(src->lostSince(), 1040);
  EXPECT_EQ(m_st.opens, 2);
  for (int64_t t = 1080; t < 2040; t += 40) src->TickAt(t);
  EXPECT_EQ(m_st.opens, 2);  // not before a second has passed
  src->TickAt(2040);
  src->TickAt(2080);
  EXPECT_EQ(m_st.opens, 3);
  EXPECT_EQ(log.count("is lost; the last picture stands"), 1);
  EXPECT_EQ(log.count("Failed to connect to the X display"), 0);
  for (size_t i = 0; i < m_sink.Count(); ++i) EXPECT_TRUE(Filled(m_sink.At(i), 0x11));

  m_st.openRc = 0;  // back again
  m_st.script = {Frame(0x33)};
  src->TickAt(3040);
  EXPECT_EQ(src->lostSince(), -1);
  EXPECT_EQ(log.count("is back; capturing again"), 1);
  src->TickAt(3080);
  EXPECT_TRUE(Filled(m_sink.Last(), 0x33));

  // A monitor that vanished with the change is named as what was lost.
  m_st.script = {Code(HX_IDamageWatcher::kAccessLost)};
  m_st.monitorRc = HX_IDamageWatcher::kMonitorNotFound;
  src->TickAt(3120);
  EXPECT_EQ(log.count("monitor 0 is lost"), 1);
  EXPECT_EQ(src->lostSince(), 3120);
}

TEST_F(DXGICaptureFakes, APointerMovingOverAStillDesktopGivesNewPictures) {
  m_cfg->m_bCaptureCursor = true;
  m_st.rect = HX_ScreenRect{100, 50, 164, 82};
  const uint32_t kGreen = 0xFF00FF00;
  const uint32_t kGreenHere = 0x1100FF00;  // the picture keeps its fourth byte
  m_cursor.now.visible = true;
  m_cursor.now.x = 110;  // picture (10, 10)
  m_cursor.now.y = 60;
  m_cursor.now.image = FakeCursorSource::Square(4, kGreen, 1);
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  m_st.script = {Frame(0x11)};
  src->DoCaptureEx();
  ASSERT_EQ(m_sink.Count(), 1u);
  VrMediaFramePtr first = m_sink.Last();
  EXPECT_EQ(Pixel(first, 8, 8), kGreenHere);  // hot spot at the square's centre
  EXPECT_EQ(Pixel(first, 11, 11), kGreenHere);
  EXPECT_EQ(Pixel(first, 12, 12), 0x11111111u);
  EXPECT_EQ(Pixel(first, 7, 8), 0x11111111u);

  src->DoCaptureEx();  // nothing moved: a plain repeat
  EXPECT_EQ(0, std::memcmp(m_sink.Last()->m_pData, first->m_pData, first->m_iSize));

  m_cursor.now.x = 130;
  m_cursor.now.y = 70;
  src->DoCaptureEx();  // the desktop is still, the pointer moved
  ASSERT_EQ(m_sink.Count(), 3u);
  VrMediaFramePtr moved = m_sink.Last();
  EXPECT_EQ(Pixel(moved, 8, 8), 0x11111111u);  // the old place shows the desktop again
  EXPECT_EQ(Pixel(moved, 11, 11), 0x11111111u);
  EXPECT_EQ(Pixel(moved, 28, 18), kGreenHere);
  EXPECT_EQ(Pixel(first, 8, 8), kGreenHere);  // the delivered picture itself is untouched

  m_cursor.now.image = FakeCursorSource::Square(2, 0xFFFF0000, 2);  // a new shape, same place
  src->DoCaptureEx();
  EXPECT_EQ(Pixel(m_sink.Last(), 28, 18), 0x11111111u);
  EXPECT_EQ(Pixel(m_sink.Last(), 29, 19), 0x11FF0000u);

  m_cursor.now.x = 500;  // off the monitor: the picture shows no pointer at all
  src->DoCaptureEx();
  for (int32_t y = 0; y < 32; ++y) {
    for (int32_t x = 0; x < 64; ++x) ASSERT_EQ(Pixel(m_sink.Last(), x, y), 0x11111111u) << x << "," << y;
  }
  EXPECT_EQ(m_sink.Count(), 5u);
}

TEST_F(DXGICaptureFakes, NothingIsAcquiredAfterStopOrWithoutStart) {
  auto src = Make();
  src->DoCaptureEx();  // never started
  ASSERT_EQ(src->start(), 0);
  src->stop();
  m_st.script = {Frame(0x55)};
  src->DoCaptureEx();  // stopped: the watcher is released
  EXPECT_EQ(m_st.acquires, 0);
  EXPECT_EQ(m_sink.Count(), 0u);
  m_cfg->m_iFps = 0;
  VrVideoDXGICapture bad(std::make_unique<FakeWatcher>(&m_st));
  EXPECT_EQ(bad.start(), -1);
}

TEST(DXGICaptureXvfb, DamageDrivenFramesOfTheRealScreen) {
  XvfbServer x;
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  HX_ServerConfiguration* cfg = ConfigureDamageCapture(1280, 800, true);
  X11TestScene s(x.display());
  uint32_t win = s.createApp(300, 200, 100, 50, 0xFF0000, "w");

  VrVideoDXGICapture src;
  src.SetManualTicks(true);
  FrameSink sink;
  sink.Attach(src);
  ASSERT_EQ(src.start(), 0);
  src.DoCaptureEx();  // the first tick always counts as a change
  ASSERT_EQ(sink.Count(), 1u);
  VrMediaFramePtr first = sink.Last();
  EXPECT_TRUE(X11Pixels::Block(first->m_pData, 1280 * 4, 300, 200, 100, 50, 0xFF0000));
  for (int i = 0; i < 3; ++i) src.DoCaptureEx();
  ASSERT_EQ(sink.Count(), 4u);
  EXPECT_EQ(0, std::memcmp(sink.Last()->m_pData, first->m_pData, first->m_iSize));

  s.fill(win, 0x00FF00);
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    src.DoCaptureEx();
    return X11Pixels::Block(sink.Last()->m_pData, 1280 * 4, 300, 200, 100, 50, 0x00FF00);
  }));
  src.stop();

  LogCapture log;
  cfg->m_iMonitorIndex = 1;  // Xvfb has one monitor
  VrVideoDXGICapture second;
  EXPECT_EQ(second.start(), -3);
  EXPECT_TRUE(log.contains("Invalid monitor index"));
}

TEST(DXGICaptureXvfb, AnOddSizedMonitorStreamsItsEvenTopLeftPart) {
  XvfbServer::Options o;
  o.width = 1921;
  o.height = 1081;
  XvfbServer x(o);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  ConfigureDamageCapture(1920, 1080, false);  // the monitor's size rounded down to even
  X11TestScene s(x.display());
  s.createApp(1880, 1040, 41, 41, 0x0000FF, "corner");  // reaches the last column and row
  VrVideoDXGICapture src;
  src.SetManualTicks(true);
  FrameSink sink;
  sink.Attach(src);
  ASSERT_EQ(src.start(), 0);
  src.DoCaptureEx();
  ASSERT_EQ(sink.Count(), 1u);
  EXPECT_EQ(sink.Last()->m_iWidth, 1920);
  EXPECT_EQ(sink.Last()->m_iHeight, 1080);
  EXPECT_TRUE(X11Pixels::Block(sink.Last()->m_pData, 1920 * 4, 1880, 1040, 40, 40, 0x0000FF));
  src.stop();
}

TEST(DXGICaptureXvfb, ARandRChangeKeepsTheDamageSourceGoing) {
  XvfbServer x;
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  ConfigureDamageCapture(1280, 800, false);
  X11TestScene s(x.display());
  uint32_t win = s.createApp(10, 10, 50, 50, 0xFF0000, "w");
  LogCapture log;
  VrVideoDXGICapture src;
  src.SetManualTicks(true);
  FrameSink sink;
  sink.Attach(src);
  ASSERT_EQ(src.start(), 0);
  src.DoCaptureEx();
  // Making the output primary sends real screen, CRTC and output change events.
  ASSERT_EQ(x.run({"xrandr", "--output", "screen", "--primary"}), 0);
  s.fill(win, 0x00FF00);
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    src.DoCaptureEx();
    return X11Pixels::Block(sink.Last()->m_pData, 1280 * 4, 10, 10, 50, 50, 0x00FF00);
  }));
  EXPECT_EQ(log.count("the screen layout changed: monitor 0 (screen) is now 1280x800 at 0,0"), 1);
  EXPECT_EQ(src.lostSince(), -1);
  src.stop();
}

TEST(DXGICaptureXvfb, ThePointerIsDrawnAndFollowedOverAStillDesktop) {
  XvfbServer x;
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  HX_ServerConfiguration* cfg = ConfigureDamageCapture(1280, 800, true);
  X11TestScene s(x.display());
  s.createApp(0, 0, 1280, 800, 0x0000FF, "backdrop");
  s.setRootCursor(8, 8, 2, 2, 0xFF0000);  // a red square, hot spot (2, 2)
  s.warpPointer(100, 100);
  VrVideoDXGICapture src;
  src.SetManualTicks(true);
  FrameSink sink;
  sink.Attach(src);
  ASSERT_EQ(src.start(), 0);
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    src.DoCaptureEx();
    return X11Pixels::Block(sink.Last()->m_pData, 1280 * 4, 98, 98, 8, 8, 0xFF0000);
  }));
  EXPECT_TRUE(X11Pixels::Block(sink.Last()->m_pData, 1280 * 4, 300, 200, 8, 8, 0x0000FF));
  s.warpPointer(302, 202);
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    src.DoCaptureEx();
    return X11Pixels::Block(sink.Last()->m_pData, 1280 * 4, 300, 200, 8, 8, 0xFF0000);
  }));
  EXPECT_TRUE(X11Pixels::Block(sink.Last()->m_pData, 1280 * 4, 98, 98, 8, 8, 0x0000FF));
  cfg->m_bCaptureCursor = false;  // the setting turns it off
  src.stop();
  ASSERT_EQ(src.start(), 0);
  src.DoCaptureEx();
  EXPECT_TRUE(X11Pixels::Block(sink.Last()->m_pData, 1280 * 4, 300, 200, 8, 8, 0x0000FF));
  src.stop();
}
