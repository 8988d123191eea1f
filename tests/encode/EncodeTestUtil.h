#pragma once
// Builders for raw pictures and sound blocks, and a small libavcodec decoder,
// shared by the encoder tests.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

#include "core/VrMediaFrame.h"

namespace enc_test {

// Collects what an encoder or the pair delivers, from any thread.
struct PacketSink {
  std::mutex mutex;
  std::vector<VrMediaFramePtr> packets;
  static int Take(VrMediaFramePtr p, void* ctx) {
    PacketSink* s = static_cast<PacketSink*>(ctx);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->packets.push_back(std::move(p));
    return 0;
  }
  // Packets of |type|, or all packets when |type| is negative.
  size_t Count(int32_t type = -1) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const auto& p : packets) n += type < 0 || p->m_iMediaType == type;
    return n;
  }
};

// Makes every payload allocation fail while it lives.
class FailingPayloadAllocations {
 public:
  FailingPayloadAllocations() : m_saved(VrMediaFrame::s_pfnAllocate) {
    VrMediaFrame::s_pfnAllocate = [](size_t) -> uint8_t* { return nullptr; };
  }
  ~FailingPayloadAllocations() { VrMediaFrame::s_pfnAllocate = m_saved; }
  FailingPayloadAllocations(const FailingPayloadAllocations&) = delete;
  FailingPayloadAllocations& operator=(const FailingPayloadAllocations&) = delete;

 private:
  VrMediaFrame::PayloadAllocator m_saved;
};

// Polls |done| until it holds or |ms| pass.
inline bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// An NV12 picture of |w| x |h| (studio range), every luma byte |y| and every
// chroma pair (u, v).
inline VrMediaFramePtr MakeNV12(int w, int h, int64_t ts, uint8_t y = 120, uint8_t u = 100, uint8_t v = 160) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  const int size = av_image_get_buffer_size(AV_PIX_FMT_NV12, w, h, 1);
  f->AllocData(size);
  std::memset(f->m_pData, y, static_cast<size_t>(w) * h);
  for (int i = w * h; i + 1 < size; i += 2) {
    f->m_pData[i] = u;
    f->m_pData[i + 1] = v;
  }
  f->m_iMediaType = VR_MEDIA_VIDEO;
  f->m_iWidth = w;
  f->m_iHeight = h;
  f->m_iPixelFormat = kVrPixFmtNV12;
  f->m_llTimestamp = ts;
  return f;
}

// A block of interleaved signed 16-bit stereo PCM carrying a sine of |hz|,
// continuing from sample |*phaseSamples|.
inline VrMediaFramePtr MakeToneBlock(int64_t ts, double hz, int rate, int64_t* phaseSamples,
                                     int samples = 1024, int channels = 2) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  f->AllocData(samples * channels * 2);
  int16_t* pcm = reinterpret_cast<int16_t*>(f->m_pData);
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>(*phaseSamples + i) / rate;
    const int16_t s = static_cast<int16_t>(std::lround(12000.0 * std::sin(2.0 * M_PI * hz * t)));
    for (int c = 0; c < channels; ++c) pcm[i * channels + c] = s;
  }
  *phaseSamples += samples;
  f->m_iMediaType = VR_MEDIA_AUDIO;
  f->m_llTimestamp = ts;
  f->m_iChannels = channels;
  f->m_iSampleRate = rate;
  f->m_iBitsPerSample = 16;
  f->m_iSamples = samples;
  return f;
}

// Decodes a sequence of packets with libavcodec and collects the frames.
class Decoder {
 public:
  explicit Decoder(AVCodecID id) {
    const AVCodec* codec = avcodec_find_decoder(id);
    m_ctx = avcodec_alloc_context3(codec);
    m_ok = codec != nullptr && m_ctx != nullptr && avcodec_open2(m_ctx, codec, nullptr) == 0;
    m_pkt = av_packet_alloc();
  }
  ~Decoder() {
    for (AVFrame* f : frames) av_frame_free(&f);
    av_packet_free(&m_pkt);
    avcodec_free_context(&m_ctx);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  bool ok() const { return m_ok; }
  // Returns the decoder's result for the packet (0 or a negative error).
  int Feed(const uint8_t* data, int size) {
    std::vector<uint8_t> padded(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), data, static_cast<size_t>(size));
    m_pkt->data = padded.data();
    m_pkt->size = size;
    int ret = avcodec_send_packet(m_ctx, m_pkt);
    if (ret < 0) return ret;
    Drain();
    return 0;
  }
  void Flush() {
    avcodec_send_packet(m_ctx, nullptr);
    Drain();
  }
  std::vector<AVFrame*> frames;

 private:
  void Drain() {
    for (;;) {
      AVFrame* f = av_frame_alloc();
      if (avcodec_receive_frame(m_ctx, f) < 0) {
        av_frame_free(&f);
        return;
      }
      frames.push_back(f);
    }
  }
  AVCodecContext* m_ctx = nullptr;
  AVPacket* m_pkt = nullptr;
  bool m_ok = false;
};

// NAL unit types present in an Annex B buffer.
inline std::vector<int> NalTypes(const uint8_t* data, int size) {
  std::vector<int> types;
  for (int i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      types.push_back(data[i + 3] & 0x1F);
      i += 3;
    }
  }
  return types;
}

}  // namespace enc_test
