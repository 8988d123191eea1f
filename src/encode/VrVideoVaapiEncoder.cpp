#include "encode/VrVideoVaapiEncoder.h"

#include "encode/VrRenderNode.h"
#include "log/HX_Log.h"

bool VrVideoVaapiEncoder::InitOn(const std::string& renderNode, const VrEncodeParams& params) {
  std::string why;
  if (OpenVaapi(renderNode, params, &why)) return true;
  SetFailureReason(why);
  return false;
}

bool VrVideoVaapiEncoder::Init(const VrEncodeParams* params) {
  if (IsOpen()) return true;
  if (params == nullptr) return false;
  const std::string node = VrFindRenderNode(kVrPciVendorAmd);
  if (node.empty()) {
    SetFailureReason("no AMD render node");
  } else if (InitOn(node, *params)) {
    HX_LOG_INFO("VA-API Encoder Created on %s", node.c_str());
    return true;
  }
  HX_LOG_WARNING("open VA-API encoder failed.");
  return false;
}
