// Per-frame cost of the screen sources at 1920x1080, against a private Xvfb
// started by the program itself:
//   - one full-screen grab through MIT-SHM and through plain GetImage;
//   - one region tick of VrVideoCapture (grab plus frame record);
//   - one damage-driven tick of VrVideoDXGICapture after a change, and one
//     on a static screen (the 1 ms wait, then a repeat of the last frame).
// "CPU" is this process's CPU time; the X server's own work shows only in "Time".
//   bench_capture --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "capture/VrVideoCapture.h"
#include "capture/VrVideoDXGICapture.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/x11/HX_X11ScreenGrabber.h"
#include "platform/x11/X11TestScene.h"
#include "../XvfbBenchMain.h"
#include "support/XvfbServer.h"

namespace {
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

XvfbServer* g_pServer = nullptr;

int DropFrame(VrMediaFramePtr, void*) { return 0; }

void Grab(benchmark::State& state, bool shm) {
  HX_X11ScreenGrabber grabber(shm);
  if (grabber.open() != 0) {
    state.SkipWithError("no display");
    return;
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(kWidth) * kHeight * 4);
  for (auto _ : state) {
    if (grabber.grab(0, 0, kWidth, kHeight, buffer.data()) != 0) {
      state.SkipWithError("grab failed");
      return;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight * 4);
  state.SetLabel(grabber.usingShm() ? "MIT-SHM" : "GetImage");
}

void RegionTick(benchmark::State& state) {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  cfg->m_iCaptureMode = kCaptureRegion;
  cfg->m_strTargetName = "DISPLAY";
  cfg->setCaptureRegion(0, 0, kWidth, kHeight);
  VrVideoCapture source;
  source.SetManualTicks(true);
  source.m_pCallback = &DropFrame;
  source.m_pContext = &source;
  if (source.start() != 0) {
    state.SkipWithError("start failed");
    return;
  }
  for (auto _ : state) source.DoCaptureEx();
  source.stop();
}

void DamageTick(benchmark::State& state, bool changing) {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  cfg->m_iCaptureMode = kCaptureFullScreen;
  cfg->m_iFullScreenMethod = kMethodDXGI;
  cfg->setOutputSize(kWidth, kHeight);
  X11TestScene scene(g_pServer->display());
  const uint32_t window = scene.createApp(100, 100, 800, 600, 0x336699, "bench");
  VrVideoDXGICapture source;
  source.SetManualTicks(true);
  source.m_pCallback = &DropFrame;
  source.m_pContext = &source;
  if (source.start() != 0) {
    state.SkipWithError("start failed");
    return;
  }
  source.DoCaptureEx();  // the first tick always grabs
  uint32_t colour = 0;
  for (auto _ : state) {
    if (changing) {
      state.PauseTiming();
      scene.fill(window, (colour++ & 1) ? 0x336699 : 0x996633);
      state.ResumeTiming();
    }
    source.DoCaptureEx();
  }
  source.stop();
}
}  // namespace

BENCHMARK_CAPTURE(Grab, Shm1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Grab, GetImage1080p, false)->Unit(benchmark::kMillisecond);
BENCHMARK(RegionTick)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DamageTick, Changed1080p, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DamageTick, Static1080p, false)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  return OstrelRunBenchmarksOnXvfb(argc, argv, "bench_capture", kWidth, kHeight, &g_pServer);
}
