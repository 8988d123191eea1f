#include "encode/VrVideoNvEncoder.h"

#include "encode/VrEncoderSupport.h"
#include "log/HX_Log.h"

bool VrVideoNvEncoder::Init(const VrEncodeParams* params) {
  if (IsOpen()) return true;
  if (params == nullptr) return false;
  std::string why;
  bool opened = false;
  switch (VrCheckNvencSupport()) {
    case kVrNvencUsable: {
      const std::string rate = std::to_string(params->m_iBitRate);
      // Without the global-header flag h264_nvenc repeats SPS and PPS in
      // front of every IDR picture, which is what a joining client needs.
      const Options options = {
          {"preset", "p1"},    {"tune", "ull"},    {"zerolatency", "1"}, {"delay", "0"},
          {"rc", "constqp"},   {"qp", "32"},       {"profile", "main"},  {"bf", "0"},
          {"b", rate},         {"maxrate", rate},  {"forced-idr", "1"},
          {"g", std::to_string(VrHwGopLength(params->m_iFrameRate, params->m_iKeyIntervalMs))},
      };
      opened = OpenCodec("h264_nvenc", *params, options, nullptr, false, &why);
      break;
    }
    case kVrNvencOldDevice:
      why = "GPU 0 has compute capability below 3.0";
      break;
    default:
      why = "the CUDA driver cannot be loaded or queried";
      break;
  }
  if (!opened) {
    SetFailureReason(why);
    HX_LOG_WARNING("open Nvenc failed.");
    return false;
  }
  HX_LOG_INFO("Nvenc Encoder Created");
  return true;
}
