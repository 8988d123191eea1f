#pragma once
// The parameter record every encoder's Init takes by value, and the mapping
// from the configured encode type to codec and back-end. A plain value type.
#include <cstdint>

class HX_ServerConfiguration;
struct HX_ServerSettings;

// Encoder kinds: which back-end a video encoder asks the factory for.
enum VrEncoderKind : int32_t {
  kVrEncoderSoftware = 0,
  kVrEncoderQuickSync = 1,
  kVrEncoderNvenc = 2,
  kVrEncoderVaapi = 4,  // AMD (and any VA-API device) through h264_vaapi
  // Any other value also selects the software back-end.
};

// Key frames every two seconds, for video and (unused) audio.
constexpr int32_t kVrKeyFrameIntervalMs = 2000;

struct VrEncodeParams {
  int32_t m_iCodecId = 0;       // FFmpeg codec id (H.264, MJPEG or AAC)
  int32_t m_iFrameRate = 0;     // video: frames per second
  int32_t m_iWidth = 0;         // video: picture width
  int32_t m_iHeight = 0;        // video: picture height
  int32_t m_iBitRate = 0;       // bits per second
  int32_t m_iReserved = 0;      // video: 0; audio: sample rate in Hz
  int32_t m_iKeyIntervalMs = 0; // milliseconds between key frames
  int32_t m_iEncoderKind = 0;   // VrEncoderKind; audio: 0
  int32_t m_iThreads = 0;       // software video: encoding threads, 0 = VrSoftwareEncoderThreads
};

// Pictures of at least this many pixels (2560 x 1440) are encoded by sliced
// threads: one x264 thread cannot keep up with them at 50 pictures per second.
constexpr int64_t kVrSlicedThreadsMinPixels = 2560LL * 1440;

// Encoding threads of the software H.264 encoder for a picture size on
// |cores| processors: |requested| when positive; otherwise 1 below
// kVrSlicedThreadsMinPixels, above it one slice per 1920 x 1080 worth of
// pixels (rounded up), at most |cores| and at most 4. Sliced threads add no
// delay, so zero latency holds with any count.
int32_t VrSoftwareEncoderThreads(int32_t requested, int32_t width, int32_t height, unsigned cores);

// What one EncodeType setting selects.
struct VrEncodeSelection {
  int32_t m_iCodecId;
  int32_t m_iEncoderKind;
};

// EncodeType -> codec and back-end: 1 H.264 software, 2 MJPEG software,
// 3 "AMD" H.264 on VA-API, 4 "QuickSync" H.264 on QuickSync, 5 "NVENC" H.264
// on NVENC, anything else H.264 software. The stored EncodeType values are
// the settings dialog's radio buttons and never change; only the back-end
// each one reaches is decided here.
VrEncodeSelection VrSelectEncoder(int32_t encodeType);

// Fills the video and audio records from a settings block and the capture
// output size, as a capture run does when streaming starts.
void VrMakeEncodeParams(const HX_ServerSettings& settings, int32_t outputWidth,
                        int32_t outputHeight, VrEncodeParams* video, VrEncodeParams* audio);

// The same from the process-wide configuration (reads the output size
// through its guarded accessor).
void VrMakeEncodeParamsFromConfiguration(const HX_ServerConfiguration& config,
                                         VrEncodeParams* video, VrEncodeParams* audio);
