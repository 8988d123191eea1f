#pragma once
// The headless runner: parses the command line, starts the process the way
// the dialog does (crash handler, configuration, logging), copies the target
// into the configuration, runs one capture run until a signal or the duration
// ends it, and stops it in the stop order. Main thread only.
#include <cstdint>
#include <string>
#include <vector>

#include "app/HX_IOperatorPrompt.h"
#include "app/VrRunTarget.h"

struct VrHeadlessOptions {
  bool m_bHeadless = false;
  bool m_bHelp = false;
  std::string m_strHome;
  VrRunTarget m_stTarget;
  double m_dDurationSeconds = 0;  // 0 = until SIGINT/SIGTERM
  bool m_bPublishGiven = false;   // --publish overrides PublishUrl for this run
  std::string m_strPublishUrl;
  std::string m_strCapture;       // --capture x11|portal; empty: CaptureBackend decides
  bool m_bWindowGiven = false;    // --window (the X11 back-end's window mode needs one)
};

// Parses argv. 0, or -1 with |error| set. Window mode without --window is
// refused here only with --capture x11; otherwise the back-end decides.
int VrParseHeadlessOptions(const std::vector<std::string>& args, VrHeadlessOptions* options,
                           std::string* error);
const char* VrHeadlessUsage();

// Prints messages on stderr and answers questions by policy: go on without
// sound when sound capture fails; stop recording when the disk runs low.
class VrHeadlessPrompt : public HX_IOperatorPrompt {
 public:
  void showMessage(const std::string& text) override;
  bool askOkCancel(const std::string& text) override;
};

class VrCaptureRun;

// A run that has had no display for this long ends with exit code 1.
constexpr int64_t kVrNoDisplayLimitMs = 10000;

// Waits while |run| is up until SIGINT/SIGTERM, |durationMs| (negative: no
// limit), or |noDisplayLimitMs| without a display to capture, and checks the
// disk space on the way. Returns the exit code: 0, or 1 (with a message on
// stderr and an ERROR) when the display stayed away.
int VrWaitForRunEnd(VrCaptureRun* run, int64_t durationMs, int64_t noDisplayLimitMs);

// Takes SIGINT and SIGTERM as a stop request and ignores SIGPIPE. main calls
// it before anything else, so a signal during start-up stops the process
// like one during the run (exit 0, no crash report). Idempotent.
void VrInstallStopSignals();
// The stop signal received (SIGINT or SIGTERM), or 0.
int VrStopSignal();

// Runs the headless job; returns the process exit code.
int VrRunHeadless(const VrHeadlessOptions& options);
