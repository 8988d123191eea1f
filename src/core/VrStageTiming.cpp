#include "core/VrStageTiming.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

const char* const VrStageTiming::kIntervalNames[kIntervals] = {
    "tick->grabbed", "grabbed->nv12", "nv12->encoded", "encoded->released", "released->sent", "tick->sent"};

namespace {
std::string g_reportPath;  // written once, before the instance is published

void WriteGlobalReport() {
  VrStageTiming* timing = VrStageTiming::Global();
  if (timing == nullptr) return;
  if (FILE* f = std::fopen(g_reportPath.c_str(), "w")) {
    std::fputs(timing->Report().c_str(), f);
    std::fclose(f);
  }
}

VrStageTiming* MakeGlobal() {
  const char* path = std::getenv("OSTREL_STAGE_TIMING");
  if (path == nullptr || *path == '\0') return nullptr;
  g_reportPath = path;
  // Never destroyed: stamps may come from threads that outlive main.
  VrStageTiming* timing = new VrStageTiming();
  std::atexit(&WriteGlobalReport);
  return timing;
}

int64_t Percentile(std::vector<int64_t> samples, int percent) {
  if (samples.empty()) return 0;
  const size_t k = (samples.size() - 1) * static_cast<size_t>(percent) / 100;
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(k), samples.end());
  return samples[k];
}
}  // namespace

VrStageTiming* VrStageTiming::Global() {
  static VrStageTiming* const timing = MakeGlobal();
  return timing;
}

int64_t VrStageTiming::NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void VrStageTiming::Mark(VrStage stage, int64_t pictureMs, int64_t nowUs) {
  const int s = static_cast<int>(stage);
  if (s < 0 || s >= static_cast<int>(VrStage::kCount) || pictureMs < 0) return;
  HX_LockGuard lock(m_mutex);
  Slot& slot = m_slots[static_cast<size_t>(pictureMs) % kSlots];
  if (stage == VrStage::kGrabbed) {
    slot = Slot();
    slot.pictureMs = pictureMs;
    slot.us[s] = nowUs;
    return;
  }
  if (slot.pictureMs != pictureMs || slot.us[s] != 0) return;
  slot.us[s] = nowUs;
  if (stage != VrStage::kSent) return;
  for (int i = 0; i < s; ++i) {
    if (slot.us[i] == 0) return;
  }
  const int64_t tickUs = pictureMs * 1000;
  const int64_t values[kIntervals] = {slot.us[0] - tickUs,  slot.us[1] - slot.us[0], slot.us[2] - slot.us[1],
                                      slot.us[3] - slot.us[2], slot.us[4] - slot.us[3], slot.us[4] - tickUs};
  for (int i = 0; i < kIntervals; ++i) {
    if (m_samples[i].size() < kMaxSamples) m_samples[i].push_back(values[i]);
  }
  slot.pictureMs = -1;  // a picture sent again is not counted twice
}

size_t VrStageTiming::Completed() const {
  HX_LockGuard lock(m_mutex);
  return m_samples[0].size();
}

std::string VrStageTiming::Report() const {
  HX_LockGuard lock(m_mutex);
  std::string out;
  char line[128];
  for (int i = 0; i < kIntervals; ++i) {
    std::snprintf(line, sizeof line, "%-18s n %6zu  p50 %7.2f ms  p99 %7.2f ms\n", kIntervalNames[i],
                  m_samples[i].size(), Percentile(m_samples[i], 50) / 1000.0, Percentile(m_samples[i], 99) / 1000.0);
    out += line;
  }
  return out;
}
