#include "log/HX_LoggingSystem.h"

#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

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

int HX_LoggingSystem::TrimLogDirectory(const std::string& dir, uint64_t maxBytes) {
  namespace fs = std::filesystem;
  struct File {
    fs::path path;
    fs::file_time_type written;
    uint64_t bytes;
  };
  std::error_code ec;
  std::set<fs::path> current;
  std::vector<File> files;
  uint64_t total = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_symlink(ec)) {
      fs::path target = fs::read_symlink(it->path(), ec);
      if (!ec) current.insert(fs::weakly_canonical(it->path().parent_path() / target, ec));
      continue;
    }
    if (!it->is_regular_file(ec)) continue;
    const uint64_t bytes = it->file_size(ec);
    if (ec) continue;
    files.push_back(File{it->path(), it->last_write_time(ec), bytes});
    total += bytes;
  }
  if (total <= maxBytes) return 0;
  std::sort(files.begin(), files.end(), [](const File& a, const File& b) { return a.written < b.written; });
  int removed = 0;
  uint64_t freed = 0;
  for (const File& f : files) {
    if (total <= maxBytes) break;
    if (current.count(fs::weakly_canonical(f.path, ec)) != 0) continue;
    if (!fs::remove(f.path, ec)) continue;
    total -= f.bytes;
    freed += f.bytes;
    ++removed;
  }
  if (removed > 0)
    HX_LOG_INFO("log directory over %llu bytes: deleted the %d oldest files (%llu bytes)",
                static_cast<unsigned long long>(maxBytes), removed, static_cast<unsigned long long>(freed));
  return removed;
}

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
  FLAGS_minloglevel = minLevel;
  FLAGS_logbuflevel = 0;
  FLAGS_logbufsecs = 1;
  FLAGS_logtostderr = false;
  // A full disk stops the log rather than the program.
  FLAGS_stop_logging_if_full_disk = true;
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
  FLAGS_minloglevel = minLevel;
  FLAGS_v = verbose;
  ApplyConsole(m_pstConfig->m_bEnableConsoleLog, false);
}

void HX_LoggingSystem::MonitorLoop() {
  HX_SetThreadName("ostrel-logmon");
  int64_t last = HX_GetTickMs();
  int64_t lastTrim = 0;
  while (!m_bStop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int64_t now = HX_GetTickMs();
    if (now - last >= m_iMonitorPeriodMs) {
      last = now;
      applyConfigOnce();
    }
    if (now - lastTrim >= kTrimPeriodMs) {
      lastTrim = now;
      TrimLogDirectory(LogDirectory(), kMaxLogDirectoryBytes);
    }
  }
}
