#include "capture/VrVideoCapture.h"

#include <cstring>

#include "capture/VrWindowList.h"
#include "log/HX_Log.h"

namespace {
const char kDisplayTarget[] = "DISPLAY";
}  // namespace

VrVideoCapture::VrVideoCapture() = default;

VrVideoCapture::VrVideoCapture(std::unique_ptr<HX_IScreenGrabber> grabber,
                               std::unique_ptr<HX_IWindowInfo> windows)
    : m_pGrabber(std::move(grabber)), m_pWindows(std::move(windows)) {}

VrVideoCapture::~VrVideoCapture() { stop(); }

int VrVideoCapture::start() {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  m_iCaptureMode = cfg->m_iCaptureMode;
  m_iCaptureMethod = cfg->m_iFullScreenMethod;
  cfg->getCaptureRegion(&m_stRegion.left, &m_stRegion.top, &m_stRegion.right, &m_stRegion.bottom);
  cfg->getOutputSize(&m_iCaptureWidth, &m_iCaptureHeight);
  if (SetFrameRate(cfg->m_iFps) != 0) return -1;
  m_bWholeMonitor = m_iCaptureMode != kCaptureWindow && m_iCaptureMode != kCaptureRegion;
  if (m_bWholeMonitor ? InitD3D9() < 0 : InitGdi() != 0) return -1;
  return StartTicks();
}

void VrVideoCapture::stop() { StopTicks(); }

int VrVideoCapture::GrabNext(int64_t now, VrMediaFramePtr* picture) {
  return m_bWholeMonitor ? DoCaptureEx2(now, picture) : DoCaptureEx(now, picture);
}

int VrVideoCapture::InitGdi() {
  if (!m_pGrabber) m_pGrabber = HX_CreateScreenGrabber();
  if (m_pGrabber->open() != 0) return -1;
  if (m_pGrabber->screenSize(&m_iScreenWidth, &m_iScreenHeight) != 0) return -1;
  m_llFrameBytes = int64_t{m_iScreenWidth} * m_iScreenHeight * 4;
  m_uiTargetWindow = 0;
  if (HX_ServerConfiguration::instance()->getTargetName() == kDisplayTarget) return 0;

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
    return -1;
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

int VrVideoCapture::DoCaptureEx(int64_t now, VrMediaFramePtr* picture) {
  int32_t w = m_iCaptureWidth;
  int32_t h = m_iCaptureHeight;
  int32_t x = 0;
  int32_t y = 0;
  // Window mode grabs relative to the window's outer rectangle.
  int32_t originX = 0;
  int32_t originY = 0;
  const bool windowMode = m_iCaptureMode == kCaptureWindow;
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

  VrMediaFramePtr frame = NewPicture(w, h, m_iCaptureMode, m_iCaptureMethod, now);
  if (!frame) {
    HX_LOG_WARNING("malloc failed.");
    return kNoChange;
  }
  if (windowMode && (!alive || m_pWindows->minimised(m_uiTargetWindow))) {
    // A minimised or vanished window gives black frames of this tick's size.
    std::memset(frame->m_pData, 0, frame->m_iSize);
  } else if (!m_pGrabber || m_pGrabber->grab(originX + x, originY + y, w, h, frame->m_pData) != 0) {
    HX_LOG_ERROR("X screen grab failed");
    return kNoChange;
  }
  *picture = std::move(frame);
  return kNewPicture;
}

int VrVideoCapture::DoCaptureEx2(int64_t now, VrMediaFramePtr* picture) {
  const int32_t w = m_iScreenWidth;
  const int32_t h = m_iScreenHeight;
  VrMediaFramePtr frame = NewPicture(w, h, m_iCaptureMode, m_iCaptureMethod, now);
  if (!frame) {
    HX_LOG_WARNING("malloc failed");
    return kNoChange;
  }
  const bool wasReady = m_bMonitorReady;
  if (!wasReady || m_pGrabber->deviceState() != HX_IScreenGrabber::kDeviceUsable) {
    // The screen changed under us or the display went away: rebuild the
    // grab. Only the loss of a working grab is logged, not every retry.
    if (m_pGrabber) m_pGrabber->close();
    InitD3D9();
    if (wasReady) HX_LOG_ERROR("X screen grab lost (display gone or layout changed), begin reset!");
    std::memset(frame->m_pData, 0, frame->m_iSize);
  } else if (m_pGrabber->grab(m_stMonitorRect.left, m_stMonitorRect.top, w, h,
                              frame->m_pData) != 0) {
    return kNoChange;
  }
  *picture = std::move(frame);
  return kNewPicture;
}
