#include "capture/VrPipeWireCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "capture/x11/ScreenFakes.h"
#include "config/HX_ServerConfiguration.h"
#include "support/LogCapture.h"
#include "support/PipeWireServer.h"

namespace {

// A portal that answers from a script and remembers what it was asked. Its
// grants name the private daemon's producers through an invalid descriptor
// (the default daemon). The test keeps the shared script; the source owns the
// portal.
struct PortalScript {
  struct Answer {
    Answer(int r, uint32_t n = 0, int32_t ax = 0, int32_t ay = 0, std::string t = std::string())
        : rc(r), node(n), x(ax), y(ay), token(std::move(t)) {}
    int rc;
    uint32_t node;
    int32_t x, y;
    std::string token;
  };
  std::deque<Answer> answers;  // an empty script refuses
  std::vector<HX_ScreenCastRequest> requests;
  int closes = 0;
  int openSessions = 0;  // Open succeeded and no Close since
};

class ScriptedPortal : public HX_IScreenCastPortal {
 public:
  explicit ScriptedPortal(std::shared_ptr<PortalScript> script) : m_pScript(std::move(script)) {}
  int Open(const HX_ScreenCastRequest& request, HX_ScreenCastGrant* grant, std::string* error) override {
    m_pScript->requests.push_back(request);
    PortalScript::Answer answer{kRefused};
    if (!m_pScript->answers.empty()) {
      answer = m_pScript->answers.front();
      m_pScript->answers.pop_front();
    }
    if (answer.rc != 0) {
      *error = "the user refused screen sharing";
      return answer.rc;
    }
    grant->m_uiNodeId = answer.node;
    grant->m_iX = answer.x;
    grant->m_iY = answer.y;
    grant->m_strRestoreToken = answer.token;
    m_pScript->openSessions = 1;
    return 0;
  }
  void Close() override {
    ++m_pScript->closes;
    m_pScript->openSessions = 0;
  }

 private:
  std::shared_ptr<PortalScript> m_pScript;
};

// A private daemon per test process (see the stream tests), a scripted portal
// the source owns, and the frames the source delivers.
class PipeWireCaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_server = new PipeWireServer(); }
  static void TearDownTestSuite() {
    delete s_server;
    s_server = nullptr;
  }
  void SetUp() override {
    if (!s_server->ready()) GTEST_SKIP() << "no private PipeWire daemon: " << s_server->error();
    HX_ServerConfiguration::instance()->m_iFps = 30;
  }

  std::unique_ptr<VrPipeWireCapture> Make(VrPipeWireCapture::Options options = {}) {
    options.m_fnSaveToken = [this](const std::string& token) { m_vSaved.push_back(token); };
    auto src = std::make_unique<VrPipeWireCapture>(std::make_unique<ScriptedPortal>(m_pScript),
                                                   std::move(options));
    m_sink.Attach(*src);
    EXPECT_EQ(src->SetManualTicks(true), 0);
    return src;
  }
  // Ticks (a few ms apart, clock time |*now| advancing alike) until one
  // brings a new picture; false after 15 s.
  static bool TickUntilPicture(VrScreenSource& src, int64_t* now) {
    for (int i = 0; i < 1500; ++i) {
      *now += 10;
      if (src.TickAt(*now) == VrScreenSource::kNewPicture) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  static const uint8_t* Pixel(const VrMediaFramePtr& f, int x, int y) {
    return f->m_pData + (y * f->m_iWidth + x) * 4;
  }

  static PipeWireServer* s_server;
  std::shared_ptr<PortalScript> m_pScript = std::make_shared<PortalScript>();
  std::vector<std::string> m_vSaved;
  FrameSink m_sink;
};
PipeWireServer* PipeWireCaptureTest::s_server = nullptr;

}  // namespace

// BGRx arrives as it is and RGBx with red and blue swapped: both give the
// producer's colour (R 0x33, G 0x66, B 0xcc) in BGRA at the producer's size.
// The grant's restore token is handed to the owner to keep.
TEST_F(PipeWireCaptureTest, DeliversTheProducersColourForEachLayout) {
  for (const char* format : {"BGRx", "RGBx"}) {
    SCOPED_TRACE(format);
    PipeWireServer::Producer p;
    p.format = format;
    p.width = 80;
    p.height = 60;
    const std::string name = std::string("capture-") + format;
    const uint32_t node = s_server->StartProducer(name, p);
    ASSERT_NE(node, 0u) << s_server->error();
    m_pScript->answers = {{0, node, 0, 0, "token-1"}};
    auto src = Make();
    ASSERT_EQ(src->start(), 0);
    int64_t now = 1000;
    ASSERT_TRUE(TickUntilPicture(*src, &now));
    const VrMediaFramePtr f = m_sink.Last();
    ASSERT_EQ(f->m_iWidth, 80);
    ASSERT_EQ(f->m_iHeight, 60);
    EXPECT_EQ(f->m_iPixelFormat, kVrPixFmtBGRA);
    EXPECT_EQ(Pixel(f, 79, 59)[0], 0xcc);
    EXPECT_EQ(Pixel(f, 79, 59)[1], 0x66);
    EXPECT_EQ(Pixel(f, 79, 59)[2], 0x33);
    EXPECT_EQ(m_vSaved, std::vector<std::string>{"token-1"});
    src->stop();
    EXPECT_EQ(m_pScript->openSessions, 0);
    s_server->KillProducer(name);
    m_vSaved.clear();
  }
}

// A producer that sends a picture every 2 s, and nothing in between: the
// ticks after a picture repeat its pixels with a new time, nothing is copied
// again. (A producer of one picture only would send it before the link.)
TEST_F(PipeWireCaptureTest, RepeatsTheLastPictureWhileTheProducerSendsNothing) {
  PipeWireServer::Producer p;
  p.fps = "1/2";
  const uint32_t node = s_server->StartProducer("still", p);
  ASSERT_NE(node, 0u) << s_server->error();
  m_pScript->answers = {{0, node}};
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  int64_t now = 1000;
  ASSERT_TRUE(TickUntilPicture(*src, &now));
  const size_t delivered = m_sink.Count();
  const VrMediaFramePtr first = m_sink.Last();
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    now += 33;
    EXPECT_EQ(src->TickAt(now), VrScreenSource::kNoChange);
  }
  ASSERT_EQ(m_sink.Count(), delivered + 10);
  EXPECT_EQ(m_sink.Last()->m_pData, first->m_pData);
  EXPECT_EQ(m_sink.Last()->m_llTimestamp, now);
  EXPECT_FALSE(src->lostSince() >= 0);
  src->stop();
  s_server->KillProducer("still");
}

// Region mode cuts the desktop rectangle out of the stream, which sits at
// the grant's desktop position; odd sizes round down to even, and a region
// off the picture keeps the last picture with one line.
TEST_F(PipeWireCaptureTest, RegionModeCropsRelativeToTheStreamsDesktopPosition) {
  PipeWireServer::Producer p;
  p.width = 80;
  p.height = 60;
  p.box = true;
  p.boxX = 20;
  p.boxY = 10;
  p.boxWidth = 16;
  p.boxHeight = 16;
  p.boxColour = 0xff0000;
  const uint32_t node = s_server->StartProducer("boxed", p);
  ASSERT_NE(node, 0u) << s_server->error();

  m_pScript->answers = {{0, node, 100, 50}};
  VrPipeWireCapture::Options options;
  options.m_bCrop = true;
  options.m_stCrop = {119, 59, 136, 77};  // the box and one pixel around it, 17 x 18
  auto src = Make(options);
  ASSERT_EQ(src->start(), 0);
  int64_t now = 1000;
  ASSERT_TRUE(TickUntilPicture(*src, &now));
  const VrMediaFramePtr f = m_sink.Last();
  ASSERT_EQ(f->m_iWidth, 16);
  ASSERT_EQ(f->m_iHeight, 18);
  EXPECT_EQ(Pixel(f, 0, 0)[0], 0xcc);  // the background at desktop (119, 59)
  EXPECT_EQ(Pixel(f, 1, 1)[2], 0xff);  // the box's red from (120, 60) on
  EXPECT_EQ(Pixel(f, 1, 1)[0], 0x00);
  EXPECT_EQ(Pixel(f, 15, 16)[2], 0xff);
  src->stop();

  LogCapture log;
  m_pScript->answers = {{0, node, 1000, 1000}};  // the region now lies left of and above the stream
  auto off = Make(options);
  ASSERT_EQ(off->start(), 0);
  const size_t before = m_sink.Count();
  for (int i = 0; i < 30; ++i) {
    now += 33;
    EXPECT_NE(off->TickAt(now), VrScreenSource::kNewPicture);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(m_sink.Count(), before);  // nothing to repeat: no picture was ever made
  EXPECT_EQ(log.count("lies outside the screen cast's 80x60 picture at (1000,1000)"), 1);
  off->stop();
  s_server->KillProducer("boxed");
}

// The producer dies: one ERROR naming the node, the last picture stands, the
// session is reopened with the newest token, after 1 s, then backing off (a
// refusal said once), and pictures from the new producer end the loss.
TEST_F(PipeWireCaptureTest, AProducerThatDiesIsReopenedUntilPicturesComeAgain) {
  const uint32_t node = s_server->StartProducer("first", PipeWireServer::Producer());
  ASSERT_NE(node, 0u) << s_server->error();
  m_pScript->answers = {{0, node, 0, 0, "t1"}, {HX_IScreenCastPortal::kRefused}};
  LogCapture log;
  auto src = Make();
  ASSERT_EQ(src->start(), 0);
  int64_t now = 1000;
  ASSERT_TRUE(TickUntilPicture(*src, &now));

  s_server->KillProducer("first");
  for (int i = 0; i < 1500 && src->lostSince() < 0; ++i) {
    now += 10;
    src->TickAt(now);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(src->lostSince(), 0);
  const std::string lost = "the screen cast (the PipeWire stream of node " + std::to_string(node) +
                           " ended: its producer went away) is lost";
  int errors = 0;
  for (const LogCapture::Line& line : log.lines()) {
    const bool namesNode = line.text.find("node " + std::to_string(node)) != std::string::npos;
    errors += line.severity == google::GLOG_ERROR && namesNode;
  }
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(log.count(lost), 1);
  const size_t delivered = m_sink.Count();
  const VrMediaFramePtr last = m_sink.Last();
  src->TickAt(now + 10);  // no retry before a second has passed
  EXPECT_EQ(m_pScript->requests.size(), 1u);
  EXPECT_EQ(m_sink.Last()->m_pData, last->m_pData);
  EXPECT_EQ(m_sink.Count(), delivered + 1);

  src->TickAt(now + 1000);  // the refused retry
  src->TickAt(now + 1500);
  src->TickAt(now + 2000);  // refused again: the script is empty
  ASSERT_EQ(m_pScript->requests.size(), 3u);
  src->TickAt(now + 3500);  // failed reopenings back off: the next waits 2 s
  EXPECT_EQ(m_pScript->requests.size(), 3u);
  EXPECT_EQ(m_pScript->requests[1].m_strRestoreToken, "t1");
  EXPECT_EQ(log.count("the screen cast cannot be opened again yet (the user refused screen sharing)"), 1);

  const uint32_t second = s_server->StartProducer("second", PipeWireServer::Producer());
  ASSERT_NE(second, 0u) << s_server->error();
  m_pScript->answers = {{0, second, 0, 0, "t2"}};
  now += 4000;
  src->TickAt(now);
  ASSERT_EQ(m_pScript->requests.size(), 4u);
  ASSERT_TRUE(TickUntilPicture(*src, &now));
  EXPECT_LT(src->lostSince(), 0);
  EXPECT_EQ(log.count("is back; capturing again"), 1);
  EXPECT_EQ(log.count(lost), 1);
  EXPECT_EQ(m_vSaved, (std::vector<std::string>{"t1", "t2"}));
  src->stop();
  EXPECT_EQ(m_pScript->openSessions, 0);
  s_server->KillProducer("second");
}

// start fails with the portal's own code, or with kNoStream when the grant
// names a node that does not exist; the session is closed either way and the
// source can start again.
TEST_F(PipeWireCaptureTest, AFailedOpenFailsStartAndLeavesNothingOpen) {
  LogCapture log;
  m_pScript->answers = {{HX_IScreenCastPortal::kNoAnswer}, {0, 999999}};
  auto src = Make();
  EXPECT_EQ(src->start(), HX_IScreenCastPortal::kNoAnswer);
  EXPECT_GE(m_pScript->closes, 1);
  EXPECT_EQ(m_pScript->openSessions, 0);

  EXPECT_EQ(src->start(), VrPipeWireCapture::kNoStream);
  EXPECT_EQ(m_pScript->openSessions, 0);
  EXPECT_EQ(log.count("the screen cannot be received: the PipeWire stream of node 999999 does not exist"), 1);
  // A source that did not start neither grabs nor reopens anything.
  EXPECT_EQ(src->TickAt(5000), VrScreenSource::kNoChange);
  EXPECT_EQ(src->TickAt(7000), VrScreenSource::kNoChange);
  EXPECT_EQ(m_sink.Count(), 0u);
  EXPECT_EQ(m_pScript->requests.size(), 2u);
  EXPECT_FALSE(log.contains("is lost"));

  const uint32_t node = s_server->StartProducer("late", PipeWireServer::Producer());
  ASSERT_NE(node, 0u) << s_server->error();
  m_pScript->answers = {{0, node}};
  ASSERT_EQ(src->start(), 0);
  int64_t now = 8000;
  EXPECT_TRUE(TickUntilPicture(*src, &now));
  src->stop();
  s_server->KillProducer("late");
}
