#pragma once
// Test-side X client that builds scenes on a private Xvfb: plain windows with
// a solid background colour (0xRRGGBB) at exact positions, with the titles,
// classes and hints a test needs. Windows live as long as the scene's
// connection. One thread.
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

class X11TestScene {
 public:
  struct Props {
    std::string title;           // WM_NAME and _NET_WM_NAME; empty = none
    std::string instance;        // WM_CLASS instance; with className empty = no WM_CLASS
    std::string className;
    xcb_window_t transientFor = 0;
    bool overrideRedirect = false;
    bool map = true;
  };

  explicit X11TestScene(const std::string& display) {
    m_pConn = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(m_pConn) == 0) {
      m_pScreen = xcb_setup_roots_iterator(xcb_get_setup(m_pConn)).data;
    }
  }
  ~X11TestScene() { xcb_disconnect(m_pConn); }
  X11TestScene(const X11TestScene&) = delete;
  X11TestScene& operator=(const X11TestScene&) = delete;

  bool ok() const { return m_pScreen != nullptr; }
  xcb_connection_t* conn() const { return m_pConn; }
  xcb_window_t root() const { return m_pScreen->root; }

  // A window whose background shows |rgb| wherever it is visible.
  xcb_window_t create(int x, int y, int w, int h, uint32_t rgb, const Props& props) {
    xcb_window_t win = xcb_generate_id(m_pConn);
    const uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT;
    const uint32_t values[] = {rgb, props.overrideRedirect ? 1u : 0u};
    xcb_create_window(m_pConn, XCB_COPY_FROM_PARENT, win, root(), static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(w), static_cast<uint16_t>(h), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, m_pScreen->root_visual, mask, values);
    // User-specified position and size, so a window manager keeps them.
    uint32_t hints[18] = {0};
    hints[0] = 1 | 2;  // USPosition | USSize
    hints[1] = static_cast<uint32_t>(x);
    hints[2] = static_cast<uint32_t>(y);
    hints[3] = static_cast<uint32_t>(w);
    hints[4] = static_cast<uint32_t>(h);
    xcb_change_property(m_pConn, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
    if (!props.title.empty()) setTitle(win, props.title);
    if (!props.className.empty() || !props.instance.empty()) {
      std::string cls = props.instance + '\0' + props.className + '\0';
      xcb_change_property(m_pConn, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
                          8, static_cast<uint32_t>(cls.size()), cls.data());
    }
    if (props.transientFor != 0) {
      xcb_change_property(m_pConn, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_TRANSIENT_FOR,
                          XCB_ATOM_WINDOW, 32, 1, &props.transientFor);
    }
    if (props.map) xcb_map_window(m_pConn, win);
    sync();
    return win;
  }

  // An application window: titled, classed, mapped and waited for.
  xcb_window_t createApp(int x, int y, int w, int h, uint32_t rgb, const std::string& title) {
    Props p;
    p.title = title;
    p.instance = "ostreltest";
    p.className = "OstrelTest";
    xcb_window_t win = create(x, y, w, h, rgb, p);
    waitViewable(win);
    return win;
  }

  void setTitle(xcb_window_t win, const std::string& title) {
    xcb_change_property(m_pConn, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<uint32_t>(title.size()), title.data());
    xcb_change_property(m_pConn, XCB_PROP_MODE_REPLACE, win, atom("_NET_WM_NAME"),
                        atom("UTF8_STRING"), 8, static_cast<uint32_t>(title.size()), title.data());
  }

  void setCardinal(xcb_window_t win, const char* name, uint32_t value) {
    xcb_change_property(m_pConn, XCB_PROP_MODE_REPLACE, win, atom(name), XCB_ATOM_CARDINAL, 32, 1,
                        &value);
    sync();
  }

  void setAtom(xcb_window_t win, const char* name, const char* value) {
    xcb_atom_t a = atom(value);
    xcb_change_property(m_pConn, XCB_PROP_MODE_REPLACE, win, atom(name), XCB_ATOM_ATOM, 32, 1, &a);
    sync();
  }

  // Repaints the whole window in |rgb|.
  void fill(xcb_window_t win, uint32_t rgb) {
    xcb_change_window_attributes(m_pConn, win, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(m_pConn, 0, win, 0, 0, 0, 0);
    sync();
  }

  void moveResize(xcb_window_t win, int x, int y, int w, int h) {
    const uint32_t v[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                          static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
    xcb_configure_window(m_pConn, win,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         v);
    sync();
  }

  void raise(xcb_window_t win) {
    const uint32_t v = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(m_pConn, win, XCB_CONFIG_WINDOW_STACK_MODE, &v);
    sync();
  }

  void map(xcb_window_t win) {
    xcb_map_window(m_pConn, win);
    sync();
  }
  void unmap(xcb_window_t win) {
    xcb_unmap_window(m_pConn, win);
    sync();
  }
  void destroy(xcb_window_t win) {
    xcb_destroy_window(m_pConn, win);
    sync();
  }

  // Gives the root window (and every window that does not set its own) a
  // solid w x h pointer of |rgb| with its hot spot at (hotX, hotY).
  void setRootCursor(int w, int h, int hotX, int hotY, uint32_t rgb) {
    xcb_pixmap_t bits = xcb_generate_id(m_pConn);
    xcb_create_pixmap(m_pConn, 1, bits, root(), static_cast<uint16_t>(w), static_cast<uint16_t>(h));
    xcb_gcontext_t gc = xcb_generate_id(m_pConn);
    const uint32_t one = 1;
    xcb_create_gc(m_pConn, gc, bits, XCB_GC_FOREGROUND, &one);
    const xcb_rectangle_t all{0, 0, static_cast<uint16_t>(w), static_cast<uint16_t>(h)};
    xcb_poly_fill_rectangle(m_pConn, bits, gc, 1, &all);
    xcb_cursor_t cursor = xcb_generate_id(m_pConn);
    auto c16 = [](uint32_t v) { return static_cast<uint16_t>((v & 0xFF) * 257); };
    xcb_create_cursor(m_pConn, cursor, bits, bits, c16(rgb >> 16), c16(rgb >> 8), c16(rgb), 0, 0, 0,
                      static_cast<uint16_t>(hotX), static_cast<uint16_t>(hotY));
    xcb_change_window_attributes(m_pConn, root(), XCB_CW_CURSOR, &cursor);
    xcb_free_gc(m_pConn, gc);
    xcb_free_pixmap(m_pConn, bits);
    sync();
  }

  // Moves the pointer to desktop (x, y).
  void warpPointer(int x, int y) {
    xcb_warp_pointer(m_pConn, XCB_NONE, root(), 0, 0, 0, 0, static_cast<int16_t>(x),
                     static_cast<int16_t>(y));
    sync();
  }

  bool viewable(xcb_window_t win) {
    xcb_get_window_attributes_reply_t* r =
        xcb_get_window_attributes_reply(m_pConn, xcb_get_window_attributes(m_pConn, win), nullptr);
    const bool v = r != nullptr && r->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(r);
    return v;
  }

  // A window manager maps windows asynchronously; wait until it is shown.
  bool waitViewable(xcb_window_t win, int timeoutMs = 5000) {
    return waitFor([&] { return viewable(win); }, timeoutMs);
  }

  // Polls |condition| every 10 ms until it holds or |timeoutMs| passed.
  template <typename F>
  static bool waitFor(F condition, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  xcb_atom_t atom(const char* name) {
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
        m_pConn, xcb_intern_atom(m_pConn, 0, static_cast<uint16_t>(std::strlen(name)), name),
        nullptr);
    xcb_atom_t a = r ? r->atom : 0;
    std::free(r);
    return a;
  }

  void sync() {
    std::free(xcb_get_input_focus_reply(m_pConn, xcb_get_input_focus(m_pConn), nullptr));
  }

 private:
  xcb_connection_t* m_pConn = nullptr;
  xcb_screen_t* m_pScreen = nullptr;
};
