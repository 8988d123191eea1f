#include "capture/VrVideoCapture.h"

#include <cstring>

#include "capture/VrScreenFrame.h"
#include "capture/VrWindowList.h"
#include "log/HX_Log.h"
#include "platform/HX_Clock.h"

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
  if (cfg->m_iFps <= 0) {
    HX_LOG_ERROR("invalid frame rate %d", cfg->m_iFps);
    return -1;
  }
  m_llPeriodMs = 1000 / cfg->m_iFps;
  // Above 1000 frames per second the timer still ticks every millisecond.
  if (m_llPeriodMs == 0) m_llPeriodMs = 1;

  HX_PeriodicTimer::Callback tick = nullptr;
  if (m_iCaptureMode == kCaptureWindow || m_iCaptureMode == kCaptureRegion) {
    if (InitGdi() != 0) return -1;
    tick = &VrVideoCapture::OnRegionTick;
  } else {
    if (InitD3D9() < 0) return -1;
    tick = &VrVideoCapture::OnMonitorTick;
  }
  if (m_bManualTicks) return 0;
  if (m_timer.start(static_cast<uint32_t>(m_llPeriodMs), tick, this) != 0) {
    HX_LOG_ERROR("the capture timer cannot start");
    return -1;
  }
  return 0;
}

void VrVideoCapture::stop() {
  // Returns only when no tick can run any more.
  m_timer.kill();
}

void VrVideoCapture::OnRegionTick(void* user) { static_cast<VrVideoCapture*>(user)->DoCaptureEx(); }

void VrVideoCapture::OnMonitorTick(void* user) {
  static_cast<VrVideoCapture*>(user)->DoCaptureEx2();
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

void VrVideoCapture::DeliverFrame(const VrMediaFramePtr& frame) {
  if (m_pCallback != nullptr && m_pContext != nullptr) m_pCallback(frame, m_pContext);
}

void VrVideoCapture::ResendLastFrame(int64_t now) {
  VrMediaFramePtr clone = VrScreenFrame::CloneForResend(m_pLastFrame, now);
  if (clone) DeliverFrame(clone);
}

void VrVideoCapture::DoCaptureEx() {
  const int64_t now = HX_GetTickMs();
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
      const int32_t outerW = VrScreenFrame::Even(outer.width());
      const int32_t outerH = VrScreenFrame::Even(outer.height());
      if (outerW != w || outerH != h) {
        // The window no longer has the size captured at start: take its
        // client area, where it really lies inside the frame.
        w = VrScreenFrame::Even(client.width());
        h = VrScreenFrame::Even(client.height());
        x = client.left - outer.left;
        y = client.top - outer.top;
      }
    }
  } else if (m_iCaptureMode == kCaptureRegion) {
    HX_ServerConfiguration::instance()->getCaptureRegion(&m_stRegion.left, &m_stRegion.top,
                                                         &m_stRegion.right, &m_stRegion.bottom);
    x = m_stRegion.left;
    y = m_stRegion.top;
    w = VrScreenFrame::Even(m_stRegion.right - m_stRegion.left);
    h = VrScreenFrame::Even(m_stRegion.bottom - m_stRegion.top);
  }

  VrMediaFramePtr frame = VrScreenFrame::Create(w, h, m_iCaptureMode, m_iCaptureMethod, now);
  if (!frame) {
    HX_LOG_WARNING("malloc failed.");
    ResendLastFrame(now);
    return;
  }
  if (windowMode && (!alive || m_pWindows->minimised(m_uiTargetWindow))) {
    // A minimised or vanished window gives black frames of this tick's size.
    std::memset(frame->m_pData, 0, frame->m_iSize);
  } else if (!m_pGrabber || m_pGrabber->grab(originX + x, originY + y, w, h, frame->m_pData) != 0) {
    HX_LOG_ERROR("X screen grab failed");
    frame.reset();
    ResendLastFrame(now);
    return;
  }
  DeliverFrame(frame);
  m_pLastFrame = frame;
}

void VrVideoCapture::DoCaptureEx2() {
  const int64_t now = HX_GetTickMs();
  const int32_t w = m_iScreenWidth;
  const int32_t h = m_iScreenHeight;
  VrMediaFramePtr frame = VrScreenFrame::Create(w, h, m_iCaptureMode, m_iCaptureMethod, now);
  if (!frame) {
    HX_LOG_WARNING("malloc failed");
    ResendLastFrame(now);
    return;
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
    frame.reset();
    ResendLastFrame(now);
    return;
  }
  DeliverFrame(frame);
  m_pLastFrame = frame;
}
