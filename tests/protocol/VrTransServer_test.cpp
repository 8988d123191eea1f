#include "protocol/VrTransServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ProtocolTestUtil.h"
#include "net/NetTestUtil.h"
#include "config/HX_ServerConfiguration.h"
#include "net/HX_EventLoop.h"
#include "protocol/HX_ClientList.h"
#include "support/LogCapture.h"
#include "vireo_screenshot.pb.h"
#include "net/HX_EventLoopTestAccess.h"

namespace {
using vireo::screenshot::packet_codeinfo;
using vireo::screenshot::packet_response;

void Nap() { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }


// A loopback client of the running server.
struct Client {
  int fd;
  MessageReader reader;
  explicit Client(int port) : fd(ConnectLoopback(port)), reader(fd, &Nap) {}
  ~Client() {
    if (fd >= 0) ::close(fd);
  }
  bool send(const std::string& bytes) { return SendAll(fd, bytes); }
  WireMessage next(int timeoutMs = 3000) {
    WireMessage m;
    EXPECT_EQ(reader.next(&m, timeoutMs), 1);
    return m;
  }
  packet_response nextPacket() {
    WireMessage m = next();
    packet_response r;
    EXPECT_EQ(m.header.m_uiCmdId, 3003u);
    EXPECT_TRUE(r.ParseFromString(m.body));
    return r;
  }
  // Asks for the codec information and returns it.
  packet_codeinfo handshake(uint32_t seq, uint64_t requester) {
    EXPECT_TRUE(send(Frame(3002, seq, requester)));
    WireMessage m = next();
    EXPECT_EQ(m.header.m_uiCmdId, 3002u);
    EXPECT_EQ(m.header.m_uiSequenceNo, seq);
    EXPECT_EQ(m.header.m_ullRequesterId, requester);
    packet_codeinfo info;
    EXPECT_TRUE(info.ParseFromString(m.body));
    return info;
  }
};

void Enqueue(const VrMediaFramePtr& p) { HX_ClientList::instance()->EnqueuePacket(p); }

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HX_ServerConfiguration::instance()->resetToDefaults();
    HX_ServerConfiguration::instance()->m_iPrivatePort = 0;  // the kernel picks a free port
    ASSERT_EQ(server.start(), 1);
    port = server.listeningPort();
    ASSERT_GT(port, 0);
  }
  VrTransServer server;
  int port = -1;
};
}  // namespace

TEST_F(ServerTest, HandshakeThenAKeyFrameFirstWithTheRequestEchoed) {
  Client c(port);
  ASSERT_GE(c.fd, 0);
  packet_codeinfo info = c.handshake(7, 42);
  EXPECT_EQ(info.video_code_type(), 28u);
  Enqueue(MakePacket(VR_MEDIA_AUDIO, 1));
  Enqueue(MakePacket(VR_MEDIA_VIDEO, 2, false));
  Enqueue(MakePacket(VR_MEDIA_VIDEO, 3, true));
  Enqueue(MakePacket(VR_MEDIA_AUDIO, 4));
  Enqueue(MakePacket(VR_MEDIA_VIDEO, 5));
  for (uint64_t expected : {3u, 4u, 5u}) {
    WireMessage m = c.next();
    packet_response r;
    ASSERT_TRUE(r.ParseFromString(m.body));
    EXPECT_EQ(r.frame_time(), expected);
    EXPECT_EQ(m.header.m_uiSequenceNo, 7u);
    EXPECT_EQ(m.header.m_ullRequesterId, 42u);
  }

  // After a register with new values every later packet echoes them.
  ASSERT_TRUE(c.send(Frame(3001, 8, 43)));
  bool switched = false;
  for (int t = 6; t < 1000 && !switched; ++t) {
    Enqueue(MakePacket(VR_MEDIA_VIDEO, t));
    WireMessage m = c.next();
    if (m.header.m_uiSequenceNo == 8u) {
      EXPECT_EQ(m.header.m_ullRequesterId, 43u);
      switched = true;
    } else {
      EXPECT_EQ(m.header.m_uiSequenceNo, 7u);
    }
  }
  EXPECT_TRUE(switched);
}

TEST_F(ServerTest, MjpegConfigurationAnswersCodec8) {
  HX_ServerConfiguration::instance()->m_iEncodeType = 2;
  Client c(port);
  EXPECT_EQ(c.handshake(1, 1).video_code_type(), 8u);
}

TEST_F(ServerTest, FiftyFramesAndFortySevenAudioPacketsASecondAllArriveInOrder) {
  Client c(port);
  c.handshake(1, 1);
  LogCapture log;
  // Two seconds of 50 fps video and 48 kHz AAC, produced like the encoder
  // pair does: in timestamp order, in real time.
  std::atomic<int> sent{0};
  std::thread producer([&] {
    const auto start = std::chrono::steady_clock::now();
    int video = 0, audio = 0;
    while (video < 100) {
      const int64_t vt = video * 20, at = audio * 1024 * 1000 / 48000;
      std::this_thread::sleep_until(start + std::chrono::milliseconds(std::min(vt, at)));
      if (at < vt)
        Enqueue(MakePacket(VR_MEDIA_AUDIO, at, false, 300)), ++audio;
      else
        Enqueue(MakePacket(VR_MEDIA_VIDEO, vt, video % 50 == 0, 8000)), ++video;
      ++sent;
    }
  });
  std::vector<uint64_t> times;
  WireMessage m;
  while (c.reader.next(&m, 1000) == 1) {
    packet_response r;
    ASSERT_TRUE(r.ParseFromString(m.body));
    times.push_back(r.frame_time());
    if (times.back() == 1980) break;  // the last picture
  }
  producer.join();
  EXPECT_EQ(log.count("Frame Loss"), 0);
  EXPECT_EQ(static_cast<int>(times.size()), sent.load());
  for (size_t i = 1; i < times.size(); ++i) EXPECT_LE(times[i - 1], times[i]) << i;
}

TEST_F(ServerTest, ASecondServerOnThePortFailsAndTheFirstKeepsServing) {
  HX_ServerConfiguration::instance()->m_iPrivatePort = port;
  VrTransServer second;
  LogCapture log;
  EXPECT_EQ(second.start(), 0);
  EXPECT_FALSE(second.isRunning());
  EXPECT_TRUE(log.contains("HX_Listen: bind error: "));
  EXPECT_TRUE(log.contains("HX_TcpServer: HX_Listen failed."));
  Client c(port);
  EXPECT_EQ(c.handshake(3, 4).audio_code_type(), 86018u);
}

TEST_F(ServerTest, ADisconnectingClientLeavesTheList) {
  {
    Client c(port);
    c.handshake(1, 1);
    EXPECT_EQ(HX_ClientList::instance()->clients().size(), 1u);
  }
  const int64_t start = HX_GetTickMs();
  while (!HX_ClientList::instance()->clients().empty() && HX_GetTickMs() - start < 3000) Nap();
  EXPECT_TRUE(HX_ClientList::instance()->clients().empty());
}

TEST_F(ServerTest, StopWithClientsConnectedEndsTheirStreamsAndStopsAccepting) {
  Client listed(port), idle(port);
  listed.handshake(1, 1);
  ASSERT_TRUE(idle.send(Frame(3001, 1, 1)));
  Enqueue(MakePacket(VR_MEDIA_VIDEO, 10, true));
  EXPECT_EQ(listed.nextPacket().frame_time(), 10u);
  Enqueue(MakePacket(VR_MEDIA_VIDEO, 11, false, 4000));

  server.stop();
  EXPECT_FALSE(server.isRunning());
  EXPECT_EQ(server.listeningPort(), -1);
  EXPECT_EQ(ConnectLoopback(port), -1);
  // What was queued still arrives, then the stream ends.
  WireMessage m;
  std::vector<uint64_t> rest;
  int rc;
  while ((rc = listed.reader.next(&m, 3000)) == 1) {
    packet_response r;
    ASSERT_TRUE(r.ParseFromString(m.body));
    rest.push_back(r.frame_time());
  }
  EXPECT_EQ(rc, -1);
  EXPECT_LE(rest.size(), 1u);
  // The sessions themselves were not closed by the stop.
  EXPECT_EQ(HX_EventLoopTestAccess::lifecycleCount(HX_EventLoop::instance()), 2u);
  EXPECT_EQ(idle.reader.next(&m, 100), 0);

  // The port is free again at once for the next run.
  HX_ServerConfiguration::instance()->m_iPrivatePort = port;
  ASSERT_EQ(server.start(), 1);
  Client again(port);
  EXPECT_EQ(again.handshake(5, 6).audio_channels(), 2u);
}

TEST_F(ServerTest, StopRightAfterStartIsNotLost) {
  for (int i = 0; i < 5; ++i) {
    server.stop();
    HX_ServerConfiguration::instance()->m_iPrivatePort = port;
    ASSERT_EQ(server.start(), 1);
  }
  server.stop();
  EXPECT_FALSE(server.isRunning());
  server.stop();  // a second stop does nothing
}

TEST_F(ServerTest, ACodecRequestFloodClosesOnlyTheFlooderWhileOthersAreAnswered) {
  Client good(port);
  good.handshake(1, 1);
  // The flooder reads nothing and keeps its receive window small.
  ScopedFd flooder(::socket(AF_INET, SOCK_STREAM, 0));
  int small = 4096;
  ASSERT_EQ(::setsockopt(flooder.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(flooder.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  LogCapture log;
  std::string burst;
  for (uint32_t i = 0; i < 1000; ++i) burst += Frame(3002, i, 9);
  std::atomic<bool> cut{false};
  std::thread flood([&] {
    for (int i = 0; i < 50 && !cut; ++i) cut = !SendAll(flooder.fd, burst);
  });
  // Answered throughout.
  for (uint32_t seq = 2; seq < 30; ++seq) {
    ASSERT_TRUE(good.send(Frame(3002, seq, 1)));
    WireMessage m = good.next();
    EXPECT_EQ(m.header.m_uiSequenceNo, seq);
  }
  flood.join();
  const int64_t start = HX_GetTickMs();
  while (HX_ClientList::instance()->clients().size() > 1 && HX_GetTickMs() - start < 5000) Nap();
  EXPECT_EQ(HX_ClientList::instance()->clients().size(), 1u);  // its session and queue are gone
  EXPECT_EQ(log.count("keeps sending requests without reading the answers"), 1);
  // Its connection is gone: a further request fails once the reset is back.
  bool refused = false;
  for (int i = 0; i < 300 && !refused; ++i) {
    refused = ::send(flooder.fd, burst.data(), 24, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN;
    if (!refused) Nap();
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(good.handshake(40, 1).audio_channels(), 2u);
}

TEST_F(ServerTest, SilentAndDribblingPeersAreClosedAfterTheIdleLimitAStreamingClientIsNot) {
  HX_ServerConfiguration::instance()->m_iMonitorPeriod = 200;
  Client streaming(port), silent(port), dribbler(port);
  streaming.handshake(1, 1);
  ASSERT_TRUE(dribbler.send(Frame(3001, 1, 1).substr(0, 1)));
  EXPECT_TRUE(silent.reader.atEnd());
  EXPECT_TRUE(dribbler.reader.atEnd());
  // Well past the limit without a request, and still streaming.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  Enqueue(MakePacket(VR_MEDIA_VIDEO, 50, true));
  EXPECT_EQ(streaming.nextPacket().frame_time(), 50u);
}
