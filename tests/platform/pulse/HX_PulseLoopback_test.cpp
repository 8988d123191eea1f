#include "platform/pulse/HX_PulseLoopback.h"

#include <gtest/gtest.h>
#include <pulse/error.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/PulseServer.h"

namespace {

pa_channel_map Map(std::initializer_list<pa_channel_position_t> positions) {
  pa_channel_map map;
  pa_channel_map_init(&map);
  map.channels = static_cast<uint8_t>(positions.size());
  int i = 0;
  for (auto p : positions) map.map[i++] = p;
  return map;
}

HX_LoopbackFormat Describe(pa_sample_format_t format, uint32_t rate,
                           std::initializer_list<pa_channel_position_t> positions) {
  pa_sample_spec spec{format, rate, static_cast<uint8_t>(positions.size())};
  HX_LoopbackFormat f;
  EXPECT_EQ(HX_PulseLoopback::FormatFromSpec(spec, Map(positions), &f), 0);
  return f;
}

// Opens every step up to a running stream on the default sink's monitor.
void OpenAll(HX_PulseLoopback& dev, HX_LoopbackFormat* format) {
  int64_t period = 0;
  ASSERT_EQ(dev.connect(), 0);
  ASSERT_EQ(dev.findDefaultOutput(), 0);
  ASSERT_EQ(dev.openOutput(), 0);
  ASSERT_EQ(dev.getDevicePeriod(&period), 0);
  EXPECT_EQ(period, 100000);  // 10 ms in 100-ns units
  ASSERT_EQ(dev.getMixFormat(format), 0);
  ASSERT_EQ(dev.initialize((30 + 30) * 10000, *format), 0);
  ASSERT_EQ(dev.openCaptureSide(), 0);
  ASSERT_EQ(dev.startStream(), 0);
}

// Takes the next packet when one is ready and hands its frames to |visit|;
// returns how many frames it had (0, after a short sleep, when none).
template <typename Visit>
uint32_t TakePacket(HX_PulseLoopback& dev, Visit visit) {
  uint32_t n = 0;
  EXPECT_EQ(dev.nextPacketFrames(&n), 0);
  if (n == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  }
  const uint8_t* data = nullptr;
  uint32_t got = 0;
  EXPECT_EQ(dev.getBuffer(&data, &got), 0);
  EXPECT_EQ(got, n);
  if (data != nullptr) visit(data, got);
  EXPECT_EQ(dev.releaseBuffer(got), 0);
  return got;
}

}  // namespace

TEST(HX_PulseLoopbackFormat, SinkSpecsBecomeMixFormats) {
  using P = pa_channel_position_t;
  const P L = PA_CHANNEL_POSITION_FRONT_LEFT, R = PA_CHANNEL_POSITION_FRONT_RIGHT,
          C = PA_CHANNEL_POSITION_FRONT_CENTER, LFE = PA_CHANNEL_POSITION_LFE,
          SL = PA_CHANNEL_POSITION_SIDE_LEFT, SR = PA_CHANNEL_POSITION_SIDE_RIGHT;

  HX_LoopbackFormat s16 = Describe(PA_SAMPLE_S16LE, 48000, {L, R});
  EXPECT_EQ(s16.m_usFormatTag, kWaveFormatPcm);
  EXPECT_EQ(s16.m_uiSampleRate, 48000u);
  EXPECT_EQ(s16.m_usChannels, 2);
  EXPECT_EQ(s16.m_usBitsPerSample, 16);
  EXPECT_EQ(s16.m_usBlockAlign, 4);
  EXPECT_EQ(s16.m_uiChannelMask, 0x3u);

  HX_LoopbackFormat flt = Describe(PA_SAMPLE_FLOAT32LE, 44100, {L, R, C, LFE, SL, SR});
  EXPECT_EQ(flt.m_usFormatTag, kWaveFormatExtensible);
  EXPECT_TRUE(flt.m_bSubFormatFloat);
  EXPECT_EQ(flt.m_usBitsPerSample, 32);
  EXPECT_EQ(flt.m_usBlockAlign, 24);
  EXPECT_EQ(flt.m_uiChannelMask, 0x60Fu);

  HX_LoopbackFormat s24 = Describe(PA_SAMPLE_S24LE, 48000, {L, R});
  EXPECT_EQ(s24.m_usFormatTag, kWaveFormatPcm);
  EXPECT_EQ(s24.m_usBitsPerSample, 24);
  EXPECT_EQ(s24.m_usBlockAlign, 6);

  HX_LoopbackFormat s2432 = Describe(PA_SAMPLE_S24_32LE, 48000, {L, R});
  EXPECT_EQ(s2432.m_usFormatTag, kWaveFormatExtensible);
  EXPECT_FALSE(s2432.m_bSubFormatFloat);

  EXPECT_EQ(Describe(PA_SAMPLE_U8, 8000, {PA_CHANNEL_POSITION_MONO}).m_uiChannelMask, 0x4u);
  EXPECT_EQ(Describe(PA_SAMPLE_U8, 8000, {PA_CHANNEL_POSITION_MONO}).m_usBitsPerSample, 8);
  EXPECT_EQ(Describe(PA_SAMPLE_ALAW, 8000, {L, R}).m_usFormatTag, kWaveFormatALaw);
  EXPECT_EQ(Describe(PA_SAMPLE_FLOAT32BE, 48000, {L, R}).m_usFormatTag, kWaveFormatUnknown);
  EXPECT_EQ(Describe(PA_SAMPLE_S16BE, 48000, {L, R}).m_usFormatTag, kWaveFormatUnknown);
}

TEST(HX_PulseLoopbackFormat, MasksRefuseUnmappableOrRepeatedPositions) {
  EXPECT_EQ(HX_PulseLoopback::ChannelMaskFromMap(
                Map({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
                     PA_CHANNEL_POSITION_FRONT_CENTER})),
            0x7u);
  EXPECT_EQ(HX_PulseLoopback::ChannelMaskFromMap(
                Map({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_AUX0})),
            0u);
  EXPECT_EQ(HX_PulseLoopback::ChannelMaskFromMap(
                Map({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_LEFT})),
            0u);
  EXPECT_EQ(HX_PulseLoopback::ChannelMaskFromMap(
                Map({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
                     PA_CHANNEL_POSITION_REAR_LEFT, PA_CHANNEL_POSITION_REAR_RIGHT})),
            0x33u);

  HX_LoopbackFormat f;
  f.m_usFormatTag = 99;
  pa_sample_spec bad{PA_SAMPLE_S16LE, 0, 2};
  EXPECT_EQ(HX_PulseLoopback::FormatFromSpec(bad, Map({PA_CHANNEL_POSITION_FRONT_LEFT,
                                                       PA_CHANNEL_POSITION_FRONT_RIGHT}),
                                             &f),
            -PA_ERR_INVALID);
  pa_sample_spec stereo{PA_SAMPLE_S16LE, 48000, 2};
  EXPECT_EQ(HX_PulseLoopback::FormatFromSpec(stereo, Map({PA_CHANNEL_POSITION_MONO}), &f),
            -PA_ERR_INVALID);
  EXPECT_EQ(f.m_usFormatTag, 99);  // untouched on failure
}

TEST(HX_PulseLoopback, NoServerFailsTheFirstStepAtOnce) {
  std::string socket = "unix:/tmp/ostrel-no-such-pulse-" + std::to_string(getpid());
  setenv("PULSE_SERVER", socket.c_str(), 1);
  HX_PulseLoopback dev;
  const auto begin = std::chrono::steady_clock::now();
  int rc = dev.connect();
  EXPECT_LT(rc, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));  // no autospawn
  EXPECT_FALSE(dev.errorText(rc).empty());
  // Later steps refuse without a connection, and close is safe twice.
  EXPECT_EQ(dev.findDefaultOutput(), -PA_ERR_BADSTATE);
  uint32_t frames = 7;
  EXPECT_LT(dev.nextPacketFrames(&frames), 0);
  EXPECT_EQ(frames, 0u);
  dev.close();
  dev.close();
  unsetenv("PULSE_SERVER");
}

TEST(HX_PulseLoopback, ServerWithoutSinksHasNoDefaultOutput) {
  PulseServer::Options options;
  options.sinks.clear();
  PulseServer server(options);
  ASSERT_TRUE(server.ready()) << server.error();
  HX_PulseLoopback dev;
  ASSERT_EQ(dev.connect(), 0);
  EXPECT_LT(dev.findDefaultOutput(), 0);
  EXPECT_EQ(dev.openOutput(), -PA_ERR_BADSTATE);
}

TEST(HX_PulseLoopback, MonitorDeliversTenMillisecondPacketsOfWhatPlays) {
  PulseServer server;
  ASSERT_TRUE(server.ready()) << server.error();

  HX_PulseLoopback dev;
  HX_LoopbackFormat format;
  OpenAll(dev, &format);
  EXPECT_EQ(dev.sinkName(), "test");
  EXPECT_EQ(dev.monitorName(), "test.monitor");
  EXPECT_EQ(format.m_usFormatTag, kWaveFormatPcm);
  EXPECT_EQ(format.m_uiSampleRate, 48000u);
  EXPECT_EQ(format.m_usBlockAlign, 4);

  ASSERT_TRUE(server.playTone(440, 10.0, 48000, "test"));
  uint64_t frames = 0;
  uint32_t largest = 0;
  bool loud = false;
  // A null sink renders up to two seconds ahead until a low-latency reader
  // appears, so the first packet may take that long; then read for 1 s more.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  bool first = true;
  while (std::chrono::steady_clock::now() < deadline && !::testing::Test::HasFailure()) {
    const uint32_t got = TakePacket(dev, [&loud](const uint8_t* data, uint32_t n) {
      const auto* pcm = reinterpret_cast<const int16_t*>(data);
      for (uint32_t i = 0; i < n * 2; ++i) loud = loud || std::abs(pcm[i]) > 1000;
    });
    if (got == 0) continue;
    if (first) deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    first = false;
    frames += got;
    largest = std::max(largest, got);
  }
  server.stopPlayback();
  EXPECT_TRUE(loud) << "the tone played into the sink never reached its monitor";
  EXPECT_GT(frames, 0u);
  // Packets are fragments of about 10 ms (480 frames); never whole seconds.
  EXPECT_LE(largest, 4u * 480u);
}

// Under load the capture thread can be held up for a while; the sound of
// that time must still arrive afterwards, or everything after it would be
// placed too early.
TEST(HX_PulseLoopback, AReaderHeldUpLosesNoSound) {
  PulseServer server;
  ASSERT_TRUE(server.ready()) << server.error();
  HX_PulseLoopback dev;
  HX_LoopbackFormat format;
  OpenAll(dev, &format);
  ASSERT_TRUE(server.playTone(440, 20.0, 48000, "test"));
  auto readFor = [&dev](std::chrono::milliseconds span, uint64_t* frames) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end && !::testing::Test::HasFailure()) {
      *frames += TakePacket(dev, [](const uint8_t*, uint32_t) {});
    }
  };
  // Past the null sink's start-up rendering, then counted from a steady read.
  uint64_t ignored = 0;
  readFor(std::chrono::milliseconds(3000), &ignored);
  uint64_t frames = 0;
  const auto start = std::chrono::steady_clock::now();
  readFor(std::chrono::milliseconds(500), &frames);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  readFor(std::chrono::milliseconds(1000), &frames);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  server.stopPlayback();
  // What stays in the sound server's pipeline at either end is a few packets,
  // and a busy machine may delay the last ones; a lost hold is 0.5 s or more.
  EXPECT_NEAR(static_cast<double>(frames), seconds * 48000, 0.15 * 48000) << "over " << seconds << " s";
}

TEST(HX_PulseLoopback, ServerGoingAwayIsReportedNotHung) {
  PulseServer server;
  ASSERT_TRUE(server.ready()) << server.error();
  HX_PulseLoopback dev;
  HX_LoopbackFormat format;
  OpenAll(dev, &format);
  server.terminate();
  int rc = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (rc == 0 && std::chrono::steady_clock::now() < deadline) {
    uint32_t n = 0;
    rc = dev.nextPacketFrames(&n);
    if (n > 0) {
      const uint8_t* data = nullptr;
      ASSERT_EQ(dev.getBuffer(&data, &n), 0);
      dev.releaseBuffer(n);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_LT(rc, 0);
  // Starting again on a broken connection fails instead of waiting forever.
  EXPECT_LT(dev.startStream(), 0);
}
