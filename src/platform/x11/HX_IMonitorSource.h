#pragma once
// Lists the monitors of the screen. Any thread; each call asks the display.
#include <memory>
#include <vector>

#include "platform/x11/HX_ScreenTypes.h"

class HX_IMonitorSource {
 public:
  virtual ~HX_IMonitorSource() = default;
  // Fills |monitors| with the active outputs in the screen's order.
  // 0, or negative when the display cannot be asked.
  virtual int enumerate(std::vector<HX_MonitorDesc>* monitors) = 0;
};

std::unique_ptr<HX_IMonitorSource> HX_CreateMonitorSource();
