#include "capture/VrVideoScaler.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <new>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {
// Larger pictures than this are refused instead of overflowing sizes.
constexpr int32_t kMaxDimension = 16384;

bool ValidSize(int32_t width, int32_t height) {
  return width > 0 && height > 0 && width <= kMaxDimension && height <= kMaxDimension;
}
}  // namespace

VrVideoScaler::VrVideoScaler(void* /*deviceWindow*/, int32_t outputWidth, int32_t outputHeight)
    : m_iOutputWidth(outputWidth), m_iOutputHeight(outputHeight) {}

int32_t VrVideoScaler::NV12Size(int32_t width, int32_t height) {
  if (!ValidSize(width, height)) return 0;
  int size = av_image_get_buffer_size(AV_PIX_FMT_NV12, width, height, 1);
  return size > 0 ? size : 0;
}

int VrVideoScaler::Upload(int32_t width, int32_t height) {
  if (width == m_iInputWidth && height == m_iInputHeight) return 0;
  m_pScaled.reset();
  m_iInputWidth = 0;
  m_iInputHeight = 0;
  if (width != m_iOutputWidth || height != m_iOutputHeight) {
    const size_t bytes = size_t(m_iOutputWidth) * size_t(m_iOutputHeight) * 4;
    m_pScaled.reset(new (std::nothrow) uint8_t[bytes]);
    if (!m_pScaled) return -1;
  }
  m_iInputWidth = width;
  m_iInputHeight = height;
  return 0;
}

VrMediaFramePtr VrVideoScaler::Scale(const VrMediaFramePtr& source,
                                     const VrMediaFramePtr& destination) {
  if (!source || !destination || source->m_pData == nullptr || destination->m_pData == nullptr) {
    return nullptr;
  }
  const int32_t outSize = NV12Size(m_iOutputWidth, m_iOutputHeight);
  if (outSize == 0 || destination->m_iSize < outSize) return nullptr;
  const int32_t w = source->m_iWidth;
  const int32_t h = source->m_iHeight;
  if (!ValidSize(w, h)) return nullptr;

  const int ow = m_iOutputWidth;
  const int oh = m_iOutputHeight;
  uint8_t* dstY = destination->m_pData;
  uint8_t* dstUV = dstY + size_t(ow) * size_t(oh);
  const int dstUVStride = (ow + 1) / 2 * 2;

  if (source->m_iPixelFormat == kVrPixFmtNV12) {
    const int64_t need = NV12Size(w, h);
    if (int64_t{source->m_iSize} < need) return nullptr;
    const uint8_t* srcY = source->m_pData;
    const uint8_t* srcUV = srcY + size_t(w) * size_t(h);
    if (libyuv::NV12Scale(srcY, w, srcUV, (w + 1) / 2 * 2, w, h, dstY, ow, dstUV, dstUVStride, ow,
                          oh, libyuv::kFilterBilinear) != 0) {
      return nullptr;
    }
    return destination;
  }
  if (source->m_iPixelFormat != kVrPixFmtBGRA) return nullptr;
  if (int64_t{source->m_iSize} < int64_t{w} * h * 4) return nullptr;
  if (Upload(w, h) != 0) return nullptr;

  // libyuv's "ARGB" is B, G, R, A in memory: the captured byte order.
  const uint8_t* bgra = source->m_pData;
  if (m_pScaled) {
    if (libyuv::ARGBScale(bgra, w * 4, w, h, m_pScaled.get(), ow * 4, ow, oh,
                          libyuv::kFilterBilinear) != 0) {
      return nullptr;
    }
    bgra = m_pScaled.get();
  }
  if (libyuv::ARGBToNV12(bgra, ow * 4, dstY, ow, dstUV, dstUVStride, ow, oh) != 0) return nullptr;
  return destination;
}
