#pragma once
// The monitors attached to the desktop with their rectangles, rebuilt from
// scratch on every call into a vector the caller owns (the main dialog, on the
// UI thread). Stateless.
#include <cstdint>
#include <string>
#include <vector>

#include "config/HX_ServerConfiguration.h"
#include "platform/x11/HX_IMonitorSource.h"

struct VrMonitorInfo {
  int32_t m_iIndex = 0;          // position within the screen's list of outputs
  std::string m_strDeviceName;   // the output's name
  HX_Rect m_stRect;              // desktop coordinates, right and bottom exclusive
};

class VrMonitorList {
 public:
  // Fills |monitors| from the display. 0, or -1 when the display cannot be
  // asked (the vector is then empty).
  static int rebuild(std::vector<VrMonitorInfo>* monitors);
  // The same from |source|.
  static int rebuild(HX_IMonitorSource& source, std::vector<VrMonitorInfo>* monitors);
  // The desktop rectangle of one monitor: its mode size, turned for a
  // rotation of 90 or 270 degrees; empty for an unknown rotation.
  static HX_Rect MonitorRect(const HX_MonitorDesc& desc);
};
