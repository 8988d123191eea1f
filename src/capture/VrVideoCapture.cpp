#include "capture/VrVideoCapture.h"

#include <cstring>

#include "capture/VrWindowList.h"
#include "log/HX_Log.h"
#include "platform/x11/HX_X11Display.h"

namespace {
std::string DisplayText() { return "the X display \"" + HX_X11DisplayName() + "\""; }
}  // namespace

VrVideoCapture::VrVideoCapture() = default;

VrVideoCapture::VrVideoCapture(std::unique_ptr<HX_IScreenGrabber> grabber,
                               std::unique_ptr<HX_IWindowInfo> windows,
                               std::unique_ptr<HX_ICursorSource> cursor)
    : m_pGrabber(std::move(grabber)), m_pWindows(std::move(windows)), m_cursor(std::move(cursor)) {}

VrVideoCapture::~VrVideoCapture() { stop(); }

int VrVideoCapture::start() {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  m_iCaptureMode = cfg->m_iCaptureMode;
  m_iCaptureMethod = cfg->m_iFullScreenMethod;
  cfg->getCaptureRegion(&m_stRegion.left, &m_stRegion.top, &m_stRegion.right, &m_stRegion.bottom);
  cfg->getOutputSize(&m_iCaptureWidth, &m_iCaptureHeight);
  if (SetFrameRate(cfg->m_iFps) != 0) return -1;
  if (m_iCaptureMode == kCaptureRegion) {
    const int32_t w = Even(m_stRegion.right - m_stRegion.left);
    const int32_t h = Even(m_stRegion.bottom - m_stRegion.top);
    if (w <= 0 || h <= 0) {
      HX_LOG_ERROR("the capture region (%d,%d)-(%d,%d) is empty: choose a region of at least 2 x 2 pixels",
                   m_stRegion.left, m_stRegion.top, m_stRegion.right, m_stRegion.bottom);
      return -1;
    }
  }
  m_bWholeMonitor = m_iCaptureMode != kCaptureWindow && m_iCaptureMode != kCaptureRegion;
  if (m_bWholeMonitor ? InitD3D9() < 0 : InitGdi() != 0) return -1;
  m_bWindowGone = m_bEmptyArea = m_bGrabFailing = false;
  m_cursor.Start();
  return StartTicks();
}

void VrVideoCapture::stop() {
  StopTicks();
  m_cursor.Stop();
}

int VrVideoCapture::GrabNext(int64_t now, VrMediaFramePtr* picture) {
  return m_bWholeMonitor ? DoCaptureEx2(now, picture) : DoCaptureEx(now, picture);
}

int VrVideoCapture::InitGdi() {
  if (!m_pGrabber) m_pGrabber = HX_CreateScreenGrabber();
  if (m_pGrabber->open() != 0) return -1;
  if (m_pGrabber->screenSize(&m_iScreenWidth, &m_iScreenHeight) != 0) return -1;
  m_llFrameBytes = int64_t{m_iScreenWidth} * m_iScreenHeight * 4;
  m_uiTargetWindow = 0;
  // The capture mode says whether a window is the target; its title can be anything.
  if (HX_ServerConfiguration::instance()->m_iCaptureMode != kCaptureWindow) return 0;

  m_uiTargetWindow = VrWindowList::instance()->getSelectedWindow();
  if (!m_pWindows) m_pWindows = HX_CreateWindowInfo();
  m_bWindowsOpen = m_pWindows->open() == 0;
  if (!TargetAlive()) return -2;
  return 0;
}

int VrVideoCapture::InitD3D9() {
  m_bMonitorReady = false;
  const int32_t monitor = HX_ServerConfiguration::instance()->m_iMonitorIndex;
  if (!m_pGrabber) m_pGrabber = HX_CreateScreenGrabber();
  if (m_pGrabber->open() != 0) return -1;
  HX_ScreenRect rect;
  if (m_pGrabber->monitorRect(monitor, &rect) != 0 || rect.width() <= 0 || rect.height() <= 0) {
    return -2;
  }
  m_stMonitorRect = rect;
  m_iScreenWidth = rect.width();
  m_iScreenHeight = rect.height();
  m_llFrameBytes = int64_t{m_iScreenWidth} * m_iScreenHeight * 4;
  m_bMonitorReady = true;
  return 0;
}

bool VrVideoCapture::TargetAlive() {
  return m_bWindowsOpen && m_uiTargetWindow != 0 && m_pWindows->exists(m_uiTargetWindow);
}

bool VrVideoCapture::GrabWithPointer(int64_t now, int32_t left, int32_t top, VrMediaFrame* frame) {
  const int rc = m_pGrabber ? m_pGrabber->grab(left, top, frame->m_iWidth, frame->m_iHeight, frame->m_pData) : -1;
  if (rc != 0) {
    GrabFailed(now, rc);
    return false;
  }
  m_bGrabFailing = false;
  if (m_cursor.enabled()) {
    m_cursor.Poll();
    m_cursor.Draw(*frame, left, top);
  }
  return true;
}

void VrVideoCapture::GrabFailed(int64_t now, int rc) {
  if (rc == HX_IScreenGrabber::kGrabDisplayLost) {
    MarkLost(now, DisplayText());
    return;
  }
  if (!m_bGrabFailing) HX_LOG_ERROR("X screen grab failed");
  m_bGrabFailing = true;
}

bool VrVideoCapture::Reconnect(int64_t now) {
  if (!RetryDue(now)) return false;
  m_pGrabber->close();
  if (m_pGrabber->open() != 0 || m_pGrabber->screenSize(&m_iScreenWidth, &m_iScreenHeight) != 0) {
    return false;
  }
  if (m_iCaptureMode == kCaptureWindow) m_bWindowsOpen = m_pWindows && m_pWindows->open() == 0;
  MarkFound();
  return true;
}

void VrVideoCapture::WindowGone() {
  if (m_bWindowGone) return;
  m_bWindowGone = true;
  HX_LOG_ERROR("the captured window 0x%x (\"%s\") is gone; the last picture is sent on",
               m_uiTargetWindow, HX_ServerConfiguration::instance()->getTargetName().c_str());
}

void VrVideoCapture::EmptyArea(int32_t w, int32_t h) {
  if (m_bEmptyArea) return;
  m_bEmptyArea = true;
  HX_LOG_ERROR("the %s to capture is empty (%dx%d); the last picture is sent on",
               m_iCaptureMode == kCaptureWindow ? "window" : "region", w, h);
}

int VrVideoCapture::DoCaptureEx(int64_t now, VrMediaFramePtr* picture) {
  if (lost() && !Reconnect(now)) return kNoChange;
  const bool windowMode = m_iCaptureMode == kCaptureWindow;
  if (windowMode && m_bWindowGone) return kNoChange;
  int32_t w = m_iCaptureWidth;
  int32_t h = m_iCaptureHeight;
  int32_t x = 0;
  int32_t y = 0;
  // Window mode grabs relative to the window's outer rectangle.
  int32_t originX = 0;
  int32_t originY = 0;
  bool alive = windowMode && TargetAlive();
  if (alive) {
    HX_ScreenRect outer;
    HX_ScreenRect client;
    if (m_pWindows->rects(m_uiTargetWindow, &outer, &client) != 0) {
      alive = false;
    } else {
      originX = outer.left;
      originY = outer.top;
      const int32_t outerW = Even(outer.width());
      const int32_t outerH = Even(outer.height());
      if (outerW != w || outerH != h) {
        // The window no longer has the size captured at start: take its
        // client area, where it really lies inside the frame.
        w = Even(client.width());
        h = Even(client.height());
        x = client.left - outer.left;
        y = client.top - outer.top;
      }
    }
  } else if (m_iCaptureMode == kCaptureRegion) {
    HX_ServerConfiguration::instance()->getCaptureRegion(&m_stRegion.left, &m_stRegion.top,
                                                         &m_stRegion.right, &m_stRegion.bottom);
    x = m_stRegion.left;
    y = m_stRegion.top;
    w = Even(m_stRegion.right - m_stRegion.left);
    h = Even(m_stRegion.bottom - m_stRegion.top);
  }
  if (windowMode && !alive) {
    // Either the window went or the display took it along: a connection
    // that cannot be made again tells them apart.
    if (!m_pWindows || m_pWindows->open() != 0) {
      m_bWindowsOpen = false;
      MarkLost(now, DisplayText());
    } else {
      m_bWindowsOpen = true;
      if (!TargetAlive()) WindowGone();
    }
    return kNoChange;
  }
  if (w <= 0 || h <= 0) {
    EmptyArea(w, h);
    return kNoChange;
  }
  m_bEmptyArea = false;

  VrMediaFramePtr frame = NewPicture(w, h, m_iCaptureMode, m_iCaptureMethod, now);
  if (!frame) {
    HX_LOG_WARNING("malloc failed.");
    return kNoChange;
  }
  if (windowMode && m_pWindows->minimised(m_uiTargetWindow)) {
    // A minimised window gives black frames of this tick's size.
    std::memset(frame->m_pData, 0, frame->m_iSize);
  } else {
    if (!GrabWithPointer(now, originX + x, originY + y, frame.get())) return kNoChange;
  }
  *picture = std::move(frame);
  return kNewPicture;
}

int VrVideoCapture::DoCaptureEx2(int64_t now, VrMediaFramePtr* picture) {
  if (lost()) {
    if (!RetryDue(now)) return kNoChange;
    if (m_pGrabber) m_pGrabber->close();
    if (InitD3D9() != 0) return kNoChange;
    MarkFound();
  }
  const int32_t w = m_iScreenWidth;
  const int32_t h = m_iScreenHeight;
  VrMediaFramePtr frame = NewPicture(w, h, m_iCaptureMode, m_iCaptureMethod, now);
  if (!frame) {
    HX_LOG_WARNING("malloc failed");
    return kNoChange;
  }
  if (!m_bMonitorReady || m_pGrabber->deviceState() != HX_IScreenGrabber::kDeviceUsable) {
    // The screen changed under us or the display went away: rebuild the grab.
    if (m_pGrabber) m_pGrabber->close();
    const int rc = InitD3D9();
    if (rc != 0) {
      const int32_t monitor = HX_ServerConfiguration::instance()->m_iMonitorIndex;
      MarkLost(now, rc == -1 ? DisplayText() : "monitor " + std::to_string(monitor));
      return kNoChange;
    }
    HX_LOG_ERROR("X screen grab lost (screen layout changed), begin reset!");
    std::memset(frame->m_pData, 0, frame->m_iSize);
  } else {
    if (!GrabWithPointer(now, m_stMonitorRect.left, m_stMonitorRect.top, frame.get())) return kNoChange;
  }
  *picture = std::move(frame);
  return kNewPicture;
}
