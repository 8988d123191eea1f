#pragma once
// The mouse pointer as a picture should show it: where its hot spot is on the
// desktop and what it looks like. The image is fetched again only after the
// display reported a new cursor, so asking every frame costs one position
// query. One user thread at a time.
#include <cstdint>
#include <memory>
#include <vector>

// One cursor image: premultiplied ARGB pixels (0xAARRGGBB, the same byte order
// as a BGRA picture on a little-endian machine), rows of |width|.
struct HX_CursorImage {
  int32_t width = 0;
  int32_t height = 0;
  int32_t xhot = 0;
  int32_t yhot = 0;
  uint32_t serial = 0;  // the display's number for this cursor image
  std::vector<uint32_t> argb;
};

struct HX_CursorState {
  bool visible = false;  // false while the pointer is on another screen
  int32_t x = 0;         // the hot spot in desktop coordinates
  int32_t y = 0;
  std::shared_ptr<const HX_CursorImage> image;  // null until known
};

class HX_ICursorSource {
 public:
  virtual ~HX_ICursorSource() = default;
  // Connects to the display named by DISPLAY. 0, or negative (logged) when
  // it cannot or offers no cursor images (XFixes 2 or later).
  virtual int open() = 0;
  virtual void close() = 0;
  // Fills |state| with the pointer now. 0, or negative when the display
  // cannot be asked (connection lost).
  virtual int poll(HX_CursorState* state) = 0;
};

std::unique_ptr<HX_ICursorSource> HX_CreateCursorSource();
