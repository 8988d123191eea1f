#pragma once
// What the hardware H.264 back-ends share: opening one of FFmpeg's hardware
// encoders by name (optionally on a hardware device, with pictures uploaded
// into the device's surfaces), feeding it the capture's NV12 pictures,
// turning its packets into records, and noticing when an encoder that opened
// stops working (it refuses pictures or yields nothing for a whole key-frame
// interval), so the owner can replace it. Used only by its VrVideoEncoder's
// worker thread between Init and Close, like every back-end.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/hwcontext.h>
}

#include "encode/VrEncodeContext.h"
#include "media/VrAVHandle.h"

// GOP length for a key-frame interval: frame rate x whole seconds (2000 ms at
// 25 fps gives 50), at least 1.
int32_t VrHwGopLength(int32_t frameRate, int32_t keyIntervalMs);

class VrVideoHwEncoder : public VrEncodeContext {
 public:
  ~VrVideoHwEncoder() override;

  void Close() override;
  void InputEncode(VrMediaFramePtr frame) override;

  bool IsOpen() const { return m_pCodecCtx != nullptr; }
  // The FFmpeg encoder in use ("h264_nvenc" ...), or "" while closed.
  const char* CodecName() const;

  // Options for avcodec_open2, generic ("g", "b") and the codec's own alike.
  using Options = std::vector<std::pair<std::string, std::string>>;

  // A hardware device context of |type| on |device| (a render node, or null
  // for the default), or null with the reason in |why|.
  static VrAVBufferPtr OpenDevice(AVHWDeviceType type, const char* device, const Options& options,
                                  std::string* why);

 protected:
  // Opens FFmpeg's |codecName| at params' size and rate with |options|. With
  // |device| the codec works on that device; with |uploadToSurfaces| too, each
  // NV12 picture is copied into one of the device's surfaces first. False,
  // with the reason in |why|, when the codec is missing or will not open.
  bool OpenCodec(const char* codecName, const VrEncodeParams& params, const Options& options,
                 AVBufferRef* device, bool uploadToSurfaces, std::string* why);
  // Opens h264_vaapi on |renderNode|: Main profile, CBR at the bit rate, no
  // B-frames, one key frame per interval.
  bool OpenVaapi(const std::string& renderNode, const VrEncodeParams& params, std::string* why);

 private:
  // The picture to send for |frame|: the payload itself, or a device surface
  // holding a copy of it. Null (and the back-end marked broken when the
  // device refused) when it cannot be made.
  AVFrame* PreparePicture(const VrMediaFramePtr& frame);
  void ReceivePackets(const VrMediaFrame& input);

  const AVCodec* m_pCodec = nullptr;
  VrCodecContextPtr m_pCodecCtx;
  VrAVFramePtr m_pPicture;   // the NV12 payload, lent
  VrAVFramePtr m_pSurface;   // the device surface, when uploading
  VrAVPacketPtr m_pPacket;
  bool m_bUpload = false;
  int32_t m_iInputBytes = 0;
  int32_t m_iGopLength = 0;
  int32_t m_iPicturesSincePacket = 0;
  uint32_t m_uiRejectedFrames = 0;
};
