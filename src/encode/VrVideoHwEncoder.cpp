#include "encode/VrVideoHwEncoder.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include "encode/VrFFmpegVideoIO.h"
#include "encode/VrLogThrottle.h"
#include "log/HX_Log.h"

namespace {
// Surfaces in the upload pool: one being filled plus what the encoder may
// hold for reference and look-ahead.
constexpr int kSurfacePoolSize = 16;

VrAVDictionaryPtr MakeDictionary(const VrVideoHwEncoder::Options& options) {
  AVDictionary* dict = nullptr;
  for (const auto& option : options) av_dict_set(&dict, option.first.c_str(), option.second.c_str(), 0);
  return VrAVDictionaryPtr(dict);
}
}  // namespace

int32_t VrHwGopLength(int32_t frameRate, int32_t keyIntervalMs) {
  const int32_t gop = frameRate * (keyIntervalMs / 1000);
  return gop > 0 ? gop : 1;
}

VrVideoHwEncoder::~VrVideoHwEncoder() { Close(); }

const char* VrVideoHwEncoder::CodecName() const {
  return m_pCodecCtx && m_pCodec != nullptr ? m_pCodec->name : "";
}

void VrVideoHwEncoder::Close() {
  m_pCodecCtx.reset();
  m_pPicture.reset();
  m_pSurface.reset();
  m_pPacket.reset();
  m_pCodec = nullptr;
  ClearPending();
}

VrAVBufferPtr VrVideoHwEncoder::OpenDevice(AVHWDeviceType type, const char* device,
                                           const Options& options, std::string* why) {
  VrAVDictionaryPtr dict = MakeDictionary(options);
  AVBufferRef* ref = nullptr;
  const int ret = av_hwdevice_ctx_create(&ref, type, device, dict.get(), 0);
  if (ret < 0) {
    if (why != nullptr) {
      *why = std::string("cannot open the ") + av_hwdevice_get_type_name(type) + " device " +
             (device != nullptr ? device : "(default)") + ": " + VrAVErrorText(ret);
    }
    return nullptr;
  }
  return VrAVBufferPtr(ref);
}

bool VrVideoHwEncoder::OpenCodec(const char* codecName, const VrEncodeParams& params,
                                 const Options& options, AVBufferRef* device, bool uploadToSurfaces,
                                 std::string* why) {
  Close();
  ClearFailure();
  m_iWidth = params.m_iWidth;
  m_iHeight = params.m_iHeight;
  m_iPixelFormat = kVrPixFmtNV12;
  if (m_iWidth <= 0 || m_iHeight <= 0 || m_iWidth % 2 != 0 || m_iHeight % 2 != 0 ||
      params.m_iFrameRate <= 0) {
    *why = "invalid picture size or frame rate";
    return false;
  }
  const AVCodec* codec = avcodec_find_encoder_by_name(codecName);
  if (codec == nullptr) {
    *why = std::string("this FFmpeg has no ") + codecName;
    return false;
  }
  VrCodecContextPtr ctx(avcodec_alloc_context3(codec));
  VrAVFramePtr picture(av_frame_alloc());
  VrAVFramePtr surface(av_frame_alloc());
  VrAVPacketPtr packet(av_packet_alloc());
  if (!ctx || !picture || !surface || !packet) {
    *why = "out of memory";
    return false;
  }
  m_iGopLength = VrHwGopLength(params.m_iFrameRate, params.m_iKeyIntervalMs);
  ctx->width = m_iWidth;
  ctx->height = m_iHeight;
  // Timestamps are the capture clock's milliseconds, as for the software path.
  ctx->time_base = AVRational{1, 1000};
  ctx->framerate = AVRational{params.m_iFrameRate, 1};
  ctx->pix_fmt = AV_PIX_FMT_NV12;
  if (device != nullptr) {
    ctx->hw_device_ctx = av_buffer_ref(device);
    if (ctx->hw_device_ctx == nullptr) {
      *why = "out of memory";
      return false;
    }
  }
  if (uploadToSurfaces) {
    VrAVBufferPtr frames(av_hwframe_ctx_alloc(device));
    if (!frames) {
      *why = "cannot make a surface pool on the device";
      return false;
    }
    auto* pool = reinterpret_cast<AVHWFramesContext*>(frames->data);
    pool->format = AV_PIX_FMT_VAAPI;
    pool->sw_format = AV_PIX_FMT_NV12;
    pool->width = m_iWidth;
    pool->height = m_iHeight;
    pool->initial_pool_size = kSurfacePoolSize;
    const int ret = av_hwframe_ctx_init(frames.get());
    if (ret < 0) {
      *why = "the device refuses NV12 surfaces: " + VrAVErrorText(ret);
      return false;
    }
    ctx->pix_fmt = AV_PIX_FMT_VAAPI;
    ctx->hw_frames_ctx = frames.release();
  }
  VrAVDictionaryPtr dict = MakeDictionary(options);
  AVDictionary* raw = dict.release();
  const int ret = avcodec_open2(ctx.get(), codec, &raw);
  dict.reset(raw);
  if (ret < 0) {
    *why = std::string(codecName) + " does not open: " + VrAVErrorText(ret);
    return false;
  }
  m_pCodec = codec;
  m_pCodecCtx = std::move(ctx);
  m_pPicture = std::move(picture);
  m_pSurface = std::move(surface);
  m_pPacket = std::move(packet);
  m_bUpload = uploadToSurfaces;
  m_iInputBytes = av_image_get_buffer_size(AV_PIX_FMT_NV12, m_iWidth, m_iHeight, 1);
  m_iPicturesSincePacket = 0;
  m_uiRejectedFrames = 0;
  HX_LOG_INFO("%s open: %dx%d, %d fps, %d bit/s, key frame every %d pictures.", codecName, m_iWidth,
              m_iHeight, params.m_iFrameRate, params.m_iBitRate, m_iGopLength);
  return true;
}

bool VrVideoHwEncoder::OpenVaapi(const std::string& renderNode, const VrEncodeParams& params,
                                 std::string* why) {
  VrAVBufferPtr device = OpenDevice(AV_HWDEVICE_TYPE_VAAPI, renderNode.c_str(), {}, why);
  if (!device) return false;
  const std::string rate = std::to_string(params.m_iBitRate);
  const Options options = {
      {"profile", "main"}, {"rc_mode", "CBR"}, {"b", rate}, {"maxrate", rate},
      {"bf", "0"},         {"g", std::to_string(VrHwGopLength(params.m_iFrameRate, params.m_iKeyIntervalMs))},
  };
  return OpenCodec("h264_vaapi", params, options, device.get(), true, why);
}

AVFrame* VrVideoHwEncoder::PreparePicture(const VrMediaFramePtr& frame) {
  if (!VrLendNV12(m_pPicture.get(), frame, m_iWidth, m_iHeight, m_iInputBytes)) return nullptr;
  m_pPicture->pts = frame->m_llTimestamp;
  if (!m_bUpload) return m_pPicture.get();
  av_frame_unref(m_pSurface.get());
  int ret = av_hwframe_get_buffer(m_pCodecCtx->hw_frames_ctx, m_pSurface.get(), 0);
  if (ret >= 0) ret = av_hwframe_transfer_data(m_pSurface.get(), m_pPicture.get(), 0);
  av_frame_unref(m_pPicture.get());
  if (ret < 0) {
    MarkBroken("cannot upload a picture to the device: " + VrAVErrorText(ret));
    return nullptr;
  }
  m_pSurface->pts = frame->m_llTimestamp;
  return m_pSurface.get();
}

void VrVideoHwEncoder::InputEncode(VrMediaFramePtr frame) {
  if (!m_pCodecCtx || Broken() || !frame || frame->m_pData == nullptr) return;
  if (frame->m_iSize < m_iInputBytes ||
      ((frame->m_iWidth != 0 || frame->m_iHeight != 0) &&
       (frame->m_iWidth != m_iWidth || frame->m_iHeight != m_iHeight))) {
    if (ShouldLogRepeat(++m_uiRejectedFrames)) {
      HX_LOG_WARNING("picture dropped: %dx%d, %d bytes; %s wants NV12 %dx%d (%u dropped so far).",
                     frame->m_iWidth, frame->m_iHeight, frame->m_iSize, m_pCodec->name, m_iWidth,
                     m_iHeight, m_uiRejectedFrames);
    }
    return;
  }
  AVFrame* picture = PreparePicture(frame);
  if (picture == nullptr) return;
  const int ret = avcodec_send_frame(m_pCodecCtx.get(), picture);
  av_frame_unref(picture);
  if (ret < 0 && ret != AVERROR(EAGAIN)) {
    MarkBroken(std::string(m_pCodec->name) + " refused a picture: " + VrAVErrorText(ret));
    return;
  }
  ++m_iPicturesSincePacket;
  ReceivePackets(*frame);
  // A hardware encoder holds a few pictures for its pipeline, never a whole
  // key-frame interval: silence that long means it has stopped working.
  if (!Broken() && m_iPicturesSincePacket >= m_iGopLength) {
    MarkBroken(std::string(m_pCodec->name) + " gave no packet for " +
               std::to_string(m_iPicturesSincePacket) + " pictures");
  }
}

void VrVideoHwEncoder::ReceivePackets(const VrMediaFrame& input) {
  AVPacket* pkt = m_pPacket.get();
  for (;;) {
    const int ret = avcodec_receive_packet(m_pCodecCtx.get(), pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    if (ret < 0) {
      MarkBroken(std::string(m_pCodec->name) + " failed to encode: " + VrAVErrorText(ret));
      return;
    }
    if (pkt->size > 0) {
      m_iPicturesSincePacket = 0;
      VrMediaFramePtr record = VrVideoPacketRecord(*pkt, input, m_iWidth, m_iHeight);
      if (record) {
        SetPending(std::move(record));
      } else {
        HX_LOG_WARNING("malloc failed.");
      }
    }
    av_packet_unref(pkt);
  }
}
