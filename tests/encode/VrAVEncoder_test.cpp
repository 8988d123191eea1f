#include "encode/VrAVEncoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "EncodeTestUtil.h"
#include "config/HX_ServerConfiguration.h"
#include "encode/VrVideoFFMPEGEncoder.h"
#include "platform/HX_Thread.h"
#include "support/LogCapture.h"

using enc_test::PacketSink;
using enc_test::WaitFor;
using enc_test::MakeNV12;
using enc_test::MakeToneBlock;

namespace {

constexpr int kW = 160;
constexpr int kH = 96;

// Creator that records the kinds asked for and opens only the kinds allowed.
std::mutex g_mutex;
std::vector<int32_t> g_kinds;
bool g_softwareOpens = true;

class FailingBackend : public VrEncodeContext {
 public:
  bool Init(const VrEncodeParams*) override { return false; }
  void Close() override {}
  void InputEncode(VrMediaFramePtr) override {}
};

std::unique_ptr<VrEncodeContext> RecordingCreator(int32_t kind) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_kinds.push_back(kind);
  }
  if (kind == 0 && !g_softwareOpens) return std::make_unique<FailingBackend>();
  return VrCreateEncodeContext(kind);
}

std::vector<int32_t> KindsAsked() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_kinds;
}



void ParamsFor(int32_t encodeType, VrEncodeParams* video, VrEncodeParams* audio) {
  HX_ServerSettings s;
  s.m_iEncodeType = encodeType;
  s.m_iEncodeSample = 500000;
  VrMakeEncodeParams(s, kW, kH, video, audio);
}

class VrAVEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_kinds.clear();
    g_softwareOpens = true;
  }
};

}  // namespace

// No GPU here: every hardware choice tries its own back-end once, falls back
// to x264 and says in one warning which back-end it tried and why not.
TEST_F(VrAVEncoderTest, HardwareChoicesTryTheirBackEndOnceThenSoftware) {
  struct Case {
    int32_t encodeType;
    std::vector<int32_t> kinds;
    const char* fallbackLine;
  };
  const Case cases[] = {
      {5, {2, 0}, "NVENC encoder (kind 2) did not open (the CUDA driver cannot be loaded"},
      {4, {1, 0}, "QuickSync encoder (kind 1) did not open (no Intel render node)"},
      {3, {4, 0}, "VA-API encoder (kind 4) did not open (no AMD render node)"},
      {1, {0}, nullptr},
      {2, {0}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encodeType);
    SetUp();
    LogCapture log;
    VrAVEncoder pair(&RecordingCreator);
    VrEncodeParams v;
    VrEncodeParams a;
    ParamsFor(c.encodeType, &v, &a);
    EXPECT_EQ(pair.Init(v, a), 0);
    EXPECT_EQ(KindsAsked(), c.kinds);
    ASSERT_NE(pair.VideoEncoder(), nullptr);
    EXPECT_NE(dynamic_cast<const VrVideoFFMPEGEncoder*>(pair.VideoEncoder()->Backend()), nullptr);
    ASSERT_NE(pair.AudioEncoder(), nullptr);
    EXPECT_NE(pair.AudioEncoder()->CodecContext(), nullptr);
    EXPECT_EQ(log.count("did not open"), c.fallbackLine != nullptr ? 1 : 0);
    if (c.fallbackLine != nullptr) {
      EXPECT_TRUE(log.contains(c.fallbackLine)) << c.fallbackLine;
    }
  }
}

TEST_F(VrAVEncoderTest, InitFailsOnlyWhenSoftwareFailsToo) {
  g_softwareOpens = false;
  VrEncodeParams v;
  VrEncodeParams a;
  ParamsFor(5, &v, &a);
  VrAVEncoder hw(&RecordingCreator);
  EXPECT_EQ(hw.Init(v, a), -1);
  EXPECT_EQ(KindsAsked(), (std::vector<int32_t>{2, 0}));

  SetUp();
  g_softwareOpens = false;
  ParamsFor(1, &v, &a);
  VrAVEncoder sw(&RecordingCreator);
  EXPECT_EQ(sw.Init(v, a), -1);
  EXPECT_EQ(KindsAsked(), (std::vector<int32_t>{0}));  // kind 0 is not retried

  // A broken audio setting is not an error for the pair.
  ParamsFor(1, &v, &a);
  a.m_iReserved = 12345;
  VrAVEncoder noSound;
  EXPECT_EQ(noSound.Init(v, a), 0);
  EXPECT_EQ(noSound.AudioEncoder()->CodecContext(), nullptr);
}

TEST_F(VrAVEncoderTest, InputRoutesByMediaTypeOnlyWhenBothEncodersExist) {
  VrAVEncoder bare;
  EXPECT_EQ(bare.Input(MakeNV12(kW, kH, 1)), -1);

  VrAVEncoder pair;
  VrEncodeParams v;
  VrEncodeParams a;
  ParamsFor(1, &v, &a);
  ASSERT_EQ(pair.Init(v, a), 0);
  int64_t phase = 0;
  EXPECT_EQ(pair.Input(MakeNV12(kW, kH, 1)), 0);
  EXPECT_EQ(VrAVEncoder::InputCallback(MakeToneBlock(1, 440.0, 44100, &phase), &pair), 0);
  VrMediaFramePtr other = MakeNV12(kW, kH, 1);
  other->m_iMediaType = 2;
  EXPECT_EQ(pair.Input(other), -1);
  EXPECT_EQ(pair.Input(nullptr), -1);
  EXPECT_EQ(pair.VideoEncoder()->QueuedFrames(), 1u);
  EXPECT_EQ(pair.AudioEncoder()->QueuedBlocks(), 1u);
}

// Each of the pair's three threads (video worker, audio worker, interleaver)
// may be refused by the system: Start reports it, and Stop ends what started.
TEST_F(VrAVEncoderTest, AThreadTheSystemRefusesFailsTheStart) {
  const char* lines[] = {"cannot start the video encoder thread", "cannot start the audio encoder thread",
                         "cannot start the interleaving thread"};
  for (int succeeding = 0; succeeding < 3; ++succeeding) {
    VrAVEncoder pair;
    VrEncodeParams v;
    VrEncodeParams a;
    ParamsFor(1, &v, &a);
    ASSERT_EQ(pair.Init(v, a), 0);
    LogCapture log;
    HX_FailThreadStartsForTest(succeeding, 1);
    EXPECT_EQ(pair.Start(), -1) << succeeding;
    HX_FailThreadStartsForTest(0, 0);
    EXPECT_EQ(log.count(lines[succeeding]), 1) << succeeding;
    pair.Stop();
  }
  VrAVEncoder pair;
  VrEncodeParams v;
  VrEncodeParams a;
  ParamsFor(1, &v, &a);
  ASSERT_EQ(pair.Init(v, a), 0);
  EXPECT_EQ(pair.Start(), 0);
  pair.Stop();
}

TEST_F(VrAVEncoderTest, NvencChoiceStreamsSoftwareVideoInterleavedWithSound) {
  VrAVEncoder pair;
  PacketSink out;
  VrEncodeParams v;
  VrEncodeParams a;
  ParamsFor(5, &v, &a);
  ASSERT_EQ(pair.Init(v, a), 0);
  pair.SetOutput(&PacketSink::Take, &out);
  pair.Start();
  EXPECT_TRUE(pair.IsRunning());

  // Sound starts at 10000; the first two pictures predate it.
  int64_t phase = 0;
  pair.Input(MakeToneBlock(10000, 440.0, 44100, &phase));
  ASSERT_TRUE(WaitFor([&] { return pair.FirstAudioTimestamp() == 10000u; }));
  pair.Input(MakeNV12(kW, kH, 9920));
  pair.Input(MakeNV12(kW, kH, 9960));
  int64_t audioTs = 10000;
  for (int i = 0; i < 40; ++i) {
    pair.Input(MakeNV12(kW, kH, 10000 + 40 * i));
    while (audioTs + 23 <= 10000 + 40 * i) pair.Input(MakeToneBlock(audioTs += 23, 440.0, 44100, &phase));
    // Sound is released only when a later picture moves on, so a live
    // stream's pace matters: the sound encoder keeps up with the pictures.
    ASSERT_TRUE(WaitFor([&] { return pair.AudioEncoder()->QueuedBlocks() == 0; }));
  }
  ASSERT_TRUE(WaitFor([&] { return out.Count(VR_MEDIA_VIDEO) >= 40; }));
  pair.Stop();
  EXPECT_FALSE(pair.IsRunning());
  // The encoder pair has stopped: the packets are ours alone now.
  int64_t firstVideo = -1;
  int64_t lastVideo = -1;
  int64_t lastAudio = -1;
  size_t videoCount = 0;
  // Sound later than the last picture so far must be older than the next one.
  std::vector<int64_t> beforeNextPicture;
  for (const VrMediaFramePtr& p : out.packets) {
    ASSERT_NE(p->m_pData, nullptr);
    ASSERT_GT(p->m_iSize, 0);
    if (p->m_iMediaType == VR_MEDIA_VIDEO) {
      EXPECT_GE(p->m_llTimestamp, 10000) << "picture older than the first sound was delivered";
      EXPECT_GT(p->m_llTimestamp, lastVideo);
      for (int64_t a : beforeNextPicture) EXPECT_LT(a, p->m_llTimestamp) << "sound went out before an older picture";
      beforeNextPicture.clear();
      if (firstVideo < 0) firstVideo = p->m_llTimestamp;
      lastVideo = p->m_llTimestamp;
      ++videoCount;
    } else {
      ASSERT_EQ(p->m_iMediaType, VR_MEDIA_AUDIO);
      EXPECT_GT(p->m_llTimestamp, firstVideo) << "sound up to the first picture was delivered";
      if (p->m_llTimestamp > lastVideo) beforeNextPicture.push_back(p->m_llTimestamp);
      EXPECT_GT(p->m_llTimestamp, lastAudio);
      lastAudio = p->m_llTimestamp;
      EXPECT_EQ(p->m_pData[0], 0xFF);  // ADTS
    }
  }
  EXPECT_TRUE(beforeNextPicture.empty()) << "sound ran ahead of the pictures";
  EXPECT_EQ(firstVideo, 10000);
  EXPECT_EQ(videoCount, 40u);
}

TEST_F(VrAVEncoderTest, PacketsArrivingAfterStopAreDropped) {
  VrAVEncoder pair;
  PacketSink out;
  VrEncodeParams v;
  VrEncodeParams a;
  ParamsFor(1, &v, &a);
  ASSERT_EQ(pair.Init(v, a), 0);
  pair.SetOutput(&PacketSink::Take, &out);
  VrMediaFramePtr early = MakeNV12(kW, kH, 5);
  EXPECT_EQ(VrAVEncoder::PacketRouter(early, &pair), -1);  // not started yet
  pair.Start();
  VrMediaFramePtr odd = MakeNV12(kW, kH, 5);
  odd->m_iMediaType = 3;
  EXPECT_EQ(VrAVEncoder::PacketRouter(odd, &pair), -1);
  EXPECT_EQ(VrAVEncoder::PacketRouter(MakeNV12(kW, kH, 5), &pair), 0);
  ASSERT_TRUE(WaitFor([&] { return out.Count(VR_MEDIA_VIDEO) == 1; }));
  pair.Stop();
  EXPECT_EQ(pair.VideoEncoder(), nullptr);
  EXPECT_EQ(pair.AudioEncoder(), nullptr);
  EXPECT_EQ(VrAVEncoder::PacketRouter(MakeNV12(kW, kH, 6), &pair), -1);
  int64_t phase = 0;
  EXPECT_EQ(VrAVEncoder::PacketRouter(MakeToneBlock(7, 440.0, 44100, &phase), &pair), -1);
  EXPECT_EQ(pair.PendingPackets(), 0u);
  EXPECT_EQ(pair.Input(MakeNV12(kW, kH, 8)), -1);
  pair.Stop();  // a second Stop is harmless
  EXPECT_EQ(out.Count(VR_MEDIA_VIDEO), 1u);
}

TEST_F(VrAVEncoderTest, InitFromConfigurationUsesEncodeTypeAndOutputSize) {
  HX_ServerConfiguration* config = HX_ServerConfiguration::instance();
  config->resetToDefaults();
  config->m_iEncodeType = 2;
  config->setOutputSize(kW, kH);
  VrAVEncoder pair;
  EXPECT_EQ(pair.InitFromConfiguration(), 0);
  config->resetToDefaults();
  auto* backend = dynamic_cast<const VrVideoFFMPEGEncoder*>(pair.VideoEncoder()->Backend());
  ASSERT_NE(backend, nullptr);
  EXPECT_EQ(backend->CodecContext()->codec_id, AV_CODEC_ID_MJPEG);
  EXPECT_EQ(backend->Width(), kW);
  EXPECT_EQ(backend->Height(), kH);
  EXPECT_EQ(pair.AudioEncoder()->CodecContext()->sample_rate, 44100);
}
