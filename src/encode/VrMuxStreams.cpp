#include "encode/VrMuxStreams.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include <cstring>

namespace {

// Position of the next 00 00 01 at or after |from|, or |size| when none.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
  size_t i = from + 2;
  while (i < size) {
    const void* one = std::memchr(data + i, 0x01, size - i);
    if (one == nullptr) return size;
    i = static_cast<const uint8_t*>(one) - data;
    if (data[i - 1] == 0 && data[i - 2] == 0) return i - 2;
    ++i;
  }
  return size;
}

// Start of the start code found at |pos|: one leading zero byte belongs to it.
size_t WithLeadingZero(const uint8_t* data, size_t pos, size_t lowest) {
  return pos > lowest && data[pos - 1] == 0 ? pos - 1 : pos;
}

// The AudioSpecificConfig of AAC LC at |sampleRate| with |channels|.
std::vector<uint8_t> AacLcConfig(int sampleRate, int channels) {
  static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000,
                               24000, 22050, 16000, 12000, 11025, 8000, 7350};
  int index = 4;
  for (int i = 0; i < 13; ++i) {
    if (kRates[i] == sampleRate) index = i;
  }
  const int objectType = 2;  // AAC LC, the only profile the run's encoder is given
  return {static_cast<uint8_t>((objectType << 3) | (index >> 1)),
          static_cast<uint8_t>(((index & 1) << 7) | (channels << 3))};
}

void SetExtradata(AVCodecParameters* par, const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  par->extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (par->extradata == nullptr) return;
  std::memcpy(par->extradata, bytes.data(), bytes.size());
  par->extradata_size = static_cast<int>(bytes.size());
}
}  // namespace

AVStream* VrAddMuxVideoStream(AVFormatContext* ctx, const VrMuxVideoParams& params,
                              const std::vector<uint8_t>& parameterSets) {
  const bool mjpeg = params.m_iCodecId == AV_CODEC_ID_MJPEG;
  const AVCodecDescriptor* desc = avcodec_descriptor_get_by_name(mjpeg ? "mjpeg" : "h264");
  if (desc == nullptr || avcodec_find_encoder(desc->id) == nullptr) return nullptr;
  AVStream* st = avformat_new_stream(ctx, nullptr);
  if (st == nullptr) return nullptr;
  st->id = static_cast<int>(ctx->nb_streams) - 1;
  const int fps = params.m_iFrameRate > 0 ? params.m_iFrameRate : 25;
  AVCodecParameters* par = st->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = desc->id;
  par->bit_rate = params.m_iBitRate;
  par->width = params.m_iWidth;
  par->height = params.m_iHeight;
  par->format = mjpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
  SetExtradata(par, parameterSets);
  st->time_base = AVRational{1, fps};
  st->avg_frame_rate = AVRational{fps, 1};
  return st;
}

AVStream* VrAddMuxAacStream(AVFormatContext* ctx, int sampleRate, int bitRate) {
  const AVCodecDescriptor* desc = avcodec_descriptor_get_by_name("aac");
  if (desc == nullptr || avcodec_find_encoder(desc->id) == nullptr) return nullptr;
  AVStream* st = avformat_new_stream(ctx, nullptr);
  if (st == nullptr) return nullptr;
  st->id = static_cast<int>(ctx->nb_streams) - 1;
  if (sampleRate <= 0) sampleRate = 44100;
  AVCodecParameters* par = st->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = desc->id;
  par->bit_rate = bitRate;
  par->sample_rate = sampleRate;
  av_channel_layout_default(&par->ch_layout, 2);
  par->format = AV_SAMPLE_FMT_S16;
  par->bits_per_coded_sample = 16;
  par->frame_size = 1024;  // samples per AAC LC frame
  SetExtradata(par, AacLcConfig(sampleRate, 2));
  st->time_base = AVRational{1, sampleRate};
  return st;
}

std::vector<uint8_t> VrSplitParameterSets(const uint8_t* data, size_t size) {
  std::vector<uint8_t> sets;
  if (data == nullptr) return sets;
  size_t code = FindStartCode(data, size, 0);
  if (code == size) return sets;
  size_t begin = WithLeadingZero(data, code, 0);
  while (begin < size) {
    const size_t header = code + 3;  // first byte after 00 00 01
    const size_t next = FindStartCode(data, size, header);
    const size_t end = next == size ? size : WithLeadingZero(data, next, header);
    if (header < size) {
      const int type = data[header] & 0x1f;
      if (type == 7 || type == 8) sets.insert(sets.end(), data + begin, data + end);
    }
    begin = end;
    code = next;
  }
  return sets;
}
