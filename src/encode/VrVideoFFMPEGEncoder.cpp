#include "encode/VrVideoFFMPEGEncoder.h"

#include <algorithm>
#include <cmath>
#include <thread>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include "encode/VrLogThrottle.h"
#include "encode/VrFFmpegVideoIO.h"
#include "log/HX_Log.h"

VrVideoFFMPEGEncoder::~VrVideoFFMPEGEncoder() { Close(); }

bool VrVideoFFMPEGEncoder::Init(const VrEncodeParams* params) {
  if (params == nullptr) return false;
  Close();
  m_iWidth = params->m_iWidth;
  m_iHeight = params->m_iHeight;
  m_iPixelFormat = kVrPixFmtNV12;
  m_iCodecId = params->m_iCodecId;
  m_bConvertToJpeg = false;

  // 4:2:0 pictures have one chroma sample per 2 x 2 block: odd sizes are
  // refused here rather than by the codec.
  if (m_iWidth <= 0 || m_iHeight <= 0 || m_iWidth % 2 != 0 || m_iHeight % 2 != 0 ||
      params->m_iFrameRate <= 0) {
    HX_LOG_WARNING("invalid video parameters %dx%d at %d fps (sizes must be even).", m_iWidth,
                   m_iHeight, params->m_iFrameRate);
    return false;
  }

  const AVCodecID codecId = static_cast<AVCodecID>(params->m_iCodecId);
  // The software path must not land on a hardware H.264 wrapper.
  m_pCodec = codecId == AV_CODEC_ID_H264 ? avcodec_find_encoder_by_name("libx264") : nullptr;
  if (m_pCodec == nullptr) m_pCodec = avcodec_find_encoder(codecId);
  if (m_pCodec == nullptr) {
    HX_LOG_WARNING("no encoder for codec id %d.", params->m_iCodecId);
    return false;
  }

  AVDictionary* options = nullptr;
  if (codecId == AV_CODEC_ID_H264) {
    av_dict_set(&options, "preset", "ultrafast", 0);
    av_dict_set(&options, "tune", "zerolatency", 0);
    m_iPixelFormat = kVrPixFmtNV12;
  } else if (codecId == AV_CODEC_ID_MJPEG) {
    m_iPixelFormat = AV_PIX_FMT_YUVJ420P;
    m_bConvertToJpeg = true;
  }

  VrCodecContextPtr ctx(avcodec_alloc_context3(m_pCodec));
  if (!ctx) {
    av_dict_free(&options);
    HX_LOG_WARNING("malloc failed.");
    return false;
  }
  ctx->bit_rate = static_cast<int64_t>(params->m_iBitRate);
  ctx->width = m_iWidth;
  ctx->height = m_iHeight;
  ctx->time_base = AVRational{1, params->m_iFrameRate};
  ctx->gop_size = params->m_iKeyIntervalMs * params->m_iFrameRate / 1000;
  ctx->max_b_frames = 0;
  if (codecId == AV_CODEC_ID_H264) {
    ctx->thread_count = VrSoftwareEncoderThreads(params->m_iThreads, m_iWidth, m_iHeight,
                                                 std::thread::hardware_concurrency());
    ctx->thread_type = FF_THREAD_SLICE;  // frame threads would delay each picture
  } else {
    ctx->thread_count = 1;
  }
  ctx->pix_fmt = static_cast<AVPixelFormat>(m_iPixelFormat);
  ctx->codec_id = codecId;
  ctx->codec_type = AVMEDIA_TYPE_VIDEO;

  int ret = avcodec_open2(ctx.get(), m_pCodec, &options);
  const AVDictionaryEntry* unused = av_dict_get(options, "", nullptr, AV_DICT_IGNORE_SUFFIX);
  if (ret >= 0 && unused != nullptr) {
    HX_LOG_DEBUG("%s ignored option %s=%s.", m_pCodec->name, unused->key, unused->value);
  }
  av_dict_free(&options);
  if (ret < 0) {
    HX_LOG_WARNING("cannot open %s at %dx%d: %s", m_pCodec->name, m_iWidth, m_iHeight,
                   VrAVErrorText(ret).c_str());
    return false;
  }

  VrAVFramePtr frame(av_frame_alloc());
  VrAVPacketPtr packet(av_packet_alloc());
  if (!frame || !packet) {
    HX_LOG_WARNING("malloc failed.");
    return false;
  }
  frame->format = ctx->pix_fmt;
  frame->width = ctx->width;
  frame->height = ctx->height;
  if (m_bConvertToJpeg) {
    ret = av_frame_get_buffer(frame.get(), 0);
    if (ret < 0) {
      HX_LOG_WARNING("cannot allocate the conversion picture: %s", VrAVErrorText(ret).c_str());
      return false;
    }
    BuildRangeTables();
  }
  m_iInputBytes = av_image_get_buffer_size(AV_PIX_FMT_NV12, m_iWidth, m_iHeight, 1);
  m_pCodecCtx = std::move(ctx);
  m_pEncodeFrame = std::move(frame);
  m_pPacket = std::move(packet);
  m_uiEncodeErrors = 0;
  m_uiRejectedFrames = 0;
  HX_LOG_INFO("%s encoder open: %dx%d, %d fps, %d bit/s, key frame every %d pictures, %d thread(s).",
              m_pCodec->name, m_iWidth, m_iHeight, params->m_iFrameRate, params->m_iBitRate,
              m_pCodecCtx->gop_size, m_pCodecCtx->thread_count);
  return true;
}

void VrVideoFFMPEGEncoder::Close() {
  m_pCodecCtx.reset();
  m_pEncodeFrame.reset();
  m_pPacket.reset();
  ClearPending();
}

void VrVideoFFMPEGEncoder::BuildRangeTables() {
  for (int v = 0; v < 256; ++v) {
    const double luma = std::lround((v - 16) * 255.0 / 219.0);
    const double chroma = std::lround((v - 128) * 255.0 / 224.0) + 128;
    m_aucLumaRange[v] = static_cast<uint8_t>(std::clamp(luma, 0.0, 255.0));
    m_aucChromaRange[v] = static_cast<uint8_t>(std::clamp(chroma, 0.0, 255.0));
  }
}

bool VrVideoFFMPEGEncoder::AcceptFrame(const VrMediaFrame& frame) {
  const char* reason = nullptr;
  if (frame.m_iPixelFormat != kVrPixFmtNV12 && frame.m_iPixelFormat != kVrPixFmtNone) {
    reason = "not NV12";
  } else if ((frame.m_iWidth != 0 || frame.m_iHeight != 0) &&
             (frame.m_iWidth != m_iWidth || frame.m_iHeight != m_iHeight)) {
    reason = "wrong picture size";
  } else if (frame.m_iSize < m_iInputBytes) {
    reason = "payload too short";
  }
  if (reason == nullptr) return true;
  const bool newReason = reason != m_pLastRejectReason;
  m_pLastRejectReason = reason;
  if (ShouldLogRepeat(++m_uiRejectedFrames) || newReason) {
    HX_LOG_WARNING("picture dropped (%s): format %d, %dx%d, %d bytes; encoder wants NV12 %dx%d, "
                   "%d bytes (%u dropped so far).",
                   reason, frame.m_iPixelFormat, frame.m_iWidth, frame.m_iHeight, frame.m_iSize,
                   m_iWidth, m_iHeight, m_iInputBytes, m_uiRejectedFrames);
  }
  return false;
}

bool VrVideoFFMPEGEncoder::ConvertToJpegRange(const VrMediaFrame& frame) {
  AVFrame* pic = m_pEncodeFrame.get();
  if (av_frame_make_writable(pic) < 0) return false;
  uint8_t* src[4] = {nullptr};
  int srcStride[4] = {0};
  if (av_image_fill_arrays(src, srcStride, frame.m_pData, AV_PIX_FMT_NV12, m_iWidth, m_iHeight, 1) < 0) {
    return false;
  }
  for (int y = 0; y < m_iHeight; ++y) {
    const uint8_t* s = src[0] + static_cast<size_t>(y) * srcStride[0];
    uint8_t* d = pic->data[0] + static_cast<size_t>(y) * pic->linesize[0];
    for (int x = 0; x < m_iWidth; ++x) d[x] = m_aucLumaRange[s[x]];
  }
  const int chromaWidth = (m_iWidth + 1) / 2;
  const int chromaHeight = (m_iHeight + 1) / 2;
  for (int y = 0; y < chromaHeight; ++y) {
    const uint8_t* s = src[1] + static_cast<size_t>(y) * srcStride[1];
    uint8_t* u = pic->data[1] + static_cast<size_t>(y) * pic->linesize[1];
    uint8_t* v = pic->data[2] + static_cast<size_t>(y) * pic->linesize[2];
    for (int x = 0; x < chromaWidth; ++x) {
      u[x] = m_aucChromaRange[s[2 * x]];
      v[x] = m_aucChromaRange[s[2 * x + 1]];
    }
  }
  return true;
}

void VrVideoFFMPEGEncoder::InputEncode(VrMediaFramePtr frame) {
  if (!m_pCodecCtx || !frame || frame->m_pData == nullptr) return;
  if (!AcceptFrame(*frame)) return;

  const bool ready = m_bConvertToJpeg ? ConvertToJpegRange(*frame)
                                    : VrLendNV12(m_pEncodeFrame.get(), frame, m_iWidth, m_iHeight, m_iInputBytes);
  if (!ready) {
    if (ShouldLogRepeat(++m_uiEncodeErrors)) HX_LOG_WARNING("cannot prepare the picture.");
    if (!m_bConvertToJpeg) av_frame_unref(m_pEncodeFrame.get());
    return;
  }
  // The stream's clock is the capture clock: pts are milliseconds, and every
  // packet carries the timestamp of the picture it came from.
  m_pEncodeFrame->pts = frame->m_llTimestamp;
  int ret = avcodec_send_frame(m_pCodecCtx.get(), m_pEncodeFrame.get());
  if (!m_bConvertToJpeg) av_frame_unref(m_pEncodeFrame.get());
  if (ret < 0 && ret != AVERROR(EAGAIN)) {
    if (ShouldLogRepeat(++m_uiEncodeErrors)) {
      HX_LOG_WARNING("%s refused a picture: %s (%u failures so far)", m_pCodec->name,
                     VrAVErrorText(ret).c_str(), m_uiEncodeErrors);
    }
    return;
  }
  if (ReceivePackets(*frame) > 0) HX_LOG_WARNING("malloc failed.");
}

int VrVideoFFMPEGEncoder::ReceivePackets(const VrMediaFrame& input) {
  AVPacket* pkt = m_pPacket.get();
  int lost = 0;
  for (;;) {
    int ret = avcodec_receive_packet(m_pCodecCtx.get(), pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return lost;
    if (ret < 0) {
      if (ShouldLogRepeat(++m_uiEncodeErrors)) {
        HX_LOG_WARNING("%s failed to encode: %s", m_pCodec->name, VrAVErrorText(ret).c_str());
      }
      return lost;
    }
    if (pkt->size > 0) {
      VrMediaFramePtr record = VrVideoPacketRecord(*pkt, input, m_iWidth, m_iHeight);
      if (record) {
        SetPending(std::move(record));
      } else {
        ++lost;
      }
    }
    av_packet_unref(pkt);
  }
}
