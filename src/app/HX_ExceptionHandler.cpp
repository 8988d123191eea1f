#include "app/HX_ExceptionHandler.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "log/HX_Log.h"
#include "platform/HX_Paths.h"

namespace {
// The report metadata, written at the top of every report.
constexpr char kMetadata[] = "prod=Lodestar\nver=4.0.0\n";

// Filled at start so the signal-time writer needs no allocation.
char g_reportPath[4096];
int g_reportFd = -1;

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Called by glog's failure signal handler, possibly many times per crash,
// from the crashing thread: only async-signal-safe calls here.
void WriteCrashReport(const char* data, size_t size) {
  if (g_reportFd < 0) {
    g_reportFd = open(g_reportPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (g_reportFd < 0) return;
    WriteAll(g_reportFd, kMetadata, sizeof kMetadata - 1);
  }
  WriteAll(g_reportFd, data, size);
  WriteAll(STDERR_FILENO, data, size);
}
}  // namespace

HX_ExceptionHandler* HX_ExceptionHandler::instance() {
  static HX_ExceptionHandler handler;
  return &handler;
}

int HX_ExceptionHandler::start() {
  m_strDumpDir = HX_GetStateDirectory() + "/dump";
  if (HX_MakeDirectories(m_strDumpDir) != 0) {
    HX_LOG_ERROR("g_pstHandler is NULL\n%s", HX_StackTrace().c_str());
    return -1;
  }
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  int n = std::snprintf(g_reportPath, sizeof g_reportPath, "%s/crash-%s-%d.txt", m_strDumpDir.c_str(),
                        stamp, static_cast<int>(getpid()));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof g_reportPath) {
    HX_LOG_ERROR("g_pstHandler is NULL\n%s", HX_StackTrace().c_str());
    return -1;
  }
  // glog counts SIGTERM among the failure signals; here it is the stop
  // request, so whatever handled it before (the stop handler, or the default)
  // keeps it and it never leaves a crash report.
  struct sigaction term {};
  sigaction(SIGTERM, nullptr, &term);
  google::InstallFailureSignalHandler();
  sigaction(SIGTERM, &term, nullptr);
  google::InstallFailureWriter(&WriteCrashReport);
  return 0;
}
