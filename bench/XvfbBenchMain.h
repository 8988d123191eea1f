#pragma once
// The main of a benchmark that needs an X server: starts a private Xvfb of the
// given size, exports it as DISPLAY, hands it to the benchmarks through
// |*server| and runs them. Main thread only.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "support/XvfbServer.h"

inline int OstrelRunBenchmarksOnXvfb(int argc, char** argv, const char* name, int width, int height,
                                     XvfbServer** server) {
  benchmark::Initialize(&argc, argv);
  XvfbServer::Options options;
  options.width = width;
  options.height = height;
  XvfbServer xvfb(options);
  if (!xvfb.ok()) {
    std::fprintf(stderr, "%s: %s\n", name, xvfb.error().c_str());
    return 1;
  }
  xvfb.exportDisplay();
  *server = &xvfb;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  *server = nullptr;
  return 0;
}
