// Encode cost side by side in one run: one 1920 x 1080 NV12 picture through the
// software H.264 back-end (ultrafast, zero latency, one thread) and through
// MJPEG (with its range conversion), and one 1024-sample stereo AAC block;
// and one 2560 x 1440 or 3840 x 2160 H.264 picture on 1 and on 2 sliced
// threads (wall time per picture and the whole process's CPU); and the same
// 1080p picture over and over, what a still desktop hands the encoder.
//   bench_encode --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "encode/VrAudioEncoder.h"
#include "encode/VrVideoFFMPEGEncoder.h"

namespace {

// A desktop-like NV12 picture: gradients, a band of text-like detail and a
// box that moves with |step|, so consecutive pictures differ a little.
VrMediaFramePtr DesktopPicture(int w, int h, int step) {
  std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
  uint32_t noise = 777;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &bgra[(static_cast<size_t>(y) * w + x) * 4];
      noise = noise * 1103515245u + 12345u;
      const bool text = y > 200 && y < 600 && ((x / 7 + y / 13) % 5) == 0;
      const bool box = x >= 100 + step * 8 && x < 400 + step * 8 && y >= 700 && y < 1000;
      p[0] = static_cast<uint8_t>(box ? 30 : text ? 20 : x * 255 / w);
      p[1] = static_cast<uint8_t>(box ? 200 : text ? 20 : y * 255 / h);
      p[2] = static_cast<uint8_t>(box ? 90 : text ? (noise >> 24) : 128);
      p[3] = 0;
    }
  }
  VrMediaFramePtr f = VrCreateMediaFrame();
  f->AllocData(w * h * 3 / 2);
  libyuv::ARGBToNV12(bgra.data(), w * 4, f->m_pData, w, f->m_pData + w * h, w, w, h);
  f->m_iMediaType = VR_MEDIA_VIDEO;
  f->m_iWidth = w;
  f->m_iHeight = h;
  f->m_iPixelFormat = kVrPixFmtNV12;
  return f;
}

void EncodePictures(benchmark::State& state, int codecId, int w = 1920, int h = 1080, int threads = 1,
                    int distinct = 10) {
  std::vector<VrMediaFramePtr> pictures;
  for (int i = 0; i < distinct; ++i) pictures.push_back(DesktopPicture(w, h, i));
  VrVideoFFMPEGEncoder enc;
  VrEncodeParams p;
  p.m_iCodecId = codecId;
  p.m_iFrameRate = 25;
  p.m_iWidth = w;
  p.m_iHeight = h;
  p.m_iThreads = threads;
  p.m_iBitRate = 3000000;
  p.m_iKeyIntervalMs = 2000;
  if (!enc.Init(&p)) {
    state.SkipWithError("encoder did not open");
    return;
  }
  int64_t ts = 0;
  size_t i = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    VrMediaFramePtr pic = pictures[i++ % pictures.size()];
    pic->m_llTimestamp = (ts += 40);
    enc.InputEncode(pic);
    while (VrMediaFramePtr pkt = enc.OutputEncode()) bytes += pkt->m_iSize;
  }
  state.counters["kbit/s@25fps"] =
      benchmark::Counter(static_cast<double>(bytes) * 8 * 25 / 1000 / static_cast<double>(state.iterations()));
}

void BM_H264Picture1080p(benchmark::State& state) { EncodePictures(state, AV_CODEC_ID_H264); }
void BM_MjpegPicture1080p(benchmark::State& state) { EncodePictures(state, AV_CODEC_ID_MJPEG); }
void BM_H264RepeatedPicture1080p(benchmark::State& state) {
  EncodePictures(state, AV_CODEC_ID_H264, 1920, 1080, 1, 1);
}
// Arguments: picture height (1440 or 2160, 16:9), sliced threads.
void BM_H264Sliced(benchmark::State& state) {
  const int height = static_cast<int>(state.range(0));
  EncodePictures(state, AV_CODEC_ID_H264, height * 16 / 9, height, static_cast<int>(state.range(1)));
}

// The AAC encoder runs on its own worker: each iteration queues 100 blocks
// before starting it and times until all are taken; the time reported is for
// the 100 blocks (divide by 100 for one block).
void BM_Aac100Blocks(benchmark::State& state) {
  const int rate = 44100;
  constexpr int kBlocks = 100;
  std::vector<VrMediaFramePtr> blocks;
  for (int b = 0; b < kBlocks; ++b) {
    VrMediaFramePtr f = VrCreateMediaFrame();
    f->AllocData(4096);
    int16_t* pcm = reinterpret_cast<int16_t*>(f->m_pData);
    for (int i = 0; i < 1024; ++i) {
      const double t = static_cast<double>(b * 1024 + i) / rate;
      pcm[2 * i] = pcm[2 * i + 1] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * t) +
                                                          3000 * std::sin(2 * M_PI * 3100 * t));
    }
    f->m_iMediaType = VR_MEDIA_AUDIO;
    f->m_iChannels = 2;
    f->m_iSampleRate = rate;
    f->m_iBitsPerSample = 16;
    f->m_llTimestamp = 1000 + b * 23;
    blocks.push_back(f);
  }
  VrAudioEncoder enc;
  VrEncodeParams p;
  p.m_iCodecId = AV_CODEC_ID_AAC;
  p.m_iBitRate = 96000;
  p.m_iReserved = rate;
  if (enc.Init(p) != 0) {
    state.SkipWithError("AAC encoder did not open");
    return;
  }
  for (auto _ : state) {
    for (const VrMediaFramePtr& b : blocks) enc.Input(b);
    const auto start = std::chrono::steady_clock::now();
    enc.Start();
    while (enc.QueuedBlocks() > 0) std::this_thread::yield();
    enc.Stop();
    const auto took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(took).count());
  }
}

}  // namespace

BENCHMARK(BM_H264Picture1080p)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_MjpegPicture1080p)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_H264RepeatedPicture1080p)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_H264Sliced)
    ->ArgsProduct({{1440, 2160}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Aac100Blocks)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

BENCHMARK_MAIN();
