#pragma once
// Debug timing of pictures through the pipeline. Each picture, keyed by its
// capture timestamp, is stamped when the session receives it from the grab,
// when its NV12 picture is ready, when its packet leaves the encoder, when the
// interleaver releases it and when the client list hands it to the first
// session; the time from each stamp to the next is collected per stage and
// summarised as p50/p99. Off unless the environment variable
// OSTREL_STAGE_TIMING names a report file (read once, at the first stamp):
// then the process writes the summary there when it exits. Off, a stamp costs
// one test of a pointer set once. Mark and Report are safe from any thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/HX_Mutex.h"

enum class VrStage : int { kGrabbed = 0, kNV12, kEncoded, kReleased, kSent, kCount };

class VrStageTiming {
 public:
  // Pictures followed at once; a picture still in flight when its slot is
  // reused by a picture this many later is forgotten.
  static constexpr size_t kSlots = 256;
  // Samples kept per stage (about an hour at 50 pictures per second).
  static constexpr size_t kMaxSamples = 200000;

  VrStageTiming() = default;
  VrStageTiming(const VrStageTiming&) = delete;
  VrStageTiming& operator=(const VrStageTiming&) = delete;

  // The process-wide instance when OSTREL_STAGE_TIMING is set, else null.
  static VrStageTiming* Global();
  // Stamps |stage| of the picture captured at |pictureMs| (milliseconds of
  // the monotonic clock) at |nowUs| (microseconds of the same clock). A
  // kGrabbed stamp starts a picture; a kSent stamp ends it and records the
  // intervals when every earlier stage was stamped. Other stamps of a picture
  // that is not followed are ignored, and so is a second stamp of a stage.
  void Mark(VrStage stage, int64_t pictureMs, int64_t nowUs);
  // Pictures whose every stage was stamped.
  size_t Completed() const;
  // One line per interval: name, count, p50 and p99 in milliseconds.
  std::string Report() const;
  // Microseconds of the monotonic clock.
  static int64_t NowUs();

  // Names of the reported intervals, in report order.
  static constexpr int kIntervals = 6;
  static const char* const kIntervalNames[kIntervals];

 private:
  struct Slot {
    int64_t pictureMs = -1;
    int64_t us[static_cast<int>(VrStage::kCount)] = {};
  };

  mutable HX_Mutex m_mutex;
  Slot m_slots[kSlots] HX_GUARDED_BY(m_mutex);
  std::vector<int64_t> m_samples[kIntervals] HX_GUARDED_BY(m_mutex);
};

// Stamps |stage| of the picture captured at |pictureMs| on the process-wide
// instance; nothing when timing is off.
inline void VrMarkStage(VrStage stage, int64_t pictureMs) {
  if (VrStageTiming* timing = VrStageTiming::Global()) timing->Mark(stage, pictureMs, VrStageTiming::NowUs());
}
