#include "capture/VrTrapper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "config/HX_ServerConfiguration.h"
#include "platform/HX_Clock.h"
#include "support/LogCapture.h"

namespace {

using namespace std::chrono_literals;

// What happened to the scripted sources, kept beyond their lifetime.
struct SourceLog {
  std::mutex mutex;
  std::vector<int> made;  // kinds made, in order; 0 = sound
  int started = 0;
  int stopped = 0;
  int destroyed = 0;
  int soundRate = 0;
};

// A scripted source: start returns the scripted code; the test emits frames
// through the callback the session installed.
class FakeSource : public VrCapturer {
 public:
  FakeSource(SourceLog* log, int startResult) : m_pLog(log), m_iStartResult(startResult) {}
  ~FakeSource() override {
    std::lock_guard<std::mutex> lock(m_pLog->mutex);
    m_pLog->destroyed++;
  }
  int start() override {
    std::lock_guard<std::mutex> lock(m_pLog->mutex);
    m_pLog->started++;
    return m_iStartResult;
  }
  void stop() override {
    std::lock_guard<std::mutex> lock(m_pLog->mutex);
    m_pLog->stopped++;
  }
  void Emit(const VrMediaFramePtr& frame) {
    if (m_pCallback != nullptr) m_pCallback(frame, m_pContext);
  }

 private:
  SourceLog* m_pLog;
  int m_iStartResult;
};

class FakeSources : public VrTrapperSources {
 public:
  std::unique_ptr<VrCapturer> MakeVideoSource(VideoKind kind) override {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.made.push_back(kind);
    auto source = std::make_unique<FakeSource>(&log, videoStartResult);
    video = source.get();
    return source;
  }
  bool WinRTCaptureSupported() override { return winrt; }
  std::unique_ptr<VrCapturer> MakeSoundSource(int32_t rate) override {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.made.push_back(0);
    log.soundRate = rate;
    auto source = std::make_unique<FakeSource>(&log, soundStartResult);
    sound = source.get();
    return source;
  }
  std::vector<int> Made() {
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.made;
  }

  SourceLog log;
  bool winrt = true;
  int videoStartResult = 0;
  int soundStartResult = 0;
  FakeSource* video = nullptr;  // owned by the session
  FakeSource* sound = nullptr;
};

// Collects what the session delivers, from both workers.
struct Output {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<VrMediaFramePtr> video;
  std::vector<VrMediaFramePtr> audio;

  static int Receive(VrMediaFramePtr frame, void* context) {
    auto* self = static_cast<Output*>(context);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      (frame->m_iMediaType == VR_MEDIA_VIDEO ? self->video : self->audio).push_back(frame);
    }
    self->changed.notify_all();
    return 0;
  }
  // Waits until |pred| holds (under the lock) or 10 s pass.
  bool WaitFor(const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 10s, pred);
  }
  std::vector<VrMediaFramePtr> Video() {
    std::lock_guard<std::mutex> lock(mutex);
    return video;
  }
  std::vector<VrMediaFramePtr> Audio() {
    std::lock_guard<std::mutex> lock(mutex);
    return audio;
  }
};

VrMediaFramePtr Frame(int w, int h, int pixelFormat, uint8_t fill) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  const int bytes = pixelFormat == kVrPixFmtNV12 ? w * h * 3 / 2 : w * h * 4;
  f->AllocData(bytes);
  std::memset(f->m_pData, fill, bytes);
  f->m_iMediaType = VR_MEDIA_VIDEO;
  f->m_iWidth = w;
  f->m_iHeight = h;
  f->m_iPixelFormat = pixelFormat;
  f->m_iBytesPerPixel = pixelFormat == kVrPixFmtBGRA ? 4 : 0;
  f->m_llTimestamp = 123456;
  f->m_iCaptureMode = 3;
  f->m_iCaptureMethod = 1;
  return f;
}

bool AllZero(const VrMediaFramePtr& f) {
  for (int i = 0; i < f->m_iSize; ++i) {
    if (f->m_pData[i] != 0) return false;
  }
  return true;
}

class VrTrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg = HX_ServerConfiguration::instance();
    cfg->resetToDefaults();
    cfg->m_iCaptureMode = kCaptureFullScreen;
    cfg->m_iFullScreenMethod = kMethodGDI;
    cfg->setOutputSize(64, 36);
    FLAGS_minloglevel = 0;
  }
  void TearDown() override { cfg->resetToDefaults(); }

  // A session wired to |out|.
  std::unique_ptr<VrTrapper> Make(Output* out) {
    auto trapper = std::make_unique<VrTrapper>(nullptr, &sources);
    trapper->m_pOutputCallback = &Output::Receive;
    trapper->m_pOutputContext = out;
    return trapper;
  }

  HX_ServerConfiguration* cfg = nullptr;
  FakeSources sources;
};

}  // namespace

TEST_F(VrTrapperTest, CaptureModeAndMethodChooseTheVideoSource) {
  using S = VrTrapperSources;
  struct Case {
    int mode, method;
    bool winrt;
    std::vector<int> made;
    int result;
    int backend = kBackendX11;
  };
  const Case cases[] = {
      {kCaptureFullScreen, kMethodGDI, true, {S::kVideoGDI}, 0},
      {kCaptureFullScreen, kMethodDXGI, true, {S::kVideoDXGI}, 0},
      {kCaptureFullScreen, 0, true, {}, -1},
      {kCaptureFullScreen, 3, true, {}, -1},
      {kCaptureWindow, 0, true, {S::kVideoWinRT}, 0},
      {kCaptureWindow, kMethodDXGI, false, {S::kVideoWinRT, S::kVideoGDI}, 0},
      {kCaptureRegion, kMethodDXGI, true, {S::kVideoGDI}, 0},
      {0, kMethodGDI, true, {}, -1},
      {4, kMethodGDI, true, {}, -1},
      // The portal serves all three modes, whatever the X11 method or the
      // window capture support say; an unknown mode is still refused.
      {kCaptureFullScreen, kMethodDXGI, true, {S::kVideoPortal}, 0, kBackendPortal},
      {kCaptureFullScreen, 0, true, {S::kVideoPortal}, 0, kBackendPortal},
      {kCaptureWindow, kMethodGDI, true, {S::kVideoPortal}, 0, kBackendPortal},
      {kCaptureRegion, kMethodGDI, true, {S::kVideoPortal}, 0, kBackendPortal},
      {4, kMethodGDI, true, {}, -1, kBackendPortal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " method " << c.method << " backend "
                                      << c.backend);
    FakeSources fresh;
    fresh.winrt = c.winrt;
    cfg->m_iCaptureMode = c.mode;
    cfg->m_iFullScreenMethod = c.method;
    cfg->m_iCaptureBackend = c.backend;
    LogCapture log;
    {
      VrTrapper trapper(nullptr, &fresh);
      EXPECT_EQ(trapper.start(), c.result);
      EXPECT_EQ(fresh.Made(), c.made);
      trapper.stop();
    }
    EXPECT_EQ(log.count("This system version is not supported!!!"), c.result == -1 ? 1 : 0);
    EXPECT_EQ(log.count("This X display cannot capture a single window"), c.winrt ? 0 : 1);
    // Every source made was destroyed, and only the kept one was started.
    EXPECT_EQ(fresh.log.destroyed, static_cast<int>(c.made.size()));
    EXPECT_EQ(fresh.log.started, c.made.empty() ? 0 : 1);
  }
}

TEST_F(VrTrapperTest, ThePortalSourceAsksForTheModesKindCursorAndRegion) {
  cfg->setCaptureRegion(100, 50, 740, 410);
  struct Case {
    int mode;
    bool cursor;
    HX_ScreenCastRequest::Kind kind;
    bool crop;
  };
  const Case cases[] = {
      {kCaptureFullScreen, true, HX_ScreenCastRequest::kMonitor, false},
      {kCaptureWindow, false, HX_ScreenCastRequest::kWindow, false},
      {kCaptureRegion, true, HX_ScreenCastRequest::kMonitor, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    cfg->m_iCaptureMode = c.mode;
    cfg->m_bCaptureCursor = c.cursor;
    const VrPipeWireCapture::Options o = VrPortalCaptureOptions(*cfg);
    EXPECT_EQ(o.m_stRequest.m_eKind, c.kind);
    EXPECT_EQ(o.m_stRequest.m_bCursor, c.cursor);
    EXPECT_TRUE(o.m_stRequest.m_strRestoreToken.empty());
    EXPECT_EQ(o.m_bCrop, c.crop);
    if (c.crop) {
      EXPECT_EQ(o.m_stCrop.left, 100);
      EXPECT_EQ(o.m_stCrop.top, 50);
      EXPECT_EQ(o.m_stCrop.right, 740);
      EXPECT_EQ(o.m_stCrop.bottom, 410);
    }
  }
}

TEST_F(VrTrapperTest, FailingSourcesGiveTheirCodesAndStopIsClean) {
  {
    sources.videoStartResult = -1;
    Output out;
    auto trapper = Make(&out);
    EXPECT_EQ(trapper->start(), -1);
    trapper->stop();
    EXPECT_EQ(sources.log.stopped, 1);
    EXPECT_EQ(sources.log.destroyed, 1);
    trapper->stop();  // twice is fine
  }
  FakeSources second;
  second.soundStartResult = -205;
  cfg->m_bAudioEnable = true;
  cfg->m_iAudioSample = 48000;
  Output out;
  VrTrapper trapper(nullptr, &second);
  trapper.m_pOutputCallback = &Output::Receive;
  trapper.m_pOutputContext = &out;
  EXPECT_EQ(trapper.start(), -2);
  EXPECT_EQ(second.log.soundRate, 48000);
  // Video keeps running after the sound failure until the owner stops.
  second.video->Emit(Frame(64, 36, kVrPixFmtBGRA, 0x80));
  EXPECT_TRUE(out.WaitFor([&] { return !out.video.empty(); }));
  EXPECT_EQ(second.log.stopped, 0);
  trapper.stop();
  EXPECT_EQ(second.log.stopped, 2);
  EXPECT_EQ(second.log.destroyed, 2);
}

TEST_F(VrTrapperTest, SecondStartMakesNothingTwice) {
  cfg->m_bAudioEnable = true;
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  ASSERT_EQ(trapper->start(), 0);
  EXPECT_EQ(sources.Made(), (std::vector<int>{VrTrapperSources::kVideoGDI, 0}));
  EXPECT_EQ(sources.log.started, 2);  // one video and one sound start
  trapper->stop();
}

TEST_F(VrTrapperTest, SoundFromAnotherDeviceMakesNoSourceButSilenceFlows) {
  cfg->m_bAudioEnable = true;
  cfg->m_iSoundDeviceIndex = 1;
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  EXPECT_EQ(sources.Made(), (std::vector<int>{VrTrapperSources::kVideoGDI}));
  EXPECT_TRUE(out.WaitFor([&] { return out.audio.size() >= 3; }));
  trapper->stop();
  for (const VrMediaFramePtr& block : out.Audio()) EXPECT_TRUE(AllZero(block));
}

TEST_F(VrTrapperTest, Nv12AtTheOutputSizePassesThroughAsTheSameRecord) {
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  VrMediaFramePtr nv12 = Frame(64, 36, kVrPixFmtNV12, 0x42);
  sources.video->Emit(nv12);
  ASSERT_TRUE(out.WaitFor([&] { return out.video.size() == 1; }));
  EXPECT_EQ(out.Video()[0].get(), nv12.get());
  trapper->stop();
}

TEST_F(VrTrapperTest, FramesAreScaledToTheFixedOutputSizeAndSizeChangesRebuildTheScaler) {
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  // The output size was read at construction: later changes do not apply.
  cfg->setOutputSize(320, 240);
  LogCapture log;
  const int sizes[][2] = {{100, 50}, {100, 50}, {33, 17}, {33, 17}, {64, 36}};
  for (const auto& s : sizes) sources.video->Emit(Frame(s[0], s[1], kVrPixFmtBGRA, 0xFF));
  ASSERT_TRUE(out.WaitFor([&] { return out.video.size() == 5; }));
  trapper->stop();
  for (const VrMediaFramePtr& f : out.Video()) {
    EXPECT_EQ(f->m_iWidth, 64);
    EXPECT_EQ(f->m_iHeight, 36);
    EXPECT_EQ(f->m_iPixelFormat, kVrPixFmtNV12);
    EXPECT_EQ(f->m_iSize, 64 * 36 * 3 / 2);
    EXPECT_EQ(f->m_llTimestamp, 123456);
    EXPECT_EQ(f->m_iCaptureMode, 3);
    EXPECT_EQ(f->m_iCaptureMethod, 1);
    EXPECT_NEAR(f->m_pData[0], 235, 2);  // white
  }
  // One rebuild at the first frame of each new input size.
  EXPECT_EQ(log.count("SendVideo: video input"), 3);
  EXPECT_EQ(log.count("video input 33x17"), 1);
}

TEST_F(VrTrapperTest, UnusableFramesAreDroppedWithTheirMessages) {
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  LogCapture log;
  VrMediaFramePtr noData = Frame(64, 36, kVrPixFmtBGRA, 0);
  noData->AllocData(0);
  sources.video->Emit(noData);
  sources.video->Emit(Frame(64, 36, kVrPixFmtYUV420P, 0x10));  // cannot be scaled
  VrMediaFramePtr strange = Frame(64, 36, kVrPixFmtNV12, 0x10);
  strange->m_iMediaType = 7;  // neither video nor audio
  sources.video->Emit(strange);
  VrTrapper::OnFrame(Frame(64, 36, kVrPixFmtNV12, 0x10), nullptr);  // no session
  sources.video->Emit(Frame(64, 36, kVrPixFmtNV12, 0x33));         // a good one after them
  ASSERT_TRUE(out.WaitFor([&] { return out.video.size() == 1; }));
  std::this_thread::sleep_for(30ms);
  trapper->stop();
  ASSERT_EQ(out.Video().size(), 1u);
  EXPECT_EQ(out.Video()[0]->m_pData[0], 0x33);
  EXPECT_EQ(log.count("libyuv Scale Video Frame Error."), 1);
}

TEST_F(VrTrapperTest, AFailedAllocationDropsThatFrame) {
  Output out;
  auto trapper = Make(&out);
  cfg->m_iAudioSample = 48000;
  ASSERT_EQ(trapper->start(), 0);
  LogCapture log;
  VrMediaFramePtr source = Frame(100, 50, kVrPixFmtBGRA, 0xFF);
  VrMediaFrame::PayloadAllocator saved = VrMediaFrame::s_pfnAllocate;
  VrMediaFrame::s_pfnAllocate = [](size_t) -> uint8_t* { return nullptr; };
  sources.video->Emit(source);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (log.count("SendVideo: memory alloc failed.") == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  VrMediaFrame::s_pfnAllocate = saved;
  EXPECT_EQ(log.count("SendVideo: memory alloc failed."), 1);
  sources.video->Emit(source);
  ASSERT_TRUE(out.WaitFor([&] { return out.video.size() == 1; }));
  trapper->stop();
}

TEST_F(VrTrapperTest, SilenceIsPacedByTheClockWithExactTimestamps) {
  for (int rate : {48000, 44100}) {
    SCOPED_TRACE(rate);
    cfg->m_iAudioSample = rate;
    Output out;
    FakeSources fresh;
    VrTrapper trapper(nullptr, &fresh);
    trapper.m_pOutputCallback = &Output::Receive;
    trapper.m_pOutputContext = &out;
    const int64_t before = HX_GetTickMs();
    ASSERT_EQ(trapper.start(), 0);
    std::this_thread::sleep_for(600ms);
    const int64_t stopping = HX_GetTickMs();
    trapper.stop();
    const int64_t after = HX_GetTickMs();
    std::vector<VrMediaFramePtr> blocks = out.Audio();
    ASSERT_FALSE(blocks.empty());
    const int64_t start = blocks[0]->m_llTimestamp;
    EXPECT_GE(start, before);
    for (size_t k = 0; k < blocks.size(); ++k) {
      const VrMediaFramePtr& b = blocks[k];
      EXPECT_EQ(b->m_llTimestamp, start + static_cast<int64_t>(k * 1024 * 1000 / rate));
      EXPECT_EQ(b->m_iSize, 4096);
      EXPECT_EQ(b->m_iSamples, 1024);
      EXPECT_EQ(b->m_iChannels, 2);
      EXPECT_EQ(b->m_iBitsPerSample, 16);
      EXPECT_EQ(b->m_iSampleRate, rate);
      EXPECT_EQ(b->m_iMediaType, VR_MEDIA_AUDIO);
      EXPECT_TRUE(AllZero(b));
    }
    // rate / 1024 blocks per second of wall time: no more than were due by
    // the end, and only a few behind what was due when stop began, beyond
    // the slots held back for late sound.
    EXPECT_LE(static_cast<int64_t>(blocks.size()), (after - start) * rate / 1000 / 1024 + 1);
    EXPECT_GE(static_cast<int64_t>(blocks.size()),
              (stopping - start) * rate / 1000 / 1024 - 3 - static_cast<int64_t>(VrTrapper::kMaxAudioBacklog));
  }
}

TEST_F(VrTrapperTest, CapturedSoundFillsBlocksFromTheFrontAndShortBlocksEndInSilence) {
  cfg->m_bAudioEnable = true;
  cfg->m_iAudioSample = 48000;
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  const int64_t now = HX_GetTickMs();
  auto block = [](int bytes, uint8_t fill, int64_t at) {
    VrMediaFramePtr f = VrCreateMediaFrame();
    f->AllocData(bytes);
    std::memset(f->m_pData, fill, bytes);
    f->m_iMediaType = VR_MEDIA_AUDIO;
    f->m_llTimestamp = at;
    return f;
  };
  sources.sound->Emit(block(2000, 0x5A, now));
  sources.sound->Emit(block(6000, 0x6B, now + 21));  // cut at 4096 bytes
  ASSERT_TRUE(out.WaitFor([&] {
    int loud = 0;
    for (const auto& b : out.audio) loud += b->m_pData[0] != 0;
    return loud == 2;
  }));
  trapper->stop();
  std::vector<VrMediaFramePtr> loud;
  for (const auto& b : out.Audio()) {
    if (!AllZero(b)) loud.push_back(b);
  }
  ASSERT_EQ(loud.size(), 2u);
  ASSERT_EQ(loud[0]->m_iSize, 4096);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(loud[0]->m_pData[i], i < 2000 ? 0x5A : 0) << i;
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(loud[1]->m_pData[i], 0x6B) << i;
}

TEST_F(VrTrapperTest, ABacklogOfCapturedSoundIsCutBackToKeepTheSoundOnTheClock) {
  // Eight blocks arrive at once, as after a stall of the capture, stamped
  // with the times they were captured at, the newest just now: playing them
  // all would put every later sound blocks behind the pictures.
  cfg->m_bAudioEnable = true;
  cfg->m_iAudioSample = 48000;
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  // The run has been going for a while: the stalled sound's time was paced.
  ASSERT_TRUE(out.WaitFor([&] { return out.audio.size() >= 10; }));
  LogCapture log;
  const int64_t now = HX_GetTickMs();
  for (uint8_t fill = 1; fill <= 8; ++fill) {
    VrMediaFramePtr f = VrCreateMediaFrame();
    f->AllocData(VrTrapper::kAudioBlockBytes);
    std::memset(f->m_pData, fill, VrTrapper::kAudioBlockBytes);
    f->m_iMediaType = VR_MEDIA_AUDIO;
    f->m_llTimestamp = now - (8 - fill) * 1024 * 1000 / 48000;
    sources.sound->Emit(f);
  }
  ASSERT_TRUE(out.WaitFor([&] {
    for (const auto& b : out.audio) {
      if (b->m_pData[0] == 8) return true;
    }
    return false;
  }));
  trapper->stop();
  std::vector<int> played;
  for (const auto& b : out.Audio()) {
    if (!AllZero(b)) played.push_back(b->m_pData[0]);
  }
  ASSERT_FALSE(played.empty());
  EXPECT_EQ(played.back(), 8);
  EXPECT_TRUE(std::is_sorted(played.begin(), played.end()));
  // Cut back to the allowed backlog, oldest first: fewer than eight played,
  // and the newest kMaxAudioBacklog all played.
  EXPECT_LT(played.size(), 8u);
  ASSERT_GE(played.size(), VrTrapper::kMaxAudioBacklog);
  EXPECT_EQ(std::vector<int>(played.end() - 2, played.end()), (std::vector<int>{7, 8}));
  EXPECT_EQ(log.count("blocks behind the clock"), 1);
}

// Captured sound keeps the clock it was captured on: a block lost on the way
// leaves one block of silence at its own time, and the blocks after it are
// stamped one block later than a count of the blocks that arrived would put
// them. They all arrive in one burst, well ahead of their time, and still
// each goes out in the slot of its own time.
TEST_F(VrTrapperTest, ALostBlockLeavesSilenceAtItsTimeAndLaterSoundKeepsItsOwnTime) {
  cfg->m_bAudioEnable = true;
  cfg->m_iAudioSample = 48000;
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  const int64_t first = HX_GetTickMs() + 300;
  auto capturedAt = [first](int k) { return first + int64_t{k} * 1024 * 1000 / 48000; };
  for (int k = 0; k < 8; ++k) {
    if (k == 3) continue;  // lost before it reached the session
    VrMediaFramePtr f = VrCreateMediaFrame();
    f->AllocData(VrTrapper::kAudioBlockBytes);
    std::memset(f->m_pData, k + 1, VrTrapper::kAudioBlockBytes);
    f->m_iMediaType = VR_MEDIA_AUDIO;
    f->m_llTimestamp = capturedAt(k);
    sources.sound->Emit(f);
  }
  ASSERT_TRUE(out.WaitFor([&] {
    for (const auto& b : out.audio) {
      if (b->m_pData[0] == 8) return true;
    }
    return false;
  }));
  trapper->stop();
  const std::vector<VrMediaFramePtr> blocks = out.Audio();
  std::vector<size_t> at(9, 0);  // output index of each fill
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (!AllZero(blocks[i])) at[blocks[i]->m_pData[0]] = i;
  }
  for (int k : {0, 1, 2, 4, 5, 6, 7}) {
    const int fill = k + 1;
    ASSERT_GT(at[fill], 0u) << fill;
    // In consecutive slots from the first block on, the lost one's included.
    EXPECT_EQ(at[fill], at[1] + static_cast<size_t>(k)) << fill;
    // Within half a block of the time it was captured at.
    EXPECT_LE(std::abs(blocks[at[fill]]->m_llTimestamp - capturedAt(k)), 11) << fill;
  }
  EXPECT_TRUE(AllZero(blocks[at[3] + 1]));
  // The block after the gap: two blocks after the one before it, where
  // counting the blocks that came would put it one block after.
  const int64_t step = blocks[at[5]]->m_llTimestamp - blocks[at[3]]->m_llTimestamp;
  EXPECT_GE(step, 42);
  EXPECT_LE(step, 43);
}

// Sound that comes later than the hold is dropped, and each such episode
// makes the hold a block longer, up to its bound; a new run starts short.
TEST_F(VrTrapperTest, LateSoundLengthensTheHoldUpToItsBoundAndARestartShortensIt) {
  cfg->m_bAudioEnable = true;
  cfg->m_iAudioSample = 48000;
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  EXPECT_EQ(trapper->audioHoldBlocks(), VrTrapper::kMaxAudioBacklog);
  LogCapture log;
  auto emitLate = [&] {
    VrMediaFramePtr f = VrCreateMediaFrame();
    f->AllocData(VrTrapper::kAudioBlockBytes);
    f->m_iMediaType = VR_MEDIA_AUDIO;
    f->m_llTimestamp = HX_GetTickMs() - 10000;
    sources.sound->Emit(f);
  };
  auto waitHold = [&](size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (trapper->audioHoldBlocks() < n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return trapper->audioHoldBlocks();
  };
  for (size_t n = VrTrapper::kMaxAudioBacklog + 1; n <= VrTrapper::kMaxAudioHold; ++n) {
    emitLate();
    ASSERT_EQ(waitHold(n), n);
    // The next late block is a new episode only after a slot without one.
    const size_t blocks = out.Audio().size();
    ASSERT_TRUE(out.WaitFor([&] { return out.audio.size() >= blocks + 2; }));
  }
  emitLate();
  const size_t blocks = out.Audio().size();
  ASSERT_TRUE(out.WaitFor([&] { return out.audio.size() >= blocks + 2; }));
  EXPECT_EQ(trapper->audioHoldBlocks(), VrTrapper::kMaxAudioHold);
  EXPECT_EQ(log.count("blocks behind the clock"),
            static_cast<int>(VrTrapper::kMaxAudioHold - VrTrapper::kMaxAudioBacklog) + 1);
  trapper->stop();
  ASSERT_EQ(trapper->start(), 0);
  ASSERT_TRUE(out.WaitFor([&] { return out.audio.size() >= blocks + 3; }));
  EXPECT_EQ(trapper->audioHoldBlocks(), VrTrapper::kMaxAudioBacklog);
  trapper->stop();
}

// A sound source that runs ahead of the pacer for good (its clock is fast, or
// the pacer is held up): the captured queue keeps the newest 200 ms or so and
// says so once per episode.
TEST_F(VrTrapperTest, CapturedSoundWaitsAtMostAbout200msAndTheOldestGoesFirst) {
  for (int rate : {44100, 48000}) {
    const double ms = VrTrapper::kMaxAudioQueue * VrTrapper::kAudioBlockSamples * 1000.0 / rate;
    EXPECT_GE(ms, 180.0) << rate;
    EXPECT_LE(ms, 220.0) << rate;
  }
  VrTrapper trapper(nullptr, &sources);  // not started: nothing takes the blocks
  auto emit = [&](int count, int first) {
    for (int i = 0; i < count; ++i) {
      VrMediaFramePtr f = VrCreateMediaFrame();
      f->AllocData(VrTrapper::kAudioBlockBytes);
      f->m_iMediaType = VR_MEDIA_AUDIO;
      f->m_llTimestamp = first + i;
      VrTrapper::OnFrame(f, &trapper);
    }
  };
  auto drain = [&] {
    std::vector<int64_t> left;
    while (VrMediaFramePtr f = trapper.DequeueAudio()) left.push_back(f->m_llTimestamp);
    return left;
  };
  LogCapture log;
  emit(500, 0);  // about 11 s of sound
  std::vector<int64_t> left = drain();
  ASSERT_EQ(left.size(), VrTrapper::kMaxAudioQueue);
  EXPECT_EQ(left.front(), 500 - static_cast<int64_t>(VrTrapper::kMaxAudioQueue));
  EXPECT_EQ(left.back(), 499);
  EXPECT_EQ(log.count("captured sound runs ahead of the paced output"), 1);

  // Within the bound nothing is lost or said; the next overflow is a new episode.
  emit(static_cast<int>(VrTrapper::kMaxAudioQueue), 1000);
  EXPECT_EQ(drain().size(), VrTrapper::kMaxAudioQueue);
  EXPECT_EQ(log.count("captured sound runs ahead of the paced output"), 1);
  emit(static_cast<int>(VrTrapper::kMaxAudioQueue) + 1, 2000);
  EXPECT_EQ(drain().front(), 2001);
  EXPECT_EQ(log.count("captured sound runs ahead of the paced output"), 2);
}

TEST_F(VrTrapperTest, OutputNeedsBothCallbackAndContext) {
  static std::atomic<int> calls{0};
  VrTrapper trapper(nullptr, &sources);
  auto count = [](VrMediaFramePtr, void*) -> int { return ++calls; };
  VrMediaFramePtr f = Frame(4, 4, kVrPixFmtNV12, 1);
  EXPECT_EQ(trapper.DeliverFrame(f), 0);
  trapper.m_pOutputCallback = count;
  EXPECT_EQ(trapper.DeliverFrame(f), 0);  // no context yet
  EXPECT_EQ(calls.load(), 0);
  trapper.m_pOutputContext = &trapper;
  EXPECT_EQ(trapper.DeliverFrame(f), 1);
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(VrTrapperTest, TheAudioBacklogIsLoggedNowAndThen) {
  VrTrapper trapper(nullptr, &sources);
  for (int i = 0; i < 3; ++i) {
    VrMediaFramePtr f = Frame(4, 4, kVrPixFmtNV12, 1);
    f->m_iMediaType = VR_MEDIA_AUDIO;
    VrTrapper::OnFrame(f, &trapper);
  }
  LogCapture log;
  std::srand(7);
  // Three queued blocks, then the queue runs dry: about one line per thousand
  // calls, each holding the queue length.
  int popped = 0;
  for (int i = 0; i < 20000; ++i) popped += trapper.DequeueAudio() != nullptr;
  EXPECT_EQ(popped, 3);
  int lines = 0;
  for (const auto& line : log.lines()) {
    if (line.text.find("VrTrapper::DequeueAudio: ") == 0) {
      ++lines;
      EXPECT_EQ(line.severity, google::GLOG_ERROR);
    }
  }
  EXPECT_GE(lines, 5);
  EXPECT_LE(lines, 60);
}

TEST_F(VrTrapperTest, ARestartPacesFromTheRestartWithoutABurst) {
  cfg->m_iAudioSample = 48000;
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  ASSERT_TRUE(out.WaitFor([&] { return out.audio.size() >= 2; }));
  trapper->stop();
  const size_t before = out.Audio().size();
  std::this_thread::sleep_for(400ms);  // about 18 blocks of stopped time
  const int64_t restart = HX_GetTickMs();
  ASSERT_EQ(trapper->start(), 0);
  ASSERT_TRUE(out.WaitFor([&] { return out.audio.size() > before; }));
  trapper->stop();
  const int64_t stopped = HX_GetTickMs();
  std::vector<VrMediaFramePtr> blocks = out.Audio();
  ASSERT_GT(blocks.size(), before);
  EXPECT_GE(blocks[before]->m_llTimestamp, restart);
  // What the restarted run was due, not 18 blocks more for the stopped time.
  EXPECT_LE(static_cast<int64_t>(blocks.size() - before), (stopped - restart) * 48 / 1024 + 2);
}

namespace {
// Counts payload allocations of one size, so that the sound worker's blocks
// running at the same time are not counted.
std::atomic<size_t> g_countedSize{0};
std::atomic<int> g_allocationsOfSize{0};
uint8_t* CountingAllocate(size_t size) {
  if (size == g_countedSize.load()) g_allocationsOfSize++;
  return new (std::nothrow) uint8_t[size];
}

VrMediaFramePtr Gradient(int w, int h, int64_t ts) {
  VrMediaFramePtr f = Frame(w, h, kVrPixFmtBGRA, 0);
  for (int i = 0; i < f->m_iSize; ++i) f->m_pData[i] = static_cast<uint8_t>(i * 7 + i / 13);
  f->m_llTimestamp = ts;
  return f;
}
}  // namespace

TEST_F(VrTrapperTest, ARepeatOfTheLastPixelsReusesTheLastNv12PictureWithoutAllocating) {
  Output out;
  auto trapper = Make(&out);
  ASSERT_EQ(trapper->start(), 0);
  const int nv12Bytes = 64 * 36 * 3 / 2;
  VrMediaFramePtr first = Gradient(100, 50, 1000);
  sources.video->Emit(first);
  ASSERT_TRUE(out.WaitFor([&] { return out.video.size() == 1; }));

  // A still screen: the source hands the same pixels on under new stamps.
  g_countedSize = nv12Bytes;
  g_allocationsOfSize = 0;
  VrMediaFrame::PayloadAllocator saved = VrMediaFrame::s_pfnAllocate;
  VrMediaFrame::s_pfnAllocate = &CountingAllocate;
  for (int64_t ts : {1040, 1080}) {
    VrMediaFramePtr repeat = ShareMediaFrame(first);
    repeat->m_llTimestamp = ts;
    repeat->m_iCaptureMode = 1;
    sources.video->Emit(repeat);
  }
  ASSERT_TRUE(out.WaitFor([&] { return out.video.size() == 3; }));
  VrMediaFrame::s_pfnAllocate = saved;
  EXPECT_EQ(g_allocationsOfSize.load(), 0) << "a repeat allocated a picture";

  // The same pixels in a payload of their own are converted anew, to the same bytes.
  VrMediaFramePtr copy = CloneMediaFrame(first);
  copy->m_llTimestamp = 1120;
  sources.video->Emit(copy);
  // Other pixels at the same size are not mistaken for a repeat.
  sources.video->Emit(Frame(100, 50, kVrPixFmtBGRA, 0xFF));
  ASSERT_TRUE(out.WaitFor([&] { return out.video.size() == 5; }));
  trapper->stop();

  const std::vector<VrMediaFramePtr> v = out.Video();
  EXPECT_EQ(v[1]->m_pData, v[0]->m_pData);
  EXPECT_EQ(v[2]->m_pData, v[0]->m_pData);
  EXPECT_EQ(v[0]->m_llTimestamp, 1000);
  EXPECT_EQ(v[1]->m_llTimestamp, 1040);
  EXPECT_EQ(v[2]->m_llTimestamp, 1080);
  EXPECT_EQ(v[0]->m_iCaptureMode, 3);
  EXPECT_EQ(v[1]->m_iCaptureMode, 1);  // the repeat's own record
  EXPECT_EQ(v[1]->m_iWidth, 64);
  EXPECT_EQ(v[1]->m_iPixelFormat, kVrPixFmtNV12);
  EXPECT_EQ(v[1]->m_iSize, nv12Bytes);
  EXPECT_NE(v[3]->m_pData, v[0]->m_pData);
  EXPECT_EQ(0, std::memcmp(v[3]->m_pData, v[0]->m_pData, nv12Bytes));
  EXPECT_EQ(v[3]->m_llTimestamp, 1120);
  EXPECT_NE(0, std::memcmp(v[4]->m_pData, v[0]->m_pData, nv12Bytes));
}
