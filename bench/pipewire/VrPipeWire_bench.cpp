// Costs of the Wayland screen source at 1280x720, the size of the headless
// desktop the portal casts:
//   - Convert: one buffer of the stream to the BGRA slot (BGRx is a row copy,
//     RGBx a byte swap through libyuv);
//   - Receive30fps: five seconds of a 30 fps BGRx producer on a private
//     PipeWire daemon, received by VrPipeWireCapture ticked at 30 fps (the
//     stream's copy on the loop thread plus the tick's copy into the record).
//     "cpu_pct" is this process's CPU time over the wall time; the producer's
//     and the daemon's work are not in it.
//   bench_pipewire --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>
#include <vector>

#include "capture/VrPipeWireCapture.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/pipewire/HX_PipeWirePicture.h"
#include "support/PipeWireServer.h"

namespace {
constexpr int kWidth = 1280;
constexpr int kHeight = 720;

void Convert(benchmark::State& state, HX_PipeWirePixels pixels) {
  std::vector<uint8_t> buffer(static_cast<size_t>(kWidth) * kHeight * 4, 0x5a);
  HX_PipeWireBufferView view;
  view.m_ePixels = pixels;
  view.m_iWidth = kWidth;
  view.m_iHeight = kHeight;
  view.m_pData = buffer.data();
  view.m_uiMaxSize = static_cast<uint32_t>(buffer.size());
  view.m_uiChunkSize = view.m_uiMaxSize;
  view.m_iChunkStride = kWidth * 4;
  HX_PipeWirePicture picture;
  for (auto _ : state) {
    if (HX_ConvertBuffer(view, &picture) != 0) {
      state.SkipWithError("conversion refused the buffer");
      return;
    }
    benchmark::DoNotOptimize(picture.m_vPixels.data());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight * 4);
}

// The one daemon's session; a portal that grants the producer's node.
class GrantNode : public HX_IScreenCastPortal {
 public:
  explicit GrantNode(uint32_t node) : m_uiNode(node) {}
  int Open(const HX_ScreenCastRequest&, HX_ScreenCastGrant* grant, std::string*) override {
    grant->m_uiNodeId = m_uiNode;
    return 0;
  }
  void Close() override {}

 private:
  uint32_t m_uiNode;
};

int CountFrame(VrMediaFramePtr, void* context) {
  ++*static_cast<int64_t*>(context);
  return 0;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Receive30fps(benchmark::State& state) {
  PipeWireServer server;
  if (!server.ready()) {
    state.SkipWithError(("no private PipeWire daemon: " + server.error()).c_str());
    return;
  }
  PipeWireServer::Producer p;
  p.width = kWidth;
  p.height = kHeight;
  const uint32_t node = server.StartProducer("bench", p);
  if (node == 0) {
    state.SkipWithError(server.error().c_str());
    return;
  }
  HX_ServerConfiguration::instance()->m_iFps = 30;
  VrPipeWireCapture source(std::make_unique<GrantNode>(node), VrPipeWireCapture::Options());
  int64_t frames = 0;
  source.m_pCallback = &CountFrame;
  source.m_pContext = &frames;
  source.SetManualTicks(true);
  if (source.start() != 0) {
    state.SkipWithError("start failed");
    return;
  }
  int64_t pictures = 0;
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    // Settle first: the link and the first buffers.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    auto next = t0;
    for (int i = 0; i < 150; ++i) {
      next += std::chrono::microseconds(33333);
      std::this_thread::sleep_until(next);
      pictures += source.Tick() == VrScreenSource::kNewPicture;
    }
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += CpuSeconds() - cpu0;
  }
  source.stop();
  state.counters["cpu_pct"] = 100.0 * cpu / wall;
  state.counters["new_pictures_pct"] = 100.0 * double(pictures) / (150.0 * double(state.iterations()));
  state.counters["cpu_ms_per_picture"] = pictures > 0 ? 1000.0 * cpu / double(pictures) : 0.0;
}
}  // namespace

BENCHMARK_CAPTURE(Convert, BGRx720p, HX_PipeWirePixels::kBGRx)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Convert, RGBx720p, HX_PipeWirePixels::kRGBx)->Unit(benchmark::kMicrosecond);
BENCHMARK(Receive30fps)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
