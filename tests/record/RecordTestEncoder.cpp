#include "record/RecordTestEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "media/VrAVHandle.h"

namespace {

void Check(int ret, const char* what) {
  if (ret < 0) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(ret));
}

VrMediaFramePtr MakeRecord(int mediaType, const uint8_t* data, size_t size, int64_t ts) {
  VrMediaFramePtr rec = VrCreateMediaFrame();
  rec->m_iMediaType = mediaType;
  rec->AllocData(static_cast<int32_t>(size));
  std::memcpy(rec->m_pData, data, size);
  rec->m_llTimestamp = ts;
  return rec;
}
}  // namespace

RecordTestEncoder::RecordTestEncoder(int width, int height, int fps, int gop, int sampleRate)
    : m_iWidth(width), m_iHeight(height), m_iFps(fps), m_iGop(gop), m_iSampleRate(sampleRate) {}

std::vector<VrMediaFramePtr> RecordTestEncoder::EncodeVideo(int count, int64_t startMs) {
  return Encode(count, startMs, false);
}

std::vector<VrMediaFramePtr> RecordTestEncoder::EncodeMjpeg(int count, int64_t startMs) {
  return Encode(count, startMs, true);
}

std::vector<VrMediaFramePtr> RecordTestEncoder::Encode(int count, int64_t startMs, bool mjpeg) {
  const AVCodec* codec = avcodec_find_encoder_by_name(mjpeg ? "mjpeg" : "libx264");
  if (codec == nullptr) throw std::runtime_error(mjpeg ? "no mjpeg" : "no libx264");
  VrCodecContextPtr ctx(avcodec_alloc_context3(codec));
  ctx->width = m_iWidth;
  ctx->height = m_iHeight;
  // The run's MJPEG encoder takes full-range 4:2:0 planes.
  const AVPixelFormat format = mjpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_NV12;
  ctx->pix_fmt = format;
  ctx->time_base = AVRational{1, m_iFps};
  ctx->framerate = AVRational{m_iFps, 1};
  ctx->bit_rate = 400000;
  ctx->gop_size = m_iGop;
  ctx->keyint_min = m_iGop;
  ctx->max_b_frames = 0;
  ctx->thread_count = 1;
  av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set(ctx->priv_data, "x264-params", "scenecut=0", 0);
  Check(avcodec_open2(ctx.get(), codec, nullptr), "open x264");

  VrAVFramePtr frame(av_frame_alloc());
  frame->format = format;
  frame->width = m_iWidth;
  frame->height = m_iHeight;
  Check(av_frame_get_buffer(frame.get(), 0), "frame buffer");
  VrAVPacketPtr pkt(av_packet_alloc());

  std::vector<VrMediaFramePtr> out;
  auto drain = [&]() {
    while (true) {
      int ret = avcodec_receive_packet(ctx.get(), pkt.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      Check(ret, "receive video packet");
      const int index = static_cast<int>(out.size());
      VrMediaFramePtr rec =
          MakeRecord(VR_MEDIA_VIDEO, pkt->data, pkt->size, startMs + index * 1000LL / m_iFps);
      rec->m_iKeyFrame = (pkt->flags & AV_PKT_FLAG_KEY) ? 1 : 0;
      rec->m_iWidth = m_iWidth;
      rec->m_iHeight = m_iHeight;
      out.push_back(rec);
      av_packet_unref(pkt.get());
    }
  };
  for (int i = 0; i < count; ++i) {
    Check(av_frame_make_writable(frame.get()), "frame writable");
    // A moving gradient, so that P-frames carry real changes.
    for (int y = 0; y < m_iHeight; ++y) {
      uint8_t* row = frame->data[0] + y * frame->linesize[0];
      for (int x = 0; x < m_iWidth; ++x) row[x] = static_cast<uint8_t>(x + y + i * 3);
    }
    for (int plane = 1; plane <= (mjpeg ? 2 : 1); ++plane) {
      for (int y = 0; y < m_iHeight / 2; ++y) {
        std::memset(frame->data[plane] + y * frame->linesize[plane], 128 + (i % 32),
                    mjpeg ? m_iWidth / 2 : m_iWidth);
      }
    }
    frame->pts = i;
    frame->pict_type = i % m_iGop == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    Check(avcodec_send_frame(ctx.get(), frame.get()), "send video frame");
    drain();
  }
  Check(avcodec_send_frame(ctx.get(), nullptr), "flush video");
  drain();
  return out;
}

std::vector<uint8_t> RecordTestEncoder::AdtsHeader(int sampleRate, int payloadSize) {
  static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000,
                               24000, 22050, 16000, 12000, 11025, 8000};
  int rateIndex = 4;
  for (int i = 0; i < 12; ++i) {
    if (kRates[i] == sampleRate) rateIndex = i;
  }
  const int profile = 1;   // AAC LC (object type 2) minus one
  const int channels = 2;  // channel configuration: stereo
  const int length = payloadSize + 7;
  std::vector<uint8_t> h(7);
  h[0] = 0xFF;
  h[1] = 0xF1;  // MPEG-4, layer 0, no CRC
  h[2] = static_cast<uint8_t>((profile << 6) | (rateIndex << 2) | (channels >> 2));
  h[3] = static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11));
  h[4] = static_cast<uint8_t>((length >> 3) & 0xFF);
  h[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);  // buffer fullness 0x7FF
  h[6] = 0xFC;                                              // one raw data block
  return h;
}

std::vector<VrMediaFramePtr> RecordTestEncoder::EncodeAudio(int frames, int64_t startMs) {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec == nullptr) throw std::runtime_error("no aac encoder");
  VrCodecContextPtr ctx(avcodec_alloc_context3(codec));
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  ctx->sample_rate = m_iSampleRate;
  av_channel_layout_default(&ctx->ch_layout, 2);
  ctx->bit_rate = 96000;
  ctx->profile = FF_PROFILE_AAC_LOW;
  ctx->time_base = AVRational{1, m_iSampleRate};
  Check(avcodec_open2(ctx.get(), codec, nullptr), "open aac");

  VrAVFramePtr frame(av_frame_alloc());
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->nb_samples = ctx->frame_size;
  frame->sample_rate = m_iSampleRate;
  Check(av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout), "layout");
  Check(av_frame_get_buffer(frame.get(), 0), "audio buffer");
  VrAVPacketPtr pkt(av_packet_alloc());

  std::vector<VrMediaFramePtr> out;
  auto drain = [&]() {
    while (true) {
      int ret = avcodec_receive_packet(ctx.get(), pkt.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      Check(ret, "receive audio packet");
      std::vector<uint8_t> data = AdtsHeader(m_iSampleRate, pkt->size);
      data.insert(data.end(), pkt->data, pkt->data + pkt->size);
      const int64_t k = static_cast<int64_t>(out.size());
      VrMediaFramePtr rec = MakeRecord(VR_MEDIA_AUDIO, data.data(), data.size(),
                                       startMs + k * ctx->frame_size * 1000 / m_iSampleRate);
      rec->m_iChannels = 2;
      rec->m_iSampleRate = m_iSampleRate;
      rec->m_iBitsPerSample = 16;
      rec->m_iRateBits = m_iSampleRate * 16;
      rec->m_iSamples = ctx->frame_size;
      out.push_back(rec);
      av_packet_unref(pkt.get());
    }
  };
  int64_t n = 0;
  for (int i = 0; i < frames; ++i) {
    Check(av_frame_make_writable(frame.get()), "audio writable");
    for (int c = 0; c < 2; ++c) {
      float* samples = reinterpret_cast<float*>(frame->data[c]);
      for (int s = 0; s < frame->nb_samples; ++s) {
        samples[s] = 0.3f * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(n + s) / m_iSampleRate);
      }
    }
    frame->pts = n;
    n += frame->nb_samples;
    Check(avcodec_send_frame(ctx.get(), frame.get()), "send audio frame");
    drain();
  }
  Check(avcodec_send_frame(ctx.get(), nullptr), "flush audio");
  drain();
  return out;
}

std::vector<VrMediaFramePtr> RecordTestEncoder::Interleave(const std::vector<VrMediaFramePtr>& video,
                                                           const std::vector<VrMediaFramePtr>& audio) {
  std::vector<VrMediaFramePtr> all;
  size_t v = 0;
  size_t a = 0;
  while (v < video.size() || a < audio.size()) {
    const bool takeAudio =
        a < audio.size() && (v == video.size() || audio[a]->m_llTimestamp <= video[v]->m_llTimestamp);
    all.push_back(takeAudio ? audio[a++] : video[v++]);
  }
  return all;
}
