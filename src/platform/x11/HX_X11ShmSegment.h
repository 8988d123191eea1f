#pragma once
// A System V shared-memory segment attached both here and in the X server, so
// images can be read without copying them through the socket. Owned by one
// image reader; destroyed before its connection.
#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>
#include <memory>

class HX_X11Connection;

class HX_X11ShmSegment {
 public:
  // Creates and attaches |size| bytes. Null when the segment cannot be made or
  // the server refuses it (for example a remote display).
  static std::unique_ptr<HX_X11ShmSegment> Create(HX_X11Connection* conn, size_t size);
  ~HX_X11ShmSegment();
  HX_X11ShmSegment(const HX_X11ShmSegment&) = delete;
  HX_X11ShmSegment& operator=(const HX_X11ShmSegment&) = delete;

  xcb_shm_seg_t id() const { return m_uiSeg; }
  uint8_t* data() const { return m_pData; }
  size_t size() const { return m_ullSize; }

 private:
  HX_X11ShmSegment() = default;
  HX_X11Connection* m_pConn = nullptr;
  xcb_shm_seg_t m_uiSeg = 0;
  uint8_t* m_pData = nullptr;
  size_t m_ullSize = 0;
  bool m_bAttached = false;
};
