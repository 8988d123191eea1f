#pragma once
// One capture run. Chooses and starts the video source for the configured
// capture mode (and the system-sound source when sound is on), takes their
// frames through OnFrame into two queues, and runs two workers: SendVideo
// brings every frame to NV12 at the output size (a repeat of the last frame's
// pixels reuses the last NV12 picture without converting), SendAudio emits
// 1024-sample blocks paced by the clock, each captured block in the slot of its own
// time and silence where nothing was captured. The session
// owns its sources and scaler. The owner's thread sets the output callback
// before start and calls start and stop; the callback is then called from both
// workers at the same time.
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "capture/VrTrapperSources.h"
#include "capture/VrVideoScaler.h"
#include "core/VrCapturer.h"
#include "core/VrFrameQueue.h"
#include "core/VrMediaFrame.h"
#include "core/VrMediaFrameQueue.h"

class VrTrapper {
 public:
  static constexpr int32_t kAudioBlockSamples = 1024;
  static constexpr int32_t kAudioBlockBytes = 4096;  // 1024 stereo 16-bit samples
  // How many blocks the pacer holds each slot back after it ends, at first,
  // waiting for the captured sound of its time. Captured blocks go into the slot of
  // their own timestamp, so sound keeps the clock the pictures are stamped
  // with: a block later than this is dropped, a lost one leaves silence.
  static constexpr size_t kMaxAudioBacklog = 2;
  // Each episode of sound later than the hold makes the hold one block
  // longer, up to this many: on a loaded machine the sound server hands sound
  // over later, and a hold too short for it would drop it all. Only the
  // live delay grows; the stamps stay those of the capture.
  static constexpr size_t kMaxAudioHold = 6;
  // Captured blocks the queue holds at most, about 200 ms (192 ms at 48 kHz,
  // 209 ms at 44.1 kHz): a sound source running ahead of the pacer (a sound
  // server whose clock is fast, a pacer held up) loses its oldest blocks
  // instead of growing the latency and the memory without end.
  static constexpr size_t kMaxAudioQueue = 9;

  // |deviceWindow| may be null. |sources| (not owned) makes the capture
  // sources; null means the real ones. The output size is read here, once.
  explicit VrTrapper(void* deviceWindow = nullptr, VrTrapperSources* sources = nullptr);
  ~VrTrapper();
  VrTrapper(const VrTrapper&) = delete;
  VrTrapper& operator=(const VrTrapper&) = delete;

  // 0; -1 when the video source cannot be made or started; -2 when video runs
  // but the sound source failed. What started keeps running until stop.
  int start();
  // Stops the sources, then the workers; safe after a failed start and twice.
  void stop();

  // The sources' frame callback; |context| is the session.
  static int OnFrame(VrMediaFramePtr frame, void* context);
  int EnqueueVideo(VrMediaFramePtr frame);
  int EnqueueAudio(VrMediaFramePtr frame);
  VrMediaFramePtr DequeueVideo();
  VrMediaFramePtr DequeueAudio();
  // Hands |frame| to the output callback when callback and context are both
  // set; otherwise drops it. The callback's result, or 0.
  int DeliverFrame(const VrMediaFramePtr& frame);

  int32_t outputWidth() const { return m_iOutputWidth; }
  int32_t outputHeight() const { return m_iOutputHeight; }
  // Since when (clock ms) the screen source has had nothing to capture (its
  // display or monitor lost), or -1. Owner's thread, while started.
  int64_t videoLostSince() const;
  // The pacer's current hold in blocks (kMaxAudioBacklog .. kMaxAudioHold).
  // Any thread.
  size_t audioHoldBlocks() const { return m_uiAudioHold.load(); }

  // Set by the owner before start.
  VrFrameCallback m_pOutputCallback = nullptr;
  void* m_pOutputContext = nullptr;

 private:
  // Makes the video source for the configured mode and method; null (after
  // the ERROR line) when there is none.
  std::unique_ptr<VrCapturer> MakeVideoSource();
  void SendVideo();
  // When |frame| repeats the last converted picture's pixels, a record
  // sharing the last NV12 picture, stamped and marked as |frame|; else null.
  VrMediaFramePtr RepeatLastPicture(const VrMediaFramePtr& frame) const;
  void SendAudio();
  // The pacer's slot for a captured block: the one after the last block
  // placed when the block follows it, else the slot nearest its own time.
  int64_t SlotOf(const VrMediaFrame& block, int32_t rate) const;
  // The captured block for |slot|, or null (silence); drops the blocks whose
  // slot has passed and logs that once per episode.
  VrMediaFramePtr TakeCapturedFor(int64_t slot, int32_t rate);

  std::atomic<bool> m_bStop{true};
  std::thread m_videoThread;
  std::thread m_audioThread;
  std::unique_ptr<VrCapturer> m_pVideoSource;
  bool m_bVideoSourceStarted = false;
  std::unique_ptr<VrCapturer> m_pAudioSource;
  std::unique_ptr<VrVideoScaler> m_pScaler;  // SendVideo only
  VrMediaFramePtr m_pLastSource;             // SendVideo only: the last frame converted
  VrMediaFramePtr m_pLastNV12;               // SendVideo only: its NV12 picture
  int64_t m_llAudioStartTime = -1;           // SendAudio only
  uint64_t m_ullAudioSamplesSent = 0;        // SendAudio only
  bool m_bAudioCatchingUp = false;           // SendAudio only: one log line per episode
  bool m_bAudioPlaced = false;               // SendAudio only: a captured block was placed
  int64_t m_llLastPlacedSlot = 0;            // SendAudio only: its slot
  int64_t m_llLastPlacedStamp = 0;           // SendAudio only: its capture time
  std::atomic<size_t> m_uiAudioHold{kMaxAudioBacklog};  // written by SendAudio only
  VrFrameQueue m_videoQueue;
  VrMediaFrameQueue m_audioQueue{HX_DropPolicy::kDropOldest, kMaxAudioQueue};
  std::atomic<bool> m_bAudioQueueFull{false};  // one log line per overflow episode
  int32_t m_iOutputWidth = 0;
  int32_t m_iOutputHeight = 0;
  void* m_pDeviceWindow;
  VrTrapperSources* m_pSources;
};
