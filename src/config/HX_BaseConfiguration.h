#pragma once
// Base of the settings object: the two logging settings that the logging
// monitor polls, and the file that holds them. loadLoggerConfig runs on the
// logging monitor thread; everything else on the start-up/UI thread.
#include <cstdint>
#include <string>

class HX_BaseConfiguration {
 public:
  virtual ~HX_BaseConfiguration() = default;
  // Re-reads enable_console_log and min_log_level. 0, or -1 when the file
  // cannot be read. |first| reports the values on stderr instead of logging changes.
  virtual int loadLoggerConfig(bool first);
  virtual int loadNormalConfig() = 0;
  virtual bool isConfigChanged() = 0;
  virtual bool saveNormalConfig() = 0;

  // <base directory> + file name.
  std::string configFilePath() const;

  bool m_bEnableConsoleLog = false;
  std::string m_strMinLogLevel = "warning";
  int32_t m_iMonitorPeriod = 10000;
  std::string m_strFileName = "/config.ini";
};
