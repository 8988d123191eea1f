#include "capture/SystemSoundCapturer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/LogCapture.h"
#include "support/PulseServer.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int64_t> g_now{1000};
int64_t FakeClock() { return g_now.load(); }

// The scripted device's state, shared with the test after the capturer took
// the device itself.
struct DeviceScript {
  std::mutex mutex;
  std::condition_variable changed;
  int failAtStep = 0;  // 1 connect ... 8 startStream
  int error = -42;
  int64_t period = 100000;
  HX_LoopbackFormat format;
  int64_t bufferDuration = 0;
  std::deque<std::vector<uint8_t>> packets;
  std::deque<int64_t> readAt;  // the clock when the packet is read; -1 leaves it
  int released = 0;
  int closed = 0;
  bool broken = false;  // packets fail from now on
  int polls = 0;

  void Push(std::vector<uint8_t> packet, int64_t atMs = -1) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      packets.push_back(std::move(packet));
      readAt.push_back(atMs);
    }
  }
  bool WaitReleased(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return released >= n; });
  }
};

class FakeLoopback : public HX_ILoopbackDevice {
 public:
  explicit FakeLoopback(std::shared_ptr<DeviceScript> s) : m_s(std::move(s)) {}
  int connect() override { return Step(1); }
  int findDefaultOutput() override { return Step(2); }
  int openOutput() override { return Step(3); }
  int getDevicePeriod(int64_t* period) override {
    *period = m_s->period;
    return Step(4);
  }
  int getMixFormat(HX_LoopbackFormat* format) override {
    *format = m_s->format;
    return Step(5);
  }
  int initialize(int64_t duration, const HX_LoopbackFormat&) override {
    m_s->bufferDuration = duration;
    return Step(6);
  }
  int openCaptureSide() override { return Step(7); }
  int startStream() override { return Step(8); }
  int nextPacketFrames(uint32_t* frames) override {
    std::lock_guard<std::mutex> lock(m_s->mutex);
    m_s->polls++;
    *frames = 0;
    if (m_s->broken) return -7;
    if (!m_s->packets.empty()) {
      *frames = Frames(m_s->packets.front());
      if (m_s->readAt.front() >= 0) g_now = m_s->readAt.front();
    }
    return 0;
  }
  int getBuffer(const uint8_t** data, uint32_t* frames) override {
    std::lock_guard<std::mutex> lock(m_s->mutex);
    if (m_s->packets.empty()) return -1;
    *data = m_s->packets.front().data();
    *frames = Frames(m_s->packets.front());
    return 0;
  }
  int releaseBuffer(uint32_t) override {
    {
      std::lock_guard<std::mutex> lock(m_s->mutex);
      m_s->packets.pop_front();
      m_s->readAt.pop_front();
      m_s->released++;
    }
    m_s->changed.notify_all();
    return 0;
  }
  void close() override {
    std::lock_guard<std::mutex> lock(m_s->mutex);
    m_s->closed++;
  }
  std::string errorText(int error) const override { return "scripted " + std::to_string(error); }

 private:
  int Step(int n) { return m_s->failAtStep == n ? m_s->error : 0; }
  uint32_t Frames(const std::vector<uint8_t>& p) const {
    return static_cast<uint32_t>(p.size() / m_s->format.m_usBlockAlign);
  }
  std::shared_ptr<DeviceScript> m_s;
};

HX_LoopbackFormat Pcm(int bits, int rate = 48000, int channels = 2) {
  HX_LoopbackFormat f;
  f.m_usFormatTag = kWaveFormatPcm;
  f.m_uiSampleRate = rate;
  f.m_usChannels = static_cast<uint16_t>(channels);
  f.m_usBitsPerSample = static_cast<uint16_t>(bits);
  f.m_usBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  return f;
}

HX_LoopbackFormat Extensible(uint32_t mask, int channels, bool isFloat = true, int rate = 48000) {
  HX_LoopbackFormat f = Pcm(32, rate, channels);
  f.m_usFormatTag = kWaveFormatExtensible;
  f.m_uiChannelMask = mask;
  f.m_bSubFormatFloat = isFloat;
  return f;
}

// Blocks delivered by the capturer.
struct Blocks {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<VrMediaFramePtr> list;
  static int Receive(VrMediaFramePtr frame, void* context) {
    auto* self = static_cast<Blocks*>(context);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->list.push_back(frame);
    }
    self->changed.notify_all();
    return 0;
  }
  std::vector<VrMediaFramePtr> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return list;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    list.clear();
  }
  bool WaitFor(const std::function<bool(const std::vector<VrMediaFramePtr>&)>& pred,
               std::chrono::seconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return pred(list); });
  }
};

// S16 stereo packets whose samples count up from |first| (left) and down (right).
std::vector<uint8_t> Ramp(int frames, int first) {
  std::vector<uint8_t> p(frames * 4);
  auto* s = reinterpret_cast<int16_t*>(p.data());
  for (int i = 0; i < frames; ++i) {
    s[2 * i] = static_cast<int16_t>(first + i);
    s[2 * i + 1] = static_cast<int16_t>(-(first + i));
  }
  return p;
}

class SystemSoundCapturerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FLAGS_minloglevel = 0;
    script = std::make_shared<DeviceScript>();
    script->format = Pcm(16);
    blocks.Clear();
    g_now = 1000;
  }
  std::unique_ptr<SystemSoundCapturer> Make(int rate) {
    auto c = std::make_unique<SystemSoundCapturer>(rate, std::make_unique<FakeLoopback>(script),
                                                   &FakeClock);
    c->m_pCallback = &Blocks::Receive;
    c->m_pContext = &blocks;
    return c;
  }
  // Feeds |packets| and waits until the capture thread has taken them all.
  // With |firstReadMs| >= 0 the clock reads that when the first packet is
  // read and moves on by |stepMs| for each later one.
  void Feed(const std::vector<std::vector<uint8_t>>& packets, int64_t firstReadMs = -1,
            int64_t stepMs = 10) {
    int target = 0;
    {
      std::lock_guard<std::mutex> lock(script->mutex);
      target = script->released + static_cast<int>(packets.size());
    }
    int64_t at = firstReadMs;
    for (const auto& p : packets) {
      script->Push(p, at);
      if (at >= 0) at += stepMs;
    }
    ASSERT_TRUE(script->WaitReleased(target));
  }

  std::shared_ptr<DeviceScript> script;
  Blocks blocks;
};

}  // namespace

TEST_F(SystemSoundCapturerTest, EachOpeningStepHasItsCodeAndMessage) {
  struct Case {
    int step;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {1, -201, "Failed to connect the Pulse context to the sound server. Error -42"},
      {2, -202, "Failed to get the default sink from the Pulse server. Error -42"},
      {3, -203, "Failed to get the default sink's info from Pulse. Error -42"},
      {4, -204, "Failed to get the monitor source's info from Pulse. Error -42"},
      {5, -205, "Failed to get the sink's sample format from Pulse. Error -42"},
      {6, -209, "Failed to initialize the Pulse record stream. Error -42"},
      {7, -210, "Failed to get the Pulse record stream's format and buffer. Error -42"},
      {8, -211, "Failed to start the Pulse record stream. Error -42"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    SetUp();
    script->failAtStep = c.step;
    LogCapture log;
    auto capturer = Make(48000);
    EXPECT_EQ(capturer->start(), c.code);
    ASSERT_EQ(log.count(c.message), 1);
    for (const auto& line : log.lines()) {
      if (line.text.find(c.message) == std::string::npos) continue;
      EXPECT_EQ(line.severity, google::GLOG_ERROR);
      EXPECT_EQ(line.text.rfind("SystemSoundCapturer::start: ", 0), 0u) << line.text;
    }
    capturer->stop();
    capturer->stop();
    EXPECT_EQ(script->closed, 1);
  }
}

TEST_F(SystemSoundCapturerTest, MixFormatsAreAcceptedOrRefusedByTagBitsAndMask) {
  struct Case {
    HX_LoopbackFormat format;
    int code;
    const char* message;
  };
  HX_LoopbackFormat ieee = Pcm(32);
  ieee.m_usFormatTag = kWaveFormatIeeeFloat;
  HX_LoopbackFormat alaw = Pcm(8);
  alaw.m_usFormatTag = kWaveFormatALaw;
  const Case cases[] = {
      {Extensible(0x3, 2), 0, nullptr},
      {Extensible(0x60F, 6), 0, nullptr},
      {Extensible(0x4, 1), 0, nullptr},
      {Extensible(0x63F, 8), 0, nullptr},
      {Extensible(0x7, 3), -208, "Could not determine channel layerout"},
      {Extensible(0x3, 2, false), -206, "Unsupported format."},
      {alaw, -207, "Failed to force 16-bit PCM"},
      {Pcm(24), -208, "Could not determine channel layerout"},
      {Pcm(8), 0, nullptr},
      {Pcm(16, 44100, 1), 0, nullptr},
      {Pcm(32), 0, nullptr},
      {ieee, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "tag " << c.format.m_usFormatTag << " bits "
                                      << c.format.m_usBitsPerSample << " mask "
                                      << c.format.m_uiChannelMask);
    SetUp();
    script->format = c.format;
    LogCapture log;
    auto capturer = Make(48000);
    EXPECT_EQ(capturer->start(), c.code);
    if (c.message != nullptr) {
      EXPECT_EQ(log.count(c.message), 1);
    }
    capturer->stop();
  }
  EXPECT_TRUE(SystemSoundCapturer::AcceptedChannelMask(0x33));
  EXPECT_TRUE(SystemSoundCapturer::AcceptedChannelMask(0x3F));
  EXPECT_TRUE(SystemSoundCapturer::AcceptedChannelMask(0xFF));
  EXPECT_TRUE(SystemSoundCapturer::AcceptedChannelMask(0x107));
  EXPECT_FALSE(SystemSoundCapturer::AcceptedChannelMask(0x0));
  EXPECT_FALSE(SystemSoundCapturer::AcceptedChannelMask(0x60B));
}

TEST_F(SystemSoundCapturerTest, TwentyFourBitPcmFailsAfterItsOwnLine) {
  script->format = Pcm(24);
  LogCapture log;
  auto capturer = Make(48000);
  EXPECT_EQ(capturer->start(), -208);
  std::vector<std::string> texts;
  for (const auto& line : log.lines()) texts.push_back(line.text);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("unsupported bits per sample."), std::string::npos);
  EXPECT_NE(texts[1].find("Could not determine channel layerout"), std::string::npos);
}

TEST_F(SystemSoundCapturerTest, TheBufferIsThePeriodInWholeMillisecondsAtLeast30PlusThirty) {
  const std::pair<int64_t, int64_t> cases[] = {
      {100000, (30 + 30) * 10000},   // 10 ms period
      {400000, (40 + 30) * 10000},   // 40 ms
      {400001, (41 + 30) * 10000},   // just over 40 ms rounds up
      {300000, (30 + 30) * 10000},
  };
  for (const auto& c : cases) {
    SetUp();
    script->period = c.first;
    auto capturer = Make(48000);
    ASSERT_EQ(capturer->start(), 0);
    EXPECT_EQ(script->bufferDuration, c.second) << c.first;
    capturer->stop();
  }
}

TEST_F(SystemSoundCapturerTest, TenMillisecondPacketsAt48kMakeExactBlocksAndTimestamps) {
  auto capturer = Make(48000);
  ASSERT_EQ(capturer->start(), 0);
  std::vector<std::vector<uint8_t>> packets;
  std::vector<uint8_t> stream;
  for (int i = 0; i < 32; ++i) {
    packets.push_back(Ramp(480, i * 480));
    stream.insert(stream.end(), packets.back().begin(), packets.back().end());
  }
  // Each 10 ms packet is read as it ends, the first at 1010 ms: the sound
  // starts at 1000 ms.
  Feed(packets, 1010);
  std::vector<VrMediaFramePtr> got = blocks.Get();
  // 32 packets of 1920 bytes are exactly 15 blocks: nothing is left over.
  ASSERT_EQ(got.size(), 15u);
  const int64_t offsets[] = {0, 21, 42, 64, 85, 106, 128, 149, 170, 192, 213, 234, 256, 277, 298};
  for (size_t k = 0; k < got.size(); ++k) {
    const VrMediaFramePtr& b = got[k];
    ASSERT_EQ(b->m_iSize, 4096);
    EXPECT_EQ(std::memcmp(b->m_pData, stream.data() + k * 4096, 4096), 0) << k;
    EXPECT_EQ(b->m_llTimestamp, 1000 + offsets[k]) << k;
    EXPECT_EQ(b->m_iMediaType, VR_MEDIA_AUDIO);
    EXPECT_EQ(b->m_iChannels, 2);
    EXPECT_EQ(b->m_iSampleRate, 48000);
    EXPECT_EQ(b->m_iBitsPerSample, 16);
    EXPECT_EQ(b->m_iRateBits, 768000);
    EXPECT_EQ(b->m_iSamples, 1024);
  }
  // Sound that comes back after a pause is stamped when it came, not right
  // after the sound before it.
  Feed({Ramp(480, 0), Ramp(480, 0), Ramp(480, 0)}, 5010);
  got = blocks.Get();
  ASSERT_EQ(got.size(), 16u);
  EXPECT_EQ(got[15]->m_llTimestamp, 5000);
  capturer->stop();
}

// Sound lost again and again within a second is one episode: one line.
TEST_F(SystemSoundCapturerTest, RepeatedLostSoundIsLoggedOncePerEpisode) {
  auto capturer = Make(48000);
  ASSERT_EQ(capturer->start(), 0);
  LogCapture log;
  // 10 ms packets, each read when it ends, with 590 ms of sound lost (a
  // sink that keeps falling asleep) before each of the later ones: five
  // gaps, each within a second of the one before.
  for (int i = 0; i < 6; ++i) script->Push(Ramp(480, 0), 1010 + 600 * i);
  ASSERT_TRUE(script->WaitReleased(6));
  EXPECT_EQ(log.count("sound arrived later than its sample count allows"), 1);
  // Two seconds later: a new episode.
  script->Push(Ramp(480, 0), 6000);
  ASSERT_TRUE(script->WaitReleased(7));
  EXPECT_EQ(log.count("sound arrived later than its sample count allows"), 2);
  capturer->stop();
}

TEST_F(SystemSoundCapturerTest, At44100TheStampsFollowTheTrueRate) {
  script->format = Pcm(16, 44100);
  auto capturer = Make(44100);
  ASSERT_EQ(capturer->start(), 0);
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 12; ++i) packets.push_back(Ramp(441, i * 441));
  Feed(packets, 1010);
  std::vector<VrMediaFramePtr> got = blocks.Get();
  ASSERT_GE(got.size(), 5u);
  // 23.22 ms a block, not 4096 / 176 = 23.27 (44 samples a millisecond).
  const int64_t offsets[] = {0, 23, 46, 69, 92};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(got[k]->m_llTimestamp, 1000 + offsets[k]) << k;
  EXPECT_EQ(got[0]->m_iRateBits, 705600);
  capturer->stop();
}

TEST_F(SystemSoundCapturerTest, LargePacketsEmitEveryCompleteBlockAndBuildNoBacklog) {
  auto capturer = Make(48000);
  ASSERT_EQ(capturer->start(), 0);
  // 100 ms packets convert to 19200 bytes: 4.7 blocks each.
  std::vector<std::vector<uint8_t>> packets;
  std::vector<uint8_t> stream;
  for (int i = 0; i < 10; ++i) {
    packets.push_back(Ramp(4800, i * 4800));
    stream.insert(stream.end(), packets.back().begin(), packets.back().end());
  }
  Feed(packets);
  std::vector<VrMediaFramePtr> got = blocks.Get();
  ASSERT_EQ(got.size(), 192000u / 4096u);  // 46, not one per packet
  for (size_t k = 0; k < got.size(); ++k) {
    ASSERT_EQ(std::memcmp(got[k]->m_pData, stream.data() + k * 4096, 4096), 0) << k;
  }
  capturer->stop();
}

TEST_F(SystemSoundCapturerTest, AFailedBlockAllocationKeepsTheSoundForTheNextPacket) {
  auto capturer = Make(48000);
  ASSERT_EQ(capturer->start(), 0);
  std::vector<uint8_t> stream;
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 4; ++i) {
    packets.push_back(Ramp(480, i * 480));
    stream.insert(stream.end(), packets.back().begin(), packets.back().end());
  }
  LogCapture log;
  VrMediaFrame::PayloadAllocator saved = VrMediaFrame::s_pfnAllocate;
  VrMediaFrame::s_pfnAllocate = [](size_t) -> uint8_t* { return nullptr; };
  Feed({packets[0], packets[1], packets[2]});
  VrMediaFrame::s_pfnAllocate = saved;
  EXPECT_TRUE(blocks.Get().empty());
  EXPECT_EQ(log.count("OnNewFrameCaptured: malloc failed."), 1);
  Feed({packets[3]});
  std::vector<VrMediaFramePtr> got = blocks.Get();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(std::memcmp(got[0]->m_pData, stream.data(), 4096), 0);
  capturer->stop();
}

TEST_F(SystemSoundCapturerTest, FloatAndSurroundMixesBecomeSixteenBitStereo) {
  script->format = Extensible(0x3, 2);
  auto capturer = Make(48000);
  ASSERT_EQ(capturer->start(), 0);
  std::vector<uint8_t> packet(1024 * 8);
  auto* f = reinterpret_cast<float*>(packet.data());
  for (int i = 0; i < 1024; ++i) {
    f[2 * i] = 0.5f;
    f[2 * i + 1] = -0.25f;
  }
  Feed({packet});
  std::vector<VrMediaFramePtr> got = blocks.Get();
  ASSERT_EQ(got.size(), 1u);
  const auto* s = reinterpret_cast<const int16_t*>(got[0]->m_pData);
  for (int i = 0; i < 1024; ++i) {
    ASSERT_NEAR(s[2 * i], 16384, 1) << i;
    ASSERT_NEAR(s[2 * i + 1], -8192, 1) << i;
  }
  capturer->stop();

  // 5.1 with side speakers is folded down to stereo.
  SetUp();
  script->format = Extensible(0x60F, 6);
  auto surround = Make(48000);
  ASSERT_EQ(surround->start(), 0);
  std::vector<uint8_t> six(2048 * 24);
  auto* g = reinterpret_cast<float*>(six.data());
  for (int i = 0; i < 2048 * 6; ++i) g[i] = (i % 6 == 0) ? 0.5f : 0.0f;  // front left only
  Feed({six});
  got = blocks.Get();
  ASSERT_EQ(got.size(), 2u);
  const auto* t = reinterpret_cast<const int16_t*>(got[0]->m_pData);
  EXPECT_GT(t[200], 1000);           // left carries the front left speaker
  EXPECT_NEAR(t[201], 0, 1);         // right stays silent
  surround->stop();
}

TEST_F(SystemSoundCapturerTest, ResamplingTo48kKeepsTheDuration) {
  script->format = Pcm(16, 44100);
  auto capturer = Make(48000);
  ASSERT_EQ(capturer->start(), 0);
  std::vector<std::vector<uint8_t>> packets;
  for (int p = 0; p < 100; ++p) {
    std::vector<uint8_t> packet(441 * 4);
    auto* s = reinterpret_cast<int16_t*>(packet.data());
    for (int i = 0; i < 441; ++i) {
      s[2 * i] = s[2 * i + 1] =
          static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * (p * 441 + i) / 44100.0));
    }
    packets.push_back(packet);
  }
  Feed(packets);
  // One second at 44100 Hz is one second at 48000 Hz: 192000 bytes, about 46
  // blocks (less the resampler's short delay).
  std::vector<VrMediaFramePtr> got = blocks.Get();
  EXPECT_GE(got.size(), 45u);
  EXPECT_LE(got.size(), 47u);
  int peak = 0;
  for (const auto& b : got) {
    const auto* s = reinterpret_cast<const int16_t*>(b->m_pData);
    for (int i = 0; i < 2048; ++i) peak = std::max(peak, std::abs(int(s[i])));
  }
  EXPECT_NEAR(peak, 8000, 200);
  capturer->stop();
}

TEST_F(SystemSoundCapturerTest, ABrokenDeviceIsReportedOnceAndStopStillEnds) {
  auto capturer = Make(48000);
  ASSERT_EQ(capturer->start(), 0);
  LogCapture log;
  {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->broken = true;
    script->polls = 0;
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(script->mutex);
      if (script->polls >= 20 || std::chrono::steady_clock::now() > deadline) break;
    }
    std::this_thread::sleep_for(5ms);
  }
  capturer->stop();
  EXPECT_EQ(log.count("the sound device stopped delivering packets. Error -7"), 1);
  EXPECT_EQ(script->closed, 1);
  capturer->stop();  // the second stop does nothing
  EXPECT_EQ(script->closed, 1);
  // A stopped source does not start again.
  EXPECT_NE(capturer->start(), 0);
}

// Against a private PulseAudio daemon: the real loopback of the default sink.
TEST(SystemSoundCapturerPulse, TonePlayedIntoTheSinkArrivesAsBlocksAt44100And48000) {
  PulseServer server;
  ASSERT_TRUE(server.ready()) << server.error();
  ASSERT_TRUE(server.playTone(1000, 30.0));
  for (int rate : {44100, 48000}) {
    SCOPED_TRACE(rate);
    Blocks blocks;
    SystemSoundCapturer capturer(rate);
    capturer.m_pCallback = &Blocks::Receive;
    capturer.m_pContext = &blocks;
    ASSERT_EQ(capturer.start(), 0);
    // The null sink may take up to two seconds before its monitor flows.
    const bool loud = blocks.WaitFor([](const std::vector<VrMediaFramePtr>& list) {
      for (const auto& b : list) {
        const auto* s = reinterpret_cast<const int16_t*>(b->m_pData);
        for (int i = 0; i < 2048; ++i) {
          if (std::abs(int(s[i])) > 1000) return true;
        }
      }
      return false;
    }, 15s);
    capturer.stop();
    EXPECT_TRUE(loud) << "no audible block";
    for (const auto& b : blocks.Get()) {
      ASSERT_EQ(b->m_iSize, 4096);
      EXPECT_EQ(b->m_iSampleRate, rate);
      EXPECT_EQ(b->m_iSamples, 1024);
    }
  }
}

TEST(SystemSoundCapturerPulse, SinkFormatsDecideAcceptance) {
  PulseServer::Options options;
  options.sinks = {
      {"surround", "format=float32le rate=48000 channels=6 "
                   "channel_map=front-left,front-right,front-center,lfe,side-left,side-right"},
      {"three", "format=float32le rate=48000 channels=3 "
                "channel_map=front-left,front-right,front-center"},
      {"deep", "format=s24le rate=48000 channels=2"},
      {"float", "format=float32le rate=44100 channels=2"}};
  PulseServer server(options);
  ASSERT_TRUE(server.ready()) << server.error();
  struct Case {
    const char* sink;
    int code;
    const char* message;
  };
  const Case cases[] = {{"surround", 0, nullptr},
                        {"three", -208, "Could not determine channel layerout"},
                        {"deep", -208, "unsupported bits per sample."},
                        {"float", 0, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sink);
    ASSERT_TRUE(server.setDefaultSink(c.sink));
    LogCapture log;
    SystemSoundCapturer capturer(48000);
    EXPECT_EQ(capturer.start(), c.code);
    if (c.message != nullptr) {
      EXPECT_EQ(log.count(c.message), 1);
    }
    capturer.stop();
  }
}

TEST(SystemSoundCapturerPulse, NoSoundServerFailsWithTheFirstCode) {
  const std::string socket = "unix:/tmp/ostrel-no-pulse-" + std::to_string(getpid());
  setenv("PULSE_SERVER", socket.c_str(), 1);
  LogCapture log;
  SystemSoundCapturer capturer(48000);
  EXPECT_EQ(capturer.start(), -201);
  EXPECT_EQ(log.count("Failed to connect the Pulse context to the sound server. Error "), 1);
  capturer.stop();
  unsetenv("PULSE_SERVER");
}
