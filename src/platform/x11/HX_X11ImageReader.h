#pragma once
// Reads rectangles of a drawable as top-down BGRA, through a shared-memory
// segment when the server offers MIT-SHM and through GetImage otherwise.
// Belongs to one connection and one thread.
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>

#include "platform/x11/HX_ScreenTypes.h"
#include "platform/x11/HX_X11Types.h"

class HX_X11Connection;
class HX_X11ShmSegment;

class HX_X11ImageReader {
 public:
  HX_X11ImageReader(HX_X11Connection* conn, bool allowShm);
  ~HX_X11ImageReader();
  HX_X11ImageReader(const HX_X11ImageReader&) = delete;
  HX_X11ImageReader& operator=(const HX_X11ImageReader&) = delete;

  // Reads w x h at (x, y) of |drawable|; the rectangle must lie inside it.
  // |image| points into the reader's own buffer until the next read.
  // 0, -1 when the server refuses the read, -2 for a pixel layout other than
  // 32 bits per pixel.
  int read(xcb_drawable_t drawable, int32_t x, int32_t y, int32_t w, int32_t h,
           HX_ImageView* image);
  // The same, copied into |dst| with |dstPitch| bytes per row.
  int readInto(xcb_drawable_t drawable, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t* dst,
               int32_t dstPitch);
  bool usingShm() const { return m_bShm; }

 private:
  int CheckLayout(uint8_t depth);
  void SwapToLsb(uint8_t* data, size_t bytes) const;

  HX_X11Connection* m_pConn;
  bool m_bShm;
  std::unique_ptr<HX_X11ShmSegment> m_pSegment;
  HX_XcbReply<xcb_get_image_reply_t> m_pReply;  // the GetImage path's last image
};
