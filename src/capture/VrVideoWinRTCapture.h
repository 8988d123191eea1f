#pragma once
// On Linux: the window source fed by XComposite window capture (the winrt_capture_* component).
// Single-window source on the window-capture component: the component pushes
// the window's images from its own thread into a queue of at most ten (oldest
// dropped); each tick of the source's periodic timer turns the oldest queued
// image into a frame, or repeats the last frame when none is queued. start and
// stop run on the capture session's thread; the queue has its own mutex.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "core/VrCapturer.h"
#include "platform/HX_PeriodicTimer.h"
#include "platform/x11/HX_IWindowInfo.h"
#include "platform/x11/HX_WinRTCapture.h"

class VrVideoWinRTCapture : public VrCapturer {
 public:
  using ImagePtr = HX_WinRTImagePtr;

  static constexpr size_t kMaxQueuedImages = 10;

  VrVideoWinRTCapture();
  VrVideoWinRTCapture(std::unique_ptr<HX_IWindowInfo> windows, HX_WinRTCaptureApi api);
  ~VrVideoWinRTCapture() override;
  VrVideoWinRTCapture(const VrVideoWinRTCapture&) = delete;
  VrVideoWinRTCapture& operator=(const VrVideoWinRTCapture&) = delete;

  // 0; -1 bad frame rate or no timer; -2 no valid selected window; -3 the
  // capture component refused the window.
  int start() override;
  void stop() override;

  // The component's callback; |user| is the source.
  static void OnTexture(HX_WinRTImage* image, void* user);
  void PushTexture(ImagePtr image);
  ImagePtr PopTexture();
  size_t QueuedTextures() const;
  void DoCaptureEx();
  void ResendLastFrame(int64_t now);

  void SetManualTicks(bool manual) { m_bManualTicks = manual; }

 private:
  static void OnTick(void* user);
  void DeliverFrame(const VrMediaFramePtr& frame);

  std::unique_ptr<HX_IWindowInfo> m_pWindows;
  HX_WinRTCaptureApi m_stApi;
  HX_WinRTCaptureSession* m_pSession = nullptr;
  mutable std::mutex m_queueMutex;  // guards m_queue only
  std::deque<ImagePtr> m_queue;
  HX_PeriodicTimer m_timer;
  int64_t m_llPeriodMs = 0;
  bool m_bManualTicks = false;
  VrMediaFramePtr m_pLastFrame;
};
