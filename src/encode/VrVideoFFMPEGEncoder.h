#pragma once
// The software video back-end: libx264 H.264 (ultrafast, zero latency, no
// B-frames, one thread) or MJPEG through libavcodec. H.264 reads the NV12
// payload in place; MJPEG first converts it to full-range planar 4:2:0, which
// is what JPEG decoders expect. Used only by its VrVideoEncoder's worker
// thread between Init and Close.
#include <cstdint>

#include "encode/VrEncodeContext.h"
#include "media/VrAVHandle.h"

class VrVideoFFMPEGEncoder : public VrEncodeContext {
 public:
  VrVideoFFMPEGEncoder() = default;
  ~VrVideoFFMPEGEncoder() override;

  bool Init(const VrEncodeParams* params) override;
  const char* Name() const override { return m_pCodec != nullptr ? m_pCodec->name : "libx264"; }
  void Close() override;
  void InputEncode(VrMediaFramePtr frame) override;

  // Open state and the settings the codec was opened with (for checks).
  bool IsOpen() const { return m_pCodecCtx != nullptr; }
  const AVCodecContext* CodecContext() const { return m_pCodecCtx.get(); }

 private:
  // Checks the payload against the opened picture size and format.
  bool AcceptFrame(const VrMediaFrame& frame);
  // Studio-range NV12 -> full-range planar YUVJ420P into the encode frame.
  bool ConvertToJpegRange(const VrMediaFrame& frame);
  // Collects the codec's packets as pending records; returns how many were
  // lost because their memory could not be allocated.
  int ReceivePackets(const VrMediaFrame& input);
  void BuildRangeTables();

  const AVCodec* m_pCodec = nullptr;
  VrCodecContextPtr m_pCodecCtx;
  VrAVFramePtr m_pEncodeFrame;
  VrAVPacketPtr m_pPacket;
  int32_t m_iCodecId = 0;
  int32_t m_iInputBytes = 0;  // bytes of one NV12 picture at the opened size
  bool m_bConvertToJpeg = false;
  uint32_t m_uiEncodeErrors = 0;
  uint32_t m_uiRejectedFrames = 0;
  const char* m_pLastRejectReason = nullptr;
  uint8_t m_aucLumaRange[256] = {0};
  uint8_t m_aucChromaRange[256] = {0};
};
