#pragma once
// The VA-API back-end (encoder kind 4, the "AMD" choice): H.264 through
// FFmpeg's h264_vaapi on the AMD render node (Mesa's encoder), Main profile,
// CBR at the bit rate, no B-frames. Worker thread only (see VrVideoHwEncoder).
#include <string>

#include "encode/VrVideoHwEncoder.h"

class VrVideoVaapiEncoder : public VrVideoHwEncoder {
 public:
  // Opens on the first AMD render node.
  bool Init(const VrEncodeParams* params) override;
  // Opens on |renderNode|, whoever made it; logs nothing (the availability
  // check uses it to see whether the node offers H.264 encoding).
  bool InitOn(const std::string& renderNode, const VrEncodeParams& params);
  const char* Name() const override { return "VA-API"; }
};
