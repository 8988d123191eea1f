#pragma once
// Change-driven monitor capture: a DAMAGE object on the root window reports
// where the screen changed; when the watched monitor was touched its image is
// read (MIT-SHM when offered). RandR changes and a broken connection end
// access for good. One thread at a time after set-up.
#include <memory>

#include "platform/x11/HX_IDamageWatcher.h"

class HX_X11Connection;
class HX_X11ImageReader;

class HX_X11DamageWatcher : public HX_IDamageWatcher {
 public:
  HX_X11DamageWatcher();
  ~HX_X11DamageWatcher() override;

  int open() override;
  int initDevice(uint32_t* level) override;
  int getMonitor(int32_t index, HX_MonitorDesc* desc, HX_ScreenRect* rect) override;
  int duplicate() override;
  int acquireNextFrame(int32_t timeoutMs, HX_ImageView* image) override;
  void close() override;

 private:
  // Reads the queued events; true when one of them touched the monitor.
  bool DrainEvents();

  std::unique_ptr<HX_X11Connection> m_pConn;
  std::unique_ptr<HX_X11ImageReader> m_pReader;
  uint32_t m_uiDamage = 0;  // xcb_damage_damage_t, 0 when none
  HX_ScreenRect m_stMonitor;
  bool m_bMonitorSet = false;
  bool m_bFirstFrame = true;
  bool m_bLost = false;
};
