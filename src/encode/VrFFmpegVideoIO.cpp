#include "encode/VrFFmpegVideoIO.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {
void ReleaseLentFrame(void* opaque, uint8_t*) { delete static_cast<VrMediaFramePtr*>(opaque); }
}  // namespace

VrMediaFramePtr VrVideoPacketRecord(const AVPacket& packet, const VrMediaFrame& input,
                                    int32_t width, int32_t height) {
  VrMediaFramePtr record = VrCreateMediaFrame();
  if (!record || !record->AllocData(packet.size)) return nullptr;
  std::memcpy(record->m_pData, packet.data, static_cast<size_t>(packet.size));
  record->m_iMediaType = input.m_iMediaType;
  record->m_llTimestamp = packet.pts;
  record->m_iKeyFrame = (packet.flags & AV_PKT_FLAG_KEY) != 0 ? 1 : 0;
  record->m_iWidth = width;
  record->m_iHeight = height;
  record->m_iChannels = input.m_iChannels;
  record->m_iSampleRate = input.m_iSampleRate;
  record->m_iBitsPerSample = input.m_iBitsPerSample;
  record->m_iRateBits =
      static_cast<int32_t>(static_cast<int64_t>(input.m_iBitsPerSample) * input.m_iSampleRate);
  return record;
}

bool VrLendNV12(AVFrame* picture, const VrMediaFramePtr& frame, int32_t width, int32_t height,
                int32_t bytes) {
  picture->format = AV_PIX_FMT_NV12;
  picture->width = width;
  picture->height = height;
  if (av_image_fill_arrays(picture->data, picture->linesize, frame->m_pData, AV_PIX_FMT_NV12,
                           width, height, 1) < 0) {
    return false;
  }
  VrMediaFramePtr* holder = new (std::nothrow) VrMediaFramePtr(frame);
  if (holder == nullptr) return false;
  picture->buf[0] = av_buffer_create(frame->m_pData, static_cast<size_t>(bytes), &ReleaseLentFrame,
                                     holder, AV_BUFFER_FLAG_READONLY);
  if (picture->buf[0] == nullptr) {
    delete holder;
    return false;
  }
  return true;
}
