#include "VrStreamWriter.h"

#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include "protocol/VrWireCodec.h"

namespace {
const int kAacSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                               16000, 12000, 11025, 8000,  7350};

// The 2-byte AudioSpecificConfig of AAC-LC at |sampleRate| with |channels|.
std::vector<uint8_t> AacConfig(int objectType, int rateIndex, int channels) {
  const int v = (objectType << 11) | (rateIndex << 7) | (channels << 3);
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
}

bool IsAdts(const std::string& d) {
  return d.size() >= 7 && static_cast<uint8_t>(d[0]) == 0xFF && (static_cast<uint8_t>(d[1]) & 0xF0) == 0xF0;
}

int SetExtradata(AVCodecParameters* par, const uint8_t* data, size_t size) {
  av_freep(&par->extradata);
  par->extradata_size = 0;
  par->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (par->extradata == nullptr) return AVERROR(ENOMEM);
  std::memcpy(par->extradata, data, size);
  par->extradata_size = static_cast<int>(size);
  return 0;
}

// Calls |f(type, start, end)| for every NAL unit of an Annex B stream, where
// [start, end) includes the start code.
template <typename F>
void ForEachNal(const std::string& d, F f) {
  const size_t n = d.size();
  auto startCodeAt = [&](size_t i) -> size_t {  // length of a start code at i, or 0
    if (i + 3 <= n && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) return 3;
    if (i + 4 <= n && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 0 && d[i + 3] == 1) return 4;
    return 0;
  };
  size_t i = 0;
  while (i < n && startCodeAt(i) == 0) ++i;
  while (i < n) {
    const size_t sc = startCodeAt(i);
    size_t j = i + sc;
    while (j < n && startCodeAt(j) == 0) ++j;
    if (i + sc < n) f(static_cast<uint8_t>(d[i + sc]) & 0x1F, i, j);
    i = j;
  }
}
}  // namespace

AVCodecID VrStreamWriter::VideoCodecFromWire(uint32_t wire) {
  switch (wire) {
    case kWireCodecH264:
      return AV_CODEC_ID_H264;
    case kWireCodecMJPEG:
      return AV_CODEC_ID_MJPEG;
    default:
      return AV_CODEC_ID_NONE;
  }
}

bool VrStreamWriter::IsH264KeyFrame(const std::string& data) {
  bool idr = false;
  ForEachNal(data, [&](int type, size_t, size_t) { idr = idr || type == 5; });
  return idr;
}

VrStreamWriter::~VrStreamWriter() {
  std::string ignored;
  close(&ignored);
}

int VrStreamWriter::open(const std::string& path, const std::string& container, const CodecInfo& info,
                         std::string* error) {
  if (VideoCodecFromWire(info.videoCodec) == AV_CODEC_ID_NONE) {
    *error = "unsupported video codec " + std::to_string(info.videoCodec);
    return -1;
  }
  if (info.audioCodec != kWireCodecAAC) {
    *error = "unsupported audio codec " + std::to_string(info.audioCodec);
    return -1;
  }
  if (container == "ts" && info.videoCodec == kWireCodecMJPEG) {
    *error = "MJPEG video cannot be carried in MPEG-TS; use --format mkv";
    return -1;
  }
  m_strPath = path;
  m_strContainer = container;
  m_stInfo = info;
  m_pPacket.reset(av_packet_alloc());
  if (!m_pPacket) {
    *error = "out of memory";
    return -1;
  }
  return 0;
}

int VrStreamWriter::start(int width, int height, const std::string& firstPicture, std::string* error) {
  AVFormatContext* raw = nullptr;
  const char* muxer = m_strContainer == "mkv" ? "matroska" : "mpegts";
  int rc = avformat_alloc_output_context2(&raw, nullptr, muxer, nullptr);
  if (rc < 0 || raw == nullptr) {
    *error = std::string("cannot create the ") + muxer + " muxer: " + VrAVErrorText(rc);
    return -1;
  }
  m_pFormat.reset(raw);

  m_pVideo = avformat_new_stream(raw, nullptr);
  m_pAudio = avformat_new_stream(raw, nullptr);
  if (m_pVideo == nullptr || m_pAudio == nullptr) {
    *error = "cannot add the streams";
    return -1;
  }
  AVCodecParameters* v = m_pVideo->codecpar;
  v->codec_type = AVMEDIA_TYPE_VIDEO;
  v->codec_id = VideoCodecFromWire(m_stInfo.videoCodec);
  v->width = width;
  v->height = height;
  m_pVideo->time_base = AVRational{1, 1000};
  if (v->codec_id == AV_CODEC_ID_H264) {
    // Matroska needs the parameter sets up front; the key frame carries them.
    std::string params;
    ForEachNal(firstPicture, [&](int type, size_t b, size_t e) {
      if (type == 7 || type == 8) params.append(firstPicture, b, e - b);
    });
    if (params.empty() && m_strContainer == "mkv") {
      *error = "the first key frame carries no SPS/PPS";
      return -1;
    }
    if (!params.empty() && SetExtradata(v, reinterpret_cast<const uint8_t*>(params.data()), params.size()) < 0) {
      *error = "out of memory";
      return -1;
    }
  }

  AVCodecParameters* a = m_pAudio->codecpar;
  a->codec_type = AVMEDIA_TYPE_AUDIO;
  a->codec_id = AV_CODEC_ID_AAC;
  a->sample_rate = static_cast<int>(m_stInfo.audioSampleRate);
  a->frame_size = 1024;
  const int channels = m_stInfo.audioChannels > 0 && m_stInfo.audioChannels <= 7 ? static_cast<int>(m_stInfo.audioChannels) : 2;
  av_channel_layout_default(&a->ch_layout, channels);
  m_pAudio->time_base = AVRational{1, 1000};
  int rateIndex = -1;
  for (int i = 0; i < 13; ++i)
    if (kAacSampleRates[i] == a->sample_rate) rateIndex = i;
  if (rateIndex < 0) {
    *error = "unsupported audio sample rate " + std::to_string(a->sample_rate);
    return -1;
  }
  std::vector<uint8_t> config = AacConfig(2, rateIndex, channels);
  if (SetExtradata(a, config.data(), config.size()) < 0) {
    *error = "out of memory";
    return -1;
  }

  const std::string url = m_strPath == "-" ? "pipe:1" : m_strPath;
  rc = avio_open2(&raw->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
  if (rc < 0) {
    *error = "cannot open " + m_strPath + ": " + VrAVErrorText(rc);
    return -1;
  }
  if (m_strPath == "-") raw->flush_packets = 1;  // a live viewer reads the pipe
  rc = avformat_write_header(raw, nullptr);
  if (rc < 0) {
    *error = "cannot write the " + std::string(muxer) + " header: " + VrAVErrorText(rc);
    return -1;
  }
  m_bHeaderWritten = true;
  return 0;
}

int VrStreamWriter::writePacket(AVStream* stream, int64_t* lastPts, int64_t pts, const uint8_t* data, size_t size,
                                bool key, std::string* error) {
  AVPacket* pkt = m_pPacket.get();
  av_packet_unref(pkt);
  int rc = av_new_packet(pkt, static_cast<int>(size));
  if (rc < 0) {
    *error = "out of memory";
    return -1;
  }
  if (size > 0) std::memcpy(pkt->data, data, size);
  pkt->stream_index = stream->index;
  pkt->pts = pkt->dts = pts;
  if (stream == m_pAudio) pkt->duration = 1024 * 1000 / (stream->codecpar->sample_rate > 0 ? stream->codecpar->sample_rate : 48000);
  if (key) pkt->flags |= AV_PKT_FLAG_KEY;
  av_packet_rescale_ts(pkt, AVRational{1, 1000}, stream->time_base);
  *lastPts = pts;
  rc = av_interleaved_write_frame(m_pFormat.get(), pkt);
  if (rc < 0) {
    *error = "writing the output failed: " + VrAVErrorText(rc);
    return -1;
  }
  return 0;
}

int VrStreamWriter::write(int mediaType, bool keyFrame, int width, int height, uint64_t frameTimeMs,
                          const std::string& body, std::string* error) {
  if (m_bClosed) return 0;
  if (!m_bHeaderWritten) {
    if (mediaType != 0 || !keyFrame) return 0;
    m_ullBaseTime = frameTimeMs;
    if (start(width, height, body, error) != 0) return -1;
  }
  const int64_t pts = static_cast<int64_t>(frameTimeMs - m_ullBaseTime);
  if (mediaType == 0) {
    // Pictures come in capture order; equal or going-back times are nudged
    // forward so the muxer's timestamps stay strictly increasing.
    const int64_t vpts = pts > m_llLastVideoPts ? pts : m_llLastVideoPts + 1;
    return writePacket(m_pVideo, &m_llLastVideoPts, vpts, reinterpret_cast<const uint8_t*>(body.data()),
                       body.size(), keyFrame, error);
  }
  if (frameTimeMs < m_ullBaseTime || pts <= m_llLastAudioPts || body.empty()) {
    ++m_llLateAudio;  // older than the stream start or than audio already written
    return 0;
  }
  const uint8_t* data = reinterpret_cast<const uint8_t*>(body.data());
  size_t size = body.size();
  if (IsAdts(body) && m_strContainer == "mkv") {
    // Matroska stores raw AAC frames; the configuration is in the header.
    const size_t headerSize = (data[1] & 0x01) ? 7 : 9;
    if (size <= headerSize) return 0;
    data += headerSize;
    size -= headerSize;
  }
  return writePacket(m_pAudio, &m_llLastAudioPts, pts, data, size, true, error);
}

int VrStreamWriter::close(std::string* error) {
  if (m_bClosed) return 0;
  m_bClosed = true;
  int result = 0;
  if (m_bHeaderWritten) {
    int rc = av_write_trailer(m_pFormat.get());
    if (rc < 0) {
      *error = "writing the trailer failed: " + VrAVErrorText(rc);
      result = -1;
    }
  }
  m_pFormat.reset();
  return result;
}
