#include "core/VrStageTiming.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {
// Stamps every stage of the picture captured at |ms|, |stepUs| apart after
// the grab (which comes 500 us after the tick).
void FullPicture(VrStageTiming* t, int64_t ms, int64_t stepUs) {
  int64_t us = ms * 1000 + 500;
  for (int s = 0; s < static_cast<int>(VrStage::kCount); ++s, us += stepUs) t->Mark(static_cast<VrStage>(s), ms, us);
}

// The report line of |interval|.
std::string Line(const std::string& report, const std::string& interval) {
  const size_t at = report.find(interval + " ");
  if (at == std::string::npos) return "";
  return report.substr(at, report.find('\n', at) - at);
}
}  // namespace

TEST(VrStageTiming, IntervalsOfCompletePicturesAreReportedAsPercentiles) {
  VrStageTiming t;
  for (int i = 1; i <= 100; ++i) FullPicture(&t, 1000 + 20 * i, i * 10);  // 10 us .. 1 ms per stage
  EXPECT_EQ(t.Completed(), 100u);
  const std::string report = t.Report();
  EXPECT_NE(Line(report, "tick->grabbed").find("n    100  p50    0.50 ms  p99    0.50 ms"), std::string::npos) << report;
  EXPECT_NE(Line(report, "grabbed->nv12").find("p50    0.50 ms  p99    0.99 ms"), std::string::npos) << report;
  EXPECT_NE(Line(report, "released->sent").find("p99    0.99 ms"), std::string::npos) << report;
  // Four steps after the grab.
  EXPECT_NE(Line(report, "tick->sent").find("p50    2.50 ms  p99    4.46 ms"), std::string::npos) << report;
}

TEST(VrStageTiming, IncompleteRepeatedOrStrayStampsCountNothing) {
  VrStageTiming t;
  // No grab: a picture that is not followed.
  for (int s = 1; s < static_cast<int>(VrStage::kCount); ++s) t.Mark(static_cast<VrStage>(s), 5000, 6000000);
  // A stage skipped (never encoded).
  t.Mark(VrStage::kGrabbed, 6000, 6000100);
  t.Mark(VrStage::kNV12, 6000, 6000200);
  t.Mark(VrStage::kSent, 6000, 6000300);
  EXPECT_EQ(t.Completed(), 0u);

  FullPicture(&t, 7000, 100);
  t.Mark(VrStage::kSent, 7000, 9000000);  // sent again: counted once
  EXPECT_EQ(t.Completed(), 1u);

  // A later picture in the same slot replaces one still in flight.
  t.Mark(VrStage::kGrabbed, 8000, 8000100);
  FullPicture(&t, 8000 + static_cast<int64_t>(VrStageTiming::kSlots), 100);
  t.Mark(VrStage::kNV12, 8000, 8000200);
  EXPECT_EQ(t.Completed(), 2u);
  t.Mark(VrStage::kGrabbed, -1, 1);  // before the clock's start: ignored
  t.Mark(VrStage::kCount, 9000, 1);
  EXPECT_EQ(t.Completed(), 2u);
}

TEST(VrStageTiming, StagesStampedFromSeveralThreadsComplete) {
  VrStageTiming t;
  constexpr int kPictures = 2000;
  // Each stage on its own thread, as in the pipeline; a stage runs only after
  // the one before it stamped the picture.
  std::vector<std::thread> threads;
  std::atomic<int> done[static_cast<int>(VrStage::kCount)] = {};
  for (int s = 0; s < static_cast<int>(VrStage::kCount); ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < kPictures; ++i) {
        while (s > 0 && done[s - 1].load() <= i) std::this_thread::yield();
        t.Mark(static_cast<VrStage>(s), 1000 + i, (1000 + i) * 1000 + 100 * (s + 1));
        done[s].store(i + 1);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  // Slots are reused after kSlots pictures; the grab thread may run that far
  // ahead, and then a picture is forgotten rather than mixed up.
  EXPECT_GT(t.Completed(), 0u);
  EXPECT_LE(t.Completed(), static_cast<size_t>(kPictures));
  EXPECT_NE(Line(t.Report(), "tick->sent").find("p50    0.50 ms  p99    0.50 ms"), std::string::npos) << t.Report();
}
