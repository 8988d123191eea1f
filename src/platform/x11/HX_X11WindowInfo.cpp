#include "platform/x11/HX_X11WindowInfo.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "log/HX_Log.h"
#include "platform/x11/HX_X11Connection.h"

std::unique_ptr<HX_IWindowInfo> HX_CreateWindowInfo() {
  return std::make_unique<HX_X11WindowInfo>();
}

namespace {
using PropertyReply = HX_XcbReply<xcb_get_property_reply_t>;

constexpr uint32_t kIconicState = 3;
constexpr uint32_t kAllDesktops = 0xFFFFFFFFu;
// Enough for any title the window list keeps (1024 characters of UTF-8).
constexpr uint32_t kTextPropertyWords = 2048;

xcb_get_property_cookie_t AskProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop,
                                      xcb_atom_t type, uint32_t words) {
  return xcb_get_property(c, 0, w, prop, type, 0, words);
}

PropertyReply TakeProperty(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
  return PropertyReply(xcb_get_property_reply(c, cookie, nullptr));
}

bool Exists(const PropertyReply& p) { return p && p->type != XCB_ATOM_NONE; }

// 32-bit items of a property (CARDINAL, WINDOW, ATOM lists).
std::vector<uint32_t> Words(const PropertyReply& p) {
  std::vector<uint32_t> out;
  if (!Exists(p) || p->format != 32) return out;
  const int n = xcb_get_property_value_length(p.get()) / 4;
  const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(p.get()));
  out.assign(v, v + n);
  return out;
}

std::string Bytes(const PropertyReply& p) {
  if (!Exists(p) || p->format != 8) return std::string();
  return std::string(static_cast<const char*>(xcb_get_property_value(p.get())),
                     xcb_get_property_value_length(p.get()));
}

std::string Latin1ToUtf8(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (unsigned char ch : in) {
    if (ch < 0x80) {
      out += static_cast<char>(ch);
    } else {
      out += static_cast<char>(0xC0 | (ch >> 6));
      out += static_cast<char>(0x80 | (ch & 0x3F));
    }
  }
  return out;
}

// Cuts at the first NUL: text properties may carry a terminator.
std::string UpToNul(std::string s) {
  size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

// The title: _NET_WM_NAME (UTF-8) first, then WM_NAME (Latin-1 unless it says UTF-8).
std::string Title(const PropertyReply& netName, const PropertyReply& wmName, xcb_atom_t utf8) {
  std::string title = UpToNul(Bytes(netName));
  if (!title.empty()) return title;
  title = UpToNul(Bytes(wmName));
  if (title.empty() || (wmName && wmName->type == utf8)) return title;
  return Latin1ToUtf8(title);
}

// WM_CLASS holds "instance\0class\0"; the class is the window's class name.
std::string ClassName(const PropertyReply& wmClass) {
  std::string raw = Bytes(wmClass);
  size_t nul = raw.find('\0');
  if (nul == std::string::npos) return Latin1ToUtf8(raw);
  std::string cls = UpToNul(raw.substr(nul + 1));
  return Latin1ToUtf8(cls.empty() ? raw.substr(0, nul) : cls);
}

bool Contains(const std::vector<uint32_t>& list, uint32_t value) {
  return value != XCB_ATOM_NONE && std::find(list.begin(), list.end(), value) != list.end();
}
}  // namespace

HX_X11WindowInfo::HX_X11WindowInfo() = default;
HX_X11WindowInfo::~HX_X11WindowInfo() = default;

int HX_X11WindowInfo::open() {
  m_pConn = HX_X11Connection::Open();
  return m_pConn ? 0 : -1;
}

int HX_X11WindowInfo::listTopLevel(std::vector<HX_TopLevelWindow>* windows) {
  windows->clear();
  if (!m_pConn) return -1;
  HX_X11Connection& x = *m_pConn;
  xcb_connection_t* c = x.get();
  const xcb_window_t root = x.root();
  const xcb_atom_t aStacking = x.atom("_NET_CLIENT_LIST_STACKING");
  const xcb_atom_t aCurrentDesktop = x.atom("_NET_CURRENT_DESKTOP");
  const xcb_atom_t aNetName = x.atom("_NET_WM_NAME");
  const xcb_atom_t aUtf8 = x.atom("UTF8_STRING");
  const xcb_atom_t aNetState = x.atom("_NET_WM_STATE");
  const xcb_atom_t aHidden = x.atom("_NET_WM_STATE_HIDDEN");
  const xcb_atom_t aWmState = x.atom("WM_STATE");
  const xcb_atom_t aType = x.atom("_NET_WM_WINDOW_TYPE");
  const xcb_atom_t aTypeDesktop = x.atom("_NET_WM_WINDOW_TYPE_DESKTOP");
  const xcb_atom_t aTypeDock = x.atom("_NET_WM_WINDOW_TYPE_DOCK");
  const xcb_atom_t aDesktop = x.atom("_NET_WM_DESKTOP");
  const xcb_atom_t aExtents = x.atom("_NET_FRAME_EXTENTS");

  PropertyReply stacking =
      TakeProperty(c, AskProperty(c, root, aStacking, XCB_ATOM_WINDOW, 0x10000));
  std::vector<uint32_t> candidates;
  if (Exists(stacking)) {
    candidates = Words(stacking);  // a window manager runs: its client windows
  } else {
    HX_XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    if (!tree) {
      HX_LOG_ERROR("the root window's children cannot be read");
      return -2;
    }
    const xcb_window_t* kids = xcb_query_tree_children(tree.get());
    candidates.assign(kids, kids + xcb_query_tree_children_length(tree.get()));
  }
  // Both lists run bottom to top; the window list wants the topmost first.
  std::reverse(candidates.begin(), candidates.end());
  std::vector<uint32_t> current =
      Words(TakeProperty(c, AskProperty(c, root, aCurrentDesktop, XCB_ATOM_CARDINAL, 1)));

  struct Pending {
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_get_property_cookie_t netName, wmName, wmClass, transient, netState, wmState, type,
        desktop, extents;
  };
  std::vector<Pending> pending;
  pending.reserve(candidates.size());
  for (xcb_window_t w : candidates) {
    Pending p;
    p.attributes = xcb_get_window_attributes(c, w);
    p.geometry = xcb_get_geometry(c, w);
    p.netName = AskProperty(c, w, aNetName, XCB_GET_PROPERTY_TYPE_ANY, kTextPropertyWords);
    p.wmName = AskProperty(c, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, kTextPropertyWords);
    p.wmClass = AskProperty(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, kTextPropertyWords);
    p.transient = AskProperty(c, w, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 1);
    p.netState = AskProperty(c, w, aNetState, XCB_ATOM_ATOM, 64);
    p.wmState = AskProperty(c, w, aWmState, aWmState, 2);
    p.type = AskProperty(c, w, aType, XCB_ATOM_ATOM, 64);
    p.desktop = AskProperty(c, w, aDesktop, XCB_ATOM_CARDINAL, 1);
    p.extents = AskProperty(c, w, aExtents, XCB_ATOM_CARDINAL, 4);
    pending.push_back(p);
  }
  for (size_t i = 0; i < candidates.size(); ++i) {
    const Pending& p = pending[i];
    HX_XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, p.attributes, nullptr));
    HX_XcbReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, p.geometry, nullptr));
    PropertyReply netName = TakeProperty(c, p.netName);
    PropertyReply wmName = TakeProperty(c, p.wmName);
    PropertyReply wmClass = TakeProperty(c, p.wmClass);
    std::vector<uint32_t> transient = Words(TakeProperty(c, p.transient));
    std::vector<uint32_t> netState = Words(TakeProperty(c, p.netState));
    std::vector<uint32_t> wmState = Words(TakeProperty(c, p.wmState));
    std::vector<uint32_t> type = Words(TakeProperty(c, p.type));
    std::vector<uint32_t> desktop = Words(TakeProperty(c, p.desktop));
    std::vector<uint32_t> extents = Words(TakeProperty(c, p.extents));
    // A window destroyed while we were asking is simply not listed.
    if (!attributes || !geometry) continue;

    HX_TopLevelWindow info;
    info.id = candidates[i];
    info.title = Title(netName, wmName, aUtf8);
    info.className = ClassName(wmClass);
    info.isShellWindow = Contains(type, aTypeDesktop) || Contains(type, aTypeDock);
    const bool iconic = (!wmState.empty() && wmState[0] == kIconicState) || Contains(netState, aHidden);
    info.visible = attributes->_class != XCB_WINDOW_CLASS_INPUT_ONLY &&
                   (attributes->map_state != XCB_MAP_STATE_UNMAPPED || iconic);
    const bool owned = !transient.empty() && transient[0] != XCB_NONE && transient[0] != root;
    info.ownRoot = !attributes->override_redirect && !owned;
    if (!desktop.empty()) {
      const bool elsewhere =
          desktop[0] != kAllDesktops && !current.empty() && desktop[0] != current[0];
      info.cloaked = elsewhere ? 2 : 0;
    }
    int32_t w = geometry->width + 2 * geometry->border_width;
    int32_t h = geometry->height + 2 * geometry->border_width;
    if (extents.size() == 4) {
      w = geometry->width + static_cast<int32_t>(extents[0] + extents[1]);
      h = geometry->height + static_cast<int32_t>(extents[2] + extents[3]);
    }
    info.outerWidth = w;
    info.outerHeight = h;
    windows->push_back(std::move(info));
  }
  return 0;
}

bool HX_X11WindowInfo::exists(HX_WindowId window) {
  if (!m_pConn || window == XCB_NONE) return false;
  xcb_connection_t* c = m_pConn->get();
  HX_XcbReply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  return attributes != nullptr;
}

bool HX_X11WindowInfo::minimised(HX_WindowId window) {
  if (!m_pConn || window == XCB_NONE) return false;
  HX_X11Connection& x = *m_pConn;
  xcb_connection_t* c = x.get();
  const xcb_atom_t aNetState = x.atom("_NET_WM_STATE");
  const xcb_atom_t aHidden = x.atom("_NET_WM_STATE_HIDDEN");
  const xcb_atom_t aWmState = x.atom("WM_STATE");
  auto attrCookie = xcb_get_window_attributes(c, window);
  auto netCookie = AskProperty(c, window, aNetState, XCB_ATOM_ATOM, 64);
  auto wmCookie = AskProperty(c, window, aWmState, aWmState, 2);
  HX_XcbReply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, attrCookie, nullptr));
  std::vector<uint32_t> netState = Words(TakeProperty(c, netCookie));
  std::vector<uint32_t> wmState = Words(TakeProperty(c, wmCookie));
  if (!attributes) return false;
  // An unmapped window shows nothing, whoever unmapped it.
  return attributes->map_state != XCB_MAP_STATE_VIEWABLE || Contains(netState, aHidden) ||
         (!wmState.empty() && wmState[0] == kIconicState);
}

int HX_X11WindowInfo::rects(HX_WindowId window, HX_ScreenRect* outer, HX_ScreenRect* client) {
  if (!m_pConn || window == XCB_NONE) return -1;
  HX_X11Connection& x = *m_pConn;
  xcb_connection_t* c = x.get();
  auto geoCookie = xcb_get_geometry(c, window);
  auto posCookie = xcb_translate_coordinates(c, window, x.root(), 0, 0);
  auto extCookie = AskProperty(c, window, x.atom("_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 4);
  HX_XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geoCookie, nullptr));
  HX_XcbReply<xcb_translate_coordinates_reply_t> pos(
      xcb_translate_coordinates_reply(c, posCookie, nullptr));
  std::vector<uint32_t> extents = Words(TakeProperty(c, extCookie));
  if (!geometry || !pos) return -2;
  *client = HX_ScreenRect{pos->dst_x, pos->dst_y, pos->dst_x + geometry->width,
                          pos->dst_y + geometry->height};
  if (extents.size() == 4) {
    // _NET_FRAME_EXTENTS: left, right, top, bottom.
    *outer = HX_ScreenRect{client->left - static_cast<int32_t>(extents[0]),
                           client->top - static_cast<int32_t>(extents[2]),
                           client->right + static_cast<int32_t>(extents[1]),
                           client->bottom + static_cast<int32_t>(extents[3])};
  } else {
    const int32_t b = geometry->border_width;
    *outer = HX_ScreenRect{client->left - b, client->top - b, client->right + b, client->bottom + b};
  }
  return 0;
}
