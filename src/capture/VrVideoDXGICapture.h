#pragma once
// On Linux: the monitor source driven by X DAMAGE events, reading changed images via MIT-SHM.
// Whole-monitor source driven by screen changes: every tick asks the damage
// watcher for the monitor's next changed image (waiting at most 1 ms) and
// delivers it, or repeats the last frame when nothing changed. start and stop
// run on the capture session's thread; ticks run on the source's periodic
// timer and are the only users of the watcher and the last frame.
#include <cstdint>
#include <memory>

#include "core/VrCapturer.h"
#include "platform/HX_PeriodicTimer.h"
#include "platform/x11/HX_IDamageWatcher.h"

class VrVideoDXGICapture : public VrCapturer {
 public:
  // Reads the monitor index, the output size and the frame rate.
  VrVideoDXGICapture();
  explicit VrVideoDXGICapture(std::unique_ptr<HX_IDamageWatcher> watcher);
  ~VrVideoDXGICapture() override;
  VrVideoDXGICapture(const VrVideoDXGICapture&) = delete;
  VrVideoDXGICapture& operator=(const VrVideoDXGICapture&) = delete;

  // 0; -1 no display; -2 no change tracking; -3 no such monitor or it cannot be watched.
  int start() override;
  void stop() override;

  int InitFactory();
  int InitDevice();
  // True when monitor |index| exists (its description is kept).
  bool get_monitor(int32_t index);
  int CreateDuplicator();
  // Fills |frame|'s payload with the next changed image. False when it could
  // not; true with |code| = kFrameTimeout when nothing changed.
  bool DuplicatorUpdateFrame(const VrMediaFramePtr& frame, int* code);
  void DoCaptureEx();
  void ResendLastFrame(int64_t now);

  void SetManualTicks(bool manual) { m_bManualTicks = manual; }

  static constexpr int32_t kAcquireTimeoutMs = 1;

 private:
  static void OnTick(void* user);
  void DeliverFrame(const VrMediaFramePtr& frame);

  std::unique_ptr<HX_IDamageWatcher> m_pWatcher;
  bool m_bDuplicating = false;
  uint32_t m_uiAdapterIndex = 0;
  int32_t m_iMonitorIndex = 0;
  int64_t m_llWidth = 0;
  int64_t m_llHeight = 0;
  int64_t m_llPeriodMs = 0;
  HX_MonitorDesc m_stOutputDesc;
  HX_ScreenRect m_stOutputRect;
  HX_PeriodicTimer m_timer;
  bool m_bManualTicks = false;
  VrMediaFramePtr m_pLastFrame;
};
