#include "capture/VrMonitorList.h"

#include <memory>

#include "log/HX_Log.h"

HX_Rect VrMonitorList::MonitorRect(const HX_MonitorDesc& desc) {
  HX_Rect rect;
  int32_t w = 0;
  int32_t h = 0;
  switch (desc.rotation) {
    case 0:
    case 180:
      w = desc.modeWidth;
      h = desc.modeHeight;
      break;
    case 90:
    case 270:
      w = desc.modeHeight;
      h = desc.modeWidth;
      break;
    default:
      return rect;
  }
  rect.left = desc.x;
  rect.top = desc.y;
  rect.right = desc.x + w;
  rect.bottom = desc.y + h;
  return rect;
}

int VrMonitorList::rebuild(std::vector<VrMonitorInfo>* monitors) {
  std::unique_ptr<HX_IMonitorSource> source = HX_CreateMonitorSource();
  return rebuild(*source, monitors);
}

int VrMonitorList::rebuild(HX_IMonitorSource& source, std::vector<VrMonitorInfo>* monitors) {
  monitors->clear();
  std::vector<HX_MonitorDesc> descs;
  if (source.enumerate(&descs) != 0) {
    HX_LOG_ERROR("the monitors cannot be listed");
    return -1;
  }
  for (const HX_MonitorDesc& d : descs) {
    VrMonitorInfo info;
    info.m_iIndex = d.index;
    info.m_strDeviceName = d.name;
    info.m_stRect = MonitorRect(d);
    monitors->push_back(std::move(info));
  }
  return 0;
}
