#include "platform/x11/HX_WinRTCaptureSession.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/damage.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include "log/HX_Log.h"
#include "platform/HX_Clock.h"
#include "platform/x11/HX_X11Connection.h"
#include "platform/x11/HX_X11ImageReader.h"
#include "platform/HX_ThreadName.h"

std::unique_ptr<HX_WinRTCaptureSession> HX_WinRTCaptureSession::Start(HX_WindowId window,
                                                                       HX_WinRTCallback callback,
                                                                       void* user) {
  if (callback == nullptr || window == XCB_NONE) return nullptr;
  std::unique_ptr<HX_WinRTCaptureSession> self(new HX_WinRTCaptureSession());
  self->m_pConn = HX_X11Connection::Open();
  if (!self->m_pConn) return nullptr;
  HX_X11Connection& x = *self->m_pConn;
  xcb_connection_t* c = x.get();
  if (!x.hasComposite() || !x.hasDamage()) {
    HX_LOG_ERROR("the X display offers no Composite 0.2 or no DAMAGE");
    return nullptr;
  }
  auto attrCookie = xcb_get_window_attributes(c, window);
  auto geoCookie = xcb_get_geometry(c, window);
  HX_XcbReply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, attrCookie, nullptr));
  HX_XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geoCookie, nullptr));
  if (!attributes || !geometry) {
    HX_LOG_ERROR("window 0x%x does not exist", window);
    return nullptr;
  }
  if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
    HX_LOG_ERROR("window 0x%x has no pixels (input only)", window);
    return nullptr;
  }
  self->m_uiWindow = window;
  self->m_iWidth = geometry->width;
  self->m_iHeight = geometry->height;
  self->m_bMapped = attributes->map_state == XCB_MAP_STATE_VIEWABLE;

  // Structure events tell about resizes, maps and the window's end.
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
  HX_XcbError error(xcb_request_check(
      c, xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
  if (error) {
    HX_LOG_ERROR("window 0x%x cannot be redirected (X error %d)", window, error->error_code);
    return nullptr;
  }
  self->m_uiDamage = xcb_generate_id(c);
  error.reset(xcb_request_check(
      c, xcb_damage_create_checked(c, self->m_uiDamage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY)));
  if (error) {
    HX_LOG_ERROR("DamageCreate on window 0x%x failed (X error %d)", window, error->error_code);
    self->m_uiDamage = 0;
    return nullptr;
  }
  self->m_pReader = std::make_unique<HX_X11ImageReader>(self->m_pConn.get(), true);
  self->m_pCallback = callback;
  self->m_pUser = user;
  self->m_wakeFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!self->m_wakeFd) {
    HX_LOG_ERROR("eventfd failed: %s", std::strerror(errno));
    return nullptr;
  }
  try {
    self->m_thread = std::thread(&HX_WinRTCaptureSession::Run, self.get());
  } catch (const std::system_error& e) {
    HX_LOG_ERROR("the capture thread cannot start: %s", e.what());
    return nullptr;
  }
  return self;
}

HX_WinRTCaptureSession::~HX_WinRTCaptureSession() {
  m_bStop = true;
  if (m_thread.joinable()) {
    uint64_t one = 1;
    ssize_t n = write(m_wakeFd.get(), &one, sizeof one);
    (void)n;  // a full counter already wakes the thread
    m_thread.join();
  }
  m_wakeFd.reset();
  m_pReader.reset();
  if (m_pConn && !m_pConn->broken()) {
    xcb_connection_t* c = m_pConn->get();
    ReleasePixmap();
    if (!m_bGone && m_uiWindow != 0) {
      if (m_uiDamage != 0) xcb_damage_destroy(c, m_uiDamage);
      xcb_composite_unredirect_window(c, m_uiWindow, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    }
    m_pConn->sync();
  }
}

void HX_WinRTCaptureSession::ReleasePixmap() {
  if (m_uiPixmap != 0) {
    if (!m_pConn->broken()) xcb_free_pixmap(m_pConn->get(), m_uiPixmap);
    m_uiPixmap = 0;
  }
}

bool HX_WinRTCaptureSession::EnsurePixmap() {
  if (m_uiPixmap != 0) return true;
  if (!m_bMapped || m_bGone) return false;
  xcb_connection_t* c = m_pConn->get();
  const uint32_t pixmap = xcb_generate_id(c);
  HX_XcbError error(
      xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, m_uiWindow, pixmap)));
  if (error) {
    // Not viewable right now (for example unmapped by a window manager).
    HX_LOG_DEBUG("window 0x%x has no pixmap (X error %d)", m_uiWindow, error->error_code);
    return false;
  }
  m_uiPixmap = pixmap;
  return true;
}

void HX_WinRTCaptureSession::DrainEvents() {
  xcb_connection_t* c = m_pConn->get();
  const uint8_t damageNotify = m_pConn->damageEventBase() + XCB_DAMAGE_NOTIFY;
  bool damaged = false;
  while (HX_XcbEvent event{xcb_poll_for_event(c)}) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == damageNotify) {
      damaged = true;
    } else if (type == XCB_CONFIGURE_NOTIFY) {
      auto* e = reinterpret_cast<xcb_configure_notify_event_t*>(event.get());
      if (e->window != m_uiWindow) continue;
      if (e->width != m_iWidth || e->height != m_iHeight) {
        // A resized window gets a new pixmap; the old one keeps the old size.
        m_iWidth = e->width;
        m_iHeight = e->height;
        ReleasePixmap();
        m_bDirty = true;
      }
    } else if (type == XCB_MAP_NOTIFY) {
      auto* e = reinterpret_cast<xcb_map_notify_event_t*>(event.get());
      if (e->window != m_uiWindow) continue;
      m_bMapped = true;
      ReleasePixmap();
      m_bDirty = true;
    } else if (type == XCB_UNMAP_NOTIFY) {
      auto* e = reinterpret_cast<xcb_unmap_notify_event_t*>(event.get());
      if (e->window != m_uiWindow) continue;
      m_bMapped = false;
      ReleasePixmap();
    } else if (type == XCB_DESTROY_NOTIFY) {
      auto* e = reinterpret_cast<xcb_destroy_notify_event_t*>(event.get());
      if (e->window != m_uiWindow) continue;
      m_bGone = true;
      m_uiPixmap = 0;  // went with the window
    }
  }
  if (damaged && !m_bGone) {
    xcb_damage_subtract(c, m_uiDamage, XCB_NONE, XCB_NONE);
    m_bDirty = true;
  }
}

void HX_WinRTCaptureSession::PushImage() {
  if (!EnsurePixmap()) return;
  const int32_t w = m_iWidth;
  const int32_t h = m_iHeight;
  if (w <= 0 || h <= 0) return;
  std::unique_ptr<HX_WinRTImage> image(new (std::nothrow) HX_WinRTImage());
  if (!image) return;
  image->m_iWidth = w;
  image->m_iHeight = h;
  image->m_iPitch = w * 4;
  image->m_pData.reset(new (std::nothrow) uint8_t[static_cast<size_t>(w) * h * 4]);
  if (!image->m_pData) {
    HX_LOG_WARNING("no memory for a %dx%d window image", w, h);
    return;
  }
  if (m_pReader->readInto(m_uiPixmap, 0, 0, w, h, image->m_pData.get(), image->m_iPitch) != 0) {
    // The pixmap may be stale after a change we have not heard of yet.
    ReleasePixmap();
    return;
  }
  m_pCallback(image.release(), m_pUser);
}

void HX_WinRTCaptureSession::Run() {
  HX_SetThreadName("ostrel-wincap");
  int64_t lastPush = HX_GetTickMs() - kMinPushIntervalMs;
  while (!m_bStop) {
    DrainEvents();
    if (m_pConn->broken()) {
      HX_LOG_ERROR("the connection to the X display broke; window capture ends");
      m_bGone = true;
    }
    int timeout = -1;
    if (m_bDirty && !m_bGone && m_bMapped) {
      const int64_t wait = lastPush + kMinPushIntervalMs - HX_GetTickMs();
      if (wait <= 0) {
        m_bDirty = false;
        PushImage();
        lastPush = HX_GetTickMs();
        continue;  // events may have arrived while reading
      }
      timeout = static_cast<int>(wait);
    }
    xcb_flush(m_pConn->get());
    pollfd fds[2] = {{m_wakeFd.get(), POLLIN, 0}, {m_pConn->fd(), POLLIN, 0}};
    // A broken connection is not polled: it would report readable forever.
    const nfds_t count = m_bGone && m_pConn->broken() ? 1 : 2;
    int n = poll(fds, count, timeout);
    if (n < 0 && errno != EINTR) {
      HX_LOG_ERROR("poll failed: %s", std::strerror(errno));
      break;
    }
  }
}
