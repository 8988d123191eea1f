#include "encode/VrVideoEncoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "encode/VrUnavailableEncodeContext.h"
#include "encode/VrVideoFFMPEGEncoder.h"
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

TEST_F(VrVideoEncoderTest, FactoryGivesSoftwareForEveryKindButOneAndTwo) {
  for (int32_t kind : {0, 3, 4, -1, 100}) {
    auto ctx = VrCreateEncodeContext(kind);
    EXPECT_NE(dynamic_cast<VrVideoFFMPEGEncoder*>(ctx.get()), nullptr) << "kind " << kind;
  }
  for (int32_t kind : {1, 2}) {
    auto ctx = VrCreateEncodeContext(kind);
    ASSERT_NE(dynamic_cast<VrUnavailableEncodeContext*>(ctx.get()), nullptr) << "kind " << kind;
    VrEncodeParams p;
    p.m_iWidth = 64;
    p.m_iHeight = 64;
    LogCapture log;
    EXPECT_FALSE(ctx->Init(&p));
    EXPECT_TRUE(log.contains("encoder is not available"));
  }
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
