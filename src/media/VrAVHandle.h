#pragma once
// Owners of the FFmpeg objects (see core/HX_Handle.h) and FFmpeg's error text.
// Each frees through FFmpeg's own release call, so a handle may be reset from
// any state. Header-only; the user links FFmpeg (ostrel_media carries it).
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "core/HX_Handle.h"

inline void VrFreeCodecContext(AVCodecContext* ctx) { avcodec_free_context(&ctx); }
inline void VrFreeFrame(AVFrame* frame) { av_frame_free(&frame); }
inline void VrFreePacket(AVPacket* packet) { av_packet_free(&packet); }
inline void VrFreeBsfContext(AVBSFContext* bsf) { av_bsf_free(&bsf); }
inline void VrFreeSwrContext(SwrContext* swr) { swr_free(&swr); }
// Reference-counted buffers (hardware device and frame-pool contexts).
inline void VrUnrefBuffer(AVBufferRef* buffer) { av_buffer_unref(&buffer); }
inline void VrFreeDictionary(AVDictionary* dict) { av_dict_free(&dict); }
// A muxer's context: its output file (when the format has one and it was
// opened by avio_open) is closed first, without a trailer. An I/O context the
// caller supplied (AVFMT_FLAG_CUSTOM_IO) stays the caller's.
inline void VrFreeOutputContext(AVFormatContext* ctx) {
  if (ctx->pb != nullptr && ctx->oformat != nullptr && (ctx->oformat->flags & AVFMT_NOFILE) == 0 &&
      (ctx->flags & AVFMT_FLAG_CUSTOM_IO) == 0) {
    avio_closep(&ctx->pb);
  }
  avformat_free_context(ctx);
}
// An I/O context made by avio_alloc_context, with the buffer it holds.
inline void VrFreeIOContext(AVIOContext* io) {
  av_freep(&io->buffer);
  avio_context_free(&io);
}
// A demuxer's context, opened by avformat_open_input.
inline void VrFreeInputContext(AVFormatContext* ctx) { avformat_close_input(&ctx); }

using VrCodecContextPtr = HX_Owned<AVCodecContext, &VrFreeCodecContext>;
using VrAVFramePtr = HX_Owned<AVFrame, &VrFreeFrame>;
using VrAVPacketPtr = HX_Owned<AVPacket, &VrFreePacket>;
using VrBsfContextPtr = HX_Owned<AVBSFContext, &VrFreeBsfContext>;
using VrSwrContextPtr = HX_Owned<SwrContext, &VrFreeSwrContext>;
using VrAVBufferPtr = HX_Owned<AVBufferRef, &VrUnrefBuffer>;
using VrAVDictionaryPtr = HX_Owned<AVDictionary, &VrFreeDictionary>;
using VrSwsContextPtr = HX_Owned<SwsContext, &sws_freeContext>;
using VrOutputContextPtr = HX_Owned<AVFormatContext, &VrFreeOutputContext>;
using VrIOContextPtr = HX_Owned<AVIOContext, &VrFreeIOContext>;
using VrInputContextPtr = HX_Owned<AVFormatContext, &VrFreeInputContext>;

// FFmpeg's error text for |err| (av_err2str is a C macro with a compound
// literal, which C++ does not accept).
inline std::string VrAVErrorText(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, text, sizeof text);
  return std::string(text);
}
