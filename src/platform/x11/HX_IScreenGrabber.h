#pragma once
// Grabs rectangles of the screen into top-down BGRA. One user thread at a
// time; the owner opens it before grabbing and may close and reopen it to
// rebuild it after the device was lost.
#include <cstdint>
#include <memory>

#include "platform/x11/HX_ScreenTypes.h"

class HX_IScreenGrabber {
 public:
  // deviceState() results.
  static constexpr int kDeviceUsable = 0;
  static constexpr int kDeviceLost = -1;
  // grab() result when the connection to the display is broken.
  static constexpr int kGrabDisplayLost = -2;

  virtual ~HX_IScreenGrabber() = default;
  // Connects to the display named by DISPLAY. 0, or negative when it cannot.
  virtual int open() = 0;
  virtual void close() = 0;
  // Size of the whole screen (the root window). 0 or negative.
  virtual int screenSize(int32_t* width, int32_t* height) = 0;
  // Desktop rectangle of monitor |index| of the screen's monitor list.
  // 0, or negative when there is no such monitor.
  virtual int monitorRect(int32_t index, HX_ScreenRect* rect) = 0;
  // Copies w x h pixels at (x, y) of the screen into |dst| (rows of w * 4
  // bytes, top-down). Pixels outside the screen read as zero. 0,
  // kGrabDisplayLost, or another negative code. Logs nothing: the caller
  // reports a failure once per episode.
  virtual int grab(int32_t x, int32_t y, int32_t w, int32_t h, uint8_t* dst) = 0;
  // kDeviceUsable while the screen configuration and the connection are as
  // they were at open; kDeviceLost after a change or a broken connection.
  virtual int deviceState() = 0;
};

// The X11 grabber (MIT-SHM when the server offers it, plain GetImage else).
std::unique_ptr<HX_IScreenGrabber> HX_CreateScreenGrabber(bool allowShm = true);
