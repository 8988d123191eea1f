#pragma once
// On Linux: the monitor source driven by X DAMAGE events, reading changed images via MIT-SHM.
// Whole-monitor source driven by screen changes: every tick asks the damage
// watcher for the monitor's next changed image (waiting at most 1 ms); when
// nothing changed the base repeats the last frame, or, when only the pointer
// moved, the last frame with the pointer moved. A changed screen layout
// rebuilds the watcher at once and follows the monitor's new size; a lost
// display is tried again every second while the last frame stands. start and stop run on the
// capture session's thread; ticks (see VrScreenSource) are the only users of
// the watcher.
#include <cstdint>
#include <memory>

#include "capture/VrCursorOverlay.h"
#include "capture/VrScreenSource.h"
#include "platform/x11/HX_IDamageWatcher.h"

class VrVideoDXGICapture : public VrScreenSource {
 public:
  // Reads the monitor index, the output size and the frame rate.
  VrVideoDXGICapture();
  explicit VrVideoDXGICapture(std::unique_ptr<HX_IDamageWatcher> watcher,
                              std::unique_ptr<HX_ICursorSource> cursor = nullptr);
  ~VrVideoDXGICapture() override;

  // 0; -1 no display; -2 no change tracking; -3 no such monitor or it cannot be watched.
  int start() override;
  void stop() override;

  int InitFactory();
  int InitDevice();
  // True when monitor |index| exists (its description is kept).
  bool get_monitor(int32_t index);
  int CreateDuplicator();
  // Fills |frame|'s payload with the next changed image. False when it could
  // not (|code| kAccessLost: the watcher must be rebuilt); true with |code| =
  // kFrameTimeout when nothing changed.
  bool DuplicatorUpdateFrame(const VrMediaFramePtr& frame, int* code);
  // One tick by hand (manual ticks).
  void DoCaptureEx() { Tick(); }

  static constexpr int32_t kAcquireTimeoutMs = 1;

 private:
  // The tick's step keeps the name its log lines carry.
  int GrabNext(int64_t now, VrMediaFramePtr* picture) override { return DoCaptureEx(now, picture); }
  // The changed image, or kNoChange (nothing changed, or the watcher failed:
  // the last frame stands); -1 when no frame can be allocated.
  int DoCaptureEx(int64_t now, VrMediaFramePtr* picture);
  // Builds the watcher again after lost access: 0 at once when only the
  // layout changed (one line with the monitor's new rectangle); else the
  // loss episode starts (or goes on) and the next try waits a second.
  int Rebuild(int64_t now);
  // Only the pointer moved: the last frame with the pointer at its new place.
  int MovePointer(int64_t now, VrMediaFramePtr* picture);
  // The frame size for monitor rectangle |rect|: its even top-left part.
  void TakeMonitorSize(const HX_ScreenRect& rect);

  std::unique_ptr<HX_IDamageWatcher> m_pWatcher;
  bool m_bDuplicating = false;
  uint32_t m_uiAdapterIndex = 0;
  int32_t m_iMonitorIndex = 0;
  int64_t m_llWidth = 0;
  int64_t m_llHeight = 0;
  int32_t m_iFps = 0;
  HX_MonitorDesc m_stOutputDesc;
  HX_ScreenRect m_stOutputRect;
  bool m_bQuietSetUp = false;  // rebuild attempts log nothing of their own
  VrCursorOverlay m_cursor;
};
