#include "platform/pipewire/HX_PipeWireStream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <thread>

#include "support/PipeWireServer.h"

namespace {

// One daemon per test process (ctest runs each case in a process of its
// own): starting it with its session manager takes about a second.
class HX_PipeWireStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_server = new PipeWireServer(); }
  static void TearDownTestSuite() {
    delete s_server;
    s_server = nullptr;
  }
  void SetUp() override {
    if (!s_server->ready()) GTEST_SKIP() << "no private PipeWire daemon: " << s_server->error();
  }

  // Waits (up to 15 s) for a picture newer than |*p|.
  static bool NextPicture(HX_PipeWireStream& stream, HX_PipeWirePicture* p) {
    return WaitFor([&] { return stream.TakeLatest(p); });
  }
  template <class Done>
  static bool WaitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  static PipeWireServer* s_server;
};
PipeWireServer* HX_PipeWireStreamTest::s_server = nullptr;

}  // namespace

// Each accepted layout arrives as BGRA with the producer's colour in the
// right bytes (R 0x33, G 0x66, B 0xcc), at the producer's size.
TEST_F(HX_PipeWireStreamTest, NegotiatesEachLayoutAndDeliversBgra) {
  for (const char* format : {"BGRx", "RGBx", "RGBA", "BGRA"}) {
    SCOPED_TRACE(format);
    PipeWireServer::Producer p;
    p.format = format;
    p.width = 80;
    p.height = 60;
    const std::string name = std::string("layout-") + format;
    const uint32_t node = s_server->StartProducer(name, p);
    ASSERT_NE(node, 0u) << s_server->error();

    HX_PipeWireStream stream;
    ASSERT_EQ(stream.Connect(HX_UniqueFd(), node), 0) << stream.ending();
    HX_PipeWirePicture picture;
    ASSERT_TRUE(NextPicture(stream, &picture)) << s_server->log("wireplumber");
    EXPECT_EQ(stream.state(), HX_PipeWireStream::State::kStreaming);
    ASSERT_EQ(picture.m_iWidth, 80);
    ASSERT_EQ(picture.m_iHeight, 60);
    const uint8_t* px = &picture.m_vPixels[(30 * 80 + 40) * 4];
    EXPECT_EQ(px[0], 0xcc);
    EXPECT_EQ(px[1], 0x66);
    EXPECT_EQ(px[2], 0x33);
    // A later picture comes with a higher number; taking it again gives nothing.
    const uint64_t first = picture.m_ullSequence;
    ASSERT_TRUE(NextPicture(stream, &picture));
    EXPECT_GT(picture.m_ullSequence, first);
    EXPECT_FALSE(stream.TakeLatest(&picture) && stream.TakeLatest(&picture));
    stream.Disconnect();
    EXPECT_EQ(stream.state(), HX_PipeWireStream::State::kUnconnected);
    s_server->KillProducer(name);
  }
}

// A producer that dies ends the stream with a reason; the stream neither
// fails nor moves on to another producer.
TEST_F(HX_PipeWireStreamTest, EndsWhenTheProducerGoesAway) {
  const uint32_t node = s_server->StartProducer("dying", PipeWireServer::Producer());
  ASSERT_NE(node, 0u) << s_server->error();
  const uint32_t other = s_server->StartProducer("bystander", PipeWireServer::Producer());
  ASSERT_NE(other, 0u) << s_server->error();
  HX_PipeWireStream stream;
  ASSERT_EQ(stream.Connect(HX_UniqueFd(), node), 0) << stream.ending();
  HX_PipeWirePicture picture;
  ASSERT_TRUE(NextPicture(stream, &picture));
  EXPECT_FALSE(stream.ended());

  s_server->KillProducer("dying");
  ASSERT_TRUE(WaitFor([&] { return stream.ended(); }));
  EXPECT_EQ(stream.state(), HX_PipeWireStream::State::kEnded);
  EXPECT_EQ(stream.ending(), "ended: its producer went away");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(stream.TakeLatest(&picture)) << "a picture came from another node";
  s_server->KillProducer("bystander");
}

// Connect refuses a node the daemon does not have and a remote that is no
// PipeWire daemon, each with its own code and reason; the object can be
// connected again afterwards.
TEST_F(HX_PipeWireStreamTest, RefusesAMissingNodeAndADeadRemote) {
  HX_PipeWireStream stream;
  EXPECT_EQ(stream.Connect(HX_UniqueFd(), 999999), HX_PipeWireStream::kNoNode);
  EXPECT_EQ(stream.state(), HX_PipeWireStream::State::kEnded);
  EXPECT_NE(stream.ending().find("no such node"), std::string::npos) << stream.ending();

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  HX_UniqueFd peer(pair[1]);
  peer.reset();  // nobody answers on the other end
  EXPECT_EQ(stream.Connect(HX_UniqueFd(pair[0]), 1), HX_PipeWireStream::kNoDaemon);
  EXPECT_TRUE(stream.ended());
  EXPECT_NE(stream.ending().find("closed the connection"), std::string::npos) << stream.ending();

  const uint32_t node = s_server->StartProducer("after-refusals", PipeWireServer::Producer());
  ASSERT_NE(node, 0u) << s_server->error();
  ASSERT_EQ(stream.Connect(HX_UniqueFd(), node), 0) << stream.ending();
  EXPECT_EQ(stream.ending(), "");
  HX_PipeWirePicture picture;
  EXPECT_TRUE(NextPicture(stream, &picture));
  s_server->KillProducer("after-refusals");
}
