#include "config/HX_BaseConfiguration.h"

#include <INIReader.h>

#include <cstdio>

#include "log/HX_Log.h"
#include "platform/HX_Paths.h"

std::string HX_BaseConfiguration::configFilePath() const {
  return HX_GetBaseDirectory() + m_strFileName;
}

int HX_BaseConfiguration::loadLoggerConfig(bool first) {
  INIReader reader(configFilePath());
  if (reader.ParseError() < 0) {
    std::fputs("HX_ServerConfiguration, reader.ParseError!\n", stderr);
    return -1;
  }
  bool console = reader.GetBoolean("config", "enable_console_log", false);
  if (first) {
    m_bEnableConsoleLog = console;
    std::fprintf(stderr, "load config ====================> enable_console_log: %d \n", console ? 1 : 0);
  } else if (console != m_bEnableConsoleLog) {
    m_bEnableConsoleLog = console;
    HX_LOG_WARNING("change config ===> enable_console_log: %d \n", console ? 1 : 0);
  }
  std::string level = reader.Get("config", "min_log_level", "0xcafedead");
  if (first) {
    m_strMinLogLevel = level;
    std::fprintf(stderr, "load config ====================> min_log_level: %s \n", level.c_str());
  } else if (level != m_strMinLogLevel) {
    m_strMinLogLevel = level;
    HX_LOG_WARNING("change config ===> min_log_level: %s \n", level.c_str());
  }
  return 0;
}
