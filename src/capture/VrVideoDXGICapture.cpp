#include "capture/VrVideoDXGICapture.h"

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "platform/x11/HX_X11Display.h"

VrVideoDXGICapture::VrVideoDXGICapture() : VrVideoDXGICapture(nullptr) {}

VrVideoDXGICapture::VrVideoDXGICapture(std::unique_ptr<HX_IDamageWatcher> watcher,
                                       std::unique_ptr<HX_ICursorSource> cursor)
    : m_pWatcher(std::move(watcher)), m_cursor(std::move(cursor)) {
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
  m_cursor.Start();
  return StartTicks();
}

void VrVideoDXGICapture::stop() {
  StopTicks();
  m_cursor.Stop();
  m_bDuplicating = false;
  if (m_pWatcher) m_pWatcher->close();
}

int VrVideoDXGICapture::InitFactory() {
  if (!m_pWatcher) m_pWatcher = HX_CreateDamageWatcher();
  const int rc = m_pWatcher->open();
  if (rc == -2) {
    if (!m_bQuietSetUp) HX_LOG_ERROR("Failed to find the X display's screen");
    return -2;
  }
  if (rc != 0) {
    if (!m_bQuietSetUp) HX_LOG_ERROR("Failed to connect to the X display");
    return -1;
  }
  return 0;
}

int VrVideoDXGICapture::InitDevice() {
  uint32_t level = 0;
  const int rc = m_pWatcher->initDevice(&level);
  if (rc < 0) {
    if (!m_bQuietSetUp) HX_LOG_WARNING("Failed to create device");
    return rc;
  }
  if (!m_bQuietSetUp)
    HX_LOG_WARNING("DAMAGE extension loaded successfully, version used: %u.%u", level >> 16,
                 level & 0xffff);
  return rc;
}

bool VrVideoDXGICapture::get_monitor(int32_t index) {
  const int rc = m_pWatcher->getMonitor(index, &m_stOutputDesc, &m_stOutputRect);
  if (rc == HX_IDamageWatcher::kMonitorNotFound) return false;
  if (rc != 0) {
    if (!m_bQuietSetUp) HX_LOG_ERROR("Failed to get output");
    return false;
  }
  if (!m_bQuietSetUp)
    HX_LOG_WARNING("RandR output:%s RECT:L:%d,R:%d,T:%d,B:%d", m_stOutputDesc.name.c_str(),
                 m_stOutputRect.left, m_stOutputRect.right, m_stOutputRect.top,
                 m_stOutputRect.bottom);
  return true;
}

int VrVideoDXGICapture::CreateDuplicator() {
  if (!get_monitor(m_iMonitorIndex)) {
    if (!m_bQuietSetUp) HX_LOG_ERROR("Invalid monitor index");
    return -1;
  }
  if (m_pWatcher->duplicate() != 0) {
    if (!m_bQuietSetUp) HX_LOG_ERROR("Failed to duplicate output");
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

void VrVideoDXGICapture::TakeMonitorSize(const HX_ScreenRect& rect) {
  m_llWidth = Even(rect.width());
  m_llHeight = Even(rect.height());
}

int VrVideoDXGICapture::Rebuild(int64_t now) {
  m_bDuplicating = false;
  m_pWatcher->close();
  // The episode gets one line of its own below, not one per set-up step.
  m_bQuietSetUp = true;
  int rc = InitFactory();
  const bool displayThere = rc == 0;
  if (rc == 0) rc = InitDevice();
  if (rc == 0) rc = CreateDuplicator();
  m_bQuietSetUp = false;
  if (rc != 0) {
    m_pWatcher->close();
    MarkLost(now, displayThere ? "monitor " + std::to_string(m_iMonitorIndex)
                               : "the X display \"" + HX_X11DisplayName() + "\"");
    return -1;
  }
  TakeMonitorSize(m_stOutputRect);
  if (lost()) {
    MarkFound();
  } else {
    HX_LOG_WARNING("the screen layout changed: monitor %d (%s) is now %lldx%lld at %d,%d; watching it again",
                   m_iMonitorIndex, m_stOutputDesc.name.c_str(), static_cast<long long>(m_llWidth),
                   static_cast<long long>(m_llHeight), m_stOutputRect.left, m_stOutputRect.top);
  }
  return 0;
}

int VrVideoDXGICapture::MovePointer(int64_t now, VrMediaFramePtr* picture) {
  if (!m_cursor.enabled() || !LastFrame() || !m_cursor.Poll()) return kNoChange;
  VrMediaFramePtr copy = CloneMediaFrame(LastFrame());
  if (!copy || copy->m_pData == nullptr) return kNoChange;
  copy->m_llTimestamp = now;
  m_cursor.Redraw(*copy, m_stOutputRect.left, m_stOutputRect.top);
  *picture = std::move(copy);
  return kNewPicture;
}

int VrVideoDXGICapture::DoCaptureEx(int64_t now, VrMediaFramePtr* picture) {
  if (lost() && (!RetryDue(now) || Rebuild(now) != 0)) return kNoChange;
  if (!m_bDuplicating) return kNoChange;
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  VrMediaFramePtr frame =
      NewPicture(static_cast<int32_t>(m_llWidth), static_cast<int32_t>(m_llHeight),
                 cfg->m_iCaptureMode, cfg->m_iFullScreenMethod, now);
  if (!frame) {
    HX_LOG_WARNING("memory alloc failed.");
    return -1;
  }
  int code = 0;
  if (!DuplicatorUpdateFrame(frame, &code)) {
    // The first picture of the rebuilt watcher comes with the next tick.
    if (code == HX_IDamageWatcher::kAccessLost) Rebuild(now);
    return kNoChange;
  }
  if (code == HX_IDamageWatcher::kFrameTimeout) {
    frame.reset();
    return MovePointer(now, picture);
  }
  if (m_cursor.enabled()) {
    m_cursor.Poll();
    m_cursor.Draw(*frame, m_stOutputRect.left, m_stOutputRect.top);
  }
  *picture = std::move(frame);
  return kNewPicture;
}
