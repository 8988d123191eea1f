#include "encode/VrEncoderSupport.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "encode/VrRenderNode.h"
#include "encode/VrVideoVaapiEncoder.h"
#include "log/HX_Log.h"
#include "platform/dynlib/HX_DynamicLibrary.h"

// A missing device is the normal case, not a fault: the probes log at INFO,
// except the QuickSync line, which operators know from earlier versions as a
// warning.

namespace {
// The CUDA driver API's own declarations of the few entry points the check
// calls (CUresult is an int status, 0 for success; CUdevice an int).
using CuInit = int (*)(unsigned int flags);
using CuDeviceGetCount = int (*)(int* count);
using CuDeviceGet = int (*)(int* device, int ordinal);
using CuDeviceComputeCapability = int (*)(int* major, int* minor, int device);

constexpr int kMinNvencCapability = 3 * 16 + 0;  // major x 16 + minor
constexpr int kProbeWidth = 320;
constexpr int kProbeHeight = 240;

template <class Fn>
bool Resolve(const HX_DynamicLibrary& lib, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(lib.Symbol(name));
  if (*fn == nullptr) {
    HX_LOG_INFO("Failed to find required function \"%s\" in %s", name, lib.Name().c_str());
    return false;
  }
  return true;
}
}  // namespace

int VrProbeCudaDriver(const std::string& library) {
  std::string error;
  std::unique_ptr<HX_DynamicLibrary> lib = HX_DynamicLibrary::Open(library, &error);
  if (!lib) {
    HX_LOG_INFO("NVENC is not offered: dlopen \"%s\" failed: %s", library.c_str(), error.c_str());
    return kVrNvencNoDriver;
  }
  CuInit cuInit = nullptr;
  CuDeviceGetCount cuDeviceGetCount = nullptr;
  CuDeviceGet cuDeviceGet = nullptr;
  CuDeviceComputeCapability cuDeviceComputeCapability = nullptr;
  if (!Resolve(*lib, "cuInit", &cuInit) || !Resolve(*lib, "cuDeviceGetCount", &cuDeviceGetCount) ||
      !Resolve(*lib, "cuDeviceGet", &cuDeviceGet) ||
      !Resolve(*lib, "cuDeviceComputeCapability", &cuDeviceComputeCapability)) {
    return kVrNvencNoDriver;
  }
  int rc = cuInit(0);
  if (rc != 0) {
    HX_LOG_INFO("NVENC is not offered: cuInit error:0x%x", rc);
    return kVrNvencNoDriver;
  }
  int count = 0;
  rc = cuDeviceGetCount(&count);
  if (rc != 0) {
    HX_LOG_INFO("NVENC is not offered: cuDeviceGetCount error:0x%x", rc);
    return kVrNvencNoDriver;
  }
  if (count <= 0) {
    HX_LOG_INFO("NVENC is not offered: Invalid Device Id = 0");
    return kVrNvencNoDriver;
  }
  int device = 0;
  rc = cuDeviceGet(&device, 0);
  if (rc != 0) {
    HX_LOG_INFO("NVENC is not offered: cuDeviceGet error:0x%x", rc);
    return kVrNvencNoDriver;
  }
  int major = 0;
  int minor = 0;
  rc = cuDeviceComputeCapability(&major, &minor, device);
  if (rc != 0) {
    HX_LOG_INFO("NVENC is not offered: cuDeviceComputeCapability error:0x%x", rc);
    return kVrNvencNoDriver;
  }
  if (major * 16 + minor < kMinNvencCapability) {
    HX_LOG_INFO("NVENC is not offered: GPU 0 does not have NVENC capabilities (compute capability "
                "%d.%d)", major, minor);
    return kVrNvencOldDevice;
  }
  HX_LOG_INFO("NVENC is offered: GPU 0 has compute capability %d.%d", major, minor);
  return kVrNvencUsable;
}

int VrProbeQuickSync(const std::string& sysDrmDir) {
  const std::string node = VrFindRenderNode(kVrPciVendorIntel, sysDrmDir);
  if (node.empty()) {
    HX_LOG_WARNING("Encoder.QSV.No HardwareSupport");
    return kVrHwEncoderAbsent;
  }
  HX_LOG_INFO("QuickSync is offered on the Intel render node %s", node.c_str());
  return kVrHwEncoderUsable;
}

int VrProbeAmd(const std::string& sysDrmDir, const std::string& devDriDir) {
  std::string node = VrFindRenderNode(kVrPciVendorAmd, sysDrmDir, devDriDir);
  if (node.empty()) {
    const char* none = "the AMD VA-API render node (none found)";
    HX_LOG_INFO("Failed to load %s", none);
    HX_LOG_INFO("%s initialization failed", none);
    return kVrHwEncoderAbsent;
  }
  std::string why;
  if (!VrVideoHwEncoder::OpenDevice(AV_HWDEVICE_TYPE_VAAPI, node.c_str(), {}, &why)) {
    HX_LOG_INFO("Failed to load %s (%s)", node.c_str(), why.c_str());
    HX_LOG_INFO("%s initialization failed", node.c_str());
    return kVrHwEncoderAbsent;
  }
  HX_LOG_INFO("Successfully loaded %s", node.c_str());
  VrEncodeParams params;
  params.m_iCodecId = AV_CODEC_ID_H264;
  params.m_iFrameRate = 25;
  params.m_iWidth = kProbeWidth;
  params.m_iHeight = kProbeHeight;
  params.m_iBitRate = 500000;
  params.m_iKeyIntervalMs = 2000;
  VrVideoVaapiEncoder probe;
  if (!probe.InitOn(node, params)) {
    HX_LOG_INFO("%s initialization failed (%s)", node.c_str(), probe.FailureReason().c_str());
    return kVrHwEncoderAbsent;
  }
  HX_LOG_INFO("%s initialized successfully", node.c_str());
  return kVrHwEncoderUsable;
}

int VrCheckNvencSupport() {
  static const int result = VrProbeCudaDriver("libcuda.so.1");
  return result;
}

int VrCheckQuickSyncSupport() {
  static const int result = VrProbeQuickSync("/sys/class/drm");
  return result;
}

int VrCheckAmdSupport() {
  static const int result = VrProbeAmd("/sys/class/drm", "/dev/dri");
  return result;
}
