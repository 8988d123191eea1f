#pragma once
// The one record that carries raw video, raw audio and encoded packets between
// every stage. Fields are written by the producer before the record is first
// handed on; afterwards every holder treats it (and its payload) as read-only.
#include <cstdint>
#include <memory>

enum VrMediaType : int32_t { VR_MEDIA_VIDEO = 0, VR_MEDIA_AUDIO = 1 };

extern "C" {
#include <libavutil/pixfmt.h>
}

// m_iPixelFormat holds the linked FFmpeg's own pixel-format numbers.
constexpr int32_t kVrPixFmtNone = AV_PIX_FMT_NONE;
constexpr int32_t kVrPixFmtYUV420P = AV_PIX_FMT_YUV420P;
constexpr int32_t kVrPixFmtNV12 = AV_PIX_FMT_NV12;
constexpr int32_t kVrPixFmtBGRA = AV_PIX_FMT_BGRA;

struct VrMediaFrame {
  VrMediaFrame() = default;
  VrMediaFrame(const VrMediaFrame&) = delete;
  VrMediaFrame& operator=(const VrMediaFrame&) = delete;

  // Attaches a payload of |size| bytes allocated without throwing. A failed
  // allocation leaves m_pData null and still records the size; consumers test
  // m_pData before use. Returns true when the payload exists.
  bool AllocData(int32_t size);

  // Allocates payload bytes without throwing (null on failure). Replaceable so
  // that tests can make allocations fail; payloads are freed with delete[].
  using PayloadAllocator = uint8_t* (*)(size_t size);
  static PayloadAllocator s_pfnAllocate;

  int32_t m_iMediaType = VR_MEDIA_VIDEO;
  uint8_t* m_pData = nullptr;  // the payload's bytes: set only by AllocData
  int32_t m_iSize = 0;
  int32_t m_iSpare = 0;
  int64_t m_llTimestamp = 0;  // milliseconds of the monotonic millisecond clock
  int64_t m_llReserved[3] = {0, 0, 0};
  int32_t m_iKeyFrame = 0;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  int32_t m_iBytesPerPixel = 0;
  int32_t m_iPixelFormat = kVrPixFmtNone;
  int32_t m_iCaptureMode = 0;
  int32_t m_iCaptureMethod = 0;
  int32_t m_iChannels = 0;
  int32_t m_iSampleRate = 0;
  int32_t m_iBitsPerSample = 0;
  int32_t m_iRateBits = 0;  // sample rate x bits per sample
  int32_t m_iSamples = 0;   // samples per channel
  // Tail fields: carried with their construction defaults; nothing reads them.
  int32_t m_iTail0 = 0;
  int32_t m_iTail1 = 0;
  int32_t m_iTail2 = 0;
  int32_t m_iTail3 = 0;
  int16_t m_sTail4 = 1;
  int32_t m_iTail5 = 0;
  int16_t m_sTail6 = 1;
  int8_t m_cTail7 = 0;

 private:
  friend std::shared_ptr<VrMediaFrame> ShareMediaFrame(const std::shared_ptr<VrMediaFrame>& source);
  std::unique_ptr<uint8_t[]> m_pPayload;  // owns what m_pData points at
  // A view's source, kept alive for its payload (see ShareMediaFrame).
  std::shared_ptr<const VrMediaFrame> m_pSharedPayload;
};

using VrMediaFramePtr = std::shared_ptr<VrMediaFrame>;

// A producer's frame callback. The result (0 on acceptance) is ignored by the
// capture sources.
using VrFrameCallback = int (*)(VrMediaFramePtr frame, void* context);

// Creates an empty record with the construction defaults; empty only when the
// record itself cannot be allocated.
VrMediaFramePtr VrCreateMediaFrame();

// Deep copy: every field, and a private copy of the payload. When the payload
// allocation fails the clone has null data but keeps the source's size.
VrMediaFramePtr CloneMediaFrame(const VrMediaFramePtr& source);

// A new record with every field of |source| whose payload is |source|'s own
// bytes, shared read-only: no payload is allocated or copied. The view keeps
// |source| alive. For a picture repeated under a new timestamp; AllocData on
// the view gives it a payload of its own.
VrMediaFramePtr ShareMediaFrame(const VrMediaFramePtr& source);
