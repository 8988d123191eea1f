#include "ndi/VrNDISend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "config/HX_ServerConfiguration.h"
#include "ndi/FakeNdiRuntime.h"
#include "platform/HX_Clock.h"
#include "platform/HX_Thread.h"
#include "platform/dynlib/HX_DynamicLibrary.h"
#include "support/LogCapture.h"

namespace {
constexpr int kW = 64;
constexpr int kH = 32;

// The fake runtime as the test sees it: the same loaded copy the sender uses.
class FakeRuntime {
 public:
  FakeRuntime() {
    m_pLib = HX_DynamicLibrary::Open(OSTREL_FAKE_NDI);
    if (m_pLib) {
      m_pfnReset = reinterpret_cast<FakeNdi_Reset_fn>(m_pLib->Symbol("FakeNdi_Reset"));
      m_pfnSnapshot = reinterpret_cast<FakeNdi_Snapshot_fn>(m_pLib->Symbol("FakeNdi_Snapshot"));
    }
  }
  bool ok() const { return m_pfnReset != nullptr && m_pfnSnapshot != nullptr; }
  void Reset(bool failCreate = false) { m_pfnReset(failCreate ? 1 : 0); }
  std::unique_ptr<FakeNdiSnapshot> Snapshot() const {
    auto snap = std::make_unique<FakeNdiSnapshot>();
    m_pfnSnapshot(snap.get());
    return snap;
  }
  // Waits up to two seconds for |done| to hold on a fresh snapshot.
  std::unique_ptr<FakeNdiSnapshot> WaitFor(const std::function<bool(const FakeNdiSnapshot&)>& done) const {
    for (int i = 0; i < 400; ++i) {
      auto snap = Snapshot();
      if (done(*snap)) return snap;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Snapshot();
  }

 private:
  std::unique_ptr<HX_DynamicLibrary> m_pLib;
  FakeNdi_Reset_fn m_pfnReset = nullptr;
  FakeNdi_Snapshot_fn m_pfnSnapshot = nullptr;
};

VrMediaFramePtr Picture(int32_t pixelFormat, int w, int h, int32_t bytes) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  f->m_iMediaType = VR_MEDIA_VIDEO;
  f->m_iPixelFormat = pixelFormat;
  f->m_iWidth = w;
  f->m_iHeight = h;
  f->AllocData(bytes);
  std::memset(f->m_pData, 0x5A, bytes);
  return f;
}
VrMediaFramePtr Bgra(int w = kW, int h = kH) { return Picture(kVrPixFmtBGRA, w, h, w * h * 4); }
VrMediaFramePtr Nv12(int w = kW, int h = kH) { return Picture(kVrPixFmtNV12, w, h, w * h * 3 / 2); }

VrMediaFramePtr Block(int64_t timestamp) {
  VrMediaFramePtr b = VrCreateMediaFrame();
  b->m_iMediaType = VR_MEDIA_AUDIO;
  b->m_llTimestamp = timestamp;
  b->m_iChannels = 2;
  b->m_iSampleRate = 48000;
  b->m_iSamples = 1024;
  b->m_iBitsPerSample = 16;
  b->AllocData(4096);
  std::memset(b->m_pData, 0, 4096);
  return b;
}

class NdiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FLAGS_minloglevel = 0;
    ASSERT_TRUE(m_fake.ok()) << "fake runtime at " << OSTREL_FAKE_NDI;
    m_fake.Reset();
    cfg()->resetToDefaults();
    cfg()->m_iFps = 25;
    cfg()->setOutputSize(kW, kH);
  }
  void TearDown() override { cfg()->resetToDefaults(); }
  static HX_ServerConfiguration* cfg() { return HX_ServerConfiguration::instance(); }
  static std::vector<std::string> Fake() { return {OSTREL_FAKE_NDI}; }

  FakeRuntime m_fake;
};
}  // namespace

// ------------------------------------------------------------ runtime loading

TEST(VrNDIRuntime, CandidatesHonourTheEnvironmentBeforeTheSonames) {
  setenv("OSTREL_NDI_LIBRARY", "/opt/x/libfake.so", 1);
  setenv("NDI_RUNTIME_DIR_V6", "/opt/ndi6/", 1);
  setenv("NDI_RUNTIME_DIR_V5", "/opt/ndi5", 1);
  std::vector<std::string> names = VrNDIRuntime::DefaultCandidates();
  unsetenv("OSTREL_NDI_LIBRARY");
  unsetenv("NDI_RUNTIME_DIR_V6");
  unsetenv("NDI_RUNTIME_DIR_V5");
  std::vector<std::string> expected = {"/opt/x/libfake.so", "/opt/ndi6/libndi.so.6",
                                       "/opt/ndi5/libndi.so.5", "libndi.so.6", "libndi.so.5"};
  EXPECT_EQ(names, expected);
  expected = {"libndi.so.6", "libndi.so.5"};
  EXPECT_EQ(VrNDIRuntime::DefaultCandidates(), expected);
}

TEST(VrNDIRuntime, FirstCompleteCandidateWinsAndIncompleteOnesAreRefused) {
  LogCapture log;
  VrNDIRuntime runtime;
  EXPECT_EQ(runtime.Load({"/nonexistent/libndi.so.6", OSTREL_FAKE_NDI}), 0);
  EXPECT_TRUE(runtime.IsLoaded());
  EXPECT_EQ(runtime.LoadedName(), OSTREL_FAKE_NDI);
  EXPECT_NE(runtime.m_pfnSendAudioInterleaved16s, nullptr);
  EXPECT_EQ(log.count("NDI output is unavailable"), 0);

  EXPECT_EQ(runtime.Load({OSTREL_FAKE_NDI_INCOMPLETE}), -2);
  EXPECT_FALSE(runtime.IsLoaded());
  EXPECT_EQ(runtime.m_pfnInitialize, nullptr);
  EXPECT_EQ(log.count("NDIlib_util_send_send_audio_interleaved_16s"), 1);
  EXPECT_EQ(runtime.Load({"/nonexistent/libndi.so.6"}), -1);
  EXPECT_EQ(runtime.Load({}), -1);
}

TEST(HX_DynamicLibrary, MissingLibraryAndSymbolAreReportedNotFatal) {
  std::string error;
  EXPECT_EQ(HX_DynamicLibrary::Open("/nonexistent/libnothing.so", &error), nullptr);
  EXPECT_NE(error.find("libnothing.so"), std::string::npos) << error;
  auto lib = HX_DynamicLibrary::Open(OSTREL_FAKE_NDI);
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(lib->Symbol("NDIlib_initialize"), nullptr);
  EXPECT_EQ(lib->Symbol("NDIlib_no_such_entry"), nullptr);
  EXPECT_EQ(lib->Symbol("FakeNdi_not_exported_either"), nullptr);
}

// ------------------------------------------------------------ life cycle

TEST_F(NdiTest, CreatesTheNamedSenderAndReleasesItInOrder) {
  {
    VrNDISend send(Fake());
    EXPECT_TRUE(send.IsPublishing());
    auto snap = m_fake.Snapshot();
    EXPECT_STREQ(snap->calls, "initialize,send_create,");
    EXPECT_STREQ(snap->createName, "ViZaroduDezo_NDI");
    EXPECT_TRUE(snap->createGroupsNull);
    EXPECT_FALSE(snap->createClockVideo);
    EXPECT_FALSE(snap->createClockAudio);
    ASSERT_EQ(send.start(), 0);
    EXPECT_EQ(send.start(), -1);  // already running
    send.stop();
    send.stop();
  }
  EXPECT_STREQ(m_fake.Snapshot()->calls, "initialize,send_create,send_destroy,destroy,");
}

// The system refusing the video or the audio thread is a start failure,
// logged once, and leaves no thread running; a later start works.
TEST_F(NdiTest, AThreadTheSystemRefusesFailsTheStart) {
  VrNDISend send(Fake());
  for (int succeeding : {0, 1}) {
    LogCapture log;
    HX_FailThreadStartsForTest(succeeding, 1);
    EXPECT_EQ(send.start(), -2) << succeeding;
    HX_FailThreadStartsForTest(0, 0);
    EXPECT_EQ(log.count("cannot start an NDI sender thread: thread start refused"), 1);
  }
  ASSERT_EQ(send.start(), 0);  // nothing of the failed starts is left running
  send.stop();
}

TEST_F(NdiTest, WithoutRuntimeFramesAreTakenAndReleasedUnpublished) {
  LogCapture log;
  VrNDISend send({"/nonexistent/libndi.so.6", "/nonexistent/libndi.so.5"});
  EXPECT_FALSE(send.IsPublishing());
  EXPECT_EQ(log.count("NDI output is unavailable"), 1);
  ASSERT_EQ(send.start(), 0);
  VrMediaFramePtr frame = Bgra();
  VrMediaFramePtr block = Block(100);
  send.PushFrame(frame);
  send.PushFrame(block);
  for (int i = 0; i < 400 && (send.VideoQueueSize() + send.AudioQueueSize()) > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(send.VideoQueueSize(), 0u);
  EXPECT_EQ(send.AudioQueueSize(), 0u);
  send.stop();
  EXPECT_EQ(frame.use_count(), 1);
  EXPECT_EQ(block.use_count(), 1);
  EXPECT_EQ(m_fake.Snapshot()->calls[0], '\0');  // the fake was never touched
}

TEST_F(NdiTest, FailedSenderCreationIsLoggedAndTheRuntimeStillReleased) {
  m_fake.Reset(/*failCreate=*/true);
  LogCapture log;
  {
    VrNDISend send(Fake());
    EXPECT_FALSE(send.IsPublishing());
    EXPECT_EQ(log.count("NDI output is unavailable"), 1);
    ASSERT_EQ(send.start(), 0);
    send.PushFrame(Bgra());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    send.stop();
  }
  auto snap = m_fake.Snapshot();
  EXPECT_STREQ(snap->calls, "initialize,send_create,destroy,");
  EXPECT_EQ(snap->videoCount, 0);
}

// ------------------------------------------------------------ video

TEST_F(NdiTest, BgraAndNv12FramesArePublishedInPlaceWithTheirFourCC) {
  VrNDISend send(Fake());
  ASSERT_EQ(send.start(), 0);
  VrMediaFramePtr bgra = Bgra();
  VrMediaFramePtr nv12 = Nv12();
  send.PushFrame(bgra);
  send.PushFrame(nv12);
  auto snap = m_fake.WaitFor([](const FakeNdiSnapshot& s) { return s.videoCount >= 2; });
  send.stop();
  ASSERT_EQ(snap->videoCount, 2);
  const NDIlib_video_frame_v2_t& v0 = snap->video[0].frame;
  EXPECT_EQ(snap->video[0].instance, snap->instance);
  EXPECT_EQ(static_cast<uint32_t>(v0.FourCC), 0x41524742u);  // "BGRA"
  EXPECT_EQ(v0.xres, kW);
  EXPECT_EQ(v0.yres, kH);
  EXPECT_EQ(v0.frame_rate_N, 2500);
  EXPECT_EQ(v0.frame_rate_D, 100);
  EXPECT_EQ(v0.picture_aspect_ratio, 0.0f);
  EXPECT_EQ(v0.frame_format_type, NDIlib_frame_format_type_progressive);
  EXPECT_EQ(v0.timecode, INT64_MAX);
  EXPECT_EQ(v0.p_data, bgra->m_pData);  // no copy
  EXPECT_EQ(v0.line_stride_in_bytes, 0);
  EXPECT_EQ(v0.p_metadata, nullptr);
  EXPECT_EQ(v0.timestamp, 0);
  const NDIlib_video_frame_v2_t& v1 = snap->video[1].frame;
  EXPECT_EQ(static_cast<uint32_t>(v1.FourCC), 0x3231564Eu);  // "NV12"
  EXPECT_EQ(v1.p_data, nv12->m_pData);
}

TEST_F(NdiTest, WrongFormatSizeOrShortPayloadIsDroppedWithItsLine) {
  LogCapture log;
  VrNDISend send(Fake());
  ASSERT_EQ(send.start(), 0);
  // Once a first frame was sent the thread has read the output size; a later
  // change does not make frames of the new size acceptable.
  send.PushFrame(Bgra());
  m_fake.WaitFor([](const FakeNdiSnapshot& s) { return s.videoCount >= 1; });
  cfg()->setOutputSize(kW * 2, kH * 2);
  send.PushFrame(Picture(kVrPixFmtYUV420P, kW, kH, kW * kH * 3 / 2));
  send.PushFrame(Bgra(kW * 2, kH * 2));
  send.PushFrame(Picture(kVrPixFmtBGRA, kW, kH, kW * kH * 4 - 1));
  VrMediaFramePtr good = Nv12();
  send.PushFrame(good);  // queued behind the bad ones
  auto snap = m_fake.WaitFor([](const FakeNdiSnapshot& s) { return s.videoCount >= 2; });
  send.stop();
  ASSERT_EQ(snap->videoCount, 2);
  EXPECT_EQ(snap->video[1].frame.p_data, good->m_pData);
  EXPECT_EQ(log.count("Unsupported NDI send format"), 1);
  EXPECT_EQ(log.count("NDI Send Data Resolution is different from output resolution"), 1);
  EXPECT_EQ(log.count("too few for a 64x32 picture"), 1);
}

TEST_F(NdiTest, TwelfthQueuedVideoFrameEmptiesTheQueueFirst) {
  LogCapture log;
  VrNDISend send(Fake());  // threads not started: nothing drains the queues
  VrMediaFramePtr first = Bgra();
  send.PushFrame(first);
  for (int i = 0; i < 10; ++i) send.PushFrame(Bgra());
  EXPECT_EQ(send.VideoQueueSize(), 11u);
  EXPECT_EQ(log.count("Video Frame Loss."), 0);
  VrMediaFramePtr last = Bgra();
  send.PushFrame(last);
  EXPECT_EQ(send.VideoQueueSize(), 1u);
  EXPECT_EQ(log.count("Video Frame Loss."), 1);
  EXPECT_EQ(first.use_count(), 1);
  EXPECT_EQ(send.DequeueVideo(), last);
}

TEST_F(NdiTest, AudioQueueAboveHundredIsEmptiedAndOtherTypesAreIgnored) {
  LogCapture log;
  VrNDISend send(Fake());
  for (int i = 0; i < 101; ++i) send.PushFrame(Block(i));
  EXPECT_EQ(send.AudioQueueSize(), 101u);
  send.PushFrame(Block(1000));
  EXPECT_EQ(send.AudioQueueSize(), 1u);
  EXPECT_EQ(log.count("Audio Frame Loss."), 1);
  VrMediaFramePtr other = Bgra();
  other->m_iMediaType = 2;
  send.PushFrame(other);
  send.PushFrame(nullptr);
  EXPECT_EQ(send.VideoQueueSize(), 0u);
  EXPECT_EQ(send.AudioQueueSize(), 1u);
  // Requeued blocks go to the front, past the bound.
  VrMediaFramePtr again = Block(5);
  send.RequeueAudio(again);
  EXPECT_EQ(send.DequeueAudio(), again);
  EXPECT_EQ(send.DequeueAudio()->m_llTimestamp, 1000);
  EXPECT_EQ(send.DequeueAudio(), nullptr);
  // stop releases what is still queued
  VrMediaFramePtr queued = Bgra();
  send.PushFrame(queued);
  send.stop();
  EXPECT_EQ(queued.use_count(), 1);
}

// ------------------------------------------------------------ audio

TEST(VrNDISendPacing, BlockIsDueWhenTheWallClockHasCaughtUp) {
  // Wall clock origin 5000 at the first block stamped 100.
  EXPECT_TRUE(VrNDISend::IsAudioDue(5000, 5000, 100, 100));
  EXPECT_FALSE(VrNDISend::IsAudioDue(5000, 5000, 121, 100));
  EXPECT_FALSE(VrNDISend::IsAudioDue(5020, 5000, 121, 100));
  EXPECT_TRUE(VrNDISend::IsAudioDue(5021, 5000, 121, 100));
  EXPECT_TRUE(VrNDISend::IsAudioDue(9000, 5000, 121, 100));  // late: at once
  // Stamped before the first block: due, never held for ever.
  EXPECT_TRUE(VrNDISend::IsAudioDue(5000, 5000, 40, 100));
}

TEST_F(NdiTest, AudioBlocksArePublishedInPlaceWithTheirFields) {
  VrNDISend send(Fake());
  ASSERT_EQ(send.start(), 0);
  VrMediaFramePtr block = Block(77);
  send.PushFrame(block);
  auto snap = m_fake.WaitFor([](const FakeNdiSnapshot& s) { return s.audioCount >= 1; });
  send.stop();
  ASSERT_EQ(snap->audioCount, 1);
  const NDIlib_audio_frame_interleaved_16s_t& a = snap->audio[0].frame;
  EXPECT_EQ(snap->audio[0].instance, snap->instance);
  EXPECT_EQ(a.sample_rate, 48000);
  EXPECT_EQ(a.no_channels, 2);
  EXPECT_EQ(a.no_samples, 1024);
  EXPECT_EQ(a.timecode, INT64_MAX);
  EXPECT_EQ(a.reference_level, 0);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(a.p_data), block->m_pData);
}

TEST_F(NdiTest, EarlyAudioIsHeldUntilTheWallClockCatchesUpLateAudioIsNot) {
  VrNDISend send(Fake());
  ASSERT_EQ(send.start(), 0);
  // Four blocks 100 ms apart, handed over at once: the runtime sees them no
  // faster than their timestamps advance.
  const int64_t base = 1000000;
  for (int k = 0; k < 4; ++k) send.PushFrame(Block(base + 100 * k));
  auto snap = m_fake.WaitFor([](const FakeNdiSnapshot& s) { return s.audioCount >= 4; });
  ASSERT_EQ(snap->audioCount, 4);
  for (int k = 1; k < 4; ++k) {
    // The first block fixed the wall-clock origin just before it was sent.
    EXPECT_GE(snap->audio[k].tickMs - snap->audio[0].tickMs, 100 * k - 50) << k;
    EXPECT_GE(snap->audio[k].tickMs, snap->audio[k - 1].tickMs);
  }
  // Now blocks stamped behind the wall clock go straight through, while one
  // stamped ten seconds ahead waits and holds back what follows it.
  const int64_t now = snap->audio[3].tickMs;
  const int64_t behind = base + (now - snap->audio[0].tickMs) - 50;
  send.PushFrame(Block(behind));
  send.PushFrame(Block(behind + 10));
  VrMediaFramePtr early = Block(base + 10000);
  send.PushFrame(early);
  send.PushFrame(Block(behind + 20));
  snap = m_fake.WaitFor([](const FakeNdiSnapshot& s) { return s.audioCount >= 6; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  snap = m_fake.Snapshot();
  EXPECT_EQ(snap->audioCount, 6);
  EXPECT_EQ(early.use_count(), 2);  // still held by the sender, not dropped
  send.stop();
  EXPECT_EQ(early.use_count(), 1);
  EXPECT_EQ(send.AudioQueueSize(), 0u);
}
