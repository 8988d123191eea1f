#pragma once
// On Linux: the window source fed by XComposite window capture (the winrt_capture_* component).
// Single-window source on the window-capture component: the component pushes
// the window's images from its own thread into a queue of at most ten (oldest
// dropped); each tick (see VrScreenSource) turns the oldest queued image into
// a frame, and the base repeats the last frame when none is queued. start and
// stop run on the capture session's thread; the queue has its own mutex.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "capture/VrScreenSource.h"
#include "platform/x11/HX_IWindowInfo.h"
#include "platform/x11/HX_WinRTCapture.h"

class VrVideoWinRTCapture : public VrScreenSource {
 public:
  using ImagePtr = HX_WinRTImagePtr;

  static constexpr size_t kMaxQueuedImages = 10;

  VrVideoWinRTCapture();
  VrVideoWinRTCapture(std::unique_ptr<HX_IWindowInfo> windows, HX_WinRTCaptureApi api);
  ~VrVideoWinRTCapture() override;

  // 0; -1 bad frame rate or no timer; -2 no valid selected window; -3 the
  // capture component refused the window.
  int start() override;
  void stop() override;

  // The component's callback; |user| is the source.
  static void OnTexture(HX_WinRTImage* image, void* user);
  void PushTexture(ImagePtr image);
  ImagePtr PopTexture();
  size_t QueuedTextures() const;
  // One tick by hand (manual ticks).
  void DoCaptureEx() { Tick(); }

 private:
  // The tick's step keeps the name its log lines carry.
  int GrabNext(int64_t now, VrMediaFramePtr* picture) override { return DoCaptureEx(now, picture); }
  // The oldest queued image as a frame, or kNoChange when none is queued;
  // -1 when no frame can be allocated, -2 for an image whose rows are
  // shorter than its width (it is dropped).
  int DoCaptureEx(int64_t now, VrMediaFramePtr* picture);

  std::unique_ptr<HX_IWindowInfo> m_pWindows;
  HX_WinRTCaptureApi m_stApi;
  HX_WinRTCaptureSession* m_pSession = nullptr;
  mutable std::mutex m_queueMutex;  // guards m_queue only
  std::deque<ImagePtr> m_queue;
};
