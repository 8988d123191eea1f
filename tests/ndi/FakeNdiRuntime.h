#pragma once
// What the fake NDI runtime (a shared library built with the tests) was given.
// The sender under test loads the fake by path; the test opens the same file,
// which yields the same loaded copy, and reads the record through
// FakeNdi_Snapshot.
#include <cstdint>

#include "ndi/VrNDITypes.h"

constexpr int kFakeNdiMaxFrames = 256;

struct FakeNdiVideoCall {
  NDIlib_send_instance_t instance;
  NDIlib_video_frame_v2_t frame;
  int64_t tickMs;  // monotonic milliseconds at the call
};

struct FakeNdiAudioCall {
  NDIlib_send_instance_t instance;
  NDIlib_audio_frame_interleaved_16s_t frame;
  int64_t tickMs;
};

struct FakeNdiSnapshot {
  char calls[512];  // entry points in call order, e.g. "initialize,send_create,"
  char createName[64];
  bool createGroupsNull;
  bool createClockVideo;
  bool createClockAudio;
  NDIlib_send_instance_t instance;  // what send_create returned
  int videoCount;
  FakeNdiVideoCall video[kFakeNdiMaxFrames];
  int audioCount;
  FakeNdiAudioCall audio[kFakeNdiMaxFrames];
};

extern "C" {
// Forgets every call; |failCreate| makes send_create return null.
using FakeNdi_Reset_fn = void (*)(int failCreate);
using FakeNdi_Snapshot_fn = void (*)(FakeNdiSnapshot* out);
}
