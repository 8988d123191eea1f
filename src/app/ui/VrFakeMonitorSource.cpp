#include "app/ui/VrFakeMonitorSource.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "log/HX_Log.h"

int VrFakeMonitorSource::Parse(const std::string& text, std::vector<HX_MonitorDesc>* monitors) {
  monitors->clear();
  if (text.empty() || text.back() == ',') return -1;  // getline drops a trailing empty entry
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    HX_MonitorDesc d;
    int w = 0, h = 0, x = 0, y = 0, used = 0;
    if (std::sscanf(item.c_str(), "%dx%d%d%d%n", &w, &h, &x, &y, &used) != 4 ||
        used != static_cast<int>(item.size()) || w <= 0 || h <= 0 || item.find('+') == std::string::npos) {
      monitors->clear();
      return -1;
    }
    d.index = static_cast<int32_t>(monitors->size());
    d.name = "FAKE-" + std::to_string(d.index + 1);
    d.x = x;
    d.y = y;
    d.modeWidth = w;
    d.modeHeight = h;
    monitors->push_back(d);
  }
  return monitors->empty() ? -1 : 0;
}

std::unique_ptr<HX_IMonitorSource> VrFakeMonitorSource::FromEnvironment() {
  const char* env = std::getenv("OSTREL_FAKE_MONITORS");
  if (env == nullptr || *env == '\0') return nullptr;
  std::vector<HX_MonitorDesc> monitors;
  if (Parse(env, &monitors) != 0) {
    HX_LOG_WARNING("OSTREL_FAKE_MONITORS=\"%s\" is not WxH+X+Y[,...]; the real monitors are used", env);
    return nullptr;
  }
  HX_LOG_INFO("%zu monitor(s) from OSTREL_FAKE_MONITORS", monitors.size());
  return std::make_unique<VrFakeMonitorSource>(std::move(monitors));
}
