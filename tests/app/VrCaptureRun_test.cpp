#include "app/VrCaptureRun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/HX_IOperatorPrompt.h"
#include "capture/VrTrapperSources.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/HX_Clock.h"
#include "platform/HX_Paths.h"
#include "platform/HX_PeriodicTimer.h"
#include "platform/HX_Thread.h"
#include "support/LogCapture.h"
#include "support/ScriptedRun.h"
#include "support/FreePort.h"
#include "support/TempDir.h"

namespace {
using namespace std::chrono_literals;

class CaptureRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HX_SetBaseDirectory(m_dir.path());
    cfg()->resetToDefaults();
    cfg()->m_strRecordPath = m_dir.path() + "/rec";
    cfg()->m_iCaptureMode = kCaptureRegion;
    cfg()->setCaptureRegion(0, 0, 64, 48);
    cfg()->setOutputSize(64, 48);
    cfg()->m_iPrivatePort = FreeLoopbackPort();
  }
  static HX_ServerConfiguration* cfg() { return HX_ServerConfiguration::instance(); }
  void expectNothingLeft(const VrCaptureRun& run) {
    EXPECT_FALSE(run.isRunning());
    EXPECT_FALSE(run.hasSession());
    EXPECT_FALSE(run.hasEncoder());
    EXPECT_FALSE(run.hasServer());
    EXPECT_FALSE(run.hasRecorder());
    EXPECT_FALSE(run.hasNdi());
  }
  TempDir m_dir;
  ScriptedPrompt m_prompt;
  ScriptedSources m_sources;
};
}  // namespace

TEST_F(CaptureRunTest, OutputsFollowPushModeAndRecording) {
  struct Case { int push; bool record; bool ndi, encoder, server, recorder; } cases[] = {
      {kPushNDI, false, true, false, false, false},
      {kPushNDI, true, true, true, false, true},
      {kPushPrivate, false, false, true, true, false},
      {kPushPrivate, true, false, true, true, true},
      {7, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    cfg()->m_iPushFlowType = c.push;
    cfg()->m_bSyncRecord = c.record;
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    ASSERT_EQ(run.start(), VrCaptureRun::kStarted) << c.push << c.record;
    EXPECT_TRUE(run.isRunning());
    EXPECT_TRUE(run.hasSession());
    EXPECT_EQ(run.hasNdi(), c.ndi) << c.push << c.record;
    EXPECT_EQ(run.hasEncoder(), c.encoder) << c.push << c.record;
    EXPECT_EQ(run.hasServer(), c.server) << c.push << c.record;
    EXPECT_EQ(run.hasRecorder(), c.recorder) << c.push << c.record;
    run.stop();
    expectNothingLeft(run);
    run.stop();  // twice is harmless
  }
  EXPECT_TRUE(m_prompt.messages.empty());
}

TEST_F(CaptureRunTest, PublishingAloneRunsTheEncoderPairAndStopsInOrder) {
  // NDI push mode, no recording: the encoder pair exists for the publisher.
  // The address is refused by nobody listening, so the publisher is down
  // and counts what it drops; the capture goes on regardless.
  LogCapture log;
  cfg()->m_iPushFlowType = kPushNDI;
  cfg()->m_strPublishUrl = "rtmp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/live/run";
  VrCaptureRun run(&m_prompt);
  run.setSources(&m_sources);
  ASSERT_EQ(run.start(), VrCaptureRun::kStarted);
  EXPECT_TRUE(run.hasEncoder());
  EXPECT_TRUE(run.hasPublisher());
  EXPECT_TRUE(run.hasNdi());
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (run.counters().m_ullPublishDropped == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  const VrRunCounters c = run.counters();
  EXPECT_TRUE(c.m_bPublishing);
  EXPECT_FALSE(c.m_bPublishConnected);
  EXPECT_GT(c.m_ullPublishDropped, 0u);
  EXPECT_EQ(c.m_ullPublishBytes, 0u);
  EXPECT_EQ(log.count("is down: cannot connect"), 1);
  run.stop();
  EXPECT_FALSE(run.hasPublisher());
  expectNothingLeft(run);
  EXPECT_FALSE(run.counters().m_bPublishing);
  EXPECT_TRUE(m_prompt.messages.empty());
}

TEST_F(CaptureRunTest, PublishingRefusesAnUnusableAddressAndMjpegBeforeAnythingStarts) {
  cfg()->m_iPushFlowType = kPushPrivate;
  cfg()->m_strPublishUrl = "http://127.0.0.1/live/x";
  {
    LogCapture log;
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kPublishFailed);
    expectNothingLeft(run);
    EXPECT_FALSE(run.hasPublisher());
    EXPECT_EQ(log.count("PublishUrl 'http://127.0.0.1/live/x': unknown scheme 'http'"), 1);
  }
  cfg()->m_strPublishUrl = "srt://127.0.0.1:9";
  cfg()->m_iEncodeType = 2;  // MJPEG
  {
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kPublishFailed);
    expectNothingLeft(run);
  }
  EXPECT_EQ(m_prompt.messages, (std::vector<std::string>{HX_RunText::kPublishUrlInvalid,
                                                         HX_RunText::kPublishNeedsH264}));
  // Without an address MJPEG runs as before.
  cfg()->m_strPublishUrl.clear();
  VrCaptureRun run(&m_prompt);
  run.setSources(&m_sources);
  EXPECT_EQ(run.start(), VrCaptureRun::kStarted);
}

TEST_F(CaptureRunTest, StartFailuresTellTheOperatorAndLeaveNothing) {
  {
    cfg()->setOutputSize(0, 48);
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kNoOutputSize);
    expectNothingLeft(run);
    cfg()->setOutputSize(64, 48);
  }
  {
    cfg()->m_iPushFlowType = kPushPrivate;
    cfg()->setOutputSize(65, 48);  // the encoders need even sizes
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kEncoderFailed);
    expectNothingLeft(run);
    cfg()->setOutputSize(64, 48);
  }
  {
    // The port is taken by another listener.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    cfg()->m_iPrivatePort = ntohs(a.sin_port);
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kServerFailed);
    expectNothingLeft(run);
    close(fd);
  }
  {
    cfg()->m_iPushFlowType = kPushNDI;
    m_sources.videoStart = -1;
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kVideoFailed);
    expectNothingLeft(run);
    m_sources.videoStart = 0;
  }
  EXPECT_EQ(m_prompt.messages, (std::vector<std::string>{
                                   "指定的窗口不存在,请刷新列表", "编码器初始化失败",
                                   "网络推流初始化失败！", "视频采集失败！"}));
}

// Through the portal, a monitor or window run is sized to the stream the
// portal grants before any output opens; a region keeps its size; a refused
// grant fails the start, and a grant no source took is released.
TEST_F(CaptureRunTest, APortalRunIsSizedToItsGrantAndReleasesAGrantNoSourceTook) {
  cfg()->m_iCaptureBackend = kBackendPortal;
  cfg()->m_iPushFlowType = kPushPrivate;
  cfg()->m_iCaptureMode = kCaptureFullScreen;
  cfg()->setOutputSize(1920, 1080);
  m_sources.preparedWidth = 1281;  // rounded down to even for the encoder
  m_sources.preparedHeight = 720;
  int32_t w = 0, h = 0;
  {
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    ASSERT_EQ(run.start(), VrCaptureRun::kStarted);
    cfg()->getOutputSize(&w, &h);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
    EXPECT_EQ(m_sources.videoKinds.back(), VrTrapperSources::kVideoPortal);
  }
  EXPECT_EQ(m_sources.held, 0);

  cfg()->m_iCaptureMode = kCaptureRegion;
  cfg()->setOutputSize(64, 48);
  {
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    ASSERT_EQ(run.start(), VrCaptureRun::kStarted);
  }
  EXPECT_EQ(m_sources.preparedKinds.size(), 1u);  // a region asks nothing ahead
  cfg()->getOutputSize(&w, &h);
  EXPECT_EQ(w, 64);

  cfg()->m_iCaptureMode = kCaptureWindow;
  m_sources.videoStart = -1;  // granted, but the source then fails
  {
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kVideoFailed);
    expectNothingLeft(run);
  }
  EXPECT_EQ(m_sources.held, 0);
  m_sources.prepareResult = -2;  // the user refused
  {
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kVideoFailed);
    expectNothingLeft(run);
  }
  EXPECT_EQ(m_prompt.messages, (std::vector<std::string>{"视频采集失败！", "视频采集失败！"}));
}

// A worker thread of the encoder pair or of the NDI sender that the system
// refuses fails the start with the output's message, and nothing is left.
TEST_F(CaptureRunTest, ARefusedOutputThreadFailsTheStart) {
  struct Case { int push; int code; const char* text; } cases[] = {
      {kPushPrivate, VrCaptureRun::kEncoderFailed, "编码器初始化失败"},
      {kPushNDI, VrCaptureRun::kNdiFailed, "网络推流初始化失败！"},
  };
  for (const Case& c : cases) {
    cfg()->m_iPushFlowType = c.push;
    m_prompt.messages.clear();
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    HX_FailThreadStartsForTest(0, 1);
    EXPECT_EQ(run.start(), c.code) << c.push;
    HX_FailThreadStartsForTest(0, 0);
    expectNothingLeft(run);
    EXPECT_EQ(m_prompt.messages, std::vector<std::string>{c.text});
  }
}

TEST_F(CaptureRunTest, SoundFailureAsksAndCancelKeepsTheRunGoing) {
  cfg()->m_bAudioEnable = true;
  cfg()->m_iPushFlowType = kPushNDI;
  {
    m_prompt.answerOk = false;
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kStarted);
    EXPECT_TRUE(run.isRunning());
    EXPECT_TRUE(run.runsWithoutSound());
  }
  {
    m_prompt.answerOk = true;
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    EXPECT_EQ(run.start(), VrCaptureRun::kAudioStopped);
    expectNothingLeft(run);
  }
  EXPECT_EQ(m_prompt.questions, (std::vector<std::string>{"音频采集失败, 是否停止推流？",
                                                           "音频采集失败, 是否停止推流？"}));
}

TEST_F(CaptureRunTest, LowDiskAsksOnceAndStopsOnlyTheRecorder) {
  cfg()->m_iPushFlowType = kPushPrivate;
  cfg()->m_bSyncRecord = true;
  std::atomic<int64_t> freeBytes{VrCaptureRun::kLowDiskBytes};
  std::atomic<int> probes{0};
  VrCaptureRun run(&m_prompt);
  run.setSources(&m_sources);
  run.setFreeSpaceProbe([&](const std::string& path) {
    EXPECT_EQ(path, m_dir.path() + "/rec");
    probes++;
    return freeBytes.load();
  });
  ASSERT_EQ(run.start(), VrCaptureRun::kStarted);
  run.checkDiskSpace();  // exactly at the limit: not low
  EXPECT_TRUE(m_prompt.questions.empty());
  freeBytes = VrCaptureRun::kLowDiskBytes - 1;
  m_prompt.answerOk = true;
  run.checkDiskSpace();
  run.checkDiskSpace();
  EXPECT_EQ(m_prompt.questions, (std::vector<std::string>{"磁盘存储空间不足500M，是否停止录制?"}));
  EXPECT_EQ(probes.load(), 2);
  EXPECT_FALSE(run.hasRecorder());
  EXPECT_TRUE(run.hasServer());
  EXPECT_TRUE(run.hasEncoder());
  EXPECT_TRUE(run.isRunning());
  // Packets keep flowing to the client list without the recorder.
  std::this_thread::sleep_for(200ms);
  run.stop();
}

TEST_F(CaptureRunTest, DiskWatchMeasuresTheDirectoryTheRecorderUsesWhenThePathIsEmpty) {
  // An empty RecordPath records into $HOME/Videos, made when missing; the
  // watch must measure that directory, not the empty text.
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome != nullptr ? oldHome : "";
  setenv("HOME", (m_dir.path() + "/user").c_str(), 1);
  cfg()->m_iPushFlowType = kPushNDI;
  cfg()->m_bSyncRecord = true;
  cfg()->m_strRecordPath.clear();
  std::vector<std::string> asked;
  {
    VrCaptureRun run(&m_prompt);
    run.setSources(&m_sources);
    run.setFreeSpaceProbe([&](const std::string& path) {
      asked.push_back(path);
      return std::filesystem::is_directory(path) ? int64_t{1} << 40 : -1;
    });
    ASSERT_EQ(run.start(), VrCaptureRun::kStarted);
    run.checkDiskSpace();
    cfg()->m_strRecordPath = m_dir.path() + "/rec//";  // trailing slashes change nothing
    run.checkDiskSpace();
  }
  if (oldHome != nullptr) setenv("HOME", savedHome.c_str(), 1);
  EXPECT_EQ(asked, (std::vector<std::string>{m_dir.path() + "/user/Videos", m_dir.path() + "/rec"}));
  EXPECT_TRUE(std::filesystem::is_directory(m_dir.path() + "/user/Videos"));
}

TEST_F(CaptureRunTest, LowDiskCancelKeepsRecordingAndDoesNotAskAgain) {
  cfg()->m_iPushFlowType = kPushNDI;
  cfg()->m_bSyncRecord = true;
  VrCaptureRun run(&m_prompt);
  run.setSources(&m_sources);
  run.setFreeSpaceProbe([](const std::string&) { return int64_t{1000}; });
  ASSERT_EQ(run.start(), VrCaptureRun::kStarted);
  m_prompt.answerOk = false;
  run.checkDiskSpace();
  run.checkDiskSpace();
  EXPECT_EQ(m_prompt.questions.size(), 1u);
  EXPECT_TRUE(run.hasRecorder());
}

TEST_F(CaptureRunTest, EmptyPacketIsAPrivateProtocolLossButStillReachesTheRecorder) {
  cfg()->m_iPushFlowType = kPushPrivate;
  VrCaptureRun run(&m_prompt);
  run.setSources(&m_sources);
  ASSERT_EQ(run.start(), VrCaptureRun::kStarted);
  LogCapture log;
  VrMediaFramePtr empty = VrCreateMediaFrame();
  EXPECT_EQ(VrCaptureRun::EncodeCallBack(empty, &run), 0);
  EXPECT_EQ(log.count("Send Private Protocol Frame Loss!"), 1);
  EXPECT_EQ(VrCaptureRun::EncodeCallBack(empty, nullptr), 0);
  EXPECT_EQ(VrCaptureRun::OnSessionFrame(empty, nullptr), 0);
  EXPECT_EQ(log.count("Send Private Protocol Frame Loss!"), 1);

  // A packet with data goes to the client list as a private copy.
  VrMediaFramePtr packet = VrCreateMediaFrame();
  ASSERT_TRUE(packet->AllocData(10));
  packet->m_iMediaType = VR_MEDIA_AUDIO;
  VrCaptureRun::EncodeCallBack(packet, &run);
  EXPECT_EQ(packet.use_count(), 1);  // the list holds a copy, not the packet
  run.stop();
}
