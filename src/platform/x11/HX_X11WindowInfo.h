#pragma once
// Top-level window state over EWMH/ICCCM properties. With a window manager the
// candidates are its stacking list of client windows; without one they are the
// root window's children. One thread at a time.
#include <memory>

#include "platform/x11/HX_IWindowInfo.h"

class HX_X11Connection;

class HX_X11WindowInfo : public HX_IWindowInfo {
 public:
  HX_X11WindowInfo();
  ~HX_X11WindowInfo() override;

  int open() override;
  int listTopLevel(std::vector<HX_TopLevelWindow>* windows) override;
  bool exists(HX_WindowId window) override;
  bool minimised(HX_WindowId window) override;
  int rects(HX_WindowId window, HX_ScreenRect* outer, HX_ScreenRect* client) override;

 private:
  std::unique_ptr<HX_X11Connection> m_pConn;
};
