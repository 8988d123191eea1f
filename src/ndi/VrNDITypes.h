#pragma once
// Our own declarations of the few NDI runtime types and entry points the sender
// uses. They mirror the runtime's C ABI (plain C structs, 32-bit enums, the
// platform's default alignment); no vendor header is needed to build.
#include <cstdint>

extern "C" {

using NDIlib_send_instance_t = void*;

// FourCC codes are the four characters packed little-endian.
constexpr uint32_t VrNDIFourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

enum NDIlib_FourCC_video_type_e : int32_t {
  NDIlib_FourCC_type_BGRA = static_cast<int32_t>(VrNDIFourCC('B', 'G', 'R', 'A')),
  NDIlib_FourCC_type_NV12 = static_cast<int32_t>(VrNDIFourCC('N', 'V', '1', '2')),
  NDIlib_FourCC_video_type_max = 0x7fffffff
};

enum NDIlib_frame_format_type_e : int32_t {
  NDIlib_frame_format_type_interleaved = 0,
  NDIlib_frame_format_type_progressive = 1,
  NDIlib_frame_format_type_max = 0x7fffffff
};

// Asks the runtime to stamp the frame itself.
constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;

struct NDIlib_send_create_t {
  const char* p_ndi_name;
  const char* p_groups;
  bool clock_video;
  bool clock_audio;
};

struct NDIlib_video_frame_v2_t {
  int xres;
  int yres;
  NDIlib_FourCC_video_type_e FourCC;
  int frame_rate_N;
  int frame_rate_D;
  float picture_aspect_ratio;
  NDIlib_frame_format_type_e frame_format_type;
  int64_t timecode;
  uint8_t* p_data;
  int line_stride_in_bytes;  // 0 = the default stride for FourCC and xres
  const char* p_metadata;
  int64_t timestamp;
};

struct NDIlib_audio_frame_interleaved_16s_t {
  int sample_rate;
  int no_channels;
  int no_samples;
  int64_t timecode;
  int reference_level;  // dB above the +4 dBU reference that full scale means
  int16_t* p_data;
};

using NDIlib_initialize_fn = bool (*)();
using NDIlib_destroy_fn = void (*)();
using NDIlib_send_create_fn = NDIlib_send_instance_t (*)(const NDIlib_send_create_t*);
using NDIlib_send_destroy_fn = void (*)(NDIlib_send_instance_t);
using NDIlib_send_send_video_v2_fn = void (*)(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*);
using NDIlib_util_send_send_audio_interleaved_16s_fn =
    void (*)(NDIlib_send_instance_t, const NDIlib_audio_frame_interleaved_16s_t*);

}  // extern "C"

// The runtime's defaults, as its own C++ constructors would fill them.
inline NDIlib_video_frame_v2_t VrNDIDefaultVideoFrame() {
  NDIlib_video_frame_v2_t f{};
  f.FourCC = static_cast<NDIlib_FourCC_video_type_e>(VrNDIFourCC('U', 'Y', 'V', 'Y'));
  f.frame_rate_N = 30000;
  f.frame_rate_D = 1001;
  f.picture_aspect_ratio = 0.0f;
  f.frame_format_type = NDIlib_frame_format_type_progressive;
  f.timecode = NDIlib_send_timecode_synthesize;
  return f;
}
