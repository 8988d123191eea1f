#include "platform/x11/HX_X11Connection.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <atomic>
#include <cstring>

#include "log/HX_Log.h"

namespace {
// Sources retry a lost display every second: only the first failure of a
// run of failures is logged, the next success starts a new run.
std::atomic<bool> g_connectFailing{false};
}  // namespace

std::unique_ptr<HX_X11Connection> HX_X11Connection::Open(const char* displayName) {
  int screenNumber = 0;
  HX_XcbConnectionPtr conn(xcb_connect(displayName, &screenNumber));
  if (!conn || xcb_connection_has_error(conn.get())) {
    const char* name = displayName ? displayName : std::getenv("DISPLAY");
    if (!g_connectFailing.exchange(true)) {
      HX_LOG_ERROR("cannot connect to the X display \"%s\"", name ? name : "");
    }
    return nullptr;
  }
  g_connectFailing = false;
  std::unique_ptr<HX_X11Connection> self(new HX_X11Connection());
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn.get()));
  for (int i = 0; it.rem > 0 && i < screenNumber; ++i) xcb_screen_next(&it);
  if (it.rem <= 0 || it.data == nullptr) {
    HX_LOG_ERROR("the X display has no screen %d", screenNumber);
    return nullptr;
  }
  self->m_pScreen = it.data;
  self->m_pConn = std::move(conn);
  self->QueryExtensions();
  return self;
}

void HX_X11Connection::QueryExtensions() {
  xcb_connection_t* c = m_pConn.get();
  // Ask for every extension first so the replies arrive in one round trip.
  xcb_prefetch_extension_data(c, &xcb_shm_id);
  xcb_prefetch_extension_data(c, &xcb_damage_id);
  xcb_prefetch_extension_data(c, &xcb_composite_id);
  xcb_prefetch_extension_data(c, &xcb_randr_id);
  xcb_prefetch_extension_data(c, &xcb_xfixes_id);
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
  const xcb_query_extension_reply_t* damage = xcb_get_extension_data(c, &xcb_damage_id);
  const xcb_query_extension_reply_t* composite = xcb_get_extension_data(c, &xcb_composite_id);
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  bool hasShm = shm && shm->present;
  bool hasDamage = damage && damage->present && xfixes && xfixes->present;
  bool hasComposite = composite && composite->present;
  bool hasRandr = randr && randr->present;

  // Damage needs its version (and XFixes') announced before first use.
  xcb_shm_query_version_cookie_t shmCookie{};
  xcb_xfixes_query_version_cookie_t xfixesCookie{};
  xcb_damage_query_version_cookie_t damageCookie{};
  xcb_composite_query_version_cookie_t compositeCookie{};
  xcb_randr_query_version_cookie_t randrCookie{};
  if (hasShm) shmCookie = xcb_shm_query_version(c);
  if (hasDamage) {
    xfixesCookie = xcb_xfixes_query_version(c, 5, 0);
    damageCookie = xcb_damage_query_version(c, 1, 1);
  }
  if (hasComposite) compositeCookie = xcb_composite_query_version(c, 0, 4);
  if (hasRandr) randrCookie = xcb_randr_query_version(c, 1, 5);

  if (hasShm) {
    HX_XcbReply<xcb_shm_query_version_reply_t> r(xcb_shm_query_version_reply(c, shmCookie, nullptr));
    m_bShm = r != nullptr;
  }
  if (hasDamage) {
    HX_XcbReply<xcb_xfixes_query_version_reply_t> xf(
        xcb_xfixes_query_version_reply(c, xfixesCookie, nullptr));
    HX_XcbReply<xcb_damage_query_version_reply_t> r(
        xcb_damage_query_version_reply(c, damageCookie, nullptr));
    m_bDamage = xf != nullptr && r != nullptr;
    if (r) m_uiDamageVersion = (r->major_version << 16) | r->minor_version;
    m_uiDamageEventBase = damage->first_event;
  }
  if (hasComposite) {
    HX_XcbReply<xcb_composite_query_version_reply_t> r(
        xcb_composite_query_version_reply(c, compositeCookie, nullptr));
    // Naming a window's pixmap needs Composite 0.2.
    m_bComposite = r && (r->major_version > 0 || r->minor_version >= 2);
  }
  if (hasRandr) {
    HX_XcbReply<xcb_randr_query_version_reply_t> r(
        xcb_randr_query_version_reply(c, randrCookie, nullptr));
    // Screen resources with CRTCs need RandR 1.2.
    m_bRandr = r && (r->major_version > 1 || r->minor_version >= 2);
    m_uiRandrEventBase = randr->first_event;
  }
}

xcb_atom_t HX_X11Connection::atom(const char* name) {
  auto found = m_atoms.find(name);
  if (found != m_atoms.end()) return found->second;
  xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(get(), 0, static_cast<uint16_t>(std::strlen(name)), name);
  HX_XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(get(), cookie, nullptr));
  xcb_atom_t a = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  if (a != XCB_ATOM_NONE) m_atoms.emplace(name, a);
  return a;
}

void HX_X11Connection::sync() {
  HX_XcbReply<xcb_get_input_focus_reply_t> r(
      xcb_get_input_focus_reply(get(), xcb_get_input_focus(get()), nullptr));
}

int HX_X11Connection::bitsPerPixel(uint8_t depth) const {
  const xcb_setup_t* setup = xcb_get_setup(get());
  xcb_format_iterator_t it = xcb_setup_pixmap_formats_iterator(setup);
  for (; it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) return it.data->bits_per_pixel;
  }
  return 0;
}

bool HX_X11Connection::imageLsbFirst() const {
  return xcb_get_setup(get())->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
}
