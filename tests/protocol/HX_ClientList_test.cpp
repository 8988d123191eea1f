#include "protocol/HX_ClientList.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ProtocolTestUtil.h"
#include "config/HX_ServerConfiguration.h"
#include "net/HX_EventLoop.h"
#include "net/HX_SocketApi.h"
#include "protocol/VrTransClient.h"
#include "support/LogCapture.h"
#include "vireo_screenshot.pb.h"

namespace {
using vireo::screenshot::packet_codeinfo;
using vireo::screenshot::packet_response;

void Pass() { HX_EventLoop::instance()->runOnce(); }

// One session on a socketpair, driven by passes of the process-wide loop on
// the test thread; |peer| is the client's end.
struct Session {
  int peer = -1;
  VrTransClient* session = nullptr;  // deleted by the loop's sweep
  std::unique_ptr<MessageReader> reader;
  Session() {
    int fd[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    HX_NonBlock(fd[0]);
    peer = fd[1];
    session = new VrTransClient();
    EXPECT_EQ(session->start(fd[0]), 0);
    reader.reset(new MessageReader(peer, &Pass));
  }
  ~Session() {
    if (peer >= 0) ::close(peer);
  }
  void send(const std::string& bytes) {
    ASSERT_TRUE(SendAll(peer, bytes));
    Pass();
  }
  WireMessage next() {
    WireMessage m;
    EXPECT_EQ(reader->next(&m), 1);
    return m;
  }
  bool nothingMore() {
    WireMessage m;
    return reader->next(&m, 100) == 0;
  }
};

class ClientListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HX_ServerConfiguration::instance()->resetToDefaults();
    list = HX_ClientList::instance();
    ASSERT_EQ(list->start(), 0);
  }
  void TearDown() override {
    list->stop();
    list.reset();
    HX_ClientList::destroyInstance();
  }
  // One expiry of the list's timer.
  void Tick() { list->onTimer(list->timerId()); }

  std::shared_ptr<HX_ClientList> list;
};

packet_response Response(const WireMessage& m) {
  packet_response r;
  EXPECT_EQ(m.header.m_uiCmdId, 3003u);
  EXPECT_TRUE(r.ParseFromString(m.body));
  return r;
}
}  // namespace

TEST_F(ClientListTest, CodecInformationFollowsTheConfigurationAndEchoesTheRequest) {
  Session s;
  s.send(Frame(3002, 7, 42));
  WireMessage m = s.next();
  EXPECT_EQ(m.header.m_uiCmdId, 3002u);
  EXPECT_EQ(m.header.m_uiSequenceNo, 7u);
  EXPECT_EQ(m.header.m_ullRequesterId, 42u);
  EXPECT_EQ(m.header.m_uiPacketLen, 20 + m.body.size());
  packet_codeinfo info;
  ASSERT_TRUE(info.ParseFromString(m.body));
  EXPECT_TRUE(info.IsInitialized());
  EXPECT_EQ(info.video_code_type(), 28u);
  EXPECT_EQ(info.audio_code_type(), 86018u);
  EXPECT_EQ(info.audio_channels(), 2u);
  EXPECT_EQ(info.audio_sample_rate(), 44100u);
  EXPECT_EQ(info.audio_bit_rate(), 96000u);
  EXPECT_EQ(info.audio_channel_layout(), 3u);
  EXPECT_EQ(info.audio_profile(), 38u);

  // Read at the moment of the request; the body of a request is never read.
  HX_ServerConfiguration::instance()->m_iEncodeType = 2;
  HX_ServerConfiguration::instance()->m_iAudioSample = 48000;
  s.send(Frame(3002, 8, 42, "\xff\xff not protobuf"));
  ASSERT_TRUE(info.ParseFromString(s.next().body));
  EXPECT_EQ(info.video_code_type(), 8u);
  EXPECT_EQ(info.audio_sample_rate(), 48000u);
  for (int type : {1, 3, 4, 5, 0, 99}) {
    HX_ServerConfiguration::instance()->m_iEncodeType = type;
    s.send(Frame(3002, 9, 42));
    ASSERT_TRUE(info.ParseFromString(s.next().body));
    EXPECT_EQ(info.video_code_type(), 28u) << type;
  }
  // However often it asks, the session is listed once.
  EXPECT_EQ(list->clients().size(), 1u);
}

TEST_F(ClientListTest, RegisterAloneGetsNoAnswerAndNoStream) {
  Session s;
  s.send(Frame(3001, 1, 2, "anything"));
  s.send(Frame(4000, 1, 2));  // unknown commands are ignored too
  EXPECT_TRUE(list->clients().empty());
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 10, true));
  Tick();
  EXPECT_TRUE(s.nothingMore());
  EXPECT_FALSE(s.session->isClosed());
}

TEST_F(ClientListTest, StreamStartsAtAKeyFrameAndEchoesTheLatestRequest) {
  Session s;
  s.send(Frame(3002, 7, 42));
  s.next();
  list->EnqueuePacket(MakePacket(VR_MEDIA_AUDIO, 1));
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 2, false));
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 3, true, 100));
  list->EnqueuePacket(MakePacket(VR_MEDIA_AUDIO, 4, false, 0));
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 5, false));
  Tick();
  WireMessage first = s.next();
  packet_response r = Response(first);
  EXPECT_EQ(r.frame_time(), 3u);
  EXPECT_EQ(r.frame_type(), 0u);
  EXPECT_EQ(r.frame_length(), 100u);
  EXPECT_EQ(r.frame_body(), std::string(reinterpret_cast<const char*>(MakePacket(0, 3, true, 100)->m_pData), 100));
  EXPECT_EQ(r.decode_type(), "x264");
  EXPECT_TRUE(r.has_frame_width() && r.has_frame_height());
  EXPECT_EQ(r.frame_width(), 1920u);
  EXPECT_EQ(r.frame_height(), 1080u);
  EXPECT_FALSE(r.has_frame_samplerate());
  EXPECT_FALSE(r.has_frame_channels());
  EXPECT_EQ(r.frame_class(), 0u);
  EXPECT_EQ(first.header.m_uiSequenceNo, 7u);
  EXPECT_EQ(first.header.m_ullRequesterId, 42u);

  // An empty audio payload travels as an empty body; audio says x264 too.
  WireMessage audio = s.next();
  r = Response(audio);
  EXPECT_EQ(r.frame_type(), 1u);
  EXPECT_EQ(r.frame_time(), 4u);
  EXPECT_EQ(r.frame_length(), 0u);
  EXPECT_TRUE(r.frame_body().empty());
  EXPECT_EQ(r.decode_type(), "x264");
  EXPECT_EQ(Response(s.next()).frame_time(), 5u);
  EXPECT_EQ(audio.header.m_uiSequenceNo, 7u);

  // A later register changes what the streamed headers echo.
  s.send(Frame(3001, 8, 43));
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 6));
  Tick();
  WireMessage later = s.next();
  EXPECT_EQ(later.header.m_uiSequenceNo, 8u);
  EXPECT_EQ(later.header.m_ullRequesterId, 43u);
  EXPECT_EQ(Response(later).frame_time(), 6u);
  EXPECT_TRUE(s.nothingMore());
}

TEST_F(ClientListTest, QueuesOverflowAt31VideoAnd101AudioPackets) {
  LogCapture log;
  for (int i = 0; i < 31; ++i) list->EnqueueVideo(MakePacket(VR_MEDIA_VIDEO, i));
  EXPECT_EQ(list->videoQueueSize(), 31u);
  EXPECT_EQ(log.count("Loss"), 0);
  list->EnqueueVideo(MakePacket(VR_MEDIA_VIDEO, 31));
  EXPECT_EQ(list->videoQueueSize(), 1u);
  EXPECT_EQ(log.count("HX_ClientList::EnqueueVideo: NetWork Send : Video Frame Loss."), 1);
  EXPECT_EQ(list->DequeueVideoPacket()->m_llTimestamp, 31);
  EXPECT_EQ(list->DequeueVideoPacket(), nullptr);

  for (int i = 0; i < 101; ++i) list->EnqueuePacket(MakePacket(VR_MEDIA_AUDIO, i));
  EXPECT_EQ(list->audioQueueSize(), 101u);
  list->EnqueuePacket(MakePacket(VR_MEDIA_AUDIO, 101));
  EXPECT_EQ(list->audioQueueSize(), 1u);
  EXPECT_EQ(log.count("HX_ClientList::EnqueueAudio: NetWork Send : Audio Frame Loss."), 1);

  // Packets that carry nothing to send never enter a queue.
  VrMediaFramePtr broken = VrCreateMediaFrame();
  broken->m_iSize = 100;  // payload allocation failed
  list->EnqueuePacket(broken);
  list->EnqueuePacket(nullptr);
  EXPECT_EQ(list->videoQueueSize(), 0u);
}

TEST_F(ClientListTest, EveryQueuedPacketGoesOutInTimestampOrderTiesToVideo) {
  Session s;
  s.send(Frame(3002, 1, 1));
  s.next();
  // Arrival order differs from timestamp order between the two queues.
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 0, true));
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 10));
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 20));
  for (int t : {5, 10, 15, 20, 30}) list->EnqueuePacket(MakePacket(VR_MEDIA_AUDIO, t));
  Tick();  // one expiry sends every video packet and the audio before each
  std::vector<std::string> order;
  for (int i = 0; i < 7; ++i) {
    packet_response r = Response(s.next());
    order.push_back((r.frame_type() == 0 ? "V" : "A") + std::to_string(r.frame_time()));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"V0", "A5", "V10", "A10", "A15", "V20", "A20"}));
  EXPECT_TRUE(s.nothingMore());  // A30 is newer than the newest video: it waits

  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 30));
  Tick();
  EXPECT_EQ(Response(s.next()).frame_time(), 30u);
  EXPECT_EQ(Response(s.next()).frame_type(), 1u);  // A30 after the tie
}

TEST_F(ClientListTest, WithoutVideoNoAudioIsSent) {
  Session s;
  s.send(Frame(3002, 1, 1));
  s.next();
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 0, true));
  Tick();
  s.next();
  LogCapture log;
  for (int i = 1; i <= 250; ++i) {
    list->EnqueuePacket(MakePacket(VR_MEDIA_AUDIO, i));
    if (i % 10 == 0) Tick();
  }
  EXPECT_TRUE(s.nothingMore());
  EXPECT_EQ(log.count("Audio Frame Loss."), 2);
}

TEST_F(ClientListTest, ASlowReaderIsBoundedWhileAFastOneKeepsUp) {
  Session fast, slow;
  fast.send(Frame(3002, 1, 1));
  slow.send(Frame(3002, 2, 2));
  fast.next();
  slow.next();
  LogCapture log;
  const int kPacket = 300 * 1024;
  const int kCount = 120;  // 36 MB in all: far beyond the bound
  int fastGot = 0;
  uint64_t slowPeak = 0;
  for (int i = 0; i < kCount; ++i) {
    list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, i, i % 10 == 0, kPacket));
    Tick();
    slowPeak = std::max(slowPeak, slow.session->queuedBytes());
    // The fast client reads everything its session holds.
    for (int round = 0; round < 1000; ++round) {
      Pass();
      WireMessage m;
      while (fast.reader->next(&m, 0) == 1) {
        EXPECT_EQ(Response(m).frame_time(), static_cast<uint64_t>(fastGot));
        ++fastGot;
      }
      if (fast.session->queuedBytes() == 0 && fast.reader->pendingBytes() == 0) break;
    }
  }
  for (int i = 0; i < 50 && fastGot < kCount; ++i) {
    WireMessage m;
    if (fast.reader->next(&m, 100) == 1) ++fastGot;
  }
  EXPECT_EQ(fastGot, kCount);
  EXPECT_LE(slowPeak, VrTransClient::kMaxQueuedBytes);
  EXPECT_GT(slowPeak, VrTransClient::kMaxQueuedBytes - 2 * (kPacket + 64));
  // One episode so far: one line, however many packets were dropped.
  EXPECT_EQ(log.count("does not keep up"), 1);

  // Once the slow client reads again it resumes at a key frame and then gets
  // every packet.
  std::vector<uint64_t> times;
  WireMessage m;
  while (slow.reader->next(&m, 200) == 1) times.push_back(Response(m).frame_time());
  ASSERT_FALSE(times.empty());
  for (int i = kCount; i < kCount + 15; ++i) {
    list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, i, i % 10 == 0, 1000));
    Tick();
  }
  std::vector<uint64_t> after;
  while (slow.reader->next(&m, 200) == 1) after.push_back(Response(m).frame_time());
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.front() % 10, 0u);  // a key frame
  for (size_t i = 1; i < after.size(); ++i) EXPECT_EQ(after[i], after[i - 1] + 1);
  EXPECT_EQ(after.back(), static_cast<uint64_t>(kCount + 14));
  EXPECT_TRUE(log.contains("caught up"));
}

TEST_F(ClientListTest, ADisconnectedSessionIsRemovedByTheSweep) {
  Session a, b;
  a.send(Frame(3002, 1, 1));
  b.send(Frame(3002, 1, 1));
  a.next();
  b.next();
  ASSERT_EQ(list->clients().size(), 2u);
  ::close(a.peer);
  a.peer = -1;
  const int64_t start = HX_GetTickMs();
  while (list->clients().size() == 2 && HX_GetTickMs() - start < 2000) {
    list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 1, true));
    Tick();
    Pass();
    // One picture per timer period: the wake-up makes a pass return at once,
    // and b, which is not read here, must not fill its bounded queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(HX_ClientList::kTimerIntervalMs));
  }
  EXPECT_EQ(list->clients().size(), 1u);
  EXPECT_EQ(list->clients()[0], b.session);
  // The remaining session still streams.
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 99, true));
  Tick();
  WireMessage m;
  uint64_t last = 0;
  while (b.reader->next(&m, 100) == 1) last = Response(m).frame_time();
  EXPECT_EQ(last, 99u);
}

TEST_F(ClientListTest, StopAsksListedSessionsToEndTheirStream) {
  Session listed, unlisted;
  listed.send(Frame(3002, 1, 1));
  listed.next();
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 1, true));
  Tick();
  list->stop();
  EXPECT_EQ(list->timerId(), kInvalidTimerId);
  EXPECT_EQ(Response(listed.next()).frame_time(), 1u);
  EXPECT_TRUE(listed.reader->atEnd());
  EXPECT_FALSE(listed.session->isClosed());
  EXPECT_TRUE(unlisted.nothingMore());
  ASSERT_EQ(list->start(), 0);  // for TearDown
}

TEST_F(ClientListTest, EachEnqueueWakesTheLoopAndTheSendOrderHolds) {
  Session s;
  s.send(Frame(3002, 1, 1));
  s.next();
  // Without the timer only the wake-up can send.
  HX_EventLoop::instance()->unregisterTimer(list->timerId());
  // The order the encoder pair releases packets in, the network thread
  // running a pass after every single one.
  const std::vector<std::pair<int32_t, int>> released = {
      {VR_MEDIA_VIDEO, 0}, {VR_MEDIA_AUDIO, 5}, {VR_MEDIA_VIDEO, 10}, {VR_MEDIA_AUDIO, 10},
      {VR_MEDIA_AUDIO, 15}, {VR_MEDIA_VIDEO, 20}, {VR_MEDIA_AUDIO, 20}, {VR_MEDIA_AUDIO, 25}};
  for (const auto& [type, ts] : released) {
    list->EnqueuePacket(MakePacket(type, ts, ts == 0));
    Pass();
  }
  std::vector<std::string> order;
  for (int i = 0; i < 7; ++i) {
    packet_response r = Response(s.next());
    order.push_back((r.frame_type() == 0 ? "V" : "A") + std::to_string(r.frame_time()));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"V0", "A5", "V10", "A10", "A15", "V20", "A20"}));
  EXPECT_TRUE(s.nothingMore());  // A25 waits for a newer picture
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 40));
  EXPECT_EQ(Response(s.next()).frame_time(), 25u);  // older sound first
  EXPECT_EQ(Response(s.next()).frame_time(), 40u);

  // Stopped, the list is neither woken nor timed: the packet stays queued.
  list->stop();
  list->EnqueuePacket(MakePacket(VR_MEDIA_VIDEO, 60));
  for (int i = 0; i < 3; ++i) Pass();
  EXPECT_EQ(list->videoQueueSize(), 1u);
  ASSERT_EQ(list->start(), 0);  // for TearDown; what waited is taken at once
  Pass();
  EXPECT_EQ(list->videoQueueSize(), 0u);
}
