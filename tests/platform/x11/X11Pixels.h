#pragma once
// Pixel checks on top-down BGRA images as the X server delivers them
// (B, G, R, then an alpha byte of 0).
#include <cstdint>
#include <cstring>

struct X11Pixels {
  // The BGRA bytes of 0xRRGGBB as read back from a depth-24 screen.
  static uint32_t Bgra(uint32_t rgb) {
    const uint8_t px[4] = {static_cast<uint8_t>(rgb), static_cast<uint8_t>(rgb >> 8),
                           static_cast<uint8_t>(rgb >> 16), 0};
    uint32_t v;
    std::memcpy(&v, px, 4);
    return v;
  }
  static uint32_t At(const uint8_t* data, int pitch, int x, int y) {
    uint32_t v;
    std::memcpy(&v, data + static_cast<size_t>(y) * pitch + static_cast<size_t>(x) * 4, 4);
    return v;
  }
  // True when every pixel of the w x h block at (x, y) is |rgb|.
  static bool Block(const uint8_t* data, int pitch, int x, int y, int w, int h, uint32_t rgb) {
    const uint32_t want = Bgra(rgb);
    for (int r = y; r < y + h; ++r) {
      for (int c = x; c < x + w; ++c) {
        if (At(data, pitch, c, r) != want) return false;
      }
    }
    return true;
  }
};
