#pragma once
// The NVENC back-end (encoder kind 2): H.264 on an NVIDIA GPU through
// FFmpeg's h264_nvenc, which loads the CUDA and NVENC runtimes itself and
// uploads the NV12 pictures. Constant QP 32, the fastest preset, no B-frames,
// low-delay; every key frame carries SPS and PPS inline. Init refuses at once
// when the NVENC availability check fails. Worker thread only (see
// VrVideoHwEncoder).
#include "encode/VrVideoHwEncoder.h"

class VrVideoNvEncoder : public VrVideoHwEncoder {
 public:
  bool Init(const VrEncodeParams* params) override;
  const char* Name() const override { return "NVENC"; }
};
