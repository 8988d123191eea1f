#pragma once
// Brings captured frames to NV12 at the session's output size with libyuv
// (BT.601, limited range): BGRA of any size, or NV12 of another size. Keeps
// the intermediate picture of the current input size and rebuilds it when the
// input size changes. Owned and used by the capture session's video thread only.
#include <cstdint>
#include <memory>

#include "core/VrMediaFrame.h"

class VrVideoScaler {
 public:
  // |deviceWindow| is accepted for the session's sake; a CPU scaler needs none.
  VrVideoScaler(void* deviceWindow, int32_t outputWidth, int32_t outputHeight);
  VrVideoScaler(const VrVideoScaler&) = delete;
  VrVideoScaler& operator=(const VrVideoScaler&) = delete;

  // Converts |source| into the payload of |destination|, which must hold
  // NV12Size(output) bytes. Returns |destination|, or an empty handle when
  // the source cannot be converted (no data, a short payload, an unknown
  // pixel format, a bad size).
  VrMediaFramePtr Scale(const VrMediaFramePtr& source, const VrMediaFramePtr& destination);

  // Bytes of an NV12 picture with rows packed at exactly its width (a full
  // luma plane, then the interleaved half-size chroma plane); 0 when the size
  // is not a valid picture size.
  static int32_t NV12Size(int32_t width, int32_t height);

  int32_t inputWidth() const { return m_iInputWidth; }
  int32_t inputHeight() const { return m_iInputHeight; }

 private:
  // Prepares for inputs of |width| x |height|. Returns 0 or -1 (no memory).
  int Upload(int32_t width, int32_t height);

  int32_t m_iOutputWidth;
  int32_t m_iOutputHeight;
  int32_t m_iInputWidth = 0;
  int32_t m_iInputHeight = 0;
  // BGRA at the output size, used only while the input size differs.
  std::unique_ptr<uint8_t[]> m_pScaled;
};
