#include "encode/VrVideoEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "encode/VrVideoNvEncoder.h"
#include "encode/VrVideoQSVEncoder.h"
#include "encode/VrVideoVaapiEncoder.h"
#include "encode/VrVideoFFMPEGEncoder.h"
#include "encode/VrVideoHwEncoder.h"
#include "EncodeTestUtil.h"
#include "support/LogCapture.h"

using enc_test::PacketSink;
using enc_test::WaitFor;

namespace {

// What the scripted back-ends saw; reset by each test.
struct Script {
  std::mutex mutex;
  std::vector<int32_t> kinds;          // kinds asked of the creator
  std::vector<int64_t> encoded;        // timestamps given to InputEncode
  std::set<std::thread::id> threads;   // threads that ran InputEncode
  int closes = 0;
  bool initResult = true;
  bool createNothing = false;
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    kinds.clear();
    encoded.clear();
    threads.clear();
    closes = 0;
    initResult = true;
    createNothing = false;
  }
};
Script g_script;

// Emits, per picture, an empty record, a record with data but size 0, and one
// real packet stamped with the picture's timestamp.
class ScriptedBackend : public VrEncodeContext {
 public:
  bool Init(const VrEncodeParams*) override { return g_script.initResult; }
  void Close() override {
    std::lock_guard<std::mutex> lock(g_script.mutex);
    ++g_script.closes;
  }
  void InputEncode(VrMediaFramePtr frame) override {
    {
      std::lock_guard<std::mutex> lock(g_script.mutex);
      g_script.encoded.push_back(frame->m_llTimestamp);
      g_script.threads.insert(std::this_thread::get_id());
    }
    SetPending(VrCreateMediaFrame());
    VrMediaFramePtr sizeZero = VrCreateMediaFrame();
    sizeZero->AllocData(4);
    sizeZero->m_iSize = 0;
    SetPending(sizeZero);
    VrMediaFramePtr real = VrCreateMediaFrame();
    real->AllocData(3);
    real->m_llTimestamp = frame->m_llTimestamp;
    SetPending(real);
  }
};

std::unique_ptr<VrEncodeContext> ScriptedCreator(int32_t kind) {
  std::lock_guard<std::mutex> lock(g_script.mutex);
  g_script.kinds.push_back(kind);
  if (g_script.createNothing) return nullptr;
  return std::make_unique<ScriptedBackend>();
}


VrMediaFramePtr Picture(int64_t ts, int32_t type = VR_MEDIA_VIDEO) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  f->AllocData(16);
  f->m_iMediaType = type;
  f->m_llTimestamp = ts;
  return f;
}


class VrVideoEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override { g_script.Reset(); }
};

}  // namespace

TEST_F(VrVideoEncoderTest, InitAsksTheFactoryForTheKindAndReportsFailure) {
  VrVideoEncoder a(&ScriptedCreator);
  VrEncodeParams p;
  p.m_iEncoderKind = 2;
  EXPECT_EQ(a.Init(p), 0);
  g_script.initResult = false;
  VrVideoEncoder b(&ScriptedCreator);
  p.m_iEncoderKind = 7;
  EXPECT_EQ(b.Init(p), -1);
  EXPECT_NE(b.Backend(), nullptr);  // a failed back-end stays until the encoder goes
  g_script.createNothing = true;
  VrVideoEncoder c(&ScriptedCreator);
  LogCapture log;
  EXPECT_EQ(c.Init(p), -1);
  EXPECT_TRUE(log.contains("malloc failed."));
  EXPECT_EQ(g_script.kinds, (std::vector<int32_t>{2, 7, 7}));
}

TEST_F(VrVideoEncoderTest, FactoryGivesHardwareForKindsOneTwoFourAndSoftwareOtherwise) {
  for (int32_t kind : {0, 3, 5, -1, 100}) {
    auto ctx = VrCreateEncodeContext(kind);
    EXPECT_NE(dynamic_cast<VrVideoFFMPEGEncoder*>(ctx.get()), nullptr) << "kind " << kind;
  }
  EXPECT_NE(dynamic_cast<VrVideoQSVEncoder*>(VrCreateEncodeContext(1).get()), nullptr);
  EXPECT_NE(dynamic_cast<VrVideoNvEncoder*>(VrCreateEncodeContext(2).get()), nullptr);
  EXPECT_NE(dynamic_cast<VrVideoVaapiEncoder*>(VrCreateEncodeContext(4).get()), nullptr);
}

TEST_F(VrVideoEncoderTest, OnlyVideoIsQueuedAndNothingIsDroppedOnTheWayIn) {
  VrVideoEncoder enc(&ScriptedCreator);
  ASSERT_EQ(enc.Init(VrEncodeParams()), 0);
  EXPECT_EQ(enc.Input(Picture(1, VR_MEDIA_AUDIO)), -1);
  EXPECT_EQ(enc.Input(Picture(1, 7)), -1);
  EXPECT_EQ(enc.Input(nullptr), -1);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(enc.Input(Picture(i)), 0);
  EXPECT_EQ(enc.QueuedFrames(), 500u);
  enc.Stop();  // never started: Stop still empties the FIFO and closes the back-end
  EXPECT_EQ(enc.QueuedFrames(), 0u);
  EXPECT_EQ(g_script.closes, 1);
}

TEST_F(VrVideoEncoderTest, OneWorkerDeliversNonEmptyPacketsInOrderUntilStop) {
  VrVideoEncoder enc(&ScriptedCreator);
  PacketSink sink;
  enc.m_pCallback = &PacketSink::Take;
  enc.m_pContext = &sink;
  ASSERT_EQ(enc.Init(VrEncodeParams()), 0);
  VrMediaFramePtr noData = VrCreateMediaFrame();
  noData->m_llTimestamp = 999;
  enc.Input(noData);
  enc.Start();
  enc.Start();
  EXPECT_TRUE(enc.IsRunning());
  for (int i = 0; i < 300; ++i) enc.Input(Picture(1000 + i));
  ASSERT_TRUE(WaitFor([&] { return sink.Count() >= 300; }));
  enc.Stop();
  EXPECT_FALSE(enc.IsRunning());
  // Only the real packet of each picture is delivered, in input order; the
  // record without data never reached the back-end.
  ASSERT_EQ(sink.packets.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(sink.packets[i]->m_llTimestamp, 1000 + i);
  EXPECT_EQ(g_script.encoded.size(), 300u);
  EXPECT_EQ(g_script.encoded.front(), 1000);
  EXPECT_EQ(g_script.threads.size(), 1u);
  EXPECT_EQ(g_script.threads.count(std::this_thread::get_id()), 0u);
  // After Stop nothing more is encoded; a restarted encoder serves again.
  enc.Input(Picture(5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(g_script.encoded.size(), 300u);
  enc.Start();
  ASSERT_TRUE(WaitFor([&] { return sink.Count() >= 301; }));
  enc.Stop();
}

TEST_F(VrVideoEncoderTest, DeliverNeedsBothCallbackAndContext) {
  VrVideoEncoder enc(&ScriptedCreator);
  PacketSink sink;
  VrMediaFramePtr p = Picture(1);
  EXPECT_EQ(enc.Deliver(p), 0);
  enc.m_pCallback = &PacketSink::Take;
  EXPECT_EQ(enc.Deliver(p), 0);
  EXPECT_EQ(sink.Count(), 0u);
  enc.m_pContext = &sink;
  EXPECT_EQ(enc.Deliver(p), 0);
  EXPECT_EQ(sink.Count(), 1u);
  EXPECT_EQ(p.use_count(), 2);  // the callee holds its own reference
}

namespace {

constexpr int kFps = 10;
constexpr int kGop = 10;  // 10 fps x one second

// A hardware back-end as the encoder sees one: the shared hardware plumbing
// (VrVideoHwEncoder) driving libx264, so it opens here. It either loses its
// device on picture |failAt|, or (|stall|) holds pictures back for longer than
// a key-frame interval, as a hung driver would.
class BreakingHardware : public VrVideoHwEncoder {
 public:
  BreakingHardware(int failAt, bool stall) : m_iFailAt(failAt), m_bStall(stall) {}
  bool Init(const VrEncodeParams* params) override {
    Options options = {{"bf", "0"}, {"g", std::to_string(kGop)}, {"threads", "1"}};
    if (m_bStall) {
      options.push_back({"preset", "medium"});
      options.push_back({"rc-lookahead", "40"});
    } else {
      options.push_back({"preset", "ultrafast"});
      options.push_back({"tune", "zerolatency"});
    }
    std::string why;
    return OpenCodec("libx264", *params, options, nullptr, false, &why);
  }
  void InputEncode(VrMediaFramePtr frame) override {
    if (m_iPictures++ == m_iFailAt) {
      MarkBroken("device lost");
      return;
    }
    VrVideoHwEncoder::InputEncode(std::move(frame));
  }
  const char* Name() const override { return "TestGPU"; }

 private:
  int m_iFailAt;
  bool m_bStall;
  int m_iPictures = 0;
};

int g_failAt = -1;
bool g_stall = false;

std::unique_ptr<VrEncodeContext> BreakingCreator(int32_t kind) {
  if (kind == kVrEncoderNvenc) return std::make_unique<BreakingHardware>(g_failAt, g_stall);
  return VrCreateEncodeContext(kind);
}

// Runs |pictures| 64 x 64 pictures, 100 ms apart, through an NVENC-kind
// encoder made by BreakingCreator and returns what it delivered once
// |expected| packets are out; by then the software back-end must be in use.
std::vector<VrMediaFramePtr> RunBreakingEncoder(int pictures, size_t expected) {
  VrVideoEncoder enc(&BreakingCreator);
  PacketSink sink;
  enc.m_pCallback = &PacketSink::Take;
  enc.m_pContext = &sink;
  VrEncodeParams p;
  p.m_iCodecId = AV_CODEC_ID_H264;
  p.m_iFrameRate = kFps;
  p.m_iWidth = 64;
  p.m_iHeight = 64;
  p.m_iBitRate = 200000;
  p.m_iKeyIntervalMs = 1000;
  p.m_iEncoderKind = kVrEncoderNvenc;
  EXPECT_EQ(enc.Init(p), 0);
  enc.Start();
  for (int i = 0; i < pictures; ++i) enc.Input(enc_test::MakeNV12(64, 64, 100 * i, static_cast<uint8_t>(40 + 4 * i)));
  EXPECT_TRUE(WaitFor([&] { return sink.Count() >= expected && enc.QueuedFrames() == 0; }));
  enc.Stop();
  EXPECT_NE(dynamic_cast<const VrVideoFFMPEGEncoder*>(enc.Backend()), nullptr);
  return std::move(sink.packets);
}

// The packets from |first| on decode on their own, one picture each.
void ExpectDecodableFrom(const std::vector<VrMediaFramePtr>& packets, size_t first) {
  enc_test::Decoder decoder(AV_CODEC_ID_H264);
  ASSERT_TRUE(decoder.ok());
  for (size_t i = first; i < packets.size(); ++i) {
    EXPECT_EQ(decoder.Feed(packets[i]->m_pData, packets[i]->m_iSize), 0) << "packet " << i;
  }
  decoder.Flush();
  EXPECT_EQ(decoder.frames.size(), packets.size() - first);
}

}  // namespace

// A hardware encoder that opened and then loses its device is replaced by
// x264 at once: the next picture comes out as a key frame with SPS and PPS,
// and one warning says why.
TEST_F(VrVideoEncoderTest, BrokenHardwareIsReplacedBySoftwareStartingAtAKeyFrame) {
  g_failAt = 5;
  g_stall = false;
  LogCapture log;
  std::vector<VrMediaFramePtr> packets = RunBreakingEncoder(20, 19);
  ASSERT_EQ(packets.size(), 19u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(packets[i]->m_llTimestamp, 100 * i);
  // Picture 5 was the one the device lost; the software encoder takes over
  // with picture 6 as a key frame.
  EXPECT_EQ(packets[5]->m_llTimestamp, 600);
  EXPECT_EQ(packets[5]->m_iKeyFrame, 1);
  const std::vector<int> nals = enc_test::NalTypes(packets[5]->m_pData, packets[5]->m_iSize);
  EXPECT_NE(std::find(nals.begin(), nals.end(), 7), nals.end());
  EXPECT_NE(std::find(nals.begin(), nals.end(), 8), nals.end());
  EXPECT_NE(std::find(nals.begin(), nals.end(), 5), nals.end());
  for (size_t i = 5; i < packets.size(); ++i) EXPECT_EQ(packets[i]->m_llTimestamp, 100 * (static_cast<int64_t>(i) + 1));
  ExpectDecodableFrom(packets, 5);
  EXPECT_EQ(log.count("TestGPU encoder failed while running (device lost); continuing with the "
                      "software encoder."),
            1);
  EXPECT_EQ(log.count("failed while running"), 1);
}

// A hardware encoder that accepts pictures but never gives a packet back is
// given up after one key-frame interval of pictures, not left hanging.
TEST_F(VrVideoEncoderTest, SilentHardwareIsGivenUpAfterOneKeyFrameInterval) {
  g_failAt = -1;
  g_stall = true;
  LogCapture log;
  std::vector<VrMediaFramePtr> packets = RunBreakingEncoder(30, 20);
  ASSERT_EQ(packets.size(), 20u);
  // The first kGop pictures went into the silent encoder; the rest are x264's.
  EXPECT_EQ(packets.front()->m_llTimestamp, 100 * kGop);
  EXPECT_EQ(packets.front()->m_iKeyFrame, 1);
  ExpectDecodableFrom(packets, 0);
  EXPECT_EQ(log.count("TestGPU encoder failed while running (libx264 gave no packet for 10 "
                      "pictures)"),
            1);
}

namespace {
// Opens FFmpeg's hardware encoders the way the back-ends do.
class HardwareOpener : public VrVideoHwEncoder {
 public:
  bool Init(const VrEncodeParams*) override { return false; }
  using VrVideoHwEncoder::OpenCodec;
  using VrVideoHwEncoder::OpenVaapi;
};
}  // namespace

// Without a GPU every FFmpeg hardware path fails with a reason and leaves a
// closed back-end that ignores pictures, which is what lets the pair fall
// back instead of crashing.
TEST_F(VrVideoEncoderTest, HardwareEncodersFailToOpenCleanlyWithoutAGpu) {
  if (std::filesystem::exists("/dev/dri")) GTEST_SKIP() << "this machine has a GPU";
  VrEncodeParams p;
  p.m_iCodecId = AV_CODEC_ID_H264;
  p.m_iFrameRate = 25;
  p.m_iWidth = 320;
  p.m_iHeight = 240;
  p.m_iBitRate = 500000;
  p.m_iKeyIntervalMs = 2000;
  HardwareOpener opener;
  std::string why;
  EXPECT_FALSE(opener.OpenCodec("h264_nvenc", p, {{"rc", "constqp"}}, nullptr, false, &why));
  EXPECT_NE(why.find("h264_nvenc"), std::string::npos) << why;
  why.clear();
  EXPECT_FALSE(opener.OpenVaapi("/dev/dri/renderD128", p, &why));
  EXPECT_NE(why.find("/dev/dri/renderD128"), std::string::npos) << why;
  why.clear();
  EXPECT_FALSE(VrVideoHwEncoder::OpenDevice(AV_HWDEVICE_TYPE_QSV, "auto",
                                            {{"child_device", "/dev/dri/renderD128"}}, &why));
  EXPECT_FALSE(why.empty());
  why.clear();
  EXPECT_FALSE(opener.OpenCodec("h264_no_such_encoder", p, {}, nullptr, false, &why));
  EXPECT_EQ(why, "this FFmpeg has no h264_no_such_encoder");
  EXPECT_FALSE(opener.IsOpen());
  opener.InputEncode(enc_test::MakeNV12(320, 240, 0));
  EXPECT_EQ(opener.OutputEncode(), nullptr);
}

// The hardware encoders' key-frame spacing takes whole seconds of the
// interval first, so 1500 ms gives one second's worth, never a fraction.
TEST(VrHwGopLength, WholeSecondsOfTheIntervalTimesTheFrameRate) {
  EXPECT_EQ(VrHwGopLength(25, 2000), 50);
  EXPECT_EQ(VrHwGopLength(25, 1500), 25);
  EXPECT_EQ(VrHwGopLength(30, 2999), 60);
  EXPECT_EQ(VrHwGopLength(25, 999), 1);  // never zero
}
