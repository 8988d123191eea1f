#pragma once
// On Linux: the window source fed by XComposite window capture (the winrt_capture_* component).
// Single-window source on the window-capture component: the component pushes
// the window's images from its own thread into a queue of at most ten (oldest
// dropped); each tick (see VrScreenSource) turns the oldest queued image into
// a frame, and the base repeats the last frame when none is queued (with the
// pointer moved when only it moved). Once a second a quiet tick checks that
// the window is still there: a closed window is said once and its last
// picture is sent on; a lost display is tried again every second. start and
// stop run on the capture session's thread; the queue is safe from any thread.
#include <cstdint>
#include <memory>

#include "capture/VrCursorOverlay.h"
#include "capture/VrScreenSource.h"
#include "core/HX_BoundedQueue.h"
#include "platform/x11/HX_IWindowInfo.h"
#include "platform/x11/HX_WinRTCapture.h"

class VrVideoWinRTCapture : public VrScreenSource {
 public:
  using ImagePtr = HX_WinRTImagePtr;

  static constexpr size_t kMaxQueuedImages = 10;

  VrVideoWinRTCapture();
  VrVideoWinRTCapture(std::unique_ptr<HX_IWindowInfo> windows, HX_WinRTCaptureApi api,
                      std::unique_ptr<HX_ICursorSource> cursor = nullptr);
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
  // At most once a second: is the window (and the display) still there?
  void CheckTarget(int64_t now);
  // The window's top-left pixel on the desktop; false when it cannot be asked.
  bool WindowOrigin(int32_t* x, int32_t* y);

  std::unique_ptr<HX_IWindowInfo> m_pWindows;
  HX_WinRTCaptureApi m_stApi;
  HX_WinRTCaptureSession* m_pSession = nullptr;
  HX_WindowId m_uiTarget = 0;
  bool m_bWindowGone = false;
  int64_t m_llLastCheck = 0;
  VrCursorOverlay m_cursor;
  // Keeps the newest images: a slow consumer loses the oldest.
  HX_BoundedQueue<ImagePtr> m_queue{HX_DropPolicy::kDropOldest, kMaxQueuedImages};
};
