#pragma once
// The base of every screen source. It owns the tick: the periodic timer (or
// manual ticks), the last frame, delivery through VrCapturer::Deliver and the
// repeat of the last frame when a tick brings nothing new. A source adds only
// its way of getting pixels (GrabNext) and its own start and stop.
// Threads: start, stop and SetManualTicks run on the owner's thread (the
// capture session's). Ticks run one at a time: on the timer's thread, or, with
// manual ticks, on the thread that calls Tick — never both. Ticks alone use
// the last frame and whatever GrabNext uses. StopTicks returns only when no
// tick can run any more, so a source's stop may release what GrabNext uses
// right after it; a source's destructor calls its stop first.
#include <atomic>
#include <cstdint>
#include <string>

#include "core/VrCapturer.h"
#include "platform/HX_PeriodicTimer.h"

class VrScreenSource : public VrCapturer {
 public:
  // What GrabNext found; negative values are the source's own error codes.
  static constexpr int kNewPicture = 1;
  static constexpr int kNoChange = 0;
  // Tick refused: without manual ticks the timer owns the ticks.
  static constexpr int kNotManual = -100;

  VrScreenSource() = default;
  ~VrScreenSource() override;
  VrScreenSource(const VrScreenSource&) = delete;
  VrScreenSource& operator=(const VrScreenSource&) = delete;

  // With manual ticks start sets everything up but starts no timer; the owner
  // calls Tick itself (tests and benchmarks). 0, or -1 while the timer runs.
  int SetManualTicks(bool manual);
  // One tick by hand: GrabNext's result, or kNotManual (nothing grabbed)
  // when ticks are not manual.
  int Tick();
  // The same at a given clock time, so tests and benchmarks can step through
  // the once-a-second retries of a lost display without waiting.
  int TickAt(int64_t now);

  // A lost display (or monitor) is tried again this often.
  static constexpr int64_t kLostRetryMs = 1000;
  // The clock time (ms) since which the source has had nothing to capture
  // (display or monitor lost), or -1 while it has. Safe from any thread.
  int64_t lostSince() const { return m_llLostSince.load(); }

 protected:
  // Gets the next picture for the tick that started at |now|. Returns
  //  - kNewPicture with |*picture| set: it is delivered and becomes the last frame;
  //  - kNoChange: nothing new to show (or this tick's picture could not be made
  //    and the last one stands). |*picture|, if set, is released, then a
  //    record stamped |now| sharing the last frame's pixels is delivered (none
  //    before the first picture); no pixels are copied for a repeat;
  //  - a negative code, logged by the source: the tick delivers nothing.
  virtual int GrabNext(int64_t now, VrMediaFramePtr* picture) = 0;

  // Ticks every 1000 / |fps| ms (every millisecond above 1000 frames per
  // second). 0, or -1 with one log line when |fps| is not positive.
  int SetFrameRate(int32_t fps);
  // Starts ticking at the frame rate, unless ticks are manual: 0 or -1 (logged).
  int StartTicks();
  // Idempotent; see the threading note above.
  void StopTicks();

  // A record of w x h top-down BGRA (stride w * 4) with its payload, stamped
  // |now| and carrying the capture mode and method. Null when the record or
  // its payload cannot be allocated.
  static VrMediaFramePtr NewPicture(int32_t width, int32_t height, int32_t captureMode,
                                    int32_t captureMethod, int64_t now);
  // Starts a loss episode at |now| with one ERROR naming |what| ("the X
  // display \":1\"", "monitor 0 (DP-1)"); later calls in the same episode
  // only keep its start.
  void MarkLost(int64_t now, const std::string& what);
  // Ends the episode with one line.
  void MarkFound();
  bool lost() const { return m_llLostSince.load() >= 0; }
  // During an episode: true at most once per kLostRetryMs, when a rebuild is due.
  bool RetryDue(int64_t now);
  // The last picture delivered (null before the first); tick only.
  const VrMediaFramePtr& LastFrame() const { return m_pLastFrame; }

  // |v| rounded down to an even number, sign dropped (frame sizes must be even
  // for the NV12 conversion downstream).
  static int32_t Even(int32_t v);

 private:
  static void OnTimer(void* user);
  int RunTick(int64_t now);
  // Delivers the last frame's pixels again stamped |now|; nothing before the first picture.
  void ResendLastFrame(int64_t now);

  HX_PeriodicTimer m_timer;
  std::atomic<bool> m_bManualTicks{false};
  uint32_t m_uiPeriodMs = 0;
  VrMediaFramePtr m_pLastFrame;
  std::atomic<int64_t> m_llLostSince{-1};
  std::string m_strLost;        // what the current episode lost
  int64_t m_llLastRetry = 0;    // tick only
};
