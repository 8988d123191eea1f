#pragma once
// The X11 screen grabber: rectangles of the root window through MIT-SHM (or
// GetImage), clipped to the screen. Watches RandR so a changed screen
// configuration reads as a lost device. One thread at a time.
#include <memory>

#include "platform/x11/HX_IScreenGrabber.h"

class HX_X11Connection;
class HX_X11ImageReader;

class HX_X11ScreenGrabber : public HX_IScreenGrabber {
 public:
  explicit HX_X11ScreenGrabber(bool allowShm);
  ~HX_X11ScreenGrabber() override;

  int open() override;
  void close() override;
  int screenSize(int32_t* width, int32_t* height) override;
  int monitorRect(int32_t index, HX_ScreenRect* rect) override;
  int grab(int32_t x, int32_t y, int32_t w, int32_t h, uint8_t* dst) override;
  int deviceState() override;
  // True when grabs go through shared memory (after the first grab).
  bool usingShm() const;

 private:
  void DrainEvents();

  bool m_bAllowShm;
  std::unique_ptr<HX_X11Connection> m_pConn;
  std::unique_ptr<HX_X11ImageReader> m_pReader;
  bool m_bLost = false;
  int32_t m_iScreenWidth = 0;
  int32_t m_iScreenHeight = 0;
};
