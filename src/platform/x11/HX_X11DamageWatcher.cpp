#include "platform/x11/HX_X11DamageWatcher.h"

#include <poll.h>
#include <xcb/damage.h>
#include <xcb/randr.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "log/HX_Log.h"
#include "platform/HX_Clock.h"
#include "platform/x11/HX_X11Connection.h"
#include "platform/x11/HX_X11ImageReader.h"
#include "platform/x11/HX_X11MonitorSource.h"

std::unique_ptr<HX_IDamageWatcher> HX_CreateDamageWatcher() {
  return std::make_unique<HX_X11DamageWatcher>();
}

HX_X11DamageWatcher::HX_X11DamageWatcher() = default;

HX_X11DamageWatcher::~HX_X11DamageWatcher() { close(); }

int HX_X11DamageWatcher::open() {
  close();
  m_pConn = HX_X11Connection::Open();
  if (!m_pConn) return -1;
  return m_pConn->screen() != nullptr ? 0 : -2;
}

int HX_X11DamageWatcher::initDevice(uint32_t* level) {
  if (!m_pConn) return -1;
  if (!m_pConn->hasDamage()) {
    HX_LOG_ERROR("the X display offers no DAMAGE extension");
    return -2;
  }
  *level = m_pConn->damageVersion();
  return 0;
}

int HX_X11DamageWatcher::getMonitor(int32_t index, HX_MonitorDesc* desc, HX_ScreenRect* rect) {
  if (!m_pConn) return -1;
  std::vector<HX_MonitorDesc> monitors;
  std::vector<HX_ScreenRect> rects;
  if (HX_X11MonitorSource::Enumerate(m_pConn.get(), &monitors, &rects) != 0) return -2;
  if (index < 0 || index >= static_cast<int32_t>(monitors.size())) return kMonitorNotFound;
  *desc = monitors[index];
  *rect = rects[index];
  m_stMonitor = rects[index];
  m_bMonitorSet = true;
  return 0;
}

int HX_X11DamageWatcher::duplicate() {
  if (!m_pConn || !m_pConn->hasDamage() || !m_bMonitorSet) return -1;
  xcb_connection_t* c = m_pConn->get();
  m_uiDamage = xcb_generate_id(c);
  HX_XcbError error(xcb_request_check(
      c, xcb_damage_create_checked(c, m_uiDamage, m_pConn->root(),
                                   XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX)));
  if (error) {
    HX_LOG_ERROR("DamageCreate on the root window failed (X error %d)", error->error_code);
    m_uiDamage = 0;
    return -2;
  }
  if (m_pConn->hasRandr()) {
    xcb_randr_select_input(c, m_pConn->root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }
  xcb_flush(c);
  m_pReader = std::make_unique<HX_X11ImageReader>(m_pConn.get(), true);
  m_bFirstFrame = true;
  m_bLost = false;
  return 0;
}

bool HX_X11DamageWatcher::DrainEvents() {
  bool touched = false;
  bool damaged = false;
  const uint8_t damageNotify = m_pConn->damageEventBase() + XCB_DAMAGE_NOTIFY;
  const uint8_t randrBase = m_pConn->randrEventBase();
  while (HX_XcbEvent event{xcb_poll_for_event(m_pConn->get())}) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == damageNotify) {
      auto* notify = reinterpret_cast<xcb_damage_notify_event_t*>(event.get());
      damaged = true;
      const xcb_rectangle_t& a = notify->area;
      const bool overlaps = a.x < m_stMonitor.right && a.x + a.width > m_stMonitor.left &&
                            a.y < m_stMonitor.bottom && a.y + a.height > m_stMonitor.top;
      touched = touched || overlaps;
    } else if (m_pConn->hasRandr() && (type == randrBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                       type == randrBase + XCB_RANDR_NOTIFY)) {
      // Like a mode switch on a duplicated output: this watcher is done.
      m_bLost = true;
    }
  }
  if (damaged) {
    // Empty the damage region so the next change reports again. The image
    // read after this request already contains everything reported so far.
    xcb_damage_subtract(m_pConn->get(), m_uiDamage, XCB_NONE, XCB_NONE);
  }
  return touched;
}

int HX_X11DamageWatcher::acquireNextFrame(int32_t timeoutMs, HX_ImageView* image) {
  if (m_bLost) return kAccessLost;
  if (!m_pConn || !m_pReader || m_uiDamage == 0) return kFrameFailure;
  if (m_pConn->broken()) {
    m_bLost = true;
    return kAccessLost;
  }
  bool changed = DrainEvents();
  if (!changed && !m_bFirstFrame && !m_bLost) {
    xcb_flush(m_pConn->get());
    const int64_t deadline = HX_GetTickMs() + std::max(timeoutMs, 0);
    for (;;) {
      const int64_t left = deadline - HX_GetTickMs();
      pollfd pfd{m_pConn->fd(), POLLIN, 0};
      int n = poll(&pfd, 1, static_cast<int>(std::max<int64_t>(left, 0)));
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) changed = DrainEvents();
      if (changed || m_bLost || n <= 0 || HX_GetTickMs() >= deadline) break;
    }
  }
  if (m_pConn->broken() || m_bLost) {
    m_bLost = true;
    return kAccessLost;
  }
  if (!changed && !m_bFirstFrame) return kFrameTimeout;
  int rc = m_pReader->read(m_pConn->root(), m_stMonitor.left, m_stMonitor.top,
                           m_stMonitor.width(), m_stMonitor.height(), image);
  if (rc != 0) {
    if (m_pConn->broken()) {
      m_bLost = true;
      return kAccessLost;
    }
    return kFrameFailure;
  }
  m_bFirstFrame = false;
  return kFrameReady;
}

void HX_X11DamageWatcher::close() {
  m_pReader.reset();
  if (m_pConn && m_uiDamage != 0 && !m_pConn->broken()) {
    xcb_damage_destroy(m_pConn->get(), m_uiDamage);
    xcb_flush(m_pConn->get());
  }
  m_uiDamage = 0;
  m_pConn.reset();
  m_bMonitorSet = false;
}
