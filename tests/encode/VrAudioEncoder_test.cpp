#include "encode/VrAudioEncoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "EncodeTestUtil.h"
#include "support/LogCapture.h"

using enc_test::PacketSink;
using enc_test::WaitFor;
using enc_test::Decoder;
using enc_test::MakeToneBlock;

namespace {

VrEncodeParams AacParams(int rate, int bitRate = 96000) {
  VrEncodeParams p;
  p.m_iCodecId = AV_CODEC_ID_AAC;
  p.m_iBitRate = bitRate;
  p.m_iReserved = rate;
  p.m_iKeyIntervalMs = 2000;
  return p;
}



// Frequency of a decoded tone from the upward zero crossings of channel 0.
double MeasureHz(const std::vector<AVFrame*>& frames, int rate, size_t skipFrames) {
  std::vector<float> s;
  for (size_t i = skipFrames; i < frames.size(); ++i) {
    const float* ch0 = reinterpret_cast<const float*>(frames[i]->data[0]);
    s.insert(s.end(), ch0, ch0 + frames[i]->nb_samples);
  }
  int crossings = 0;
  size_t first = 0;
  size_t last = 0;
  for (size_t i = 1; i < s.size(); ++i) {
    if (s[i - 1] < 0.0f && s[i] >= 0.0f) {
      if (crossings == 0) first = i;
      last = i;
      ++crossings;
    }
  }
  if (crossings < 2) return 0.0;
  return (crossings - 1) * static_cast<double>(rate) / static_cast<double>(last - first);
}

}  // namespace

TEST(VrAudioEncoder, InitReturnsDistinctCodesAndOpensLowComplexity) {
  LogCapture log;
  VrEncodeParams noCodec = AacParams(44100);
  noCodec.m_iCodecId = AV_CODEC_ID_NONE;
  VrAudioEncoder a;
  EXPECT_EQ(a.Init(noCodec), -1);
  VrAudioEncoder b;
  EXPECT_EQ(b.Init(AacParams(12345)), -2);  // not an AAC sampling rate
  VrAudioEncoder c;
  EXPECT_EQ(c.Init(AacParams(0)), -2);
  EXPECT_EQ(c.CodecContext(), nullptr);
  EXPECT_GE(log.count("cannot open"), 2);

  for (int rate : {44100, 48000}) {
    VrAudioEncoder enc;
    ASSERT_EQ(enc.Init(AacParams(rate)), 0);
    const AVCodecContext* ctx = enc.CodecContext();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(ctx->sample_rate, rate);
    EXPECT_EQ(ctx->ch_layout.nb_channels, 2);
    EXPECT_EQ(ctx->frame_size, 1024);
  }
}

TEST(VrAudioEncoder, OnlySoundIsQueuedAndABacklogOverAHundredIsDiscarded) {
  VrAudioEncoder enc;
  auto block = [](int64_t ts) {
    VrMediaFramePtr f = VrCreateMediaFrame();
    f->m_iMediaType = VR_MEDIA_AUDIO;
    f->m_llTimestamp = ts;
    return f;
  };
  VrMediaFramePtr video = block(1);
  video->m_iMediaType = VR_MEDIA_VIDEO;
  EXPECT_EQ(enc.Input(video), -1);
  EXPECT_EQ(enc.Input(nullptr), -1);
  EXPECT_EQ(enc.QueuedBlocks(), 0u);

  for (int i = 0; i < 100; ++i) ASSERT_EQ(enc.Input(block(i)), 0);
  ASSERT_EQ(enc.QueuedBlocks(), 100u);
  enc.Input(block(100));
  EXPECT_EQ(enc.QueuedBlocks(), 101u);  // 100 waiting + one

  LogCapture log;
  VrMediaFramePtr newest = block(101);
  enc.Input(newest);
  EXPECT_EQ(enc.QueuedBlocks(), 1u);  // 101 waiting: all discarded, then the new one
  EXPECT_TRUE(log.contains("101 waiting blocks discarded"));
  EXPECT_EQ(newest.use_count(), 2);
  enc.Stop();
  EXPECT_EQ(enc.QueuedBlocks(), 0u);
  EXPECT_EQ(newest.use_count(), 1);
}

TEST(VrAudioEncoder, PacketsAreAdtsFramedDecodeToTheToneAndCarryTheBlockFields) {
  const int rate = 44100;
  VrAudioEncoder enc;
  PacketSink sink;
  enc.m_pCallback = &PacketSink::Take;
  enc.m_pContext = &sink;
  ASSERT_EQ(enc.Init(AacParams(rate)), 0);
  enc.Start();
  const int blocks = 60;
  int64_t phase = 0;
  std::vector<int64_t> stamps;
  for (int i = 0; i < blocks; ++i) {
    const int64_t ts = 50000 + (i * 1024 * 1000) / rate;
    stamps.push_back(ts);
    enc.Input(MakeToneBlock(ts, 1000.0, rate, &phase));
  }
  // The codec holds back its first frame: one packet less than blocks.
  ASSERT_TRUE(WaitFor([&] { return sink.Count() >= blocks - 1; }));
  enc.Stop();
  ASSERT_EQ(sink.packets.size(), static_cast<size_t>(blocks - 1));
  EXPECT_EQ(enc.FirstTimestamp(), 50000u);

  Decoder dec(AV_CODEC_ID_AAC);  // no extradata: it must learn everything from ADTS
  ASSERT_TRUE(dec.ok());
  for (size_t i = 0; i < sink.packets.size(); ++i) {
    const VrMediaFrame& p = *sink.packets[i];
    SCOPED_TRACE(i);
    ASSERT_GT(p.m_iSize, 7);
    const uint8_t* h = p.m_pData;
    EXPECT_EQ(h[0], 0xFF);
    EXPECT_EQ(h[1] & 0xF6, 0xF0);
    EXPECT_EQ(h[2] >> 6, 1);           // AAC LC
    EXPECT_EQ((h[2] >> 2) & 0x0F, 4);  // 44100 Hz
    EXPECT_EQ(((h[2] & 1) << 2) | (h[3] >> 6), 2);
    const int frameLength = ((h[3] & 0x03) << 11) | (h[4] << 3) | (h[5] >> 5);
    EXPECT_EQ(frameLength, p.m_iSize);
    // Each packet carries the timestamp of the block in whose pass it came out.
    EXPECT_EQ(p.m_llTimestamp, stamps[i + 1]);
    EXPECT_EQ(p.m_iMediaType, VR_MEDIA_AUDIO);
    EXPECT_EQ(p.m_iChannels, 2);
    EXPECT_EQ(p.m_iSampleRate, rate);
    EXPECT_EQ(p.m_iBitsPerSample, 16);
    EXPECT_EQ(p.m_iRateBits, 705600);
    EXPECT_EQ(p.m_iSamples, 1024);
    EXPECT_EQ(dec.Feed(p.m_pData, p.m_iSize), 0);
  }
  dec.Flush();
  ASSERT_GE(dec.frames.size(), static_cast<size_t>(blocks - 3));
  EXPECT_EQ(dec.frames[0]->sample_rate, rate);
  EXPECT_EQ(dec.frames[0]->ch_layout.nb_channels, 2);
  EXPECT_NEAR(MeasureHz(dec.frames, rate, 3), 1000.0, 15.0);
}

TEST(VrAudioEncoder, FirstTimestampComesFromTheFirstBlockWithDataAndNeverMoves) {
  VrAudioEncoder enc;
  ASSERT_EQ(enc.Init(AacParams(48000)), 0);
  VrMediaFramePtr empty = VrCreateMediaFrame();
  empty->m_iMediaType = VR_MEDIA_AUDIO;
  empty->m_llTimestamp = 10;
  enc.Input(empty);
  int64_t phase = 0;
  enc.Input(MakeToneBlock(500, 440.0, 48000, &phase));
  enc.Input(MakeToneBlock(100, 440.0, 48000, &phase));  // earlier, but later in line
  EXPECT_EQ(enc.FirstTimestamp(), 0u);
  enc.Start();
  ASSERT_TRUE(WaitFor([&] { return enc.QueuedBlocks() == 0; }));
  enc.Stop();
  EXPECT_EQ(enc.FirstTimestamp(), 500u);
}

TEST(VrAudioEncoder, OddBlocksNeitherCrashNorEndTheStream) {
  const int rate = 48000;
  VrAudioEncoder enc;
  PacketSink sink;
  enc.m_pCallback = &PacketSink::Take;
  enc.m_pContext = &sink;
  ASSERT_EQ(enc.Init(AacParams(rate)), 0);
  LogCapture log;
  int64_t phase = 0;
  int64_t ts = 1000;
  for (int i = 0; i < 5; ++i) enc.Input(MakeToneBlock(ts += 21, 440.0, rate, &phase));
  enc.Input(MakeToneBlock(ts += 21, 440.0, rate, &phase, 512));  // a 2048-byte block
  VrMediaFramePtr noChannels = MakeToneBlock(ts += 21, 440.0, rate, &phase);
  noChannels->m_iChannels = 0;  // would divide by zero
  enc.Input(noChannels);
  VrMediaFramePtr eightBit = MakeToneBlock(ts += 21, 440.0, rate, &phase);
  eightBit->m_iBitsPerSample = 8;
  enc.Input(eightBit);
  enc.Input(MakeToneBlock(ts += 21, 440.0, rate, &phase, 1024, 1));  // mono
  for (int i = 0; i < 5; ++i) enc.Input(MakeToneBlock(ts += 21, 440.0, rate, &phase));
  enc.Start();
  // 5 + 1 (short, padded) + 1 (mono) + 5 frames reach the codec: 11 packets.
  ASSERT_TRUE(WaitFor([&] { return sink.Count() >= 11; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  enc.Stop();
  EXPECT_EQ(sink.Count(), 11u);
  EXPECT_EQ(log.count("sound block dropped"), 1);
  EXPECT_EQ(log.count("refused"), 0);
  Decoder dec(AV_CODEC_ID_AAC);
  for (const VrMediaFramePtr& p : sink.packets) EXPECT_EQ(dec.Feed(p->m_pData, p->m_iSize), 0);
}

TEST(VrAudioEncoder, AFailedEncoderStillConsumesBlocksAndNotesTheFirstSound) {
  VrAudioEncoder enc;
  PacketSink sink;
  enc.m_pCallback = &PacketSink::Take;
  enc.m_pContext = &sink;
  ASSERT_EQ(enc.Init(AacParams(12345)), -2);
  int64_t phase = 0;
  for (int i = 0; i < 10; ++i) enc.Input(MakeToneBlock(700 + i, 440.0, 44100, &phase));
  enc.Start();
  ASSERT_TRUE(WaitFor([&] { return enc.QueuedBlocks() == 0; }));
  enc.Stop();
  EXPECT_EQ(sink.Count(), 0u);
  EXPECT_EQ(enc.FirstTimestamp(), 700u);
}

TEST(VrAudioEncoder, AFailedPacketAllocationIsLoggedAndLosesOnlyThatPacket) {
  VrAudioEncoder enc;
  PacketSink sink;
  enc.m_pCallback = &PacketSink::Take;
  enc.m_pContext = &sink;
  ASSERT_EQ(enc.Init(AacParams(44100)), 0);
  int64_t phase = 0;
  std::vector<VrMediaFramePtr> blocks;
  for (int i = 0; i < 8; ++i) blocks.push_back(MakeToneBlock(100 + i, 440.0, 44100, &phase));
  LogCapture log;
  enc.Start();
  {
    enc_test::FailingPayloadAllocations failing;
    for (int i = 0; i < 4; ++i) enc.Input(blocks[i]);
    // The first block only primes the codec; the next three lose their packets.
    ASSERT_TRUE(WaitFor([&] { return log.count("VrAudioEncoder::Encode: malloc failed.") == 3; }));
  }
  for (int i = 4; i < 8; ++i) enc.Input(blocks[i]);
  ASSERT_TRUE(WaitFor([&] { return sink.Count() >= 4; }));
  enc.Stop();
  EXPECT_EQ(log.count("VrAudioEncoder::Encode: malloc failed."), 3);
  ASSERT_EQ(sink.Count(), 4u);
  EXPECT_EQ(sink.packets[0]->m_llTimestamp, 104);
}
