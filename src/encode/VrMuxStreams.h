#pragma once
// The libavformat streams that carry a run's encoded output, shared by every
// muxer of it (the MP4 recorder, the publisher): codec parameters for the
// video encoder's H.264 or MJPEG and the audio encoder's AAC LC, and the
// H.264 parameter sets a container header needs before the first packet.
// Pure functions on a caller-owned context; any thread.
#include <cstddef>
#include <cstdint>
#include <vector>

struct AVFormatContext;
struct AVStream;

// What the run's encoders produce, as a muxer needs to know it up front.
struct VrMuxVideoParams {
  int32_t m_iCodecId = 0;  // an AVCodecID: H.264 or MJPEG; 0 means H.264
  int32_t m_iFrameRate = 25;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  int32_t m_iBitRate = 0;
};

// Adds the video stream; |parameterSets| (Annex B SPS and PPS, may be empty)
// become its extradata. Null when FFmpeg has no such codec or no memory.
AVStream* VrAddMuxVideoStream(AVFormatContext* ctx, const VrMuxVideoParams& params,
                              const std::vector<uint8_t>& parameterSets);

// Adds a stereo AAC LC stream at |sampleRate| whose extradata is the
// AudioSpecificConfig, so that headers written before the first packet are
// complete. Null when FFmpeg has no AAC encoder or no memory.
AVStream* VrAddMuxAacStream(AVFormatContext* ctx, int sampleRate, int bitRate);

// The SPS and PPS units (start codes included, stream order) of an Annex B
// access unit; empty when it has none.
std::vector<uint8_t> VrSplitParameterSets(const uint8_t* data, size_t size);
