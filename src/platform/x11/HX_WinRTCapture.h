#pragma once
// On Linux: XComposite window capture on its own xcb connection and thread.
// The window-capture component: captures one window's own pixels (even while
// other windows cover it) and pushes each new image to a callback from a
// thread of its own. Images are top-down BGRA rows with a pitch; the receiver
// owns each image it is given and releases it with winrt_image_release.
#include <cstdint>
#include <memory>

#include "core/HX_Handle.h"
#include "platform/x11/HX_ScreenTypes.h"

// One captured window image, owned by whoever holds the pointer.
struct HX_WinRTImage {
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  int32_t m_iPitch = 0;  // bytes per row, at least m_iWidth * 4
  std::unique_ptr<uint8_t[]> m_pData;
};

// Called once per captured image on the component's thread. Ownership of
// |image| passes to the callee.
using HX_WinRTCallback = void (*)(HX_WinRTImage* image, void* user);

// One running capture; opaque to its users.
class HX_WinRTCaptureSession;

// Non-zero when windows can be captured this way (the display offers
// Composite 0.2 or later and Damage).
bool winrt_capture_supported();
// Starts capturing |window|: the first image follows at once, later ones
// whenever the window's contents change (at most about 60 per second).
// Returns the running capture, or null when it cannot start.
HX_WinRTCaptureSession* winrt_capture_init(HX_WindowId window, HX_WinRTCallback callback,
                                           void* user);
// Ends the capture; no callback runs after it returns. Null is ignored.
void winrt_capture_free(HX_WinRTCaptureSession* capture);
// Releases an image handed out by the callback. Null is ignored.
void winrt_image_release(HX_WinRTImage* image);
using HX_WinRTImagePtr = HX_Owned<HX_WinRTImage, &winrt_image_release>;

// The three operations as a table, so a window source can be given another
// component (tests do).
struct HX_WinRTCaptureApi {
  HX_WinRTCaptureSession* (*init)(HX_WindowId window, HX_WinRTCallback callback, void* user);
  void (*free)(HX_WinRTCaptureSession* capture);
};
HX_WinRTCaptureApi HX_DefaultWinRTCaptureApi();
