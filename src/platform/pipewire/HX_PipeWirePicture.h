#pragma once
// One video buffer of a PipeWire stream as plain numbers, and its conversion
// to the top-down BGRA picture every screen source delivers. Free of PipeWire
// types so the conversion can be tested on hand-made buffers. Pure functions:
// any thread, one picture per thread at a time.
#include <cstdint>
#include <vector>

// The shared-memory formats the stream accepts, in PipeWire's byte order.
enum class HX_PipeWirePixels { kBGRx, kBGRA, kRGBx, kRGBA };

// "BGRx" and so on, for log lines.
const char* HX_PipeWirePixelsName(HX_PipeWirePixels pixels);

// Top-down BGRA, stride m_iWidth * 4. The pixel store is reused from picture
// to picture: it reallocates only when a larger picture arrives.
struct HX_PipeWirePicture {
  std::vector<uint8_t> m_vPixels;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  // Counts the stream's pictures: a picture with a higher number is newer.
  uint64_t m_ullSequence = 0;
};

// What a mapped buffer says about itself: its memory, the chunk the producer
// filled and the crop meta when the producer attached one.
struct HX_PipeWireBufferView {
  HX_PipeWirePixels m_ePixels = HX_PipeWirePixels::kBGRx;
  int32_t m_iWidth = 0;  // the negotiated size
  int32_t m_iHeight = 0;
  const uint8_t* m_pData = nullptr;  // the mapped memory, null when not mapped
  uint32_t m_uiMaxSize = 0;
  uint32_t m_uiChunkOffset = 0;
  uint32_t m_uiChunkSize = 0;
  int32_t m_iChunkStride = 0;  // 0: the producer left it to the format (width * 4)
  bool m_bCorrupted = false;   // the producer flagged the chunk as corrupted
  bool m_bCrop = false;        // a valid crop meta came with the buffer
  int32_t m_iCropX = 0;
  int32_t m_iCropY = 0;
  int32_t m_iCropWidth = 0;
  int32_t m_iCropHeight = 0;
};

// HX_ConvertBuffer's results besides 0 (a picture was written).
constexpr int kPipeWireNoPicture = -1;   // empty, unmapped or corrupted: skipped, not a fault
constexpr int kPipeWireBadLayout = -2;   // the chunk's rows do not fit the buffer, or stride < row

// Writes the buffer's picture (the crop meta's rectangle, clipped to the
// negotiated size) into |*picture| as top-down BGRA; its sequence is left
// alone. 0, or one of the codes above with |*picture| unchanged.
int HX_ConvertBuffer(const HX_PipeWireBufferView& view, HX_PipeWirePicture* picture);
