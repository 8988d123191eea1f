#pragma once
// Whether this machine can run each hardware video encoder; the settings
// dialog offers only the encoders whose check passes. Each check probes the
// machine afresh (no caching) and may be called from any thread.
//
// This build carries no hardware probes yet: every check reports the encoder
// as unavailable, which is also what the encoder pair concludes when a
// hardware back-end fails to open. A probe fills in exactly one function.

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
