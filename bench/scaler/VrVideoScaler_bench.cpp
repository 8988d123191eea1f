// BGRA -> NV12 at the output size: the session's libyuv scaler and libswscale
// (bilinear) side by side on the same pictures, in one run.
//   bench_scaler --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "capture/VrVideoScaler.h"
#include "media/VrAVHandle.h"

namespace {

// A desktop-like picture: gradients with some sharp detail, alpha zero.
VrMediaFramePtr Picture(int w, int h) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  f->AllocData(w * h * 4);
  f->m_iWidth = w;
  f->m_iHeight = h;
  f->m_iBytesPerPixel = 4;
  f->m_iPixelFormat = kVrPixFmtBGRA;
  uint32_t noise = 12345;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = f->m_pData + (size_t(y) * w + x) * 4;
      noise = noise * 1103515245u + 12345u;
      const bool text = ((x / 7 + y / 13) % 5) == 0;
      p[0] = static_cast<uint8_t>(text ? 20 : x * 255 / w);
      p[1] = static_cast<uint8_t>(text ? 20 : y * 255 / h);
      p[2] = static_cast<uint8_t>(text ? 20 : (noise >> 24));
      p[3] = 0;
    }
  }
  return f;
}

void Libyuv(benchmark::State& state, int inW, int inH, int outW, int outH) {
  VrMediaFramePtr in = Picture(inW, inH);
  VrMediaFramePtr out = VrCreateMediaFrame();
  out->AllocData(VrVideoScaler::NV12Size(outW, outH));
  VrVideoScaler scaler(nullptr, outW, outH);
  for (auto _ : state) {
    VrMediaFramePtr r = scaler.Scale(in, out);
    if (!r) {
      state.SkipWithError("scale failed");
      break;
    }
    benchmark::DoNotOptimize(r->m_pData);
    benchmark::ClobberMemory();
  }
}

void Swscale(benchmark::State& state, int inW, int inH, int outW, int outH) {
  VrMediaFramePtr in = Picture(inW, inH);
  VrMediaFramePtr out = VrCreateMediaFrame();
  out->AllocData(VrVideoScaler::NV12Size(outW, outH));
  VrSwsContextPtr sws(sws_getContext(inW, inH, AV_PIX_FMT_BGRA, outW, outH, AV_PIX_FMT_NV12, SWS_BILINEAR,
                            nullptr, nullptr, nullptr));
  if (!sws) {
    state.SkipWithError("sws_getContext failed");
    return;
  }
  const uint8_t* src[4] = {in->m_pData, nullptr, nullptr, nullptr};
  const int srcStride[4] = {inW * 4, 0, 0, 0};
  uint8_t* dst[4] = {out->m_pData, out->m_pData + size_t(outW) * outH, nullptr, nullptr};
  const int dstStride[4] = {outW, (outW + 1) / 2 * 2, 0, 0};
  for (auto _ : state) {
    int rows = sws_scale(sws.get(), src, srcStride, 0, inH, dst, dstStride);
    if (rows != outH) {
      state.SkipWithError("sws_scale failed");
      break;
    }
    benchmark::DoNotOptimize(out->m_pData);
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK_CAPTURE(Libyuv, bgra1080p_to_nv12_1080p, 1920, 1080, 1920, 1080)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Swscale, bgra1080p_to_nv12_1080p, 1920, 1080, 1920, 1080)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Libyuv, bgra1440p_to_nv12_1080p, 2560, 1440, 1920, 1080)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Swscale, bgra1440p_to_nv12_1080p, 2560, 1440, 1920, 1080)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
