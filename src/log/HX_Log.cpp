#include "log/HX_Log.h"

#include <ace/Stack_Trace.h>
#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string HX_OperationName(const char* prettyFunction) {
  if (prettyFunction == nullptr) return std::string();
  std::string s(prettyFunction);
  // Cut the parameter list at the first '(' outside template brackets.
  int depth = 0;
  size_t end = s.size();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '<') ++depth;
    else if (s[i] == '>') --depth;
    else if (s[i] == '(' && depth == 0) { end = i; break; }
  }
  s.resize(end);
  // Drop the return type: the name starts after the last space outside brackets.
  depth = 0;
  size_t begin = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '<') ++depth;
    else if (s[i] == '>') --depth;
    else if (s[i] == ' ' && depth == 0) begin = i + 1;
  }
  s = s.substr(begin);
  while (!s.empty() && (s.front() == '*' || s.front() == '&')) s.erase(0, 1);
  return s;
}

std::string HX_StackTrace() {
  ACE_Stack_Trace trace(1);
  return std::string(trace.c_str());
}

bool HX_DebugLogEnabled() { return FLAGS_v >= 1; }

namespace {
// Set while the level asked for is FATAL and glog's minimum is held at ERROR
// for it; a later direct store into FLAGS_minloglevel (tests, the client)
// leaves ERROR and so ends it.
std::atomic<bool> g_fatalOnly{false};

int MinLogLevel() {
  const int glogLevel = FLAGS_minloglevel;
  return glogLevel == google::GLOG_ERROR && g_fatalOnly.load() ? HX_LOG_SEV_FATAL : glogLevel;
}
}  // namespace

void HX_SetMinLogLevel(int severity) {
  g_fatalOnly = severity >= HX_LOG_SEV_FATAL;
  FLAGS_minloglevel = severity >= HX_LOG_SEV_FATAL ? google::GLOG_ERROR : severity;
}

void HX_WriteLogLine(const char* file, int line, const char* prettyFunction, int severity,
                     bool withStackTrace, const char* format, ...) {
  if (std::min(severity, int{HX_LOG_SEV_FATAL}) < MinLogLevel()) return;
  const int glogSeverity = severity >= HX_LOG_SEV_FATAL ? google::GLOG_ERROR : severity;
  char buf[kLogLineBufferSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) buf[0] = '\0';
  buf[sizeof buf - 1] = '\0';
  google::LogMessage message(file, line, static_cast<google::LogSeverity>(glogSeverity));
  message.stream() << HX_OperationName(prettyFunction) << ": "
                   << (severity >= HX_LOG_SEV_FATAL ? "FATAL " : "") << buf;
  if (withStackTrace) message.stream() << "\n" << HX_StackTrace() << "\n";
}
