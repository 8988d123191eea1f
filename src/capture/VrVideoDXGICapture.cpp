#include "capture/VrVideoDXGICapture.h"

#include <algorithm>
#include <cstring>

#include "capture/VrScreenFrame.h"
#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "platform/HX_Clock.h"

VrVideoDXGICapture::VrVideoDXGICapture() : VrVideoDXGICapture(nullptr) {}

VrVideoDXGICapture::VrVideoDXGICapture(std::unique_ptr<HX_IDamageWatcher> watcher)
    : m_pWatcher(std::move(watcher)) {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  m_iMonitorIndex = cfg->m_iMonitorIndex;
  int32_t w = 0;
  int32_t h = 0;
  cfg->getOutputSize(&w, &h);
  m_llWidth = w;
  m_llHeight = h;
  // 0 marks an unusable frame rate; above 1000 frames per second the timer
  // still ticks every millisecond.
  m_llPeriodMs = cfg->m_iFps > 0 ? std::max(1000 / cfg->m_iFps, 1) : 0;
}

VrVideoDXGICapture::~VrVideoDXGICapture() { stop(); }

int VrVideoDXGICapture::start() {
  if (m_llPeriodMs <= 0) {
    HX_LOG_ERROR("invalid frame rate %d", HX_ServerConfiguration::instance()->m_iFps);
    return -1;
  }
  if (InitFactory() < 0) return -1;
  if (InitDevice() < 0) return -2;
  if (CreateDuplicator() < 0) return -3;
  if (m_bManualTicks) return 0;
  if (m_timer.start(static_cast<uint32_t>(m_llPeriodMs), &VrVideoDXGICapture::OnTick, this) != 0) {
    HX_LOG_ERROR("the capture timer cannot start");
    return -1;
  }
  return 0;
}

void VrVideoDXGICapture::stop() {
  m_timer.kill();
  m_bDuplicating = false;
  if (m_pWatcher) m_pWatcher->close();
}

void VrVideoDXGICapture::OnTick(void* user) { static_cast<VrVideoDXGICapture*>(user)->DoCaptureEx(); }

int VrVideoDXGICapture::InitFactory() {
  if (!m_pWatcher) m_pWatcher = HX_CreateDamageWatcher();
  const int rc = m_pWatcher->open();
  if (rc == -2) {
    HX_LOG_ERROR("Failed to find the X display's screen");
    return -2;
  }
  if (rc != 0) {
    HX_LOG_ERROR("Failed to connect to the X display");
    return -1;
  }
  return 0;
}

int VrVideoDXGICapture::InitDevice() {
  uint32_t level = 0;
  const int rc = m_pWatcher->initDevice(&level);
  if (rc < 0) {
    HX_LOG_WARNING("Failed to create device");
    return rc;
  }
  HX_LOG_WARNING("DAMAGE extension loaded successfully, version used: %u.%u", level >> 16,
                 level & 0xffff);
  return rc;
}

bool VrVideoDXGICapture::get_monitor(int32_t index) {
  const int rc = m_pWatcher->getMonitor(index, &m_stOutputDesc, &m_stOutputRect);
  if (rc == HX_IDamageWatcher::kMonitorNotFound) return false;
  if (rc != 0) {
    HX_LOG_ERROR("Failed to get output");
    return false;
  }
  HX_LOG_WARNING("RandR output:%s RECT:L:%d,R:%d,T:%d,B:%d", m_stOutputDesc.name.c_str(),
                 m_stOutputRect.left, m_stOutputRect.right, m_stOutputRect.top,
                 m_stOutputRect.bottom);
  return true;
}

int VrVideoDXGICapture::CreateDuplicator() {
  if (!get_monitor(m_iMonitorIndex)) {
    HX_LOG_ERROR("Invalid monitor index");
    return -1;
  }
  if (m_pWatcher->duplicate() != 0) {
    HX_LOG_ERROR("Failed to duplicate output");
    return -3;
  }
  m_bDuplicating = true;
  return 0;
}

bool VrVideoDXGICapture::DuplicatorUpdateFrame(const VrMediaFramePtr& frame, int* code) {
  *code = HX_IDamageWatcher::kFrameFailure;
  if (!m_bDuplicating || !m_pWatcher || !frame || frame->m_pData == nullptr) return false;
  HX_ImageView image;
  *code = m_pWatcher->acquireNextFrame(kAcquireTimeoutMs, &image);
  if (*code == HX_IDamageWatcher::kAccessLost) return false;
  if (*code == HX_IDamageWatcher::kFrameTimeout) return true;
  if (*code != HX_IDamageWatcher::kFrameReady) {
    HX_LOG_ERROR("Failed to read the changed monitor image from the X server (%08lX)",
                 static_cast<unsigned long>(static_cast<uint32_t>(*code)));
    return false;
  }
  // A monitor whose size differs from the configured one gives no fresh frames.
  if (image.width != frame->m_iWidth || image.height != frame->m_iHeight || image.data == nullptr ||
      image.pitch < image.width * 4) {
    return false;
  }
  HX_CopyImageRows(image, frame->m_pData, image.width * 4);
  return true;
}

void VrVideoDXGICapture::DeliverFrame(const VrMediaFramePtr& frame) {
  if (m_pCallback != nullptr && m_pContext != nullptr) m_pCallback(frame, m_pContext);
}

void VrVideoDXGICapture::ResendLastFrame(int64_t now) {
  VrMediaFramePtr clone = VrScreenFrame::CloneForResend(m_pLastFrame, now);
  if (clone) DeliverFrame(clone);
}

void VrVideoDXGICapture::DoCaptureEx() {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  const int32_t mode = cfg->m_iCaptureMode;
  const int32_t method = cfg->m_iFullScreenMethod;
  const int64_t now = HX_GetTickMs();
  VrMediaFramePtr frame = VrScreenFrame::Create(static_cast<int32_t>(m_llWidth),
                                                static_cast<int32_t>(m_llHeight), mode, method, now);
  if (!frame) {
    HX_LOG_WARNING("memory alloc failed.");
    return;
  }
  int code = 0;
  if (DuplicatorUpdateFrame(frame, &code) && code != HX_IDamageWatcher::kFrameTimeout) {
    DeliverFrame(frame);
    m_pLastFrame = frame;
    return;
  }
  // Freed before the repeat is made, so the repeat reuses its memory instead
  // of growing the heap on every tick of a static screen.
  frame.reset();
  ResendLastFrame(now);
}
