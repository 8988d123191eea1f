#pragma once
// Puts the samples a sound device hands over on the monotonic millisecond
// clock the pictures are stamped with. The count gives the spacing, the time
// each read returned the position: the last sample of a read cannot have
// been captured after the read returned, so a
// count that runs ahead of the clock moves the anchor back at once, and one
// that stays behind it (samples lost before they reached us: a server buffer
// that overflowed, a sink that slept) moves it forward, leaving a gap where
// the lost samples were. A backlog read in a burst after a stall keeps its
// count-based times: it is neither squeezed nor spread.
// One owner thread (the capture thread); no locking.
#include <cstdint>

class VrCaptureClock {
 public:
  // A lag of more than one block that lasts this long, over at least
  // kLossReads reads, is samples lost rather than reads held up.
  static constexpr int64_t kLossConfirmMs = 100;
  static constexpr int kLossReads = 4;
  // A read this far behind the count cannot be a backlog the device held
  // (its buffers hold far less): the sound stopped and came back.
  static constexpr int64_t kResumeLagMs = 500;

  // |rate| samples per second; |blockSamples| is the lag one block stands for.
  VrCaptureClock(int32_t rate, int32_t blockSamples);

  // |samples| more samples were read, the read returning at |nowMs|.
  void OnRead(int64_t samples, int64_t nowMs);
  // The clock time of sample |position| (counted from the first sample read).
  int64_t TimeOf(int64_t position) const;
  // Samples read so far.
  int64_t Position() const { return m_llRead; }
  // Times the anchor moved forward over lost samples.
  uint64_t Gaps() const { return m_ullGaps; }

 private:
  void AnchorEndAt(int64_t nowMs);

  const int32_t m_iRate;
  const int64_t m_llBlockMs;
  bool m_bAnchored = false;
  int64_t m_llAnchorPos = 0;
  int64_t m_llAnchorMs = 0;
  int64_t m_llRead = 0;
  // A lag of more than one block: since when, how many reads, the least seen.
  bool m_bLagging = false;
  int64_t m_llLagSinceMs = 0;
  int m_iLagReads = 0;
  int64_t m_llMinLagMs = 0;
  uint64_t m_ullGaps = 0;
};
