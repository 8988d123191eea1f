// ostrel-client: the reference client of Ostrel's streaming protocol.
#include <glog/logging.h>

#include <csignal>
#include <cstdio>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "VrClientOptions.h"
#include "VrStreamConnection.h"
#include "VrStreamStats.h"
#include "VrStreamWriter.h"
#include "platform/HX_Clock.h"
#include "protocol/VrWireCodec.h"
#include "vireo_screenshot.pb.h"

namespace {
enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitConnect = 2, kExitProtocol = 3, kExitOutput = 4, kExitTimeout = 5 };

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "ostrel-client: %s\n", message.c_str());
  return code;
}

const char* CodecName(uint32_t wire) {
  switch (wire) {
    case kWireCodecH264:
      return "H.264";
    case kWireCodecMJPEG:
      return "MJPEG";
    case kWireCodecAAC:
      return "AAC";
    default:
      return "unknown";
  }
}

// Protocol checks shared by every message from the server.
bool CheckEcho(const HX_NetCmd_Header& h, const VrClientOptions& o, std::string* error) {
  if (h.m_uiSequenceNo != o.m_uiSequenceNo || h.m_ullRequesterId != o.m_ullRequesterId) {
    *error = "the server echoed sequence " + std::to_string(h.m_uiSequenceNo) + " / requester " +
             std::to_string(h.m_ullRequesterId) + ", expected " + std::to_string(o.m_uiSequenceNo) + " / " +
             std::to_string(o.m_ullRequesterId);
    return false;
  }
  return true;
}

int Run(const VrClientOptions& o) {
  std::string error;
  VrStreamConnection conn;
  if (conn.connectTo(o.m_strHost, o.m_iPort, &error) != 0) return Fail(kExitConnect, error);
  if (o.m_bRegister &&
      conn.sendRequest(vireo::screenshot::REGISTER_REQUEST, o.m_uiSequenceNo, o.m_ullRequesterId, &error) != 0)
    return Fail(kExitConnect, error);
  if (conn.sendRequest(vireo::screenshot::PACKET_CODEINFO, o.m_uiSequenceNo, o.m_ullRequesterId, &error) != 0)
    return Fail(kExitConnect, error);

  const int timeoutMs = static_cast<int>(o.m_dTimeoutSec * 1000);
  HX_NetCmd_Header header;
  std::string body;
  int rc = conn.readMessage(&header, &body, timeoutMs, &error);
  if (rc == VrStreamConnection::kTimeout)
    return Fail(g_interrupted ? kExitOk : kExitTimeout, "no codec information within the timeout");
  if (rc == VrStreamConnection::kClosed) return Fail(kExitProtocol, "the server closed the connection before answering");
  if (rc != 0) return Fail(rc == VrStreamConnection::kIoError ? kExitConnect : kExitProtocol, error);
  if (header.m_uiCmdId != vireo::screenshot::PACKET_CODEINFO)
    return Fail(kExitProtocol, "expected the codec information (3002), got command " + std::to_string(header.m_uiCmdId));
  if (!CheckEcho(header, o, &error)) return Fail(kExitProtocol, error);
  vireo::screenshot::packet_codeinfo info;
  if (!info.ParsePartialFromString(body) || !info.IsInitialized())
    return Fail(kExitProtocol, "the codec information is malformed or incomplete");

  // The codec information goes to standard output unless the stream does.
  FILE* infoOut = o.m_strOutput == "-" ? stderr : stdout;
  std::fprintf(infoOut,
               "codec information: video %s (%u), audio %s (%u), %u channels, %u Hz, %u bit/s, "
               "channel layout %u, profile %u\n",
               CodecName(info.video_code_type()), info.video_code_type(), CodecName(info.audio_code_type()),
               info.audio_code_type(), info.audio_channels(), info.audio_sample_rate(), info.audio_bit_rate(),
               info.audio_channel_layout(), info.audio_profile());
  std::fflush(infoOut);
  if (o.m_bInfoOnly) return kExitOk;

  const bool mjpeg = info.video_code_type() == kWireCodecMJPEG;
  if (!mjpeg && info.video_code_type() != kWireCodecH264)
    return Fail(kExitProtocol, "unsupported video codec " + std::to_string(info.video_code_type()));
  VrStreamWriter writer;
  const bool writing = !o.m_strOutput.empty();
  if (writing) {
    VrStreamWriter::CodecInfo ci{info.video_code_type(), info.audio_code_type(), info.audio_sample_rate(),
                                 info.audio_channels()};
    if (writer.open(o.m_strOutput, o.container(), ci, &error) != 0) return Fail(kExitOutput, error);
  }

  const int64_t start = HX_GetTickMs();
  VrStreamStats stats(start);
  int64_t packets = 0;
  int result = kExitOk;
  std::string endReason = "the server ended the stream";
  for (;;) {
    if (g_interrupted) {
      endReason = "interrupted";
      break;
    }
    if (o.m_dDurationSec > 0 && HX_GetTickMs() - start >= static_cast<int64_t>(o.m_dDurationSec * 1000)) {
      endReason = "duration reached";
      break;
    }
    if (o.m_llMaxPackets > 0 && packets >= o.m_llMaxPackets) {
      endReason = "packet limit reached";
      break;
    }
    // Short waits keep the statistics and the duration limit on time.
    int64_t silentSince = HX_GetTickMs();
    for (;;) {
      rc = conn.readMessage(&header, &body, 200, &error);
      if (rc != VrStreamConnection::kTimeout || g_interrupted) break;
      if (!o.m_bQuiet) {
        std::string line = stats.poll(HX_GetTickMs());
        if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
      }
      if (o.m_dDurationSec > 0 && HX_GetTickMs() - start >= static_cast<int64_t>(o.m_dDurationSec * 1000)) break;
      if (HX_GetTickMs() - silentSince >= timeoutMs) break;
    }
    if (rc == VrStreamConnection::kTimeout) {
      if (g_interrupted) continue;
      if (o.m_dDurationSec > 0 && HX_GetTickMs() - start >= static_cast<int64_t>(o.m_dDurationSec * 1000)) continue;
      char text[64];
      std::snprintf(text, sizeof text, "nothing received for %g s", o.m_dTimeoutSec);
      result = Fail(kExitTimeout, text);
      break;
    }
    if (rc == VrStreamConnection::kClosed) break;
    if (rc != 0) {
      result = Fail(rc == VrStreamConnection::kIoError ? kExitConnect : kExitProtocol, error);
      break;
    }
    if (!CheckEcho(header, o, &error)) {
      result = Fail(kExitProtocol, error);
      break;
    }
    if (header.m_uiCmdId == vireo::screenshot::PACKET_CODEINFO) continue;  // an answer to a repeated request
    if (header.m_uiCmdId != vireo::screenshot::PACKET_RESPONSE) {
      result = Fail(kExitProtocol, "unexpected command " + std::to_string(header.m_uiCmdId));
      break;
    }
    vireo::screenshot::packet_response packet;
    if (!packet.ParsePartialFromString(body) || !packet.IsInitialized()) {
      result = Fail(kExitProtocol, "a packet_response is malformed or incomplete");
      break;
    }
    if (packet.frame_length() != packet.frame_body().size()) {
      result = Fail(kExitProtocol, "frame_length " + std::to_string(packet.frame_length()) + " differs from the " +
                                       std::to_string(packet.frame_body().size()) + " body bytes");
      break;
    }
    if (packet.frame_type() > 1) {
      result = Fail(kExitProtocol, "unknown frame_type " + std::to_string(packet.frame_type()));
      break;
    }
    ++packets;
    const int type = static_cast<int>(packet.frame_type());
    stats.add(type, packet.frame_body().size(),
              HX_GetTickMs() - static_cast<int64_t>(packet.frame_time()));
    if (writing) {
      const bool key = type == 0 && (mjpeg || VrStreamWriter::IsH264KeyFrame(packet.frame_body()));
      if (writer.write(type, key, static_cast<int>(packet.frame_width()), static_cast<int>(packet.frame_height()),
                       packet.frame_time(), packet.frame_body(), &error) != 0) {
        result = Fail(kExitOutput, error);
        break;
      }
    }
    if (!o.m_bQuiet) {
      std::string line = stats.poll(HX_GetTickMs());
      if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
    }
  }
  if (writing && writer.close(&error) != 0 && result == kExitOk) result = Fail(kExitOutput, error);
  if (result != kExitOk) endReason = "stopped";
  if (!o.m_bQuiet || result != kExitOk)
    std::fprintf(stderr, "ostrel-client: %s: %lld video frames, %lld audio packets, %.1f kB\n", endReason.c_str(),
                 static_cast<long long>(stats.totalVideo()), static_cast<long long>(stats.totalAudio()),
                 static_cast<double>(stats.totalBytes()) / 1000.0);
  if ((!o.m_bQuiet || result != kExitOk) && stats.videoLatencyQuantile(0.5) >= 0)
    std::fprintf(stderr, "ostrel-client: video latency p50 %lld ms, p99 %lld ms\n",
                 static_cast<long long>(stats.videoLatencyQuantile(0.5)),
                 static_cast<long long>(stats.videoLatencyQuantile(0.99)));
  if (result == kExitOk && writing && !writer.started())
    std::fprintf(stderr, "ostrel-client: no key frame arrived, so nothing was written\n");
  return result;
}
}  // namespace

int main(int argc, char** argv) {
  VrClientOptions options;
  std::string error;
  if (options.parse(argc, argv, &error) != 0) {
    std::fprintf(stderr, "ostrel-client: %s\n\n%s", error.c_str(), VrClientOptions::usage().c_str());
    return kExitUsage;
  }
  if (options.m_bHelp) {
    std::fputs(VrClientOptions::usage().c_str(), stdout);
    return kExitOk;
  }
  // The shared protocol code logs through glog; the client reports by itself.
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = 3;
  google::InitGoogleLogging("ostrel-client");
  av_log_set_level(AV_LOG_ERROR);
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = &OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  int rc = Run(options);
  google::ShutdownGoogleLogging();
  google::protobuf::ShutdownProtobufLibrary();
  return rc;
}
