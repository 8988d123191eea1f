#pragma once
// The log-line idiom shared by every class: the message is formatted
// printf-style into a 4096-byte buffer and written as one glog line that
// carries the source file, the class-qualified operation name and the
// severity. Safe to call from any thread.
#include <string>

enum HX_LogSeverity { HX_LOG_SEV_INFO = 0, HX_LOG_SEV_WARNING = 1, HX_LOG_SEV_ERROR = 2, HX_LOG_SEV_FATAL = 3 };

constexpr int kLogLineBufferSize = 4096;

// Writes one line when |severity| is at or above the current minimum level.
// |prettyFunction| is the compiler's __PRETTY_FUNCTION__; the line names only
// the class-qualified operation ("VrNDISend::SendVideo"). A FATAL line is
// written at glog's ERROR severity with a "FATAL " prefix so that logging never
// ends the process; the minimum level is compared with the line's own
// severity, so FATAL lines still appear at level "fatal".
void HX_WriteLogLine(const char* file, int line, const char* prettyFunction, int severity,
                     bool withStackTrace, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

// Sets the minimum level (0 INFO .. 3 FATAL). glog's own minimum is held at
// ERROR or below so that it never drops the FATAL lines written at ERROR;
// this level then decides alone which lines are written.
void HX_SetMinLogLevel(int severity);

// True when debug lines are written (the configured level is "debug").
bool HX_DebugLogEnabled();

// "VrNDISend::SendVideo" from "int VrNDISend::SendVideo(VrMediaFramePtr)".
std::string HX_OperationName(const char* prettyFunction);

// The calling thread's stack trace as text.
std::string HX_StackTrace();

#define HX_LOG_AT(sev, trace, ...) HX_WriteLogLine(__FILE__, __LINE__, __PRETTY_FUNCTION__, sev, trace, __VA_ARGS__)
#define HX_LOG_INFO(...) HX_LOG_AT(HX_LOG_SEV_INFO, false, __VA_ARGS__)
#define HX_LOG_WARNING(...) HX_LOG_AT(HX_LOG_SEV_WARNING, false, __VA_ARGS__)
#define HX_LOG_ERROR(...) HX_LOG_AT(HX_LOG_SEV_ERROR, false, __VA_ARGS__)
#define HX_LOG_FATAL(...) HX_LOG_AT(HX_LOG_SEV_FATAL, false, __VA_ARGS__)
// A violated precondition: ERROR with the calling thread's stack trace appended.
#define HX_LOG_ERROR_TRACE(...) HX_LOG_AT(HX_LOG_SEV_ERROR, true, __VA_ARGS__)
// Written at INFO only when the configured level is "debug".
#define HX_LOG_DEBUG(...) \
  do { if (HX_DebugLogEnabled()) HX_LOG_AT(HX_LOG_SEV_INFO, false, __VA_ARGS__); } while (0)
