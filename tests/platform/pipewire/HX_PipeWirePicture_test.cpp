#include "platform/pipewire/HX_PipeWirePicture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// A w x h buffer of 4-byte pixels with |stride| bytes a row after |offset|
// bytes; pixel (x, y) holds bytes {x, y, 0x80 + x, 0xff} in memory order.
std::vector<uint8_t> Pattern(int w, int h, int stride, int offset) {
  std::vector<uint8_t> bytes(static_cast<size_t>(offset + stride * h), 0xee);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &bytes[static_cast<size_t>(offset + y * stride + x * 4)];
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y);
      p[2] = static_cast<uint8_t>(0x80 + x);
      p[3] = 0xff;
    }
  }
  return bytes;
}

HX_PipeWireBufferView View(HX_PipeWirePixels pixels, int w, int h, const std::vector<uint8_t>& bytes,
                           int stride, uint32_t offset) {
  HX_PipeWireBufferView v;
  v.m_ePixels = pixels;
  v.m_iWidth = w;
  v.m_iHeight = h;
  v.m_pData = bytes.data();
  v.m_uiMaxSize = static_cast<uint32_t>(bytes.size());
  v.m_uiChunkOffset = offset;
  v.m_uiChunkSize = static_cast<uint32_t>(bytes.size() - offset);
  v.m_iChunkStride = stride;
  return v;
}

const uint8_t* At(const HX_PipeWirePicture& p, int x, int y) {
  return &p.m_vPixels[static_cast<size_t>((y * p.m_iWidth + x) * 4)];
}

}  // namespace

// The producer's row padding and chunk offset are skipped; BGR byte order
// arrives as it is, RGB order has red and blue swapped into BGRA.
TEST(HX_PipeWirePicture, HonoursStrideOffsetAndSwizzlesRgbOrder) {
  const std::vector<uint8_t> bytes = Pattern(6, 4, 6 * 4 + 8, 16);
  HX_PipeWirePicture bgr;
  ASSERT_EQ(HX_ConvertBuffer(View(HX_PipeWirePixels::kBGRx, 6, 4, bytes, 32, 16), &bgr), 0);
  ASSERT_EQ(bgr.m_iWidth, 6);
  ASSERT_EQ(bgr.m_iHeight, 4);
  ASSERT_EQ(bgr.m_vPixels.size(), 6u * 4 * 4);
  EXPECT_EQ(At(bgr, 5, 3)[0], 5);
  EXPECT_EQ(At(bgr, 5, 3)[1], 3);
  EXPECT_EQ(At(bgr, 5, 3)[2], 0x85);

  HX_PipeWirePicture rgb;
  ASSERT_EQ(HX_ConvertBuffer(View(HX_PipeWirePixels::kRGBA, 6, 4, bytes, 32, 16), &rgb), 0);
  EXPECT_EQ(At(rgb, 5, 3)[0], 0x85);  // blue came last in RGBA
  EXPECT_EQ(At(rgb, 5, 3)[1], 3);
  EXPECT_EQ(At(rgb, 5, 3)[2], 5);
  EXPECT_EQ(At(rgb, 5, 3)[3], 0xff);
  EXPECT_EQ(At(rgb, 0, 0)[0], 0x80);
}

// A crop meta selects part of the buffer; one reaching past it is clipped.
TEST(HX_PipeWirePicture, TakesTheCropMetaClippedToTheBuffer) {
  const std::vector<uint8_t> bytes = Pattern(8, 6, 32, 0);
  HX_PipeWireBufferView v = View(HX_PipeWirePixels::kBGRx, 8, 6, bytes, 32, 0);
  v.m_bCrop = true;
  v.m_iCropX = 2;
  v.m_iCropY = 1;
  v.m_iCropWidth = 4;
  v.m_iCropHeight = 3;
  HX_PipeWirePicture p;
  ASSERT_EQ(HX_ConvertBuffer(v, &p), 0);
  EXPECT_EQ(p.m_iWidth, 4);
  EXPECT_EQ(p.m_iHeight, 3);
  EXPECT_EQ(At(p, 0, 0)[0], 2);
  EXPECT_EQ(At(p, 0, 0)[1], 1);
  EXPECT_EQ(At(p, 3, 2)[0], 5);
  EXPECT_EQ(At(p, 3, 2)[1], 3);

  v.m_iCropX = 6;
  v.m_iCropWidth = 100;
  ASSERT_EQ(HX_ConvertBuffer(v, &p), 0);
  EXPECT_EQ(p.m_iWidth, 2);
  EXPECT_EQ(At(p, 1, 0)[0], 7);

  v.m_iCropX = 9;  // wholly outside
  EXPECT_EQ(HX_ConvertBuffer(v, &p), kPipeWireNoPicture);
}

// Buffers that carry no picture are skipped, buffers whose rows would be read
// past their end are refused, and the last good picture is left untouched.
TEST(HX_PipeWirePicture, SkipsEmptyCorruptAndShortBuffers) {
  const std::vector<uint8_t> bytes = Pattern(4, 4, 16, 0);
  HX_PipeWirePicture p;
  ASSERT_EQ(HX_ConvertBuffer(View(HX_PipeWirePixels::kBGRx, 4, 4, bytes, 16, 0), &p), 0);
  const std::vector<uint8_t> good = p.m_vPixels;

  HX_PipeWireBufferView corrupt = View(HX_PipeWirePixels::kBGRx, 4, 4, bytes, 16, 0);
  corrupt.m_bCorrupted = true;
  EXPECT_EQ(HX_ConvertBuffer(corrupt, &p), kPipeWireNoPicture);
  HX_PipeWireBufferView empty = View(HX_PipeWirePixels::kBGRx, 4, 4, bytes, 16, 0);
  empty.m_uiChunkSize = 0;
  EXPECT_EQ(HX_ConvertBuffer(empty, &p), kPipeWireNoPicture);
  HX_PipeWireBufferView unmapped = View(HX_PipeWirePixels::kBGRx, 4, 4, bytes, 16, 0);
  unmapped.m_pData = nullptr;
  EXPECT_EQ(HX_ConvertBuffer(unmapped, &p), kPipeWireNoPicture);

  // One row too many for the memory, an offset that pushes the last row out,
  // and a stride shorter than a row.
  EXPECT_EQ(HX_ConvertBuffer(View(HX_PipeWirePixels::kBGRx, 4, 5, bytes, 16, 0), &p), kPipeWireBadLayout);
  EXPECT_EQ(HX_ConvertBuffer(View(HX_PipeWirePixels::kBGRx, 4, 4, bytes, 16, 4), &p), kPipeWireBadLayout);
  EXPECT_EQ(HX_ConvertBuffer(View(HX_PipeWirePixels::kBGRx, 4, 4, bytes, 12, 0), &p), kPipeWireBadLayout);
  EXPECT_EQ(HX_ConvertBuffer(View(HX_PipeWirePixels::kBGRx, 4, 4, bytes, -16, 0), &p), kPipeWireBadLayout);
  EXPECT_EQ(p.m_vPixels, good);
  EXPECT_EQ(p.m_iWidth, 4);
}
