#include "capture/VrCaptureClock.h"

#include <gtest/gtest.h>

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 1024;

// Reads of 480 samples (10 ms), each returning |lateMs| after its last
// sample; returns the read time of the last one.
int64_t ReadSteadily(VrCaptureClock* clock, int64_t firstEndMs, int count, int64_t lateMs = 0) {
  int64_t end = firstEndMs;
  for (int i = 0; i < count; ++i, end += 10) clock->OnRead(480, end + lateMs);
  return end - 10 + lateMs;
}

TEST(VrCaptureClockTest, SteadyReadsGiveEvenlySpacedTimesEndingAtTheRead) {
  VrCaptureClock clock(kRate, kBlock);
  ReadSteadily(&clock, 1000, 100);
  // The first read ended at 1000 ms: its first sample is 10 ms earlier.
  EXPECT_EQ(clock.TimeOf(0), 990);
  EXPECT_EQ(clock.TimeOf(48000), 1990);
  EXPECT_EQ(clock.TimeOf(clock.Position()), 1990);
  EXPECT_EQ(clock.Gaps(), 0u);
}

TEST(VrCaptureClockTest, ABacklogReadInABurstAfterAStallKeepsItsSpacing) {
  VrCaptureClock clock(kRate, kBlock);
  ReadSteadily(&clock, 1000, 50);  // up to 1490
  // 80 ms without a read, then the eight waiting packets within 2 ms.
  for (int i = 0; i < 8; ++i) clock.OnRead(480, 1580 + i / 4);
  // Then the reads are on time again.
  ReadSteadily(&clock, 1580, 20);
  EXPECT_EQ(clock.TimeOf(50 * 480), 1490);          // the first sample of the backlog
  EXPECT_EQ(clock.TimeOf(58 * 480), 1570);          // eight packets later, not 2 ms
  EXPECT_EQ(clock.TimeOf(clock.Position()), 1770);  // and the clock kept
  EXPECT_EQ(clock.Gaps(), 0u);
}

TEST(VrCaptureClockTest, SamplesLostBeforeTheReadLeaveAGapOfTheirLength) {
  VrCaptureClock clock(kRate, kBlock);
  ReadSteadily(&clock, 1000, 50);
  const int64_t before = clock.Position();
  const int64_t endBefore = clock.TimeOf(before);  // 1490
  // 60 ms of sound never arrive (an overflowed server buffer): the reads go
  // on, on time, with the count 60 ms behind.
  ReadSteadily(&clock, 1560, 30);
  EXPECT_EQ(clock.Gaps(), 1u);
  EXPECT_EQ(clock.TimeOf(clock.Position()), 1850);
  // The sound after the gap is stamped 60 ms after the sound before it
  // ended, a block and more later than a contiguous count would put it.
  EXPECT_EQ(clock.TimeOf(before + 30 * 480) - endBefore, 360);
}

TEST(VrCaptureClockTest, ReadsThatAreLateButCatchUpMoveNothing) {
  VrCaptureClock clock(kRate, kBlock);
  ReadSteadily(&clock, 1000, 20);
  // Five reads each 40 ms late within 60 ms, then the reads are on time:
  // a loaded machine, not lost sound.
  ReadSteadily(&clock, 1200, 5, 40);
  ReadSteadily(&clock, 1250, 50);
  EXPECT_EQ(clock.Gaps(), 0u);
  EXPECT_EQ(clock.TimeOf(clock.Position()), 1740);
}

TEST(VrCaptureClockTest, SoundThatComesBackAfterAPauseIsStampedWhenItCame) {
  VrCaptureClock clock(kRate, kBlock);
  ReadSteadily(&clock, 1000, 10);
  const int64_t paused = clock.Position();
  ReadSteadily(&clock, 5000, 10);  // a sink that slept four seconds
  EXPECT_EQ(clock.Gaps(), 1u);
  EXPECT_EQ(clock.TimeOf(paused), 4990);
}

TEST(VrCaptureClockTest, ACountAheadOfTheClockIsPulledBackAtOnce) {
  VrCaptureClock clock(kRate, kBlock);
  // The first read came 30 ms after its sound ended; the next one, 40 ms of
  // sound, is on time: no sample can have been captured after its read
  // returned, so the first read's sound is placed 30 ms earlier.
  clock.OnRead(480, 1030);
  clock.OnRead(1920, 1040);
  EXPECT_EQ(clock.TimeOf(clock.Position()), 1040);
  EXPECT_EQ(clock.TimeOf(0), 990);
  EXPECT_EQ(clock.Gaps(), 0u);
}

}  // namespace
