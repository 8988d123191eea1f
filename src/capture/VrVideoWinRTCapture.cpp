#include "capture/VrVideoWinRTCapture.h"

#include <algorithm>
#include <cstring>

#include "capture/VrScreenFrame.h"
#include "capture/VrWindowList.h"
#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "platform/HX_Clock.h"

VrVideoWinRTCapture::VrVideoWinRTCapture()
    : VrVideoWinRTCapture(nullptr, HX_DefaultWinRTCaptureApi()) {}

VrVideoWinRTCapture::VrVideoWinRTCapture(std::unique_ptr<HX_IWindowInfo> windows,
                                         HX_WinRTCaptureApi api)
    : m_pWindows(std::move(windows)), m_stApi(api) {}

VrVideoWinRTCapture::~VrVideoWinRTCapture() { stop(); }

int VrVideoWinRTCapture::start() {
  const HX_WindowId target = VrWindowList::instance()->getSelectedWindow();
  if (!m_pWindows) m_pWindows = HX_CreateWindowInfo();
  if (target == 0 || m_pWindows->open() != 0 || !m_pWindows->exists(target)) return -2;
  const int32_t fps = HX_ServerConfiguration::instance()->m_iFps;
  if (fps <= 0) {
    HX_LOG_ERROR("invalid frame rate %d", fps);
    return -1;
  }
  m_pSession = m_stApi.init(target, &VrVideoWinRTCapture::OnTexture, this);
  if (m_pSession == nullptr) return -3;
  m_llPeriodMs = std::max(1000 / fps, 1);
  if (m_bManualTicks) return 0;
  if (m_timer.start(static_cast<uint32_t>(m_llPeriodMs), &VrVideoWinRTCapture::OnTick, this) != 0) {
    HX_LOG_ERROR("the capture timer cannot start");
    return -1;
  }
  return 0;
}

void VrVideoWinRTCapture::stop() {
  // The component goes first so that no image arrives after the queue is emptied.
  if (m_pSession != nullptr) {
    m_stApi.free(m_pSession);
    m_pSession = nullptr;
  }
  m_timer.kill();
  std::lock_guard<std::mutex> lock(m_queueMutex);
  m_queue.clear();
}

void VrVideoWinRTCapture::OnTick(void* user) {
  static_cast<VrVideoWinRTCapture*>(user)->DoCaptureEx();
}

void VrVideoWinRTCapture::OnTexture(HX_WinRTImage* image, void* user) {
  ImagePtr owned(image);
  if (user == nullptr || !owned) return;
  static_cast<VrVideoWinRTCapture*>(user)->PushTexture(std::move(owned));
}

void VrVideoWinRTCapture::PushTexture(ImagePtr image) {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  // The queue keeps the newest images; a slow consumer loses the oldest.
  if (m_queue.size() >= kMaxQueuedImages) m_queue.pop_front();
  m_queue.push_back(std::move(image));
}

VrVideoWinRTCapture::ImagePtr VrVideoWinRTCapture::PopTexture() {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  if (m_queue.empty()) return nullptr;
  ImagePtr image = std::move(m_queue.front());
  m_queue.pop_front();
  return image;
}

size_t VrVideoWinRTCapture::QueuedTextures() const {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  return m_queue.size();
}

void VrVideoWinRTCapture::DeliverFrame(const VrMediaFramePtr& frame) {
  if (m_pCallback != nullptr && m_pContext != nullptr) m_pCallback(frame, m_pContext);
}

void VrVideoWinRTCapture::ResendLastFrame(int64_t now) {
  VrMediaFramePtr clone = VrScreenFrame::CloneForResend(m_pLastFrame, now);
  if (clone) DeliverFrame(clone);
}

void VrVideoWinRTCapture::DoCaptureEx() {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  const int32_t mode = cfg->m_iCaptureMode;
  const int32_t method = cfg->m_iFullScreenMethod;
  const int64_t now = HX_GetTickMs();
  ImagePtr image = PopTexture();
  if (!image) {
    ResendLastFrame(now);
    return;
  }
  const int32_t w = image->m_iWidth;
  const int32_t h = image->m_iHeight;
  VrMediaFramePtr frame = VrScreenFrame::Create(w, h, mode, method, now);
  if (!frame) {
    HX_LOG_WARNING("memory alloc failed.");
    return;
  }
  // An image whose rows are shorter than its width cannot be copied.
  if (!image->m_pData || image->m_iPitch < w * 4) return;
  const size_t rowBytes = static_cast<size_t>(w) * 4;
  for (int32_t row = 0; row < h; ++row) {
    std::memcpy(frame->m_pData + row * rowBytes,
                image->m_pData.get() + static_cast<size_t>(row) * image->m_iPitch, rowBytes);
  }
  DeliverFrame(frame);
  m_pLastFrame = frame;
}
