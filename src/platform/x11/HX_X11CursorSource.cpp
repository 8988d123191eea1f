#include "platform/x11/HX_X11CursorSource.h"

#include <xcb/xfixes.h>

#include "log/HX_Log.h"
#include "platform/x11/HX_X11Connection.h"

std::unique_ptr<HX_ICursorSource> HX_CreateCursorSource() {
  return std::make_unique<HX_X11CursorSource>();
}

HX_X11CursorSource::HX_X11CursorSource() = default;

HX_X11CursorSource::~HX_X11CursorSource() { close(); }

int HX_X11CursorSource::open() {
  close();
  m_pConn = HX_X11Connection::Open();
  if (!m_pConn) return -1;
  xcb_connection_t* c = m_pConn->get();
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_xfixes_id);
  HX_XcbReply<xcb_xfixes_query_version_reply_t> version;
  if (ext != nullptr && ext->present) {
    version.reset(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
  }
  if (!version || version->major_version < 2) {
    HX_LOG_WARNING("the X display offers no XFixes 2 cursor images; the pointer is not drawn");
    m_pConn.reset();
    return -2;
  }
  m_uiXfixesEventBase = ext->first_event;
  xcb_xfixes_select_cursor_input(c, m_pConn->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  xcb_flush(c);
  m_bImageStale = true;
  m_pImage.reset();
  m_iFetches = 0;
  return 0;
}

void HX_X11CursorSource::close() {
  m_pConn.reset();
  m_pImage.reset();
}

bool HX_X11CursorSource::DrainEvents() {
  bool changed = false;
  const uint8_t notify = m_uiXfixesEventBase + XCB_XFIXES_CURSOR_NOTIFY;
  while (HX_XcbEvent event{xcb_poll_for_event(m_pConn->get())}) {
    if ((event->response_type & 0x7f) != notify) continue;
    auto* e = reinterpret_cast<xcb_xfixes_cursor_notify_event_t*>(event.get());
    if (!m_pImage || e->cursor_serial != m_pImage->serial) changed = true;
  }
  return changed;
}

int HX_X11CursorSource::FetchImage(HX_CursorState* state) {
  xcb_connection_t* c = m_pConn->get();
  HX_XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!reply) return -1;
  ++m_iFetches;
  auto image = std::make_shared<HX_CursorImage>();
  image->width = reply->width;
  image->height = reply->height;
  image->xhot = reply->xhot;
  image->yhot = reply->yhot;
  image->serial = reply->cursor_serial;
  const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
  const int length = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
  if (pixels != nullptr && length >= image->width * image->height) {
    image->argb.assign(pixels, pixels + static_cast<size_t>(image->width) * image->height);
  } else {
    image->width = image->height = 0;
  }
  m_pImage = std::move(image);
  m_bImageStale = false;
  state->visible = true;
  state->x = reply->x;
  state->y = reply->y;
  state->image = m_pImage;
  return 0;
}

int HX_X11CursorSource::poll(HX_CursorState* state) {
  if (!m_pConn || m_pConn->broken()) return -1;
  if (DrainEvents()) m_bImageStale = true;
  // The image reply carries the position too: no second round trip.
  if (m_bImageStale) return FetchImage(state);
  xcb_connection_t* c = m_pConn->get();
  HX_XcbReply<xcb_query_pointer_reply_t> pointer(
      xcb_query_pointer_reply(c, xcb_query_pointer(c, m_pConn->root()), nullptr));
  if (!pointer) return -1;
  state->visible = pointer->same_screen != 0;
  state->x = pointer->root_x;
  state->y = pointer->root_y;
  state->image = m_pImage;
  return 0;
}
