#pragma once
// On Linux: the polling X source ("GDI" method) that grabs the root window every tick.
// Screen source for a region, a window, or a whole monitor grabbed once per
// tick. start and stop run on the capture session's thread; ticks run on the
// source's own periodic timer, one at a time, and are the only users of the
// grabber, the window state and the last frame. The source owns its grabber
// and window-state back-ends (X11 ones unless others are given).
#include <cstdint>
#include <memory>

#include "config/HX_ServerConfiguration.h"
#include "core/VrCapturer.h"
#include "platform/HX_PeriodicTimer.h"
#include "platform/x11/HX_IScreenGrabber.h"
#include "platform/x11/HX_IWindowInfo.h"

class VrVideoCapture : public VrCapturer {
 public:
  VrVideoCapture();
  VrVideoCapture(std::unique_ptr<HX_IScreenGrabber> grabber,
                 std::unique_ptr<HX_IWindowInfo> windows);
  ~VrVideoCapture() override;
  VrVideoCapture(const VrVideoCapture&) = delete;
  VrVideoCapture& operator=(const VrVideoCapture&) = delete;

  // 0, or -1 when the grab cannot be set up (or the frame rate is not positive).
  int start() override;
  void stop() override;

  // Region and window set-up: 0, -1 no display, -2 no valid target window.
  int InitGdi();
  // Whole-monitor set-up for the configured monitor index: 0 or -1.
  int InitD3D9();
  // One region or window tick.
  void DoCaptureEx();
  // One whole-monitor tick.
  void DoCaptureEx2();
  // Delivers a copy of the last frame stamped |now|; nothing before the first frame.
  void ResendLastFrame(int64_t now);

  // With manual ticks start sets everything up but starts no timer; the
  // owner calls the tick itself (tests and benchmarks).
  void SetManualTicks(bool manual) { m_bManualTicks = manual; }

 private:
  static void OnRegionTick(void* user);
  static void OnMonitorTick(void* user);
  void DeliverFrame(const VrMediaFramePtr& frame);
  bool TargetAlive();

  std::unique_ptr<HX_IScreenGrabber> m_pGrabber;
  std::unique_ptr<HX_IWindowInfo> m_pWindows;
  bool m_bWindowsOpen = false;
  int32_t m_iCaptureMode = 0;
  int32_t m_iCaptureMethod = 0;
  HX_Rect m_stRegion;
  int32_t m_iCaptureWidth = 0;
  int32_t m_iCaptureHeight = 0;
  int64_t m_llPeriodMs = 0;
  HX_PeriodicTimer m_timer;
  bool m_bManualTicks = false;
  int32_t m_iScreenWidth = 0;
  int32_t m_iScreenHeight = 0;
  int64_t m_llFrameBytes = 0;
  HX_WindowId m_uiTargetWindow = 0;
  HX_ScreenRect m_stMonitorRect;  // the monitor's desktop rectangle
  bool m_bMonitorReady = false;   // the whole-monitor grab is set up
  VrMediaFramePtr m_pLastFrame;
};
