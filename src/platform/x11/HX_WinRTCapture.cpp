#include "platform/x11/HX_WinRTCapture.h"

#include "platform/x11/HX_WinRTCaptureSession.h"
#include "platform/x11/HX_X11Connection.h"

bool winrt_capture_supported() {
  std::unique_ptr<HX_X11Connection> conn = HX_X11Connection::Open();
  return conn && conn->hasComposite() && conn->hasDamage();
}

HX_WinRTCaptureSession* winrt_capture_init(HX_WindowId window, HX_WinRTCallback callback,
                                           void* user) {
  return HX_WinRTCaptureSession::Start(window, callback, user).release();
}

void winrt_capture_free(HX_WinRTCaptureSession* capture) { delete capture; }

void winrt_image_release(HX_WinRTImage* image) { delete image; }

HX_WinRTCaptureApi HX_DefaultWinRTCaptureApi() {
  return HX_WinRTCaptureApi{&winrt_capture_init, &winrt_capture_free};
}
