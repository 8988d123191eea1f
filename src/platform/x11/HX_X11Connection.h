#pragma once
// One connection to the X server with the facts every X11 component needs:
// the default screen, which extensions are usable and interned atoms. The
// owner uses it from one thread at a time (the atom cache is not locked).
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/x11/HX_X11Types.h"

class HX_X11Connection {
 public:
  // Connects to |displayName| (null: the DISPLAY variable) and queries the
  // extensions. Null on failure, with one log line for a run of failures.
  static std::unique_ptr<HX_X11Connection> Open(const char* displayName = nullptr);

  HX_X11Connection(const HX_X11Connection&) = delete;
  HX_X11Connection& operator=(const HX_X11Connection&) = delete;

  xcb_connection_t* get() const { return m_pConn.get(); }
  xcb_screen_t* screen() const { return m_pScreen; }
  xcb_window_t root() const { return m_pScreen->root; }
  bool broken() const { return xcb_connection_has_error(m_pConn.get()) != 0; }
  int fd() const { return xcb_get_file_descriptor(m_pConn.get()); }

  bool hasShm() const { return m_bShm; }
  bool hasDamage() const { return m_bDamage; }
  bool hasComposite() const { return m_bComposite; }
  bool hasRandr() const { return m_bRandr; }
  uint8_t damageEventBase() const { return m_uiDamageEventBase; }
  uint8_t randrEventBase() const { return m_uiRandrEventBase; }
  uint32_t damageVersion() const { return m_uiDamageVersion; }  // major << 16 | minor

  // Interns |name| once per connection; XCB_ATOM_NONE on failure.
  xcb_atom_t atom(const char* name);
  // Round trip: every request sent so far has been handled by the server.
  void sync();
  // Bits per pixel of images of |depth| in Z format; 0 when unknown.
  int bitsPerPixel(uint8_t depth) const;
  bool imageLsbFirst() const;

 private:
  HX_X11Connection() = default;
  void QueryExtensions();

  HX_XcbConnectionPtr m_pConn;
  xcb_screen_t* m_pScreen = nullptr;
  bool m_bShm = false;
  bool m_bDamage = false;
  bool m_bComposite = false;
  bool m_bRandr = false;
  uint8_t m_uiDamageEventBase = 0;
  uint8_t m_uiRandrEventBase = 0;
  uint32_t m_uiDamageVersion = 0;
  std::unordered_map<std::string, xcb_atom_t> m_atoms;
};
