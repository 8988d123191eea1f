#include "log/HX_LoggingSystem.h"

#include <glog/logging.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "config/HX_BaseConfiguration.h"
#include "log/HX_Log.h"
#include "platform/HX_Clock.h"
#include "platform/HX_Paths.h"
#include "platform/HX_ThreadName.h"

HX_LoggingSystem* HX_LoggingSystem::instance() {
  static HX_LoggingSystem system;
  return &system;
}

HX_LoggingSystem::~HX_LoggingSystem() { stopDaemon(); }

void HX_LoggingSystem::MapLevel(const std::string& name, int* minLevel, int* verbose) {
  *verbose = 0;
  if (name == "warning") *minLevel = google::GLOG_WARNING;
  else if (name == "error") *minLevel = google::GLOG_ERROR;
  else if (name == "fatal") *minLevel = google::GLOG_FATAL;
  else if (name == "debug") { *minLevel = google::GLOG_INFO; *verbose = 1; }
  else *minLevel = google::GLOG_INFO;
}

std::string HX_LoggingSystem::LogDirectory() { return HX_GetStateDirectory() + "/log/"; }

void HX_LoggingSystem::ApplyConsole(bool enable, bool atInit) {
  if (enable) {
    FLAGS_alsologtostderr = true;
    FLAGS_colorlogtostderr = true;
    FLAGS_stderrthreshold = 0;
  } else {
    if (!atInit) {
      FLAGS_alsologtostderr = false;
      FLAGS_colorlogtostderr = false;
    }
    FLAGS_stderrthreshold = 4;
  }
}

void HX_LoggingSystem::init() {
  if (m_bInitialised) {
    std::fputs("HX_LoggingSystem can only be initialized once!", stderr);
  }
  std::string level = m_pstConfig != nullptr ? m_pstConfig->m_strMinLogLevel : "warning";
  bool console = m_pstConfig != nullptr && m_pstConfig->m_bEnableConsoleLog;
  int minLevel = 0, verbose = 0;
  MapLevel(level, &minLevel, &verbose);
  FLAGS_v = verbose;

  const std::string dir = LogDirectory();
  // glog does not create its directory; without it every line goes to stderr.
  HX_MakeDirectories(dir);
  if (!m_bInitialised) {
    m_bInitialised = true;
    static std::string programName = dir;
    google::InitGoogleLogging(programName.c_str());
  }
  google::SetLogDestination(google::GLOG_INFO, dir.c_str());
  FLAGS_log_dir = dir;
  FLAGS_max_log_size = 10;
  HX_SetMinLogLevel(minLevel);
  FLAGS_logbuflevel = 0;
  FLAGS_logbufsecs = 1;
  FLAGS_logtostderr = false;
  ApplyConsole(console, true);
}

int HX_LoggingSystem::startDaemon() {
  if (m_thread.joinable()) return 0;
  m_bStop = false;
  try {
    m_thread = std::thread(&HX_LoggingSystem::MonitorLoop, this);
  } catch (const std::system_error&) {
    HX_LOG_ERROR("Error init configurationMonitorThread!\n%s\n", HX_StackTrace().c_str());
    std::exit(1);
  }
  return 0;
}

void HX_LoggingSystem::stopDaemon() {
  m_bStop = true;
  if (m_thread.joinable()) m_thread.join();
}

void HX_LoggingSystem::applyConfigOnce() {
  if (m_pstConfig == nullptr) return;
  m_pstConfig->loadLoggerConfig(false);
  int minLevel = 0, verbose = 0;
  MapLevel(m_pstConfig->m_strMinLogLevel, &minLevel, &verbose);
  HX_SetMinLogLevel(minLevel);
  FLAGS_v = verbose;
  ApplyConsole(m_pstConfig->m_bEnableConsoleLog, false);
}

void HX_LoggingSystem::MonitorLoop() {
  HX_SetThreadName("ostrel-logmon");
  int64_t last = HX_GetTickMs();
  while (!m_bStop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int64_t now = HX_GetTickMs();
    if (now - last >= m_iMonitorPeriodMs) {
      last = now;
      applyConfigOnce();
    }
  }
}
