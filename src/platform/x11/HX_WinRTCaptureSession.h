#pragma once
// One running window capture through Composite: the window is redirected
// off-screen (automatic mode, so it still shows normally), its named pixmap is
// read whenever DAMAGE reports a change, and each image goes to the callback
// from the session's own thread. Created and destroyed by the owner's thread;
// destruction ends the thread, so no callback runs afterwards. It must not be
// destroyed from inside its own callback.
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "core/HX_Handle.h"
#include "platform/x11/HX_WinRTCapture.h"

class HX_X11Connection;
class HX_X11ImageReader;

class HX_WinRTCaptureSession {
 public:
  // Null when the display lacks Composite or Damage, the window does not
  // exist, or it cannot be redirected (one log line).
  static std::unique_ptr<HX_WinRTCaptureSession> Start(HX_WindowId window,
                                                       HX_WinRTCallback callback, void* user);
  ~HX_WinRTCaptureSession();
  HX_WinRTCaptureSession(const HX_WinRTCaptureSession&) = delete;
  HX_WinRTCaptureSession& operator=(const HX_WinRTCaptureSession&) = delete;

  // Images are pushed at most this often (about 60 per second).
  static constexpr int64_t kMinPushIntervalMs = 16;

 private:
  HX_WinRTCaptureSession() = default;
  void Run();
  // Reads the queued events and updates the window's state.
  void DrainEvents();
  bool EnsurePixmap();
  void ReleasePixmap();
  void PushImage();

  std::unique_ptr<HX_X11Connection> m_pConn;
  std::unique_ptr<HX_X11ImageReader> m_pReader;
  uint32_t m_uiWindow = 0;
  uint32_t m_uiDamage = 0;
  uint32_t m_uiPixmap = 0;  // 0 until named; named again after every resize or map
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  bool m_bMapped = false;
  bool m_bGone = false;
  bool m_bDirty = true;  // the first image goes out at once
  HX_WinRTCallback m_pCallback = nullptr;
  void* m_pUser = nullptr;
  HX_UniqueFd m_wakeFd;  // eventfd that interrupts the thread's wait
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
};
