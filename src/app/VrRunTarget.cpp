#include "app/VrRunTarget.h"

#include <cstdlib>
#include <vector>

#include "capture/VrMonitorList.h"
#include "capture/VrWindowList.h"
#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "platform/x11/HX_ChooseFullScreenMethod.h"
#include "platform/x11/HX_IWindowInfo.h"
#include "platform/x11/HX_X11Connection.h"
#include "platform/x11/HX_X11Display.h"

namespace {
int ApplyScreen(const VrRunTarget& target, HX_ServerConfiguration* cfg, HX_IMonitorSource* source,
                std::string* error) {
  std::vector<VrMonitorInfo> monitors;
  if (source != nullptr) VrMonitorList::rebuild(*source, &monitors);
  else VrMonitorList::rebuild(&monitors);
  if (monitors.empty() && source == nullptr && !HX_X11Connection::Open()) {
    *error = "cannot connect to the X display " + HX_X11DisplayName() + ": is the X server running and DISPLAY set?";
    return -5;
  }
  if (target.m_iMonitor < 0 || target.m_iMonitor >= static_cast<int32_t>(monitors.size())) {
    *error = "monitor " + std::to_string(target.m_iMonitor) + " does not exist (" +
             std::to_string(monitors.size()) + " monitor(s) found)";
    HX_LOG_ERROR("%s", error->c_str());
    return -3;
  }
  const VrMonitorInfo& m = monitors[target.m_iMonitor];
  int32_t w = VrEvenDown(std::abs(m.m_stRect.right - m.m_stRect.left));
  int32_t h = VrEvenDown(std::abs(m.m_stRect.bottom - m.m_stRect.top));
  cfg->m_iCaptureMode = kCaptureFullScreen;
  cfg->m_strTargetName = "DISPLAY";
  cfg->setCaptureRegion(m.m_stRect.left, m.m_stRect.top, m.m_stRect.left + w, m.m_stRect.top + h);
  cfg->setOutputSize(w, h);
  cfg->m_iMonitorIndex = m.m_iIndex;
  return 0;
}

int ApplyWindow(const VrRunTarget& target, HX_ServerConfiguration* cfg, std::string* error) {
  VrWindowList* list = VrWindowList::instance();
  list->refill();
  std::vector<VrWindowEntry> entries;
  int index = -1;
  if (list->copyEntries(&entries) == 0) {
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].m_uiWindow == target.m_uiWindow) index = static_cast<int>(i);
    }
  }
  std::unique_ptr<HX_IWindowInfo> info = HX_CreateWindowInfo();
  HX_ScreenRect outer, client;
  if (index < 0 || !info || info->open() != 0 || !info->exists(target.m_uiWindow) ||
      info->rects(target.m_uiWindow, &outer, &client) != 0) {
    *error = "window " + std::to_string(target.m_uiWindow) +
             " does not exist or is not a capturable top-level window";
    HX_LOG_ERROR("%s", error->c_str());
    return -2;
  }
  list->setSelectedIndex(index);
  cfg->m_iCaptureMode = kCaptureWindow;
  cfg->m_strTargetName = entries[index].m_strTitle;
  // The window source delivers the window's own pixels (the client area, no
  // window-manager frame), so the stream takes the client size: an outer size
  // would stretch every picture by the frame's width.
  cfg->setOutputSize(VrEvenDown(client.width()), VrEvenDown(client.height()));
  return 0;
}

int ApplyRegion(const VrRunTarget& target, HX_ServerConfiguration* cfg, std::string* error) {
  int32_t w = VrEvenDown(target.m_iWidth), h = VrEvenDown(target.m_iHeight);
  if (w <= 0 || h <= 0) {
    *error = "the region is empty";
    HX_LOG_ERROR("%s", error->c_str());
    return -4;
  }
  cfg->m_iCaptureMode = kCaptureRegion;
  cfg->m_strTargetName = "DISPLAY";
  cfg->setCaptureRegion(target.m_iX, target.m_iY, target.m_iX + w, target.m_iY + h);
  cfg->setOutputSize(w, h);
  return 0;
}

// The portal's chooser picks the monitor or window; only a region is ours.
// The run sizes itself to the stream once the portal grants it; this size
// stands only when the portal does not tell one (the pictures are scaled).
constexpr int32_t kPortalOutputWidth = 1920, kPortalOutputHeight = 1080;

int ApplyPortal(const VrRunTarget& target, HX_ServerConfiguration* cfg, std::string* error) {
  switch (target.m_eMode) {
    case VrRunTarget::kScreen:
      cfg->m_iCaptureMode = kCaptureFullScreen;
      cfg->m_strTargetName = "DISPLAY";
      cfg->m_iMonitorIndex = 0;
      cfg->setOutputSize(kPortalOutputWidth, kPortalOutputHeight);
      return 0;
    case VrRunTarget::kWindow:
      cfg->m_iCaptureMode = kCaptureWindow;
      cfg->m_strTargetName.clear();
      cfg->setOutputSize(kPortalOutputWidth, kPortalOutputHeight);
      return 0;
    case VrRunTarget::kRegion:
      return ApplyRegion(target, cfg, error);
  }
  return -4;
}
}  // namespace

int VrApplyRunTarget(const VrRunTarget& target, std::string* error, HX_IMonitorSource* monitors) {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->m_iSoundDeviceIndex = 0;
  if (cfg->m_iCaptureBackend == kBackendPortal) return ApplyPortal(target, cfg, error);
  cfg->m_iFullScreenMethod = HX_ChooseFullScreenMethod();
  switch (target.m_eMode) {
    case VrRunTarget::kScreen: return ApplyScreen(target, cfg, monitors, error);
    case VrRunTarget::kWindow: return ApplyWindow(target, cfg, error);
    case VrRunTarget::kRegion: return ApplyRegion(target, cfg, error);
  }
  return -4;
}

HX_CaptureBackendChoice VrApplyCaptureBackend(const std::string& commandLine) {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  HX_CaptureBackendChoice choice = HX_ChooseCaptureBackend(
      commandLine, cfg->m_strCaptureBackend, std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"));
  cfg->m_iCaptureBackend = choice.m_eBackend;
  HX_LOG_INFO("capture back-end: %s (%s)", HX_CaptureBackendName(choice.m_eBackend),
              choice.m_strReason.c_str());
  return choice;
}
