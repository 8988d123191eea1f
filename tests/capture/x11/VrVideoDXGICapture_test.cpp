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
  }
  std::unique_ptr<VrVideoDXGICapture> Make() {
    auto src = std::make_unique<VrVideoDXGICapture>(std::make_unique<FakeWatcher>(&m_st));
    src->SetManualTicks(true);
    m_sink.Attach(*src);
    return src;
  }
  HX_ServerConfiguration* m_cfg = nullptr;
  FakeWatcher::State m_st;
  FrameSink m_sink;
};
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
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  cfg->m_iCaptureMode = kCaptureFullScreen;
  cfg->m_iFullScreenMethod = kMethodDXGI;
  cfg->setOutputSize(1280, 800);
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
