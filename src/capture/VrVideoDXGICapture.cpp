#include "capture/VrVideoDXGICapture.h"

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"

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
  m_iFps = cfg->m_iFps;
}

VrVideoDXGICapture::~VrVideoDXGICapture() { stop(); }

int VrVideoDXGICapture::start() {
  if (SetFrameRate(m_iFps) != 0) return -1;
  if (InitFactory() < 0) return -1;
  if (InitDevice() < 0) return -2;
  if (CreateDuplicator() < 0) return -3;
  return StartTicks();
}

void VrVideoDXGICapture::stop() {
  StopTicks();
  m_bDuplicating = false;
  if (m_pWatcher) m_pWatcher->close();
}

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
  // The configured size is the monitor's rounded down to even: an odd-sized
  // monitor (1921 wide) streams its top-left 1920 columns. A monitor of any
  // other size than that gives no fresh frames.
  const int32_t extraW = image.width - frame->m_iWidth, extraH = image.height - frame->m_iHeight;
  if (extraW < 0 || extraW > 1 || extraH < 0 || extraH > 1 || image.data == nullptr ||
      image.pitch < image.width * 4) {
    return false;
  }
  HX_ImageView cropped = image;
  cropped.width = frame->m_iWidth;
  cropped.height = frame->m_iHeight;
  HX_CopyImageRows(cropped, frame->m_pData, frame->m_iWidth * 4);
  return true;
}

int VrVideoDXGICapture::DoCaptureEx(int64_t now, VrMediaFramePtr* picture) {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  VrMediaFramePtr frame =
      NewPicture(static_cast<int32_t>(m_llWidth), static_cast<int32_t>(m_llHeight),
                 cfg->m_iCaptureMode, cfg->m_iFullScreenMethod, now);
  if (!frame) {
    HX_LOG_WARNING("memory alloc failed.");
    return -1;
  }
  int code = 0;
  if (!DuplicatorUpdateFrame(frame, &code) || code == HX_IDamageWatcher::kFrameTimeout) {
    return kNoChange;
  }
  *picture = std::move(frame);
  return kNewPicture;
}
