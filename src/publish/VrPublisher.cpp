#include "publish/VrPublisher.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <system_error>

#include "log/HX_Log.h"
#include "platform/HX_Clock.h"
#include "platform/HX_ThreadName.h"

namespace {
constexpr AVRational kMillisecond = {1, 1000};
constexpr int kIdleWaitMs = 200;

double SecondsSince(std::chrono::steady_clock::time_point then) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}
}  // namespace

VrPublisher::VrPublisher(const VrPublishTarget& target, const VrPublishParams& params)
    : m_stTarget(target), m_stParams(params), m_videoPts("published video", params.m_stVideo.m_iFrameRate) {}

VrPublisher::~VrPublisher() { stop(); }

int VrPublisher::start() {
  HX_LockGuard lock(m_threadMutex);
  if (m_thread.joinable() || m_bStop) return 0;
  m_iRetryMs = m_iFirstRetryMs;
  m_nextTry = std::chrono::steady_clock::now();
  try {
    m_thread = std::thread(&VrPublisher::WriterMain, this);
  } catch (const std::system_error& e) {
    HX_LOG_ERROR("nothing is published: cannot start the publisher thread: %s", e.what());
    return -1;
  }
  HX_LOG_INFO("publishing to %s (%s)", m_stTarget.m_strMasked.c_str(), m_stTarget.m_strFormat.c_str());
  return 0;
}

void VrPublisher::stop() {
  m_bStop = true;
  m_bAccepting = false;
  m_queue.close();
  m_wake.notify();
  HX_LockGuard lock(m_threadMutex);
  if (m_thread.joinable()) m_thread.join();
}

VrPublisher::Stats VrPublisher::stats() const {
  Stats s;
  s.m_bConnected = m_bConnected;
  s.m_ullBytesSent = m_ullBytesSent;
  s.m_ullDropped = m_queue.lost() + m_ullOutageDropped + m_ullLateDropped;
  s.m_ullOutages = m_ullOutages;
  return s;
}

// ---------------------------------------------------------------- delivery side

void VrPublisher::PushPacket(VrMediaFramePtr packet) {
  if (!packet || packet->m_pData == nullptr || packet->m_iSize <= 0 || m_bStop) return;
  const bool video = packet->m_iMediaType == VR_MEDIA_VIDEO;
  if (!video && (packet->m_iMediaType != VR_MEDIA_AUDIO || !m_stParams.m_bAudio)) return;
  if (!m_bHaveParameterSets.load(std::memory_order_acquire)) {
    if (!video || packet->m_iKeyFrame == 0) return;
    m_parameterSets = VrSplitParameterSets(packet->m_pData, static_cast<size_t>(packet->m_iSize));
    m_bHaveParameterSets.store(true, std::memory_order_release);
    m_wake.notify();
  }
  if (!m_bAccepting) {
    // The thread reconnects; what comes meanwhile is stale by the time the
    // server is back.
    if (m_bInOutage) m_ullOutageDropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const HX_PushResult pushed = m_queue.push(std::move(packet));
  if (pushed.boundHit && !m_bDropEpisode) {
    HX_LOG_WARNING("publishing to %s does not keep up: %llu bytes queued, dropping until the next key frame",
                   m_stTarget.m_strMasked.c_str(), static_cast<unsigned long long>(m_queue.bytes()));
    m_bDropEpisode = true;
  } else if (pushed.resumed && m_bDropEpisode) {
    HX_LOG_WARNING("publishing to %s caught up, sending again from a key frame", m_stTarget.m_strMasked.c_str());
    m_bDropEpisode = false;
  }
}

// ---------------------------------------------------------------- publisher thread

std::string VrPublisher::ErrorText(int err) const {
  // An interrupt by the deadline is the server not answering, not an exit.
  if (err == AVERROR_EXIT && !m_bStop) {
    return "no answer within " + std::to_string(m_iIoTimeoutMs) + " ms";
  }
  return VrAVErrorText(err);
}

int VrPublisher::Interrupted(void* opaque) {
  auto* self = static_cast<VrPublisher*>(opaque);
  if (self->m_bStop && !self->m_bClosing) return 1;
  const int64_t deadline = self->m_llDeadlineMs.load(std::memory_order_relaxed);
  return deadline > 0 && HX_GetTickMs() > deadline ? 1 : 0;
}

void VrPublisher::ArmDeadline(int ms) { m_llDeadlineMs = HX_GetTickMs() + ms; }

void VrPublisher::WriterMain() {
  HX_SetThreadName("ostrel-publish");
  m_pPacket.reset(av_packet_alloc());
  if (!m_pPacket) {
    HX_LOG_ERROR("nothing is published to %s: cannot allocate a packet", m_stTarget.m_strMasked.c_str());
    return;
  }
  std::string reason;
  while (!m_bStop) {
    if (!m_pOutput) {
      const auto now = std::chrono::steady_clock::now();
      // The container header needs the parameter sets of the first key frame.
      if (!m_bHaveParameterSets.load(std::memory_order_acquire) || now < m_nextTry) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_nextTry - now).count();
        m_wake.waitFor(std::chrono::milliseconds(std::clamp<int64_t>(left, 1, kIdleWaitMs)));
        continue;
      }
      if (Connect(&reason) != 0) {
        Disconnect(false);
        if (!m_bStop) BeginOutage(reason);
        continue;
      }
      EndOutage();
      continue;
    }
    VrMediaFramePtr packet = m_queue.popFor(std::chrono::milliseconds(kIdleWaitMs));
    if (!packet) continue;
    if (Write(packet, &reason) != 0) {
      Disconnect(false);
      if (!m_bStop) BeginOutage(reason);
    }
  }
  m_bClosing = true;
  Disconnect(true);
  if (m_bInOutage) {
    HX_LOG_WARNING("publishing to %s was still down when the run stopped, after a %.1f s outage",
                   m_stTarget.m_strMasked.c_str(), SecondsSince(m_outageBegan));
  }
}

int VrPublisher::Connect(std::string* reason) {
  const std::string& url = m_stTarget.m_strUrl;
  AVFormatContext* raw = nullptr;
  int ret = avformat_alloc_output_context2(&raw, nullptr, m_stTarget.m_strFormat.c_str(), url.c_str());
  if (ret < 0 || raw == nullptr) {
    *reason = "no " + m_stTarget.m_strFormat + " muxer: " + VrAVErrorText(ret);
    return -1;
  }
  m_pOutput.reset(raw);
  raw->interrupt_callback = AVIOInterruptCB{&VrPublisher::Interrupted, this};
  // Each packet leaves at once rather than when the I/O buffer fills.
  raw->flags |= AVFMT_FLAG_FLUSH_PACKETS;
  m_pVideoStream = VrAddMuxVideoStream(raw, m_stParams.m_stVideo, m_parameterSets);
  m_pAudioStream = nullptr;
  if (m_stParams.m_bAudio) {
    m_pAudioStream = VrAddMuxAacStream(raw, m_stParams.m_iAudioSampleRate, m_stParams.m_iAudioBitRate);
  }
  if (m_pVideoStream == nullptr || (m_stParams.m_bAudio && m_pAudioStream == nullptr)) {
    *reason = "cannot describe the H.264/AAC streams to the muxer";
    return -1;
  }
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "rw_timeout", int64_t{m_iIoTimeoutMs} * 1000, 0);
  // SRT carries MPEG-TS in messages of seven 188-byte packets.
  if (m_stTarget.m_strScheme == "srt" && url.find("pkt_size") == std::string::npos &&
      url.find("payload_size") == std::string::npos) {
    av_dict_set(&options, "payload_size", "1316", 0);
  }
  ArmDeadline(m_iIoTimeoutMs);
  ret = avio_open2(&raw->pb, url.c_str(), AVIO_FLAG_WRITE, &raw->interrupt_callback, &options);
  av_dict_free(&options);
  if (ret < 0) {
    *reason = "cannot connect: " + ErrorText(ret);
    return -1;
  }
  AVDictionary* muxOptions = nullptr;
  // A live stream has no end to seek back to for the duration.
  if (m_stTarget.m_strFormat == "flv") av_dict_set(&muxOptions, "flvflags", "no_duration_filesize", 0);
  ArmDeadline(m_iIoTimeoutMs);
  ret = avformat_write_header(raw, &muxOptions);
  av_dict_free(&muxOptions);
  if (ret < 0) {
    *reason = "cannot start the stream: " + ErrorText(ret);
    return -1;
  }
  m_bHaveOrigin = false;
  m_videoPts.Reset();
  m_bWroteAudio = false;
  return 0;
}

int VrPublisher::Write(const VrMediaFramePtr& packet, std::string* reason) {
  const bool video = packet->m_iMediaType == VR_MEDIA_VIDEO;
  AVStream* stream = video ? m_pVideoStream : m_pAudioStream;
  if (stream == nullptr) return 0;
  if (!m_bHaveOrigin) {
    if (!video) return 0;  // the queue starts at a key frame
    m_llOriginMs = packet->m_llTimestamp;
    m_bHaveOrigin = true;
  }
  // Sound older than the key frame the stream starts with: FLV takes the
  // first packet's time as its zero and refuses anything earlier.
  const int64_t relative = packet->m_llTimestamp - m_llOriginMs;
  if (relative < 0) return 0;
  int64_t dts = av_rescale_q(relative, kMillisecond, stream->time_base);
  if (video) {
    int64_t slot = 0;
    if (m_videoPts.Admit(relative, &slot) == VrPtsGuard::Verdict::kDropped) {
      m_ullLateDropped.fetch_add(1, std::memory_order_relaxed);
      return 0;
    }
    dts = av_rescale_q(slot, AVRational{1, m_videoPts.fps()}, stream->time_base);
  } else if (m_bWroteAudio && dts <= m_llLastAudioDts) {
    // Sound is paced in whole blocks and never shares a millisecond; a
    // timestamp that does not advance would only be refused by the muxer.
    return 0;
  }
  AVPacket* pkt = m_pPacket.get();
  av_packet_unref(pkt);
  // The payload stays the record's; the muxer copies what it keeps.
  pkt->data = packet->m_pData;
  pkt->size = packet->m_iSize;
  pkt->pts = dts;
  pkt->dts = dts;
  pkt->stream_index = stream->index;
  if (video && packet->m_iKeyFrame != 0) pkt->flags |= AV_PKT_FLAG_KEY;
  ArmDeadline(m_iIoTimeoutMs);
  const int ret = av_write_frame(m_pOutput.get(), pkt);
  av_packet_unref(pkt);
  if (ret < 0) {
    *reason = "cannot send: " + ErrorText(ret);
    return -1;
  }
  if (!video) {
    m_llLastAudioDts = dts;
    m_bWroteAudio = true;
  }
  m_ullBytesSent.fetch_add(static_cast<uint64_t>(packet->m_iSize), std::memory_order_relaxed);
  return 0;
}

void VrPublisher::Disconnect(bool graceful) {
  m_bAccepting = false;
  m_bConnected = false;
  if (!m_pOutput) return;
  if (graceful && m_pOutput->pb != nullptr) {
    ArmDeadline(kStopTimeoutMs);
    const int ret = av_write_trailer(m_pOutput.get());
    if (ret < 0) {
      HX_LOG_WARNING("publishing to %s: the stream's end was not sent: %s", m_stTarget.m_strMasked.c_str(),
                     VrAVErrorText(ret).c_str());
    }
  } else {
    // Closing must not wait for a server that stopped answering.
    m_llDeadlineMs = 1;
  }
  m_pOutput.reset();
  m_pVideoStream = nullptr;
  m_pAudioStream = nullptr;
  m_llDeadlineMs = 0;
}

void VrPublisher::BeginOutage(const std::string& reason) {
  m_bAccepting = false;
  const size_t dropped = m_queue.clear();
  m_ullOutageDropped.fetch_add(dropped, std::memory_order_relaxed);
  const auto now = std::chrono::steady_clock::now();
  // A connection that held for a while ends the back-off; one that failed at
  // once keeps doubling it, so a server refusing the stream is not hammered.
  if (m_connectedAt.time_since_epoch().count() != 0 &&
      now - m_connectedAt >= std::chrono::milliseconds(kHealthyMs)) {
    m_iRetryMs = m_iFirstRetryMs;
  }
  m_connectedAt = {};
  m_nextTry = now + std::chrono::milliseconds(m_iRetryMs);
  if (!m_bInOutage) {
    m_bInOutage = true;
    m_outageBegan = now;
    m_ullOutages.fetch_add(1, std::memory_order_relaxed);
    HX_LOG_WARNING("publishing to %s is down: %s; reconnecting in the background",
                   m_stTarget.m_strMasked.c_str(), reason.c_str());
  }
  m_iRetryMs = std::min(m_iRetryMs * 2, m_iMaxRetryMs);
}

void VrPublisher::EndOutage() {
  m_connectedAt = std::chrono::steady_clock::now();
  m_queue.clear();
  // The server must see a key frame first, and so must each of its viewers.
  m_queue.skipToKeyFrame();
  m_bConnected = true;
  m_bAccepting = true;
  if (m_bInOutage) {
    m_bInOutage = false;
    HX_LOG_WARNING("publishing to %s is up again after a %.1f s outage", m_stTarget.m_strMasked.c_str(),
                   SecondsSince(m_outageBegan));
  } else {
    HX_LOG_INFO("publishing to %s: connected", m_stTarget.m_strMasked.c_str());
  }
}
