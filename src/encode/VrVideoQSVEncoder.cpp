#include "encode/VrVideoQSVEncoder.h"

#include "encode/VrQuickSyncLimits.h"
#include "encode/VrRenderNode.h"
#include "log/HX_Log.h"

bool VrVideoQSVEncoder::OpenQsv(const std::string& renderNode, const VrEncodeParams& params,
                                bool extraOptions, std::string* why) {
  VrAVBufferPtr device =
      OpenDevice(AV_HWDEVICE_TYPE_QSV, "auto", {{"child_device", renderNode}}, why);
  if (!device) return false;
  const std::string rate = std::to_string(params.m_iBitRate);
  // Equal target and maximum rates make h264_qsv choose CBR.
  Options options = {
      {"preset", "veryfast"}, {"profile", "main"}, {"b", rate},          {"maxrate", rate},
      {"bufsize", rate},      {"bf", "0"},         {"async_depth", "4"}, {"slices", "1"},
      {"g", std::to_string(VrHwGopLength(params.m_iFrameRate, params.m_iKeyIntervalMs))},
  };
  if (extraOptions) {
    options.emplace_back("extbrc", "0");
    options.emplace_back("mbbrc", "0");
  }
  return OpenCodec("h264_qsv", params, options, device.get(), false, why);
}

bool VrVideoQSVEncoder::Init(const VrEncodeParams* params) {
  if (IsOpen()) return true;
  if (params == nullptr) return false;
  const std::string node = VrFindRenderNode(kVrPciVendorIntel);
  if (node.empty()) {
    SetFailureReason("no Intel render node");
    HX_LOG_WARNING("Encoder.QSV.No HardwareSupport");
    return false;
  }
  const std::string refusal = VrQuickSyncSizeRefusal(
      VrCurrentProcessorClass(), static_cast<uint32_t>(params->m_iWidth), static_cast<uint32_t>(params->m_iHeight));
  if (!refusal.empty()) {
    SetFailureReason("picture too large for this processor's QuickSync");
    HX_LOG_WARNING("%s", refusal.c_str());
    return false;
  }
  std::string why;
  std::string retryWhy;
  std::string vaapiWhy;
  if (OpenQsv(node, *params, true, &why) || OpenQsv(node, *params, false, &retryWhy)) {
    HX_LOG_INFO("Intel QSV Encoder Created");
    return true;
  }
  if (OpenVaapi(node, *params, &vaapiWhy)) {
    HX_LOG_INFO("Intel QSV Encoder Created (h264_vaapi on %s; %s)", node.c_str(), retryWhy.c_str());
    return true;
  }
  SetFailureReason(retryWhy + "; " + vaapiWhy);
  HX_LOG_WARNING("open QSVEncoder failed.");
  return false;
}
