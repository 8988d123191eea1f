#include "encode/VrAudioEncoder.h"

#include <algorithm>
#include <chrono>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "encode/VrLogThrottle.h"
#include "log/HX_Log.h"
#include "platform/HX_Thread.h"
#include "platform/HX_ThreadName.h"

namespace {
bool TakesFormat(const AVCodec* codec, AVSampleFormat fmt) {
  if (codec->sample_fmts == nullptr) return false;
  for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == fmt) return true;
  }
  return false;
}

// An encoder that takes the blocks' own interleaved 16-bit samples needs no
// conversion; otherwise the first one FFmpeg finds for the id is used and the
// blocks are converted to its sample format.
const AVCodec* FindAudioEncoder(AVCodecID id) {
  void* it = nullptr;
  while (const AVCodec* codec = av_codec_iterate(&it)) {
    if (codec->id == id && av_codec_is_encoder(codec) && TakesFormat(codec, AV_SAMPLE_FMT_S16)) {
      return codec;
    }
  }
  return avcodec_find_encoder(id);
}
}  // namespace

VrAudioEncoder::~VrAudioEncoder() {
  if (m_thWorker.joinable()) Stop();
}

int VrAudioEncoder::Init(VrEncodeParams params) {
  if (m_thWorker.joinable()) {
    HX_LOG_ERROR_TRACE("Init called while the encoder runs.");
    return -2;
  }
  m_iCodecId = params.m_iCodecId;
  m_bOpen = false;
  m_pCodecCtx.reset();
  m_pSwr.reset();
  m_iSwrInputChannels = 0;

  const AVCodecID codecId = static_cast<AVCodecID>(params.m_iCodecId);
  m_pCodec = FindAudioEncoder(codecId);
  if (m_pCodec == nullptr) {
    HX_LOG_WARNING("no encoder for codec id %d.", params.m_iCodecId);
    return -1;
  }
  m_pCodecCtx.reset(avcodec_alloc_context3(m_pCodec));
  if (!m_pCodecCtx) {
    HX_LOG_WARNING("malloc failed.");
    return -3;
  }
  AVCodecContext* ctx = m_pCodecCtx.get();
  const int sampleRate = params.m_iReserved;
  ctx->bit_rate = static_cast<int64_t>(params.m_iBitRate);
  ctx->sample_fmt = TakesFormat(m_pCodec, AV_SAMPLE_FMT_S16)
                        ? AV_SAMPLE_FMT_S16
                        : (m_pCodec->sample_fmts != nullptr ? m_pCodec->sample_fmts[0] : AV_SAMPLE_FMT_S16);
  ctx->sample_rate = sampleRate;
  const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  av_channel_layout_copy(&ctx->ch_layout, &stereo);
  ctx->codec_type = AVMEDIA_TYPE_AUDIO;
  if (sampleRate > 0) ctx->time_base = AVRational{1, sampleRate};
  // Low complexity: the one AAC profile every decoder takes and that an ADTS
  // header can describe (the low-delay profiles cannot travel in ADTS).
  if (codecId == AV_CODEC_ID_AAC) ctx->profile = FF_PROFILE_AAC_LOW;

  int ret = sampleRate > 0 ? avcodec_open2(ctx, m_pCodec, nullptr) : AVERROR(EINVAL);
  if (ret < 0) {
    HX_LOG_WARNING("cannot open %s at %d Hz, %d bit/s: %s", m_pCodec->name, sampleRate,
                   params.m_iBitRate, VrAVErrorText(ret).c_str());
    return -2;
  }
  m_iFrameSamples = ctx->frame_size > 0 ? ctx->frame_size : 1024;
  m_iCodecFrameBytes = av_samples_get_buffer_size(nullptr, ctx->ch_layout.nb_channels, m_iFrameSamples,
                                                  ctx->sample_fmt, 1);

  // An encoder that writes raw AAC describes its stream in extradata; such
  // packets get an ADTS header each. One that writes ADTS itself has none.
  m_bAddAdts = false;
  if (codecId == AV_CODEC_ID_AAC && ctx->extradata != nullptr && ctx->extradata_size >= 2) {
    if (!VrParseAacConfig(ctx->extradata, ctx->extradata_size, &m_stAacConfig)) {
      HX_LOG_WARNING("%s writes an AAC configuration that ADTS cannot carry.", m_pCodec->name);
      return -2;
    }
    m_bAddAdts = true;
  }

  m_pCodecFrame.reset(av_frame_alloc());
  m_pPacket.reset(av_packet_alloc());
  if (!m_pCodecFrame || !m_pPacket) {
    HX_LOG_WARNING("malloc failed.");
    return -2;
  }
  m_pCodecFrame->format = ctx->sample_fmt;
  m_pCodecFrame->nb_samples = m_iFrameSamples;
  m_pCodecFrame->sample_rate = ctx->sample_rate;
  av_channel_layout_copy(&m_pCodecFrame->ch_layout, &ctx->ch_layout);
  ret = av_frame_get_buffer(m_pCodecFrame.get(), 0);
  if (ret < 0) {
    HX_LOG_WARNING("cannot allocate a codec frame: %s", VrAVErrorText(ret).c_str());
    return -2;
  }
  m_bOpen = true;
  HX_LOG_INFO("%s encoder open: %d Hz stereo, %d bit/s, %d samples per frame%s.", m_pCodec->name,
              sampleRate, params.m_iBitRate, m_iFrameSamples, m_bAddAdts ? ", ADTS framed" : "");
  return 0;
}

int VrAudioEncoder::Start() {
  if (m_bRunning.load() || m_thWorker.joinable()) return 0;
  m_bRunning.store(true);
  std::string error;
  if (HX_StartThread(&m_thWorker, [this] { Encode(); }, &error) != 0) {
    m_bRunning.store(false);
    HX_LOG_ERROR("cannot start the audio encoder thread: %s", error.c_str());
    return -1;
  }
  return 0;
}

void VrAudioEncoder::Stop() {
  m_bRunning.store(false);
  if (m_thWorker.joinable()) m_thWorker.join();
  m_lstInput.clear();
}

int VrAudioEncoder::Input(VrMediaFramePtr frame) {
  if (!frame || frame->m_iMediaType != VR_MEDIA_AUDIO) return -1;
  const HX_PushResult pushed = m_lstInput.push(std::move(frame));
  if (pushed.dropped > 0) {
    HX_LOG_WARNING("audio encoder behind: %zu waiting blocks discarded.", pushed.dropped);
  }
  return 0;
}

size_t VrAudioEncoder::QueuedBlocks() const { return m_lstInput.size(); }

void VrAudioEncoder::Encode() {
  HX_SetThreadName("ostrel-aenc");
  while (m_bRunning.load()) {
    VrMediaFramePtr block = m_lstInput.popFor(std::chrono::milliseconds(kIdleWaitMs));
    if (!block || block->m_pData == nullptr || block->m_iSize <= 0) continue;
    uint64_t none = 0;
    m_ullFirstTimestamp.compare_exchange_strong(none, static_cast<uint64_t>(block->m_llTimestamp));
    if (m_bOpen && EncodeBlock(*block) > 0) HX_LOG_WARNING("malloc failed.");
  }
}

bool VrAudioEncoder::ConfigureResampler(int inputChannels) {
  if (m_pSwr && m_iSwrInputChannels == inputChannels) return true;
  m_pSwr.reset();
  m_iSwrInputChannels = 0;
  AVChannelLayout inLayout;
  av_channel_layout_default(&inLayout, inputChannels);
  SwrContext* swr = nullptr;
  // FFmpeg 5.1 takes the layouts through non-const pointers.
  AVCodecContext* ctx = m_pCodecCtx.get();
  int ret = swr_alloc_set_opts2(&swr, &ctx->ch_layout, ctx->sample_fmt, ctx->sample_rate, &inLayout,
                                AV_SAMPLE_FMT_S16, ctx->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  VrSwrContextPtr owned(swr);
  if (ret >= 0) ret = swr_init(swr);
  if (ret < 0) {
    HX_LOG_WARNING("cannot set up the sample converter for %d channels: %s", inputChannels,
                   VrAVErrorText(ret).c_str());
    return false;
  }
  m_pSwr = std::move(owned);
  m_iSwrInputChannels = inputChannels;
  return true;
}

int VrAudioEncoder::EncodeBlock(const VrMediaFrame& block) {
  const int channels = block.m_iChannels;
  const int bytesPerSample = block.m_iBitsPerSample / 8;
  if (block.m_iBitsPerSample != 16 || channels < 1 || channels > 2) {
    if (ShouldLogRepeat(++m_uiRejectedBlocks)) {
      HX_LOG_WARNING("sound block dropped: %d channels of %d bits; the encoder takes 1 or 2 "
                     "channels of 16 bits (%u dropped so far).",
                     channels, block.m_iBitsPerSample, m_uiRejectedBlocks);
    }
    return 0;
  }
  const int blockSamples = block.m_iSize / (channels * bytesPerSample);
  if (blockSamples <= 0 || !ConfigureResampler(channels)) return 0;
  int lost = 0;

  AVCodecContext* ctx = m_pCodecCtx.get();
  AVFrame* frame = m_pCodecFrame.get();
  const AVRational tb = ctx->time_base;
  // Every block becomes whole codec frames; a short remainder is padded with
  // silence, because the codec ends its stream after a short frame.
  for (int offset = 0; offset < blockSamples; offset += m_iFrameSamples) {
    const int chunk = std::min(m_iFrameSamples, blockSamples - offset);
    int ret = av_frame_make_writable(frame);
    if (ret < 0) {
      HX_LOG_WARNING("cannot write the codec frame: %s", VrAVErrorText(ret).c_str());
      return lost;
    }
    if (chunk < m_iFrameSamples) {
      av_samples_set_silence(frame->data, 0, m_iFrameSamples, ctx->ch_layout.nb_channels, ctx->sample_fmt);
    }
    const uint8_t* in = block.m_pData + static_cast<size_t>(offset) * channels * bytesPerSample;
    ret = swr_convert(m_pSwr.get(), frame->data, m_iFrameSamples, &in, chunk);
    if (ret != chunk) {
      if (ShouldLogRepeat(++m_uiEncodeErrors)) {
        HX_LOG_WARNING("sample conversion gave %d of %d samples.", ret, chunk);
      }
      return lost;
    }
    frame->nb_samples = m_iFrameSamples;
    if (tb.num == 0) {
      frame->pts = AV_NOPTS_VALUE;
    } else {
      frame->pts = static_cast<int64_t>(static_cast<double>(block.m_llTimestamp) /
                                        (static_cast<double>(tb.num) / tb.den * 1000.0)) +
                   offset;
    }
    ret = avcodec_send_frame(ctx, frame);
    if (ret < 0 && ret != AVERROR(EAGAIN)) {
      if (ShouldLogRepeat(++m_uiEncodeErrors)) {
        HX_LOG_WARNING("%s refused a frame: %s (%u failures so far)", m_pCodec->name,
                       VrAVErrorText(ret).c_str(), m_uiEncodeErrors);
      }
      return lost;
    }
    lost += ReceivePackets(block);
  }
  return lost;
}

int VrAudioEncoder::ReceivePackets(const VrMediaFrame& block) {
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
    const bool frameIt = m_bAddAdts && !VrHasAdtsSync(pkt->data, pkt->size);
    const int headerSize = frameIt ? kVrAdtsHeaderSize : 0;
    uint8_t header[kVrAdtsHeaderSize];
    if (pkt->size <= 0) {
      // nothing to deliver
    } else if (frameIt && !VrWriteAdtsHeader(m_stAacConfig, pkt->size, header)) {
      HX_LOG_WARNING("AAC packet of %d bytes is too large for ADTS; dropped.", pkt->size);
    } else {
      VrMediaFramePtr record = VrCreateMediaFrame();
      if (!record || !record->AllocData(pkt->size + headerSize)) {
        ++lost;
      } else {
        if (frameIt) std::memcpy(record->m_pData, header, kVrAdtsHeaderSize);
        std::memcpy(record->m_pData + headerSize, pkt->data, static_cast<size_t>(pkt->size));
        record->m_iMediaType = block.m_iMediaType;
        record->m_llTimestamp = block.m_llTimestamp;
        record->m_iChannels = block.m_iChannels;
        record->m_iBitsPerSample = block.m_iBitsPerSample;
        record->m_iSampleRate = block.m_iSampleRate;
        record->m_iRateBits = static_cast<int32_t>(static_cast<int64_t>(block.m_iSampleRate) *
                                                   block.m_iBitsPerSample);
        record->m_iSamples = m_iFrameSamples;
        Deliver(std::move(record));
      }
    }
    av_packet_unref(pkt);
  }
}
