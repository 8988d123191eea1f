#pragma once
// State of top-level windows: the list of candidates for window capture and
// the per-window queries of a running window capture. One user thread at a
// time; every call asks the display afresh.
#include <memory>
#include <vector>

#include "platform/x11/HX_ScreenTypes.h"

class HX_IWindowInfo {
 public:
  virtual ~HX_IWindowInfo() = default;
  // Connects to the display named by DISPLAY. 0, or negative when it cannot.
  virtual int open() = 0;
  // Top-level windows in stacking order, topmost first. 0 or negative.
  virtual int listTopLevel(std::vector<HX_TopLevelWindow>* windows) = 0;
  // The window still exists.
  virtual bool exists(HX_WindowId window) = 0;
  // The window is minimised or otherwise not shown.
  virtual bool minimised(HX_WindowId window) = 0;
  // Outer rectangle (frame included) and client rectangle, both in desktop
  // coordinates. 0, or negative when the window is gone.
  virtual int rects(HX_WindowId window, HX_ScreenRect* outer, HX_ScreenRect* client) = 0;
};

std::unique_ptr<HX_IWindowInfo> HX_CreateWindowInfo();
