#pragma once
// "Next changed image of monitor N": watches the screen for damage and hands
// out the monitor's image when it changed. Set up in steps (open, initDevice,
// getMonitor, duplicate) so the owner can report each failure; then one
// thread at a time calls acquireNextFrame.
#include <cstdint>
#include <memory>

#include "platform/x11/HX_ScreenTypes.h"

class HX_IDamageWatcher {
 public:
  // acquireNextFrame() results.
  static constexpr int kFrameReady = 0;
  static constexpr int kFrameTimeout = 1;
  static constexpr int kAccessLost = -1;
  static constexpr int kFrameFailure = -2;
  // getMonitor() result when the index is beyond the list.
  static constexpr int kMonitorNotFound = 1;

  virtual ~HX_IDamageWatcher() = default;
  // Connects to the display: 0, -1 no connection, -2 no screen.
  virtual int open() = 0;
  // Checks the change-tracking facility: 0 with its version in |level|, or negative.
  virtual int initDevice(uint32_t* level) = 0;
  // Looks up monitor |index|: 0 with its description, kMonitorNotFound, or negative.
  virtual int getMonitor(int32_t index, HX_MonitorDesc* desc, HX_ScreenRect* rect) = 0;
  // Starts watching the monitor found by getMonitor: 0 or negative. The first
  // acquire afterwards always counts as a change.
  virtual int duplicate() = 0;
  // Waits up to |timeoutMs| for a change of the monitor. kFrameReady fills
  // |image| (valid until the next call); kFrameTimeout when nothing changed;
  // kAccessLost once the connection broke or the screen configuration
  // changed (and for every later call); kFrameFailure for any other failure.
  virtual int acquireNextFrame(int32_t timeoutMs, HX_ImageView* image) = 0;
  virtual void close() = 0;
};

std::unique_ptr<HX_IDamageWatcher> HX_CreateDamageWatcher();
