#pragma once
// Configures glog from the two logging settings, sends log files to
// <base>/log/, and runs the monitor thread that re-reads the settings.
// Process-wide; init/startDaemon from the start-up thread only.
#include <atomic>
#include <string>
#include <thread>

class HX_BaseConfiguration;

class HX_LoggingSystem {
 public:
  static HX_LoggingSystem* instance();

  // The configuration whose logging settings are served. Set before init.
  void setConfiguration(HX_BaseConfiguration* config) { m_pstConfig = config; }
  // Configures glog; a second call says so on stderr and applies again.
  void init();
  // Starts the monitor thread. Returns 0; exits the process when no thread can start.
  int startDaemon();
  // Ends the monitor thread (tests and orderly shutdown).
  void stopDaemon();
  // The monitor's re-read period; 5000 ms unless a test shortens it.
  void setMonitorPeriodMs(int periodMs) { m_iMonitorPeriodMs = periodMs; }
  // One monitor pass: re-read the settings and apply level and console echo.
  void applyConfigOnce();

  // glog minimum level and verbose level for a level name.
  static void MapLevel(const std::string& name, int* minLevel, int* verbose);
  static std::string LogDirectory();

 private:
  HX_LoggingSystem() = default;
  ~HX_LoggingSystem();
  void MonitorLoop();
  void ApplyConsole(bool enable, bool atInit);

  bool m_bInitialised = false;
  HX_BaseConfiguration* m_pstConfig = nullptr;
  std::atomic<int> m_iMonitorPeriodMs{5000};
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
};
