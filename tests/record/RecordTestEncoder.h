#pragma once
// Real encoded packets for recorder tests, made with libavcodec directly:
// x264 (ultrafast, zerolatency) H.264 Annex B from NV12 pictures with a fixed
// key-frame interval, and FFmpeg's AAC (LC, planar float) with an ADTS header
// put in front of every packet, as the run's encoders deliver them.
#include <cstdint>
#include <string>
#include <vector>

#include "core/VrMediaFrame.h"

class RecordTestEncoder {
 public:
  RecordTestEncoder(int width, int height, int fps, int gop, int sampleRate);

  // |count| video packets, frame i stamped startMs + i * 1000 / fps; every
  // gop-th frame (from the first) is a key frame with SPS and PPS inline.
  std::vector<VrMediaFramePtr> EncodeVideo(int count, int64_t startMs);
  // The same pictures as JPEG (FFmpeg's mjpeg, every packet a key frame).
  std::vector<VrMediaFramePtr> EncodeMjpeg(int count, int64_t startMs);
  // The packets of |frames| blocks of 1024 stereo samples (a tone), packet k
  // stamped startMs + k * 1024 * 1000 / sampleRate.
  std::vector<VrMediaFramePtr> EncodeAudio(int frames, int64_t startMs);

  // Merges two packet lists by timestamp, audio before video on a tie, which
  // is the order the encoder pair releases them in.
  static std::vector<VrMediaFramePtr> Interleave(const std::vector<VrMediaFramePtr>& video,
                                                 const std::vector<VrMediaFramePtr>& audio);

  // The 7-byte ADTS header of an AAC LC stereo frame of |payloadSize| bytes.
  static std::vector<uint8_t> AdtsHeader(int sampleRate, int payloadSize);

 private:
  std::vector<VrMediaFramePtr> Encode(int count, int64_t startMs, bool mjpeg);
  int m_iWidth;
  int m_iHeight;
  int m_iFps;
  int m_iGop;
  int m_iSampleRate;
};
