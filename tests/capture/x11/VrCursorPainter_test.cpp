// Blending the pointer into pictures: premultiplied "over" on the colour
// channels, clipping at every edge, and putting back exactly what was covered.
#include "capture/VrCursorPainter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
struct Picture {
  Picture(int32_t w, int32_t h, uint32_t fill) : w(w), h(h), px(static_cast<size_t>(w) * h, fill) {}
  uint8_t* data() { return reinterpret_cast<uint8_t*>(px.data()); }
  uint32_t at(int32_t x, int32_t y) const { return px[static_cast<size_t>(y) * w + x]; }
  int32_t w, h;
  std::vector<uint32_t> px;
};

HX_CursorImage Image(int32_t w, int32_t h, int32_t xhot, int32_t yhot, std::vector<uint32_t> argb) {
  HX_CursorImage img;
  img.width = w;
  img.height = h;
  img.xhot = xhot;
  img.yhot = yhot;
  img.argb = std::move(argb);
  return img;
}
}  // namespace

TEST(VrCursorPainter, BlendsPremultipliedColourAndKeepsThePicturesFourthByte) {
  Picture pic(4, 1, 0x20FFFFFF);
  // Opaque, half-covered (premultiplied 0x40 red at alpha 0x80), transparent, opaque black.
  HX_CursorImage img = Image(4, 1, 0, 0, {0xFF0000FF, 0x80400000, 0x00000000, 0xFF000000});
  VrCursorPainter painter;
  painter.Paint(pic.data(), 16, 4, 1, img, 0, 0);
  EXPECT_EQ(pic.at(0, 0), 0x200000FFu);
  EXPECT_EQ(pic.at(1, 0), 0x20BF7F7Fu);  // 0x40 + 0xFF * 0x7F / 0xFF per channel
  EXPECT_EQ(pic.at(2, 0), 0x20FFFFFFu);
  EXPECT_EQ(pic.at(3, 0), 0x20000000u);
  // A sum that would pass 255 (a malformed, not premultiplied image) is clamped.
  Picture sat(1, 1, 0x00FFFFFF);
  painter.Paint(sat.data(), 4, 1, 1, Image(1, 1, 0, 0, {0x10FF0000}), 0, 0);
  EXPECT_EQ(sat.at(0, 0), 0x00FFEFEFu);  // red 0xFF + 0xEF stops at 0xFF
}

TEST(VrCursorPainter, ClipsAtEveryEdgeAndRestoresExactlyWhatItCovered) {
  const HX_CursorImage img = Image(4, 4, 1, 1, std::vector<uint32_t>(16, 0xFF112233));
  struct Case { int32_t x, y; int covered; } cases[] = {
      {0, 0, 9},     // 3 x 3 left after the hot spot's offset
      {7, 5, 4},     // bottom-right corner: 2 x 2
      {-3, 2, 0},    // wholly left of the picture
      {3, 3, 16},    // inside
      {100, -100, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
    Picture pic(8, 6, 0);
    for (size_t i = 0; i < pic.px.size(); ++i) pic.px[i] = static_cast<uint32_t>(i);
    const std::vector<uint32_t> before = pic.px;
    VrCursorPainter painter;
    painter.Paint(pic.data(), 32, 8, 6, img, c.x, c.y);
    int covered = 0;
    for (uint32_t v : pic.px) covered += (v & 0x00FFFFFF) == 0x112233;
    EXPECT_EQ(covered, c.covered);
    Picture copy = pic;
    painter.Restore(copy.data(), 32, 8, 6);
    EXPECT_EQ(copy.px, before);
    painter.Restore(copy.data(), 32, 8, 6);  // nothing kept any more
    EXPECT_EQ(copy.px, before);
  }
}

TEST(VrCursorPainter, ABadImageOrAnotherPictureSizeTouchesNothing) {
  Picture pic(4, 4, 7);
  VrCursorPainter painter;
  HX_CursorImage shortRows = Image(4, 4, 0, 0, std::vector<uint32_t>(3, 0xFFFFFFFF));
  painter.Paint(pic.data(), 16, 4, 4, shortRows, 1, 1);
  EXPECT_EQ(pic.px, std::vector<uint32_t>(16, 7));
  painter.Paint(pic.data(), 16, 4, 4, Image(2, 2, 0, 0, std::vector<uint32_t>(4, 0xFF000000)), 0, 0);
  Picture other(6, 6, 9);
  painter.Restore(other.data(), 24, 6, 6);  // the pointer was drawn into a 4 x 4 picture
  EXPECT_EQ(other.px, std::vector<uint32_t>(36, 9));
}
