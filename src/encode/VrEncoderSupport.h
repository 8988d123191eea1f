#pragma once
// Whether this machine can run each hardware video encoder; the settings
// dialog offers only the encoders whose check passes. Each VrCheck* function
// probes once per process and then repeats its first answer (the hardware
// does not come and go while the program runs); safe from any thread. The
// VrProbe* functions do one uncached probe against given paths, so a test
// can describe a machine that is not this one.
#include <string>

// VrCheckNvencSupport results.
constexpr int kVrNvencUsable = 0;
constexpr int kVrNvencNoDriver = -1;    // the CUDA driver cannot be loaded or queried
constexpr int kVrNvencOldDevice = -2;   // device 0's compute capability is below 3.0

// VrCheckQuickSyncSupport and VrCheckAmdSupport results.
constexpr int kVrHwEncoderUsable = 0;
constexpr int kVrHwEncoderAbsent = -1;

// NVIDIA NVENC: kVrNvencUsable, kVrNvencNoDriver or kVrNvencOldDevice.
int VrCheckNvencSupport();
// Intel QuickSync: kVrHwEncoderUsable or kVrHwEncoderAbsent.
int VrCheckQuickSyncSupport();
// AMD (VA-API on an AMD render node): kVrHwEncoderUsable or kVrHwEncoderAbsent.
int VrCheckAmdSupport();

// Loads the CUDA driver |library| ("libcuda.so.1" or a path) and asks it for
// device 0's compute capability.
int VrProbeCudaDriver(const std::string& library);
// Usable when an Intel render node is listed under |sysDrmDir|.
int VrProbeQuickSync(const std::string& sysDrmDir);
// Usable when the AMD render node listed under |sysDrmDir| (device file in
// |devDriDir|) opens with VA-API and an h264_vaapi encoder opens on it at
// 320 x 240.
int VrProbeAmd(const std::string& sysDrmDir, const std::string& devDriDir);
