#include "publish/VrPublisher.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count of live heap bytes (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/HX_Clock.h"
#include "record/RecordTestEncoder.h"
#include "support/FreePort.h"
#include "support/LogCapture.h"
#include "support/NginxRtmpServer.h"

namespace {
using namespace std::chrono_literals;

// Bytes the program holds on the heap (the sanitizer's quarantine left out).
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

template <typename Pred>
bool WaitFor(Pred done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A TCP server that accepts every connection and never reads or answers;
// records when each connection came.
class SilentServer {
 public:
  SilentServer() {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(m_fd, 16) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      m_iPort = ntohs(a.sin_port);
      m_thread = std::thread([this] { Accept(); });
    }
  }
  ~SilentServer() {
    shutdown(m_fd, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (int fd : m_accepted) shutdown(fd, SHUT_RDWR);
    }
    if (m_thread.joinable()) m_thread.join();
    close(m_fd);
    for (int fd : m_accepted) close(fd);
  }
  int port() const { return m_iPort; }
  std::vector<std::chrono::steady_clock::time_point> accepts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_times;
  }
  // When the client closed each accepted connection.
  std::vector<std::chrono::steady_clock::time_point> closes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closes;
  }

 private:
  void Accept() {
    for (;;) {
      const int fd = accept(m_fd, nullptr, nullptr);
      if (fd < 0) return;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accepted.push_back(fd);
        m_times.push_back(std::chrono::steady_clock::now());
      }
      // Clients connect one at a time: read what this one sends, never
      // answer, and note when it gives up.
      char buf[4096];
      while (recv(fd, buf, sizeof buf, 0) > 0) {
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      m_closes.push_back(std::chrono::steady_clock::now());
    }
  }
  int m_fd = -1;
  int m_iPort = -1;
  std::thread m_thread;
  std::mutex m_mutex;
  std::vector<int> m_accepted;
  std::vector<std::chrono::steady_clock::time_point> m_times;
  std::vector<std::chrono::steady_clock::time_point> m_closes;
};

constexpr int kFps = 25;
constexpr int kSampleRate = 48000;

class PublisherTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RecordTestEncoder encoder(320, 240, kFps, kFps, kSampleRate);
    s_video = encoder.EncodeVideo(2 * kFps, 0);
    s_audio = encoder.EncodeAudio(4 * kSampleRate / 1024, 0);
  }
  static void TearDownTestSuite() {
    s_video.clear();
    s_audio.clear();
  }

  static VrPublishParams Params() {
    VrPublishParams p;
    p.m_stVideo.m_iFrameRate = kFps;
    p.m_stVideo.m_iWidth = 320;
    p.m_stVideo.m_iHeight = 240;
    p.m_stVideo.m_iBitRate = 500000;
    p.m_bAudio = true;
    p.m_iAudioSampleRate = kSampleRate;
    p.m_iAudioBitRate = 96000;
    return p;
  }

  static VrPublishTarget Target(const std::string& url) {
    VrPublishTarget t;
    std::string error;
    EXPECT_EQ(VrParsePublishUrl(url, &t, &error), 0) << error;
    return t;
  }

  // Pushes |frames| pictures of the clip in real time, each followed by the
  // sound not later than it, stamped with the clock as the run does.
  void Stream(VrPublisher* publisher, int frames) {
    for (int i = 0; i < frames; ++i) {
      const int64_t now = HX_GetTickMs();
      if (m_llAudioClock == 0) m_llAudioClock = now;
      VrMediaFramePtr v = CloneMediaFrame(s_video[m_iVideo++ % s_video.size()]);
      v->m_llTimestamp = now;
      publisher->PushPacket(v);
      while (m_llAudioClock <= now) {
        VrMediaFramePtr a = CloneMediaFrame(s_audio[m_iAudio++ % s_audio.size()]);
        a->m_llTimestamp = m_llAudioClock;
        publisher->PushPacket(a);
        m_llAudioClock += 1024 * 1000 / kSampleRate;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1000 / kFps));
    }
  }

  static std::vector<VrMediaFramePtr> s_video;
  static std::vector<VrMediaFramePtr> s_audio;
  size_t m_iVideo = 0;
  size_t m_iAudio = 0;
  int64_t m_llAudioClock = 0;
};
std::vector<VrMediaFramePtr> PublisherTest::s_video;
std::vector<VrMediaFramePtr> PublisherTest::s_audio;

// A large picture: a real key frame followed by a filler unit.
VrMediaFramePtr BigPicture(const VrMediaFramePtr& key, int size, bool keyFrame, int64_t timestamp) {
  VrMediaFramePtr p = VrCreateMediaFrame();
  p->m_iMediaType = VR_MEDIA_VIDEO;
  p->m_iKeyFrame = keyFrame ? 1 : 0;
  p->m_llTimestamp = timestamp;
  if (!p->AllocData(size)) return nullptr;
  std::memset(p->m_pData, 0xff, static_cast<size_t>(size));
  std::memcpy(p->m_pData, key->m_pData, static_cast<size_t>(key->m_iSize));
  const uint8_t filler[] = {0, 0, 0, 1, 12};
  std::memcpy(p->m_pData + key->m_iSize, filler, sizeof filler);
  return p;
}
}  // namespace

TEST_F(PublisherTest, ServerThatStopsReadingCostsNoMoreThanTheBoundAndIsLeftForANewConnection) {
  NginxRtmpServer nginx;
  if (!nginx.ok()) GTEST_SKIP() << nginx.error();
  LogCapture log;
  VrPublisher publisher(Target(nginx.url("bound")), Params());
  publisher.setIoTimeout(1000);
  publisher.setRetryDelays(100, 400);
  ASSERT_EQ(publisher.start(), 0);
  // The connection opens after the first key frame and sends from the next.
  for (int i = 0; i < 10 && publisher.stats().m_ullBytesSent == 0; ++i) Stream(&publisher, kFps / 2);
  ASSERT_GT(publisher.stats().m_ullBytesSent, 0u) << nginx.log();
  EXPECT_TRUE(publisher.stats().m_bConnected);

  // nginx keeps the connection and reads nothing: the kernel's buffers fill,
  // the write blocks, and what the run delivers meanwhile stays in the queue
  // up to its bound, then goes until the next key frame.
  nginx.freeze(true);
  const size_t heapBefore = HeapInUse();
  const VrMediaFramePtr key = s_video[0];
  uint64_t mostQueued = 0;
  size_t heapMost = heapBefore;
  // Pushed at once but stamped a frame apart, as a run that fell behind
  // delivers them: each has a frame slot of its own.
  const int64_t stamp = HX_GetTickMs();
  for (int i = 0; i < 192; ++i) {  // 48 MiB
    publisher.PushPacket(BigPicture(key, 256 * 1024, i % 16 == 0, stamp + i * 1000 / kFps));
    mostQueued = std::max(mostQueued, publisher.queuedBytes());
    heapMost = std::max(heapMost, HeapInUse());
  }
  EXPECT_LE(mostQueued, VrPublisher::kMaxQueuedBytes);
  EXPECT_GT(mostQueued, VrPublisher::kMaxQueuedBytes / 2);
  EXPECT_LT(heapMost, heapBefore + VrPublisher::kMaxQueuedBytes + 4 * 1024 * 1024);
  // One warning per episode: an episode ends only at a key frame that fits
  // (while the kernel still takes some bytes), never once per packet.
  const int episodes = log.count("does not keep up");
  EXPECT_GE(episodes, 1);
  EXPECT_LE(episodes, log.count("caught up") + 1);
  EXPECT_GT(publisher.stats().m_ullDropped, 4u * static_cast<uint64_t>(episodes));

  // The blocked write gives up after the time limit: an outage.
  ASSERT_TRUE(WaitFor([&] { return publisher.stats().m_ullOutages == 1; }, 5s));
  EXPECT_FALSE(publisher.stats().m_bConnected);
  EXPECT_EQ(publisher.queuedBytes(), 0u);
  nginx.freeze(false);
  const uint64_t sentBefore = publisher.stats().m_ullBytesSent;
  for (int i = 0; i < 8 * kFps && !publisher.stats().m_bConnected; i += kFps / 5) Stream(&publisher, kFps / 5);
  Stream(&publisher, kFps);
  EXPECT_TRUE(publisher.stats().m_bConnected);
  EXPECT_GT(publisher.stats().m_ullBytesSent, sentBefore);
  publisher.stop();
  EXPECT_EQ(log.count("is down"), 1);
  EXPECT_EQ(log.count("is up again after"), 1);
  EXPECT_EQ(publisher.stats().m_ullOutages, 1u);
}

TEST_F(PublisherTest, SilentServerTimesOutAndIsRetriedWithAGrowingBackOff) {
  SilentServer server;
  ASSERT_GT(server.port(), 0);
  LogCapture log;
  VrPublisher publisher(Target("rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/x"), Params());
  publisher.setIoTimeout(200);
  publisher.setRetryDelays(200, 800);
  ASSERT_EQ(publisher.start(), 0);
  // Tries at about 0, 0.4, 1.0, 2.0 and 3.0 s: each connect times out after
  // 0.2 s, then waits 0.2, 0.4, 0.8 and again 0.8 s.
  Stream(&publisher, 35 * kFps / 10);
  const size_t heapBefore = HeapInUse();
  Stream(&publisher, kFps / 2);
  publisher.stop();
  const auto times = server.accepts();
  const auto closes = server.closes();
  ASSERT_GE(times.size(), 4u);
  ASSERT_LE(times.size(), 6u);
  ASSERT_GE(closes.size(), times.size() - 1);
  // The back-off is the wait from giving up on one connection to the next
  // connect; how long a connect takes to time out depends on the load.
  auto wait = [&](size_t i) { return std::chrono::duration<double>(times[i + 1] - closes[i]).count(); };
  EXPECT_GT(wait(1), wait(0) + 0.1);
  EXPECT_GT(wait(2), wait(1) + 0.2);
  if (times.size() >= 5) {
    EXPECT_LT(wait(3), wait(2) + 0.3);  // capped at the maximum
  }
  // Nothing piles up while the server is unreachable.
  EXPECT_EQ(publisher.queuedBytes(), 0u);
  EXPECT_LT(HeapInUse(), heapBefore + 1024 * 1024);
  const VrPublisher::Stats stats = publisher.stats();
  EXPECT_FALSE(stats.m_bConnected);
  EXPECT_EQ(stats.m_ullBytesSent, 0u);
  EXPECT_GT(stats.m_ullDropped, 0u);
  EXPECT_EQ(log.count("is down"), 1);
  EXPECT_EQ(log.count("still down when the run stopped"), 1);
  EXPECT_EQ(log.count("is up again"), 0);
}

TEST_F(PublisherTest, NothingIsSentBeforeTheFirstKeyFrameAndStopIsPromptWhileConnecting) {
  SilentServer server;
  LogCapture log;
  VrPublisher publisher(Target("rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/x"), Params());
  ASSERT_EQ(publisher.start(), 0);
  // Sound and a non-key picture give no parameter sets: no connection yet.
  publisher.PushPacket(CloneMediaFrame(s_audio[0]));
  publisher.PushPacket(CloneMediaFrame(s_video[1]));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(server.accepts().empty());
  // A key frame starts the connection, whose handshake nobody answers; stop
  // must not wait for the connect limit.
  publisher.PushPacket(CloneMediaFrame(s_video[0]));
  ASSERT_TRUE(WaitFor([&] { return !server.accepts().empty(); }, 2s));
  const auto before = std::chrono::steady_clock::now();
  publisher.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(VrPublisher::kIoTimeoutMs));
  EXPECT_EQ(log.count("is down"), 0);  // a stop is no outage
}
