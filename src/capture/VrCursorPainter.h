#pragma once
// Draws the pointer's image into a top-down BGRA picture, alpha-blended at its
// hot spot and clipped to the picture, and keeps the pixels it covered so a
// copy of that picture can take the pointer out again (a pointer that moved
// over a still desktop needs no new grab). Value-like; one thread at a time.
#include <cstdint>
#include <vector>

#include "platform/x11/HX_ICursorSource.h"

class VrCursorPainter {
 public:
  // Blends |image| into the colour channels of the w x h picture at |dst|
  // (|pitch| bytes per row) so that its hot spot lands on picture pixel (x, y). Replaces what an
  // earlier Paint kept.
  void Paint(uint8_t* dst, int32_t pitch, int32_t w, int32_t h, const HX_CursorImage& image,
             int32_t x, int32_t y);
  // Writes back the pixels the last Paint covered into |dst|, a picture of
  // the same size (for example a copy of the painted one). Forgets them.
  void Restore(uint8_t* dst, int32_t pitch, int32_t w, int32_t h);
  // Keeps nothing (the last picture shows no pointer).
  void Forget() { m_iWidth = m_iHeight = 0; }

 private:
  // The painted rectangle in picture coordinates, and its former pixels.
  int32_t m_iLeft = 0, m_iTop = 0, m_iWidth = 0, m_iHeight = 0;
  int32_t m_iPictureW = 0, m_iPictureH = 0;
  std::vector<uint32_t> m_saved;
};
