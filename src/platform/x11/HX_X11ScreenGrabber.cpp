#include "platform/x11/HX_X11ScreenGrabber.h"

#include <xcb/randr.h>

#include <algorithm>
#include <cstring>

#include "log/HX_Log.h"
#include "platform/x11/HX_X11Connection.h"
#include "platform/x11/HX_X11ImageReader.h"
#include "platform/x11/HX_X11MonitorSource.h"

std::unique_ptr<HX_IScreenGrabber> HX_CreateScreenGrabber(bool allowShm) {
  return std::make_unique<HX_X11ScreenGrabber>(allowShm);
}

HX_X11ScreenGrabber::HX_X11ScreenGrabber(bool allowShm) : m_bAllowShm(allowShm) {}

HX_X11ScreenGrabber::~HX_X11ScreenGrabber() { close(); }

int HX_X11ScreenGrabber::open() {
  close();
  m_pConn = HX_X11Connection::Open();
  if (!m_pConn) return -1;
  m_iScreenWidth = m_pConn->screen()->width_in_pixels;
  m_iScreenHeight = m_pConn->screen()->height_in_pixels;
  if (m_pConn->hasRandr()) {
    xcb_randr_select_input(m_pConn->get(), m_pConn->root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    xcb_flush(m_pConn->get());
  }
  m_pReader = std::make_unique<HX_X11ImageReader>(m_pConn.get(), m_bAllowShm);
  m_bLost = false;
  return 0;
}

void HX_X11ScreenGrabber::close() {
  // The reader's segment is detached through the connection: reader first.
  m_pReader.reset();
  m_pConn.reset();
}

bool HX_X11ScreenGrabber::usingShm() const { return m_pReader && m_pReader->usingShm(); }

void HX_X11ScreenGrabber::DrainEvents() {
  if (!m_pConn) return;
  const uint8_t randrBase = m_pConn->randrEventBase();
  while (HX_XcbEvent event{xcb_poll_for_event(m_pConn->get())}) {
    const uint8_t type = event->response_type & 0x7f;
    if (!m_pConn->hasRandr()) continue;
    if (type == randrBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
      auto* change = reinterpret_cast<xcb_randr_screen_change_notify_event_t*>(event.get());
      const bool portrait =
          change->rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270);
      m_iScreenWidth = portrait ? change->height : change->width;
      m_iScreenHeight = portrait ? change->width : change->height;
      m_bLost = true;
    } else if (type == randrBase + XCB_RANDR_NOTIFY) {
      m_bLost = true;
    }
  }
  if (m_pConn->broken()) m_bLost = true;
}

int HX_X11ScreenGrabber::screenSize(int32_t* width, int32_t* height) {
  if (!m_pConn) return -1;
  DrainEvents();
  *width = m_iScreenWidth;
  *height = m_iScreenHeight;
  return 0;
}

int HX_X11ScreenGrabber::monitorRect(int32_t index, HX_ScreenRect* rect) {
  if (!m_pConn) return -1;
  std::vector<HX_MonitorDesc> monitors;
  std::vector<HX_ScreenRect> rects;
  if (HX_X11MonitorSource::Enumerate(m_pConn.get(), &monitors, &rects) != 0) return -2;
  if (index < 0 || index >= static_cast<int32_t>(rects.size())) {
    HX_LOG_ERROR("no monitor %d (the screen has %zu)", index, rects.size());
    return -3;
  }
  *rect = rects[index];
  return 0;
}

int HX_X11ScreenGrabber::grab(int32_t x, int32_t y, int32_t w, int32_t h, uint8_t* dst) {
  if (!m_pConn || !m_pReader || w <= 0 || h <= 0 || dst == nullptr) return -1;
  DrainEvents();
  if (m_pConn->broken()) return kGrabDisplayLost;
  // Only the part that lies on the screen is read; the rest stays black.
  const int64_t left = std::max<int64_t>(x, 0);
  const int64_t top = std::max<int64_t>(y, 0);
  const int64_t right = std::min<int64_t>(int64_t{x} + w, m_iScreenWidth);
  const int64_t bottom = std::min<int64_t>(int64_t{y} + h, m_iScreenHeight);
  const bool covered = left == x && top == y && right == int64_t{x} + w && bottom == int64_t{y} + h;
  if (!covered) std::memset(dst, 0, static_cast<size_t>(w) * h * 4);
  if (right <= left || bottom <= top) return 0;
  uint8_t* at = dst + ((top - y) * w + (left - x)) * 4;
  return m_pReader->readInto(m_pConn->root(), static_cast<int32_t>(left),
                             static_cast<int32_t>(top), static_cast<int32_t>(right - left),
                             static_cast<int32_t>(bottom - top), at, w * 4) == 0
             ? 0
             : (m_pConn->broken() ? kGrabDisplayLost : -3);
}

int HX_X11ScreenGrabber::deviceState() {
  if (!m_pConn) return kDeviceLost;
  DrainEvents();
  return m_bLost ? kDeviceLost : kDeviceUsable;
}
