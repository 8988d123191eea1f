#include "core/VrMediaFrame.h"

#include <cstring>
#include <new>

namespace {
uint8_t* NothrowAllocate(size_t size) { return new (std::nothrow) uint8_t[size]; }
}  // namespace

VrMediaFrame::PayloadAllocator VrMediaFrame::s_pfnAllocate = &NothrowAllocate;

bool VrMediaFrame::AllocData(int32_t size) {
  m_pSharedPayload.reset();
  m_pPayload.reset(size > 0 ? s_pfnAllocate(static_cast<size_t>(size)) : nullptr);
  m_pData = m_pPayload.get();
  m_iSize = size;
  return m_pData != nullptr;
}

VrMediaFramePtr VrCreateMediaFrame() {
  VrMediaFrame* frame = new (std::nothrow) VrMediaFrame();
  if (frame == nullptr) return nullptr;
  return VrMediaFramePtr(frame);
}

namespace {
// Every field except the payload.
void CopyFields(const VrMediaFrame& s, VrMediaFrame& d) {
  d.m_iMediaType = s.m_iMediaType;
  d.m_iSize = s.m_iSize;
  d.m_iSpare = s.m_iSpare;
  d.m_llTimestamp = s.m_llTimestamp;
  std::memcpy(d.m_llReserved, s.m_llReserved, sizeof d.m_llReserved);
  d.m_iKeyFrame = s.m_iKeyFrame;
  d.m_iWidth = s.m_iWidth;
  d.m_iHeight = s.m_iHeight;
  d.m_iBytesPerPixel = s.m_iBytesPerPixel;
  d.m_iPixelFormat = s.m_iPixelFormat;
  d.m_iCaptureMode = s.m_iCaptureMode;
  d.m_iCaptureMethod = s.m_iCaptureMethod;
  d.m_iChannels = s.m_iChannels;
  d.m_iSampleRate = s.m_iSampleRate;
  d.m_iBitsPerSample = s.m_iBitsPerSample;
  d.m_iRateBits = s.m_iRateBits;
  d.m_iSamples = s.m_iSamples;
  d.m_iTail0 = s.m_iTail0;
  d.m_iTail1 = s.m_iTail1;
  d.m_iTail2 = s.m_iTail2;
  d.m_iTail3 = s.m_iTail3;
  d.m_sTail4 = s.m_sTail4;
  d.m_iTail5 = s.m_iTail5;
  d.m_sTail6 = s.m_sTail6;
  d.m_cTail7 = s.m_cTail7;
}
}  // namespace

VrMediaFramePtr CloneMediaFrame(const VrMediaFramePtr& source) {
  if (!source) return nullptr;
  VrMediaFramePtr clone = VrCreateMediaFrame();
  if (!clone) return nullptr;
  const VrMediaFrame& s = *source;
  VrMediaFrame& d = *clone;
  CopyFields(s, d);
  if (s.m_pData != nullptr && s.m_iSize > 0 && d.AllocData(s.m_iSize)) {
    std::memcpy(d.m_pData, s.m_pData, s.m_iSize);
  }
  return clone;
}

VrMediaFramePtr ShareMediaFrame(const VrMediaFramePtr& source) {
  if (!source) return nullptr;
  VrMediaFramePtr view = VrCreateMediaFrame();
  if (!view) return nullptr;
  CopyFields(*source, *view);
  view->m_pData = source->m_pData;
  // Shares the record that owns the bytes, so repeats of repeats never chain.
  view->m_pSharedPayload = source->m_pSharedPayload ? source->m_pSharedPayload : source;
  return view;
}
