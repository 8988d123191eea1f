#pragma once
// A monitor source that reports a fixed list instead of asking the display.
// Xvfb shows a single RandR monitor, so tests and the screenshot script give
// the dialog more through OSTREL_FAKE_MONITORS (a test aid, not a setting):
//   OSTREL_FAKE_MONITORS="1920x1080+0+0,1920x1080+1920+0"
// Any thread.
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/HX_IMonitorSource.h"

class VrFakeMonitorSource : public HX_IMonitorSource {
 public:
  explicit VrFakeMonitorSource(std::vector<HX_MonitorDesc> monitors) : m_vecMonitors(std::move(monitors)) {}
  int enumerate(std::vector<HX_MonitorDesc>* monitors) override {
    *monitors = m_vecMonitors;
    return 0;
  }

  // Parses "WxH+X+Y[,WxH+X+Y...]". 0, or -1 when any entry is malformed.
  static int Parse(const std::string& text, std::vector<HX_MonitorDesc>* monitors);
  // The source named by OSTREL_FAKE_MONITORS, or null when it is unset or malformed.
  static std::unique_ptr<HX_IMonitorSource> FromEnvironment();

 private:
  std::vector<HX_MonitorDesc> m_vecMonitors;
};
