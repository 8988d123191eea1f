#include "platform/pipewire/HX_PipeWirePicture.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>

const char* HX_PipeWirePixelsName(HX_PipeWirePixels pixels) {
  switch (pixels) {
    case HX_PipeWirePixels::kBGRx: return "BGRx";
    case HX_PipeWirePixels::kBGRA: return "BGRA";
    case HX_PipeWirePixels::kRGBx: return "RGBx";
    case HX_PipeWirePixels::kRGBA: return "RGBA";
  }
  return "?";
}

int HX_ConvertBuffer(const HX_PipeWireBufferView& view, HX_PipeWirePicture* picture) {
  if (view.m_pData == nullptr || view.m_bCorrupted || view.m_uiChunkSize == 0) {
    return kPipeWireNoPicture;
  }
  int64_t x = 0;
  int64_t y = 0;
  int64_t w = view.m_iWidth;
  int64_t h = view.m_iHeight;
  if (view.m_bCrop) {
    // The producer's crop names the part of the buffer that holds the
    // picture; a crop reaching past the buffer keeps only what lies inside.
    x = std::clamp<int64_t>(view.m_iCropX, 0, w);
    y = std::clamp<int64_t>(view.m_iCropY, 0, h);
    w = std::min<int64_t>(int64_t{view.m_iCropX} + view.m_iCropWidth, w) - x;
    h = std::min<int64_t>(int64_t{view.m_iCropY} + view.m_iCropHeight, h) - y;
  }
  if (w <= 0 || h <= 0) return kPipeWireNoPicture;
  const int64_t stride = view.m_iChunkStride != 0 ? view.m_iChunkStride : int64_t{view.m_iWidth} * 4;
  // Bottom-up chunks (negative stride) are not produced by screen casts.
  if (stride < int64_t{view.m_iWidth} * 4) return kPipeWireBadLayout;
  // The chunk's offset wraps in the buffer like a ring position.
  const int64_t offset = view.m_uiMaxSize > 0 ? view.m_uiChunkOffset % view.m_uiMaxSize : 0;
  const int64_t first = offset + y * stride + x * 4;
  const int64_t end = first + (h - 1) * stride + w * 4;
  if (end > view.m_uiMaxSize) return kPipeWireBadLayout;

  const auto width = static_cast<int>(w);
  const auto height = static_cast<int>(h);
  picture->m_vPixels.resize(static_cast<size_t>(w * h * 4));
  const uint8_t* src = view.m_pData + first;
  uint8_t* dst = picture->m_vPixels.data();
  const int srcStride = static_cast<int>(stride);
  // libyuv names formats by 32-bit word: its "ARGB" is B, G, R, A in memory
  // (our BGRA) and its "ABGR" is R, G, B, A. The x byte is copied as it
  // comes, as the X11 grabs leave their pad byte.
  switch (view.m_ePixels) {
    case HX_PipeWirePixels::kBGRx:
    case HX_PipeWirePixels::kBGRA:
      libyuv::ARGBCopy(src, srcStride, dst, width * 4, width, height);
      break;
    case HX_PipeWirePixels::kRGBx:
    case HX_PipeWirePixels::kRGBA:
      libyuv::ABGRToARGB(src, srcStride, dst, width * 4, width, height);
      break;
  }
  picture->m_iWidth = width;
  picture->m_iHeight = height;
  return 0;
}
