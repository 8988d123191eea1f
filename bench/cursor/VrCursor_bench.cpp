// The pointer's cost per 1920x1080 picture, against a private Xvfb started by
// the program itself, next to the grab it is added to (same run, same server):
//   - Grab/Shm1080p: one full-screen MIT-SHM grab (the reference);
//   - PointerStill: one overlay step with a pointer that did not move (the
//     position query, then blending a 32x32 pointer into the picture);
//   - PointerMoving: the same while the pointer moves between pictures (the
//     damage source's case: the pointer taken out of a copy and put back);
//   - PointerNewShape: a new cursor image every picture (the image fetch).
// The overlay cost target is under 0.2 ms per picture.
//   bench_cursor --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "capture/VrCursorOverlay.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/x11/HX_X11ScreenGrabber.h"
#include "platform/x11/X11TestScene.h"
#include "../XvfbBenchMain.h"
#include "support/XvfbServer.h"

namespace {
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPointer = 32;

XvfbServer* g_pServer = nullptr;

void Grab(benchmark::State& state) {
  HX_X11ScreenGrabber grabber(true);
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
  state.SetLabel(grabber.usingShm() ? "MIT-SHM" : "GetImage");
}

enum class Pointer { kStill, kMoving, kNewShape };

void Overlay(benchmark::State& state, Pointer mode) {
  HX_ServerConfiguration::instance()->resetToDefaults();  // CaptureCursor on
  X11TestScene scene(g_pServer->display());
  scene.setRootCursor(kPointer, kPointer, 4, 4, 0xFFFFFF);
  scene.warpPointer(960, 540);
  VrCursorOverlay overlay;
  overlay.Start();
  if (!overlay.enabled()) {
    state.SkipWithError("the pointer cannot be read");
    return;
  }
  VrMediaFrame picture;
  if (!picture.AllocData(kWidth * kHeight * 4)) {
    state.SkipWithError("no memory");
    return;
  }
  picture.m_iWidth = kWidth;
  picture.m_iHeight = kHeight;
  overlay.Poll();
  overlay.Draw(picture, 0, 0);
  int step = 0;
  for (auto _ : state) {
    if (mode != Pointer::kStill) {
      state.PauseTiming();
      ++step;
      if (mode == Pointer::kMoving) scene.warpPointer(900 + (step & 63), 540);
      else scene.setRootCursor(kPointer - (step & 1), kPointer, 4, 4, 0xFFFFFF);
      state.ResumeTiming();
    }
    overlay.Poll();
    if (mode == Pointer::kMoving) overlay.Redraw(picture, 0, 0);
    else overlay.Draw(picture, 0, 0);
    benchmark::DoNotOptimize(picture.m_pData);
  }
  overlay.Stop();
}
}  // namespace

BENCHMARK(Grab)->Name("Grab/Shm1080p")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Overlay, PointerStill, Pointer::kStill)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Overlay, PointerMoving, Pointer::kMoving)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Overlay, PointerNewShape, Pointer::kNewShape)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  return OstrelRunBenchmarksOnXvfb(argc, argv, "bench_cursor", kWidth, kHeight, &g_pServer);
}
