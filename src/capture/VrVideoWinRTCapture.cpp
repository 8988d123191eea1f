#include "capture/VrVideoWinRTCapture.h"

#include "capture/VrWindowList.h"
#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "platform/x11/HX_X11Display.h"

VrVideoWinRTCapture::VrVideoWinRTCapture()
    : VrVideoWinRTCapture(nullptr, HX_DefaultWinRTCaptureApi()) {}

VrVideoWinRTCapture::VrVideoWinRTCapture(std::unique_ptr<HX_IWindowInfo> windows,
                                         HX_WinRTCaptureApi api,
                                         std::unique_ptr<HX_ICursorSource> cursor)
    : m_pWindows(std::move(windows)), m_stApi(api), m_cursor(std::move(cursor)) {}

VrVideoWinRTCapture::~VrVideoWinRTCapture() { stop(); }

int VrVideoWinRTCapture::start() {
  const HX_WindowId target = VrWindowList::instance()->getSelectedWindow();
  if (!m_pWindows) m_pWindows = HX_CreateWindowInfo();
  if (target == 0 || m_pWindows->open() != 0 || !m_pWindows->exists(target)) return -2;
  if (SetFrameRate(HX_ServerConfiguration::instance()->m_iFps) != 0) return -1;
  m_pSession = m_stApi.init(target, &VrVideoWinRTCapture::OnTexture, this);
  if (m_pSession == nullptr) return -3;
  m_uiTarget = target;
  m_bWindowGone = false;
  m_cursor.Start();
  return StartTicks();
}

void VrVideoWinRTCapture::stop() {
  // The component goes first so that no image arrives after the queue is emptied.
  if (m_pSession != nullptr) {
    m_stApi.free(m_pSession);
    m_pSession = nullptr;
  }
  StopTicks();
  m_cursor.Stop();
  m_queue.clear();
}

void VrVideoWinRTCapture::OnTexture(HX_WinRTImage* image, void* user) {
  ImagePtr owned(image);
  if (user == nullptr || !owned) return;
  static_cast<VrVideoWinRTCapture*>(user)->PushTexture(std::move(owned));
}

void VrVideoWinRTCapture::PushTexture(ImagePtr image) { m_queue.push(std::move(image)); }

VrVideoWinRTCapture::ImagePtr VrVideoWinRTCapture::PopTexture() { return m_queue.pop(); }

size_t VrVideoWinRTCapture::QueuedTextures() const { return m_queue.size(); }

void VrVideoWinRTCapture::CheckTarget(int64_t now) {
  if (m_bWindowGone || now - m_llLastCheck < kLostRetryMs) return;
  m_llLastCheck = now;
  if (!lost() && m_pWindows->exists(m_uiTarget)) return;
  // Either the window went or the display took it along: a connection that
  // cannot be made again tells them apart.
  if (m_pWindows->open() != 0) {
    MarkLost(now, "the X display \"" + HX_X11DisplayName() + "\"");
    return;
  }
  MarkFound();
  if (m_pWindows->exists(m_uiTarget)) return;
  m_bWindowGone = true;
  HX_LOG_ERROR("the captured window 0x%x (\"%s\") is gone; the last picture is sent on", m_uiTarget,
               HX_ServerConfiguration::instance()->getTargetName().c_str());
}

bool VrVideoWinRTCapture::WindowOrigin(int32_t* x, int32_t* y) {
  HX_ScreenRect outer, client;
  if (m_pWindows->rects(m_uiTarget, &outer, &client) != 0) return false;
  *x = client.left;
  *y = client.top;
  return true;
}

int VrVideoWinRTCapture::DoCaptureEx(int64_t now, VrMediaFramePtr* picture) {
  ImagePtr image = PopTexture();
  int32_t originX = 0, originY = 0;
  if (!image) {
    CheckTarget(now);
    if (m_bWindowGone || lost() || !m_cursor.enabled() || !LastFrame() || !m_cursor.Poll() ||
        !WindowOrigin(&originX, &originY)) {
      return kNoChange;
    }
    VrMediaFramePtr copy = CloneMediaFrame(LastFrame());
    if (!copy || copy->m_pData == nullptr) return kNoChange;
    copy->m_llTimestamp = now;
    m_cursor.Redraw(*copy, originX, originY);
    *picture = std::move(copy);
    return kNewPicture;
  }
  const int32_t w = image->m_iWidth;
  const int32_t h = image->m_iHeight;
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  VrMediaFramePtr frame = NewPicture(w, h, cfg->m_iCaptureMode, cfg->m_iFullScreenMethod, now);
  if (!frame) {
    HX_LOG_WARNING("memory alloc failed.");
    return -1;
  }
  if (!image->m_pData || image->m_iPitch < w * 4) return -2;
  HX_CopyImageRows(HX_ImageView{image->m_pData.get(), w, h, image->m_iPitch}, frame->m_pData, w * 4);
  if (m_cursor.enabled() && WindowOrigin(&originX, &originY)) {
    m_cursor.Poll();
    m_cursor.Draw(*frame, originX, originY);
  }
  *picture = std::move(frame);
  return kNewPicture;
}
