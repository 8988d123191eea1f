#pragma once
// Monitors of the default screen through RandR: every connected output that
// drives a CRTC, in the screen's order. When RandR reports none (nor when its
// outputs are polled), the whole root window is monitor 0. Each enumerate()
// opens its own connection; Enumerate() serves the other X11 components on
// theirs. Any thread.
#include <vector>

#include "platform/x11/HX_IMonitorSource.h"

class HX_X11Connection;

class HX_X11MonitorSource : public HX_IMonitorSource {
 public:
  int enumerate(std::vector<HX_MonitorDesc>* monitors) override;

  // Fills |monitors| and, when asked, each one's desktop rectangle (the CRTC
  // geometry, rotation applied). Without RandR, or without an active output,
  // the whole screen is one monitor named "default". 0 or negative.
  static int Enumerate(HX_X11Connection* conn, std::vector<HX_MonitorDesc>* monitors,
                       std::vector<HX_ScreenRect>* rects);
};
