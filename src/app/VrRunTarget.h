#pragma once
// What a run captures, and the step that copies that choice into the
// configuration (capture mode, target name, region, output size, monitor
// index) just before a run starts. UI/main thread only.
#include <cstdint>
#include <string>

#include "config/HX_CaptureBackend.h"

class HX_IMonitorSource;

struct VrRunTarget {
  enum Mode { kScreen, kWindow, kRegion };
  Mode m_eMode = kScreen;
  int32_t m_iMonitor = 0;         // kScreen: position in the monitor list
  uint32_t m_uiWindow = 0;        // kWindow: the X window id
  int32_t m_iX = 0, m_iY = 0;     // kRegion: top-left corner
  int32_t m_iWidth = 0, m_iHeight = 0;
};

// Copies |target| into the configuration. 0; -2 when the window no longer
// exists or cannot be captured; -3 when the monitor does not exist; -4 when
// the region is empty; -5 when the X display cannot be reached. |error| gets a readable reason on failure. Monitors
// come from |monitors| when given (the dialog's list), else from the display.
// With the portal back-end no X display is asked: the portal's chooser picks
// the monitor or window (the monitor index and window id are not used) and
// they stream at 1920x1080; a region keeps its rectangle and size (the
// monitor's stream is cropped to it).
int VrApplyRunTarget(const VrRunTarget& target, std::string* error,
                     HX_IMonitorSource* monitors = nullptr);

// Decides the capture back-end of this process from |commandLine| (the
// --capture value, empty when not given), CaptureBackend and the environment,
// stores it in the configuration and logs it with its reason, once.
HX_CaptureBackendChoice VrApplyCaptureBackend(const std::string& commandLine);

// Rounds a length down to even, as every encoder needs.
inline int32_t VrEvenDown(int32_t v) { return v < 0 ? 0 : (v & ~1); }
