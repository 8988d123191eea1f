// A stand-in for the NDI runtime: exports the entry points the sender uses and
// records what it was given. Built twice: complete, and (with
// FAKE_NDI_INCOMPLETE) lacking the audio entry point.
#include "ndi/FakeNdiRuntime.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
std::mutex g_mutex;
FakeNdiSnapshot g_state;
bool g_failCreate = false;
int g_instanceToken = 0;
// Totals beyond the recorded calls, for the report a separate process reads.
long g_videoTotal = 0;
long g_audioTotal = 0;
NDIlib_video_frame_v2_t g_lastVideo{};

int64_t TickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Note(const char* call) {
  std::strncat(g_state.calls, call, sizeof g_state.calls - std::strlen(g_state.calls) - 2);
  std::strncat(g_state.calls, ",", sizeof g_state.calls - std::strlen(g_state.calls) - 1);
}
}  // namespace

extern "C" {

__attribute__((visibility("default"))) void FakeNdi_Reset(int failCreate) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memset(&g_state, 0, sizeof g_state);
  g_failCreate = failCreate != 0;
}

__attribute__((visibility("default"))) void FakeNdi_Snapshot(FakeNdiSnapshot* out) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memcpy(out, &g_state, sizeof g_state);
}

__attribute__((visibility("default"))) bool NDIlib_initialize() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Note("initialize");
  return true;
}

__attribute__((visibility("default"))) void NDIlib_destroy() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Note("destroy");
}

__attribute__((visibility("default"))) NDIlib_send_instance_t NDIlib_send_create(
    const NDIlib_send_create_t* create) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Note("send_create");
  if (create != nullptr) {
    std::snprintf(g_state.createName, sizeof g_state.createName, "%s",
                  create->p_ndi_name != nullptr ? create->p_ndi_name : "(null)");
    g_state.createGroupsNull = create->p_groups == nullptr;
    g_state.createClockVideo = create->clock_video;
    g_state.createClockAudio = create->clock_audio;
  }
  g_state.instance = g_failCreate ? nullptr : &g_instanceToken;
  return g_state.instance;
}

__attribute__((visibility("default"))) void NDIlib_send_destroy(NDIlib_send_instance_t instance) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Note(instance == &g_instanceToken ? "send_destroy" : "send_destroy(bad instance)");
  // End-to-end tests run the real program with this library and read what it
  // was given from the file OSTREL_FAKE_NDI_REPORT names.
  const char* path = std::getenv("OSTREL_FAKE_NDI_REPORT");
  if (path == nullptr) return;
  FILE* f = std::fopen(path, "w");
  if (f == nullptr) return;
  const uint32_t fourcc = static_cast<uint32_t>(g_lastVideo.FourCC);
  std::fprintf(f, "name=%s\nvideo=%ld\naudio=%ld\nfourcc=%c%c%c%c\nsize=%dx%d\nrate=%d/%d\n",
               g_state.createName, g_videoTotal, g_audioTotal, fourcc & 0xff, (fourcc >> 8) & 0xff,
               (fourcc >> 16) & 0xff, (fourcc >> 24) & 0xff, g_lastVideo.xres, g_lastVideo.yres,
               g_lastVideo.frame_rate_N, g_lastVideo.frame_rate_D);
  std::fclose(f);
}

__attribute__((visibility("default"))) void NDIlib_send_send_video_v2(
    NDIlib_send_instance_t instance, const NDIlib_video_frame_v2_t* frame) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (frame == nullptr) return;
  ++g_videoTotal;
  g_lastVideo = *frame;
  if (g_state.videoCount >= kFakeNdiMaxFrames) return;
  FakeNdiVideoCall& call = g_state.video[g_state.videoCount++];
  call.instance = instance;
  call.frame = *frame;
  call.tickMs = TickMs();
}

#ifndef FAKE_NDI_INCOMPLETE
__attribute__((visibility("default"))) void NDIlib_util_send_send_audio_interleaved_16s(
    NDIlib_send_instance_t instance, const NDIlib_audio_frame_interleaved_16s_t* frame) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (frame == nullptr) return;
  ++g_audioTotal;
  if (g_state.audioCount >= kFakeNdiMaxFrames) return;
  FakeNdiAudioCall& call = g_state.audio[g_state.audioCount++];
  call.instance = instance;
  call.frame = *frame;
  call.tickMs = TickMs();
}
#endif

}  // extern "C"
