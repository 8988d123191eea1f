#include "capture/VrCursorPainter.h"

#include <algorithm>
#include <cstring>

namespace {
// d * (255 - a) / 255 for one 8-bit channel, rounded, without a division.
inline uint32_t Fade(uint32_t d, uint32_t inverseAlpha) {
  const uint32_t t = d * inverseAlpha + 128;
  return (t + (t >> 8)) >> 8;
}

// Premultiplied "over" on the three colour channels: src + dst * (1 - alpha).
// The picture's fourth byte is not a coverage value (X delivers it as 0) and
// is left as it was.
inline uint32_t Over(uint32_t src, uint32_t dst) {
  const uint32_t alpha = src >> 24;
  const uint32_t keep = dst & 0xFF000000u;
  if (alpha == 0xFF) return keep | (src & 0x00FFFFFFu);
  if (src == 0) return dst;
  const uint32_t inv = 255 - alpha;
  uint32_t out = keep;
  for (int shift = 0; shift < 24; shift += 8) {
    const uint32_t s = (src >> shift) & 0xFF;
    const uint32_t d = (dst >> shift) & 0xFF;
    out |= std::min<uint32_t>(s + Fade(d, inv), 255) << shift;
  }
  return out;
}
}  // namespace

void VrCursorPainter::Paint(uint8_t* dst, int32_t pitch, int32_t w, int32_t h,
                            const HX_CursorImage& image, int32_t x, int32_t y) {
  m_iWidth = m_iHeight = 0;
  if (dst == nullptr || image.width <= 0 || image.height <= 0 ||
      image.argb.size() < static_cast<size_t>(image.width) * image.height) {
    return;
  }
  const int64_t left = int64_t{x} - image.xhot;
  const int64_t top = int64_t{y} - image.yhot;
  const int64_t x0 = std::max<int64_t>(left, 0), y0 = std::max<int64_t>(top, 0);
  const int64_t x1 = std::min<int64_t>(left + image.width, w);
  const int64_t y1 = std::min<int64_t>(top + image.height, h);
  if (x1 <= x0 || y1 <= y0) return;
  m_iLeft = static_cast<int32_t>(x0);
  m_iTop = static_cast<int32_t>(y0);
  m_iWidth = static_cast<int32_t>(x1 - x0);
  m_iHeight = static_cast<int32_t>(y1 - y0);
  m_iPictureW = w;
  m_iPictureH = h;
  m_saved.resize(static_cast<size_t>(m_iWidth) * m_iHeight);
  for (int32_t row = 0; row < m_iHeight; ++row) {
    uint8_t* line = dst + static_cast<size_t>(m_iTop + row) * pitch + static_cast<size_t>(m_iLeft) * 4;
    uint32_t* saved = m_saved.data() + static_cast<size_t>(row) * m_iWidth;
    std::memcpy(saved, line, static_cast<size_t>(m_iWidth) * 4);
    const uint32_t* src = image.argb.data() + static_cast<size_t>(m_iTop + row - top) * image.width +
                          static_cast<size_t>(m_iLeft - left);
    for (int32_t col = 0; col < m_iWidth; ++col) {
      const uint32_t out = Over(src[col], saved[col]);
      std::memcpy(line + static_cast<size_t>(col) * 4, &out, 4);
    }
  }
}

void VrCursorPainter::Restore(uint8_t* dst, int32_t pitch, int32_t w, int32_t h) {
  if (dst == nullptr || m_iWidth == 0 || w != m_iPictureW || h != m_iPictureH) {
    m_iWidth = m_iHeight = 0;
    return;
  }
  for (int32_t row = 0; row < m_iHeight; ++row) {
    std::memcpy(dst + static_cast<size_t>(m_iTop + row) * pitch + static_cast<size_t>(m_iLeft) * 4,
                m_saved.data() + static_cast<size_t>(row) * m_iWidth, static_cast<size_t>(m_iWidth) * 4);
  }
  m_iWidth = m_iHeight = 0;
}
