#include "capture/VrScreenSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "capture/x11/ScreenFakes.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/x11/X11TestScene.h"

namespace {
// A source whose grabs follow a script of {result, fill}: a non-zero fill
// makes a 4 x 2 picture of that byte, whatever the result. An empty script
// gives m_iIdle.
class ScriptedSource : public VrScreenSource {
 public:
  ~ScriptedSource() override { stop(); }
  int start() override { return SetFrameRate(1000) != 0 ? -1 : StartTicks(); }
  void stop() override { StopTicks(); }
  std::deque<std::pair<int, uint8_t>> m_script;  // set while no timer runs
  int m_iIdle = kNoChange;
  std::atomic<int> m_iGrabs{0};
  int64_t m_llNow = 0;
  std::thread::id m_grabThread;
  std::weak_ptr<VrMediaFrame> m_pOwnPicture;

 protected:
  int GrabNext(int64_t now, VrMediaFramePtr* picture) override {
    m_llNow = now;
    m_grabThread = std::this_thread::get_id();
    ++m_iGrabs;
    std::pair<int, uint8_t> step{m_iIdle, 0};
    if (!m_script.empty()) {
      step = m_script.front();
      m_script.pop_front();
    }
    if (step.second != 0) {
      *picture = NewPicture(4, 2, kCaptureRegion, kMethodGDI, now);
      std::memset((*picture)->m_pData, step.second, (*picture)->m_iSize);
      m_pOwnPicture = *picture;
    }
    return step.first;
  }
};

// Whether the tick's own picture was still alive when each frame arrived.
ScriptedSource* g_pSource = nullptr;
std::vector<bool> g_ownPictureAlive;
int RecordingSink(VrMediaFramePtr frame, void* context) {
  g_ownPictureAlive.push_back(!g_pSource->m_pOwnPicture.expired());
  return FrameSink::OnFrame(std::move(frame), context);
}
constexpr int kNew = VrScreenSource::kNewPicture;
constexpr int kSame = VrScreenSource::kNoChange;
}  // namespace

TEST(VrScreenSource, NoChangeRepeatsTheLastPictureAndErrorsDeliverNothing) {
  ScriptedSource src;
  FrameSink sink;
  sink.Attach(src);
  src.m_pCallback = &RecordingSink;
  g_pSource = &src;
  g_ownPictureAlive.clear();
  ASSERT_EQ(src.SetManualTicks(true), 0);
  ASSERT_EQ(src.start(), 0);
  EXPECT_EQ(src.Tick(), kSame);
  EXPECT_EQ(sink.Count(), 0u);  // nothing to repeat yet

  src.m_script = {{kNew, 0x11}};
  EXPECT_EQ(src.Tick(), kNew);
  const VrMediaFramePtr first = sink.Last();
  ASSERT_TRUE(first);
  const int64_t firstStamp = first->m_llTimestamp;
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  // The grab made a picture but found no change: that picture is released
  // and the repeat shares the last frame's pixels instead of copying them.
  src.m_script = {{kSame, 0x22}};
  EXPECT_EQ(src.Tick(), kSame);
  ASSERT_EQ(sink.Count(), 2u);
  EXPECT_FALSE(g_ownPictureAlive[1]);
  EXPECT_EQ(sink.Last()->m_pData[7], 0x11);
  EXPECT_EQ(sink.Last()->m_pData, first->m_pData);
  EXPECT_NE(sink.Last().get(), first.get());
  EXPECT_EQ(sink.Last()->m_llTimestamp, src.m_llNow);
  EXPECT_GT(sink.Last()->m_llTimestamp, firstStamp);
  EXPECT_EQ(first->m_llTimestamp, firstStamp);

  // An error reaches the caller; its picture is neither delivered nor kept.
  src.m_script = {{-7, 0x33}, {kSame, 0}};
  EXPECT_EQ(src.Tick(), -7);
  EXPECT_EQ(sink.Count(), 2u);
  EXPECT_EQ(src.Tick(), kSame);
  EXPECT_EQ(sink.Last()->m_pData[0], 0x11);

  // Without a context nothing is delivered, yet the picture becomes the last one.
  src.m_pContext = nullptr;
  src.m_script = {{kNew, 0x44}};
  EXPECT_EQ(src.Tick(), kNew);
  src.m_pContext = &sink;
  EXPECT_EQ(src.Tick(), kSame);
  ASSERT_EQ(sink.Count(), 4u);
  EXPECT_EQ(sink.Last()->m_pData[0], 0x44);
}

TEST(VrScreenSource, ManualTicksAndTheTimerExcludeEachOther) {
  ScriptedSource src;
  src.m_iIdle = -9;
  EXPECT_EQ(src.Tick(), VrScreenSource::kNotManual);
  ASSERT_EQ(src.start(), 0);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return src.m_iGrabs >= 3; }));
  EXPECT_EQ(src.SetManualTicks(true), -1);
  EXPECT_EQ(src.Tick(), VrScreenSource::kNotManual);
  src.stop();
  EXPECT_NE(src.m_grabThread, std::this_thread::get_id());

  const int grabs = src.m_iGrabs;
  ASSERT_EQ(src.SetManualTicks(true), 0);
  ASSERT_EQ(src.start(), 0);
  EXPECT_EQ(src.SetManualTicks(true), 0);  // start started no timer
  EXPECT_EQ(src.Tick(), -9);
  EXPECT_EQ(src.m_iGrabs.load(), grabs + 1);
  EXPECT_EQ(src.m_grabThread, std::this_thread::get_id());
}
