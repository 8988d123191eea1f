#pragma once
// On Linux: the polling X source ("GDI" method) that grabs the root window every tick.
// Screen source for a region, a window, or a whole monitor grabbed once per
// tick. start and stop run on the capture session's thread; ticks (see
// VrScreenSource) are the only users of the grabber and the window state.
// The source owns its grabber and window-state back-ends (X11 ones unless
// others are given).
#include <cstdint>
#include <memory>

#include "capture/VrCursorOverlay.h"
#include "capture/VrScreenSource.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/x11/HX_IScreenGrabber.h"
#include "platform/x11/HX_IWindowInfo.h"

class VrVideoCapture : public VrScreenSource {
 public:
  VrVideoCapture();
  VrVideoCapture(std::unique_ptr<HX_IScreenGrabber> grabber,
                 std::unique_ptr<HX_IWindowInfo> windows,
                 std::unique_ptr<HX_ICursorSource> cursor = nullptr);
  ~VrVideoCapture() override;

  // 0, or -1 when the grab cannot be set up, the region is empty (logged) or
  // the frame rate is not positive.
  int start() override;
  void stop() override;

  // Region and window set-up: 0, -1 no display, -2 no valid target window.
  int InitGdi();
  // Whole-monitor set-up for the configured monitor index: 0 or -1.
  int InitD3D9();
  // One tick by hand (manual ticks). Either name runs the grab start chose:
  // the region or window one, or the whole-monitor one.
  void DoCaptureEx() { Tick(); }
  void DoCaptureEx2() { Tick(); }

 private:
  // Runs the grab start chose; the grabs keep the names their log lines carry.
  int GrabNext(int64_t now, VrMediaFramePtr* picture) override;
  // The region or window grab (a black picture for a minimised window, the
  // last one for a vanished window or a lost display); kNoChange when no
  // frame can be allocated or the grab fails.
  int DoCaptureEx(int64_t now, VrMediaFramePtr* picture);
  // The whole-monitor grab (a black picture on the tick a changed layout is
  // rebuilt, the last picture while the display is away); kNoChange when no
  // frame can be allocated or the grab fails.
  int DoCaptureEx2(int64_t now, VrMediaFramePtr* picture);
  bool TargetAlive();
  // Grabs the screen rectangle at |left|,|top| of |frame|'s size into it and
  // draws the pointer over it; false (the failure logged) when the grab failed.
  bool GrabWithPointer(int64_t now, int32_t left, int32_t top, VrMediaFrame* frame);
  // A grab that failed with |rc|: starts a display-loss episode when the
  // connection broke, else logs once per run of failures.
  void GrabFailed(int64_t now, int rc);
  // Once a second while the display is lost: connects again. True when it is back.
  bool Reconnect(int64_t now);
  // The target window has gone (or the display took it along): one line.
  void WindowGone();
  // The region or window size of this tick was empty: one line per episode.
  void EmptyArea(int32_t w, int32_t h);

  std::unique_ptr<HX_IScreenGrabber> m_pGrabber;
  std::unique_ptr<HX_IWindowInfo> m_pWindows;
  bool m_bWindowsOpen = false;
  int32_t m_iCaptureMode = 0;
  int32_t m_iCaptureMethod = 0;
  HX_Rect m_stRegion;
  int32_t m_iCaptureWidth = 0;
  int32_t m_iCaptureHeight = 0;
  bool m_bWholeMonitor = false;  // chosen at start: which grab the ticks run
  int32_t m_iScreenWidth = 0;
  int32_t m_iScreenHeight = 0;
  int64_t m_llFrameBytes = 0;
  HX_WindowId m_uiTargetWindow = 0;
  HX_ScreenRect m_stMonitorRect;  // the monitor's desktop rectangle
  bool m_bMonitorReady = false;   // the whole-monitor grab is set up
  bool m_bWindowGone = false;     // said once; the last picture stands from then on
  bool m_bEmptyArea = false;      // one line per episode of an empty area
  bool m_bGrabFailing = false;    // one line per run of failed grabs
  VrCursorOverlay m_cursor;
};
