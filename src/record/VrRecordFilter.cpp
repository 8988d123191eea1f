#include "record/VrRecordFilter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "config/HX_ServerConfiguration.h"
#include "encode/VrMuxStreams.h"
#include "log/HX_Log.h"
#include "platform/HX_ThreadName.h"

namespace {

// Timestamps are milliseconds; pts rounds to nearest and passes the 64-bit
// extremes through unchanged.
constexpr AVRational kMillisecond = {1, 1000};
constexpr int kRescaleRounding = AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX;
}  // namespace

VrRecordFilter::VrRecordFilter(const VrRecordParams& params)
    : m_stParams(params), m_videoPts("video of the recording", params.m_iFrameRate) {}

VrRecordFilter::~VrRecordFilter() { stop(); }

// ---------------------------------------------------------------- delivery side

void VrRecordFilter::PushPacket(VrMediaFramePtr packet) {
  if (!packet || m_bStop) return;
  if (packet->m_pData == nullptr || packet->m_iSize <= 0) return;  // nothing to write
  const bool videoKey = packet->m_iMediaType == VR_MEDIA_VIDEO && packet->m_iKeyFrame != 0;
  if (!m_bStarted) {
    if (!videoKey) return;
    // JPEG pictures carry no parameter sets; searching them for start codes
    // could only find false ones.
    if (m_parameterSets.empty() && !IsMjpeg()) {
      m_parameterSets = VrSplitParameterSets(packet->m_pData, static_cast<size_t>(packet->m_iSize));
    }
    HX_LockGuard lock(m_threadMutex);
    if (m_bStop) return;
    m_bStarted = true;
    if (!m_writerThread.joinable()) {
      m_bAccepting = true;
      try {
        m_writerThread = std::thread(&VrRecordFilter::WriterMain, this);
      } catch (const std::system_error& e) {
        m_bAccepting = false;
        HX_LOG_ERROR("nothing is recorded: cannot start the record writer thread: %s", e.what());
        return;
      }
    }
  }
  // Without a file to write to, packets are dropped here rather than queued:
  // the writer has logged the episode once.
  if (!m_bAccepting) return;
  if (m_bResync) {
    if (!videoKey) return;
    m_bResync = false;
  }
  if (packet->m_iMediaType == VR_MEDIA_AUDIO) {
    EnqueueAudio(std::move(packet));
  } else if (packet->m_iMediaType == VR_MEDIA_VIDEO) {
    EnqueueVideo(std::move(packet));
  }
}

void VrRecordFilter::stop() {
  m_bStop = true;
  m_wakeWriter.notify();
  {
    HX_LockGuard lock(m_threadMutex);
    if (m_writerThread.joinable()) m_writerThread.join();
  }
  m_videoQueue.clear();
  m_audioQueue.clear();
}

void VrRecordFilter::EnqueueVideo(VrMediaFramePtr packet) {
  if (m_videoQueue.push(std::move(packet)).dropped > 0) HX_LOG_WARNING("Video Frame Loss.");
}

void VrRecordFilter::EnqueueAudio(VrMediaFramePtr packet) {
  if (m_audioQueue.push(std::move(packet)).dropped > 0) HX_LOG_WARNING("Audio Frame Loss.");
}

VrMediaFramePtr VrRecordFilter::DequeueVideo() { return m_videoQueue.pop(); }

VrMediaFramePtr VrRecordFilter::DequeueAudio() { return m_audioQueue.pop(); }

size_t VrRecordFilter::VideoQueueSize() const { return m_videoQueue.size(); }

size_t VrRecordFilter::AudioQueueSize() const { return m_audioQueue.size(); }

// ---------------------------------------------------------------- helpers

std::string VrRecordFilter::ComposeFileName(const std::string& dir, const std::tm& localTime,
                                             int suffix) {
  char stamp[32] = {0};
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &localTime);
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += stamp;
  if (suffix > 0) path += "_" + std::to_string(suffix);
  path += ".mp4";
  return path;
}

std::string VrRecordFilter::currentFile() const {
  HX_LockGuard lock(m_fileNameMutex);
  return m_strCurrentFile;
}

bool VrRecordFilter::IsMjpeg() const { return m_stParams.m_iVideoCodecId == AV_CODEC_ID_MJPEG; }

std::string VrRecordFilter::BuildFileName(std::string* reason) {
  const std::string dir = VrRecordDirectory(reason);
  if (dir.empty()) return std::string();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // Files opened within the same second get _1, _2 ... rather than
  // overwriting the earlier one.
  for (int suffix = 0; suffix < 100000; ++suffix) {
    std::string path = ComposeFileName(dir, local, suffix);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return path;
  }
  *reason = "no free file name left in " + dir;
  return std::string();
}

// ---------------------------------------------------------------- writer thread

void VrRecordFilter::AddAudioStream(AVFormatContext* ctx) {
  m_pAudioStream = VrAddMuxAacStream(ctx, m_stParams.m_iAudioSampleRate, m_stParams.m_iAudioBitRate);
  if (m_pAudioStream != nullptr) av_dict_set(&m_pAudioStream->metadata, "title", "aac", 0);
}

void VrRecordFilter::AddVideoStream(AVFormatContext* ctx) {
  VrMuxVideoParams video;
  video.m_iCodecId = m_stParams.m_iVideoCodecId;
  video.m_iFrameRate = m_stParams.m_iFrameRate;
  video.m_iWidth = m_stParams.m_iWidth;
  video.m_iHeight = m_stParams.m_iHeight;
  video.m_iBitRate = m_stParams.m_iVideoBitRate;
  m_pVideoStream = VrAddMuxVideoStream(ctx, video, m_parameterSets);
}

int VrRecordFilter::OpenOutput(const std::string& path, std::string* reason) {
  AVFormatContext* ctx = m_pOutput.get();
  if (m_file.open(path) != 0) {
    *reason = "cannot create the recording " + path + ": " + m_file.error();
    return -1;
  }
  ctx->pb = m_file.io();
  ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
  // Fragmented: an empty index up front, then self-contained fragments, each
  // complete in the file before the next begins. A JPEG track is all key
  // frames, so there the fragments follow time alone.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags",
              IsMjpeg() ? "empty_moov+default_base_moof"
                        : "frag_keyframe+empty_moov+default_base_moof",
              0);
  av_dict_set_int(&options, "frag_duration", int64_t{kMaxFragmentMs} * 1000, 0);
  int ret = avformat_write_header(ctx, &options);
  av_dict_free(&options);
  if (ret < 0) {
    *reason = "cannot write the header of " + path + ": " +
              (m_file.error().empty() ? VrAVErrorText(ret) : m_file.error());
    return -2;
  }
  if (m_file.commit() != 0) {
    *reason = "cannot write the header of " + path + ": " + m_file.error();
    return -3;
  }
  return 0;
}

int VrRecordFilter::CreateOutput(const std::string& path, std::string* reason) {
  const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
  if (format == nullptr) {
    *reason = "cannot record to " + path + ": no container for this file name";
    return -1;
  }
  AVFormatContext* raw = nullptr;
  int ret = avformat_alloc_output_context2(&raw, format, nullptr, path.c_str());
  if (ret < 0 || raw == nullptr) {
    *reason = "cannot record to " + path + ": " + VrAVErrorText(ret);
    return -2;
  }
  m_pOutput.reset(raw);
  m_pAudioStream = nullptr;
  m_pVideoStream = nullptr;
  AddAudioStream(raw);
  AddVideoStream(raw);
  if (m_pVideoStream == nullptr) {
    *reason = "cannot record to " + path + ": no " + (IsMjpeg() ? "MJPEG" : "H.264") +
              " video stream";
    CloseOutputWithoutTrailer();
    return -3;
  }
  if (m_pAudioStream == nullptr) {
    HX_LOG_WARNING("%s gets no audio stream: no AAC encoder is available", path.c_str());
  }
  if (OpenOutput(path, reason) < 0) {
    const bool created = m_file.isOpen();
    CloseOutputWithoutTrailer();
    if (created) std::remove(path.c_str());  // a file without a header is of no use
    return -4;
  }
  // The filter strips the ADTS headers the run's encoder puts in front of
  // every packet; a fresh one per file keeps no state across files.
  if (m_pAudioStream != nullptr) {
    const AVBitStreamFilter* filter = av_bsf_get_by_name("aac_adtstoasc");
    AVBSFContext* bsf = nullptr;
    ret = filter != nullptr ? av_bsf_alloc(filter, &bsf) : AVERROR_BSF_NOT_FOUND;
    if (ret >= 0) {
      m_pAudioFilter.reset(bsf);
      ret = avcodec_parameters_copy(bsf->par_in, m_pAudioStream->codecpar);
      if (ret >= 0) {
        // Without a configuration of its own the filter insists on an ADTS
        // header in every packet and refuses anything else.
        av_freep(&bsf->par_in->extradata);
        bsf->par_in->extradata_size = 0;
        bsf->time_base_in = m_pAudioStream->time_base;
        ret = av_bsf_init(bsf);
      }
    }
    if (ret < 0) {
      m_pAudioFilter.reset();
      HX_LOG_ERROR("audio of %s is dropped: the aac_adtstoasc filter failed: %s", path.c_str(),
                   VrAVErrorText(ret).c_str());
    }
  }
  m_strFilePath = path;
  m_videoPts.Reset();
  m_llBytesWritten = 0;  // the size limit counts per file, also after a failed one
  {
    HX_LockGuard lock(m_fileNameMutex);
    m_strCurrentFile = path;
  }
  HX_LOG_INFO("recording into %s", path.c_str());
  return 0;
}

void VrRecordFilter::CloseOutputWithoutTrailer() {
  m_pAudioFilter.reset();
  m_pOutput.reset();
  m_file.close();
  m_pAudioStream = nullptr;
  m_pVideoStream = nullptr;
  HX_LockGuard lock(m_fileNameMutex);
  m_strCurrentFile.clear();
}

int VrRecordFilter::CloseOutput(std::string* reason) {
  if (!m_pOutput) return 0;
  const int ret = av_write_trailer(m_pOutput.get());
  m_pOutput.reset();
  const int closed = m_file.close();
  CloseOutputWithoutTrailer();
  if (ret < 0 || closed != 0) {
    *reason = "cannot finish the recording " + m_strFilePath + ": " +
              (m_file.error().empty() ? VrAVErrorText(ret) : m_file.error());
    return -1;
  }
  HX_LOG_INFO("recording %s closed", m_strFilePath.c_str());
  return 0;
}

VrRecordFilter::WriteResult VrRecordFilter::WritePacket(const VrMediaFramePtr& packet,
                                                        int64_t timestampMs, int64_t originMs,
                                                        AVStream* stream) {
  if (stream == nullptr || !m_pOutput) return WriteResult::kRefused;
  const bool audio = stream == m_pAudioStream;
  if (audio && !m_pAudioFilter) return WriteResult::kRefused;
  AVPacket* pkt = m_pPacket.get();
  av_packet_unref(pkt);
  // The payload stays the record's; libavformat takes its own copy.
  pkt->data = packet->m_pData;
  pkt->size = packet->m_iSize;
  pkt->pts = av_rescale_q_rnd(timestampMs - originMs, kMillisecond, stream->time_base,
                              static_cast<AVRounding>(kRescaleRounding));
  pkt->dts = pkt->pts;
  if (!audio) {
    int64_t slot = 0;
    if (m_videoPts.Admit(timestampMs - originMs, &slot) == VrPtsGuard::Verdict::kDropped) {
      m_ullLateVideo = m_videoPts.dropped();
      return WriteResult::kRefused;
    }
    pkt->pts = pkt->dts = av_rescale_q(slot, AVRational{1, m_videoPts.fps()}, stream->time_base);
  }
  pkt->stream_index = stream->index;
  int ret = 0;
  bool written = false;
  if (audio) {
    if (packet->m_iSamples > 0 && stream->codecpar->sample_rate > 0) {
      pkt->duration = av_rescale_q(packet->m_iSamples, AVRational{1, stream->codecpar->sample_rate},
                                   stream->time_base);
    }
    ret = av_bsf_send_packet(m_pAudioFilter.get(), pkt);
    while (ret >= 0) {
      ret = av_bsf_receive_packet(m_pAudioFilter.get(), pkt);
      if (ret < 0) break;
      const int w = av_interleaved_write_frame(m_pOutput.get(), pkt);
      if (w < 0) {
        ret = w;
        break;
      }
      written = true;
    }
    if (ret == AVERROR(EAGAIN)) ret = 0;
    av_packet_unref(pkt);
    if (!m_file.error().empty()) return WriteResult::kFileFailed;
    if (ret < 0 || !written) {
      HX_LOG_WARNING("Recode MP4 Write Audio Failed!!! %s", VrAVErrorText(ret).c_str());
      return WriteResult::kRefused;
    }
  } else {
    if (packet->m_iKeyFrame != 0) pkt->flags |= AV_PKT_FLAG_KEY;
    pkt->duration = av_rescale_q(1, AVRational{1, m_videoPts.fps()}, stream->time_base);
    ret = av_interleaved_write_frame(m_pOutput.get(), pkt);
    av_packet_unref(pkt);
    if (!m_file.error().empty()) return WriteResult::kFileFailed;
    if (ret < 0) {
      HX_LOG_WARNING("Recode MP4 Write Video Failed!!! %s", VrAVErrorText(ret).c_str());
      return WriteResult::kRefused;
    }
  }
  m_llBytesWritten += packet->m_iSize;
  // The file grows only by whole fragments (and the header).
  if (m_file.commit() != 0) return WriteResult::kFileFailed;
  return WriteResult::kWritten;
}

void VrRecordFilter::WriterMain() {
  HX_SetThreadName("ostrel-record");
  const HX_ServerConfiguration* config = HX_ServerConfiguration::instance();
  m_iSplitType = config->m_iRecordSplitType;
  m_llSplitSize = config->m_iSplitSize;
  m_llSplitTime = config->m_iSplitTime;
  m_pPacket.reset(av_packet_alloc());
  if (!m_pPacket) {
    m_bAccepting = false;
    HX_LOG_ERROR("nothing is recorded: cannot allocate a packet");
    return;
  }
  WriterState state;
  std::string reason;
  if (OpenNextFile(&reason) != 0) BeginOutage(&state, reason);
  RecordLoop(&state);
  if (CloseOutput(&reason) != 0) HX_LOG_ERROR("%s", reason.c_str());
  m_bAccepting = false;
}

int VrRecordFilter::OpenNextFile(std::string* reason) {
  const std::string path = BuildFileName(reason);
  if (path.empty()) return -1;
  return CreateOutput(path, reason) == 0 ? 0 : -1;
}

void VrRecordFilter::BeginOutage(WriterState* state, const std::string& reason) {
  m_bAccepting = false;
  *state = WriterState();
  m_videoQueue.clear();
  m_audioQueue.clear();
  const auto now = std::chrono::steady_clock::now();
  m_nextRetry = now + std::chrono::milliseconds(m_iRetryDelayMs);
  if (m_bAttempted) {
    m_nextRetry = std::max(m_nextRetry, m_lastAttempt + std::chrono::milliseconds(m_iRetryIntervalMs));
  }
  m_bInOutage = true;
  m_iRetryAttempt = 0;
  HX_LOG_ERROR("recording interrupted: %s; packets are dropped until a new file opens (next try in %lld s)",
               reason.c_str(),
               static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(m_nextRetry - now).count()));
}

bool VrRecordFilter::RetryIfDue(WriterState* state) {
  const auto now = std::chrono::steady_clock::now();
  if (now < m_nextRetry) return false;
  m_bAttempted = true;
  m_lastAttempt = now;
  ++m_iRetryAttempt;
  std::string reason;
  HX_LOG_WARNING("recording: trying a new file (attempt %d)", m_iRetryAttempt);
  if (OpenNextFile(&reason) != 0) {
    m_nextRetry = now + std::chrono::milliseconds(m_iRetryIntervalMs);
    HX_LOG_WARNING("recording: attempt %d failed: %s", m_iRetryAttempt, reason.c_str());
    return false;
  }
  *state = WriterState();
  m_bInOutage = false;
  // A push that passed the check just before the failure may have queued a
  // packet after the queues were emptied; it belongs to the old file.
  m_videoQueue.clear();
  m_audioQueue.clear();
  // The new file starts at a key frame, like the first one.
  m_bResync = true;
  m_bAccepting = true;
  return true;
}

void VrRecordFilter::RecordLoop(WriterState* stateIn) {
  WriterState& state = *stateIn;
  std::string reason;
  for (;;) {
    // Once stopping, the packets already queued still go into the file.
    const bool stopping = m_bStop;
    if (m_bInOutage) {
      if (stopping) return;
      if (!RetryIfDue(&state)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            m_nextRetry - std::chrono::steady_clock::now());
        m_wakeWriter.waitFor(std::chrono::milliseconds(
            std::max<int64_t>(1, std::min<int64_t>(left.count(), kMaxIdleWaitMs))));
      }
      continue;
    }
    TakeQueued(&state);
    if (!state.haveOrigin && !FixOrigin(&state)) {
      if (stopping) return;
      m_wakeWriter.waitFor(std::chrono::milliseconds(kMaxIdleWaitMs));
      continue;
    }
    const NextPacket next = ChooseNext(state, stopping);
    if (next == NextPacket::kNone) {
      if (stopping) return;
      m_wakeWriter.waitFor(std::chrono::milliseconds(kMaxIdleWaitMs));
      continue;
    }
    if (SplitIfDue(&state, &reason) != 0 || WriteHeld(&state, next, &reason) != 0) {
      BeginOutage(&state, reason);
    }
  }
}

void VrRecordFilter::TakeQueued(WriterState* s) {
  if (!s->video && (s->video = DequeueVideo())) {
    s->tv = s->video->m_llTimestamp;
    if (!s->tookVideo) s->firstVideo = s->tv;
    s->tookVideo = true;
  }
  if (!s->audio && (s->audio = DequeueAudio())) {
    s->ta = s->audio->m_llTimestamp;
    if (!s->tookAudio) s->firstAudio = s->ta;
    s->tookAudio = true;
  }
}

bool VrRecordFilter::FixOrigin(WriterState* s) {
  if (!s->video) return false;
  // The earlier of the two first packets (audio on a tie); video alone when
  // no audio has come yet.
  if (s->audio) {
    s->origin = s->firstAudio <= s->firstVideo ? s->firstAudio : s->firstVideo;
  } else {
    s->origin = s->tv;
  }
  s->lastWritten = s->origin;
  s->haveOrigin = true;
  return true;
}

int VrRecordFilter::SplitIfDue(WriterState* s, std::string* reason) {
  bool split = false;
  if (m_iSplitType == kSplitBySize) {
    if (m_llSplitSize > 0 && m_llBytesWritten >= m_llSplitSize && s->video &&
        s->video->m_iKeyFrame != 0) {
      split = true;
    }
  } else if (m_iSplitType == kSplitByTime) {
    // Right after a split the last packet written may predate the new origin
    // (its successor failed to write): no reason to split again.
    if (m_llSplitTime > 0 && s->lastWritten >= s->origin &&
        s->lastWritten - s->origin >= m_llSplitTime) {
      split = true;
    }
  }
  if (!split) return 0;
  if (CloseOutput(reason) != 0 || OpenNextFile(reason) != 0) return -1;
  if (s->tookAudio && s->tookVideo) {
    s->origin = s->ta <= s->tv ? s->ta : s->tv;
  } else {
    s->origin = s->tookVideo ? s->tv : s->ta;
  }
  return 0;
}

VrRecordFilter::NextPacket VrRecordFilter::ChooseNext(const WriterState& s, bool stopping) {
  // Audio newer than the last video taken waits for the next video packet,
  // except at the end, when no more video will come.
  if (s.audio && (s.ta < s.tv || (stopping && !s.video))) return NextPacket::kAudio;
  return s.video ? NextPacket::kVideo : NextPacket::kNone;
}

int VrRecordFilter::WriteHeld(WriterState* s, NextPacket which, std::string* reason) {
  const bool audio = which == NextPacket::kAudio;
  VrMediaFramePtr packet = std::move(audio ? s->audio : s->video);
  const int64_t at = audio ? s->ta : s->tv;
  const WriteResult result =
      WritePacket(packet, at, s->origin, audio ? m_pAudioStream : m_pVideoStream);
  if (result == WriteResult::kWritten) s->lastWritten = at;
  if (result != WriteResult::kFileFailed) return 0;
  // What is already durable stays playable; the trailer cannot be written
  // to a file that refuses data.
  *reason = "cannot write " + m_strFilePath + ": " + m_file.error();
  CloseOutputWithoutTrailer();
  return -1;
}
