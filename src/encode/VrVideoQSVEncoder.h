#pragma once
// The QuickSync back-end (encoder kind 1): H.264 on the Intel render node
// through FFmpeg's h264_qsv (the fastest preset, CBR at the bit rate, Main
// profile, no B-frames), tried a second time without the extra coding
// options, and then through h264_vaapi on the same node, since current Intel
// generations are served by VA-API only. Refuses pictures above 1920 x 1200
// on the processor generations that cannot take them. Worker thread only
// (see VrVideoHwEncoder).
#include <string>

#include "encode/VrVideoHwEncoder.h"

class VrVideoQSVEncoder : public VrVideoHwEncoder {
 public:
  bool Init(const VrEncodeParams* params) override;
  const char* Name() const override { return "QuickSync"; }

 private:
  // One h264_qsv attempt on |renderNode|; |extraOptions| adds the coding
  // options some runtimes refuse.
  bool OpenQsv(const std::string& renderNode, const VrEncodeParams& params, bool extraOptions,
               std::string* why);
};
