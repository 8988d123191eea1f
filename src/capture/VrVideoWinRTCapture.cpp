#include "capture/VrVideoWinRTCapture.h"

#include "capture/VrWindowList.h"
#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"

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
  if (SetFrameRate(HX_ServerConfiguration::instance()->m_iFps) != 0) return -1;
  m_pSession = m_stApi.init(target, &VrVideoWinRTCapture::OnTexture, this);
  if (m_pSession == nullptr) return -3;
  return StartTicks();
}

void VrVideoWinRTCapture::stop() {
  // The component goes first so that no image arrives after the queue is emptied.
  if (m_pSession != nullptr) {
    m_stApi.free(m_pSession);
    m_pSession = nullptr;
  }
  StopTicks();
  std::lock_guard<std::mutex> lock(m_queueMutex);
  m_queue.clear();
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

int VrVideoWinRTCapture::DoCaptureEx(int64_t now, VrMediaFramePtr* picture) {
  ImagePtr image = PopTexture();
  if (!image) return kNoChange;
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
  *picture = std::move(frame);
  return kNewPicture;
}
