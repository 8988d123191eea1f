#pragma once
// Publishes a capture run's raw frames and PCM blocks as the NDI source
// "ViZaroduDezo_NDI". Owns the runtime, the sender instance, two bounded queues
// and two sender threads. PushFrame and the queue operations are safe from any
// thread (the session's video and audio threads call PushFrame); start, stop
// and destruction belong to the owner's thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/VrMediaFrame.h"
#include "core/VrMediaFrameQueue.h"
#include "ndi/VrNDIRuntime.h"

class VrNDISend {
 public:
  static constexpr const char* kSourceName = "ViZaroduDezo_NDI";
  // A queue above these counts is emptied before the next frame goes in.
  static constexpr size_t kMaxVideoQueue = 10;
  static constexpr size_t kMaxAudioQueue = 100;
  // Longest wait of a thread that found its queue empty (a push ends it at
  // once); bounds how long stop waits for the thread.
  static constexpr int kIdleWaitMs = 5;
  // Sleep between two looks at an audio block that is not due yet.
  static constexpr int kEarlyAudioSleepMs = 1;

  // Loads the runtime from |runtimeCandidates| (first that works), initialises
  // it and creates the sender. Without a runtime or a sender the object still
  // works: frames are taken and released unpublished.
  explicit VrNDISend(const std::vector<std::string>& runtimeCandidates =
                         VrNDIRuntime::DefaultCandidates());
  ~VrNDISend();
  VrNDISend(const VrNDISend&) = delete;
  VrNDISend& operator=(const VrNDISend&) = delete;

  // Clears the stop flag and starts the video and audio threads. 0 on success,
  // -1 when already started, -2 when a thread cannot be started.
  int start();
  // Sets the stop flag, joins the video then the audio thread and releases
  // every queued frame. Idempotent.
  void stop();

  // Entry from the session's output: media type 0 to the video queue, 1 to the
  // audio queue, anything else dropped. Returns 0.
  int PushFrame(VrMediaFramePtr frame);

  void EnqueueVideo(VrMediaFramePtr frame);
  void EnqueueAudio(VrMediaFramePtr block);
  VrMediaFramePtr DequeueVideo();
  VrMediaFramePtr DequeueAudio();
  // Puts a block that is not due yet back at the front, with no bound check.
  void RequeueAudio(VrMediaFramePtr block);
  size_t VideoQueueSize() const;
  size_t AudioQueueSize() const;

  // True when a runtime was loaded and the sender instance exists.
  bool IsPublishing() const { return m_pSendInstance != nullptr; }

  // Audio pacing: a block is due once the wall clock has advanced from
  // |wallOriginMs| at least as far as its timestamp has from the first block's.
  // A block stamped before the first one is due at once.
  static bool IsAudioDue(int64_t nowMs, int64_t wallOriginMs, int64_t timestampMs,
                         int64_t firstTimestampMs);

 private:
  void SendVideo();
  void SendAudio();
  void Publish(const VrMediaFramePtr& frame, int32_t width, int32_t height, int32_t fps);

  VrNDIRuntime m_runtime;
  NDIlib_send_instance_t m_pSendInstance = nullptr;

  std::atomic<bool> m_bStop{true};
  std::thread m_videoThread;
  std::thread m_audioThread;

  VrMediaFrameQueue m_videoQueue{HX_DropPolicy::kFlush, kMaxVideoQueue + 1};
  VrMediaFrameQueue m_audioQueue{HX_DropPolicy::kFlush, kMaxAudioQueue + 1};
};
