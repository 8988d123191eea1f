#include "capture/VrScreenFrame.h"

#include <cstdint>
#include <cstdlib>

VrMediaFramePtr VrScreenFrame::Create(int32_t width, int32_t height, int32_t captureMode,
                                      int32_t captureMethod, int64_t now) {
  if (width <= 0 || height <= 0 || int64_t{width} * height > INT32_MAX / 4) return nullptr;
  VrMediaFramePtr frame = VrCreateMediaFrame();
  if (!frame) return nullptr;
  if (!frame->AllocData(width * height * 4)) return nullptr;
  frame->m_iMediaType = VR_MEDIA_VIDEO;
  frame->m_llTimestamp = now;
  frame->m_iWidth = width;
  frame->m_iHeight = height;
  frame->m_iBytesPerPixel = 4;
  frame->m_iPixelFormat = kVrPixFmtBGRA;
  frame->m_iCaptureMode = captureMode;
  frame->m_iCaptureMethod = captureMethod;
  return frame;
}

VrMediaFramePtr VrScreenFrame::CloneForResend(const VrMediaFramePtr& last, int64_t now) {
  if (!last) return nullptr;
  VrMediaFramePtr clone = CloneMediaFrame(last);
  if (!clone || clone->m_pData == nullptr) return nullptr;
  clone->m_llTimestamp = now;
  return clone;
}

int32_t VrScreenFrame::Even(int32_t v) {
  int64_t magnitude = std::llabs(static_cast<int64_t>(v));
  if (magnitude > INT32_MAX) magnitude = INT32_MAX;
  return static_cast<int32_t>(magnitude & ~int64_t{1});
}
