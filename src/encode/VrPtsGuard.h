#pragma once
// Puts one output's video on its frame grid (1/fps, the stream's nominal time
// base) with every picture in a slot of its own. Capture ticks are stamped in
// milliseconds, and the capture timer runs a late tick's successor at once,
// so two pictures can fall into one frame slot, or even share a millisecond;
// a muxer, and every reader that works at the frame rate, refuses a
// timestamp that does not advance. A picture whose slot is taken moves to the
// next one while that begins less than a frame after the picture's own time;
// otherwise it is dropped, counted and logged once per episode.
// One instance per output; the muxing thread only.
#include <cstdint>
#include <string>
#include <utility>

class VrPtsGuard {
 public:
  enum class Verdict { kAsIs, kMoved, kDropped };

  // |what| names the stream in the log line ("video of the recording").
  VrPtsGuard(std::string what, int fps)
      : m_strWhat(std::move(what)), m_iFps(fps > 0 ? fps : 25) {}

  // |ms| is the picture's time after the output's zero; |*slot| receives its
  // frame slot (a pts in 1/fps) unless the verdict is kDropped.
  Verdict Admit(int64_t ms, int64_t* slot);
  // A new output (file or connection) starts: no slot is taken.
  void Reset();
  // Pictures dropped since construction.
  uint64_t dropped() const { return m_ullDropped; }
  int fps() const { return m_iFps; }

 private:
  const std::string m_strWhat;
  const int m_iFps;
  bool m_bHaveLast = false;
  int64_t m_llLast = 0;
  bool m_bDropping = false;  // an episode of drops is running
  uint64_t m_ullDropped = 0;
};
