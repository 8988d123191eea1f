#pragma once
// Configures glog from the two logging settings, sends log files to
// <base>/log/, and runs the monitor thread that re-reads the settings and
// keeps the log directory under its size cap. Process-wide; init/startDaemon
// from the start-up thread only.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

class HX_BaseConfiguration;

class HX_LoggingSystem {
 public:
  // Bytes the log directory may hold, so that nothing that makes the program
  // log (a hostile peer included) can fill the disk; glog starts a new file
  // every 10 MB.
  static constexpr uint64_t kMaxLogDirectoryBytes = 100ull * 1024 * 1024;
  // How often the monitor checks the cap.
  static constexpr int kTrimPeriodMs = 1000;

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
  // Deletes the oldest regular files of |dir| until the rest hold at most
  // |maxBytes|, never a file that one of glog's "latest" links there points
  // at (the files being written). Returns how many files it deleted; one INFO
  // line when any.
  static int TrimLogDirectory(const std::string& dir, uint64_t maxBytes);

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
