// The ostrel executable: the dialog application without arguments (or with
// --home DIR / --home=DIR), the headless runner with --headless, the
// recording rewriter with --finalize FILE....
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/HX_IOperatorPrompt.h"
#include "app/VrFinalizeCommand.h"
#include "app/VrHeadlessRunner.h"
#include "app/ui/COstrelApp.h"
#include "platform/HX_InstanceLock.h"
#include "platform/HX_Paths.h"

int main(int argc, char** argv) {
  // First, before any slow step: a stop signal during start-up is a stop, not
  // a crash (the dialog and the headless runner both poll it).
  VrInstallStopSignals();
  bool headless = false, help = false;
  int finalizeAt = 0;
  for (int i = 1; i < argc; ++i) {
    headless = headless || std::strcmp(argv[i], "--headless") == 0;
    help = help || std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
    if (finalizeAt == 0 && std::strcmp(argv[i], "--finalize") == 0) finalizeAt = i;
  }
  // Everything after --finalize is a file name; it takes no other option and
  // neither the configuration nor the instance lock.
  if (finalizeAt != 0) {
    if (finalizeAt != 1 || argc < 3) {
      std::fprintf(stderr, "ostrel: --finalize comes first and takes one or more files\n\n%s",
                   VrHeadlessUsage());
      return 2;
    }
    return VrRunFinalize(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (!headless && !help) return COstrelApp::Run(argc, argv);

  std::vector<std::string> args(argv + 1, argv + argc);
  VrHeadlessOptions options;
  std::string error;
  if (VrParseHeadlessOptions(args, &options, &error) != 0) {
    std::fprintf(stderr, "ostrel: %s\n\n%s", error.c_str(), VrHeadlessUsage());
    return 2;
  }
  if (options.m_bHelp) {
    std::fputs(VrHeadlessUsage(), stdout);
    return 0;
  }
  HX_InitBaseDirectory(argc, argv);
  // The dialog and the headless runner share one lock per base directory, so
  // two processes never write the same config.ini, log/ and dump/.
  const std::string base = HX_GetBaseDirectory();
  HX_MakeDirectories(base);
  HX_InstanceLock lock;
  const int locked = lock.acquire(base);
  if (locked != HX_InstanceLock::kAcquired) {
    std::fprintf(stderr, "ostrel: %s (%s)\n",
                 locked == HX_InstanceLock::kHeldElsewhere ? HX_RunText::kAlreadyRunning : HX_RunText::kLockFailed,
                 base.c_str());
    return 1;
  }
  return VrRunHeadless(options);
}
