#pragma once
// Owning handles for the FFmpeg objects the encoders keep. Each deleter frees
// through FFmpeg's own release call, so a handle may be reset from any state.
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

struct VrCodecContextDeleter {
  void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct VrAVFrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct VrAVPacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct VrSwrContextDeleter {
  void operator()(SwrContext* swr) const { swr_free(&swr); }
};

using VrCodecContextPtr = std::unique_ptr<AVCodecContext, VrCodecContextDeleter>;
using VrAVFramePtr = std::unique_ptr<AVFrame, VrAVFrameDeleter>;
using VrAVPacketPtr = std::unique_ptr<AVPacket, VrAVPacketDeleter>;
using VrSwrContextPtr = std::unique_ptr<SwrContext, VrSwrContextDeleter>;

// FFmpeg's error text for |err| as a std::string (av_err2str is a C macro
// with a compound literal, which C++ does not accept).
inline std::string VrAVErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return std::string(buf);
}
