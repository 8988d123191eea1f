#include "encode/VrEncoderSupport.h"

#include "log/HX_Log.h"

// The probes log at INFO: a missing device is the normal case, not a fault,
// and the settings dialog asks once each time it opens.

int VrCheckNvencSupport() {
  HX_LOG_INFO("NVENC is not offered: this build has no CUDA driver probe.");
  return kVrNvencNoDriver;
}

int VrCheckQuickSyncSupport() {
  HX_LOG_INFO("QuickSync is not offered: this build has no Intel adapter probe.");
  return kVrHwEncoderAbsent;
}

int VrCheckAmdSupport() {
  HX_LOG_INFO("AMD is not offered: this build has no AMD adapter probe.");
  return kVrHwEncoderAbsent;
}
