// The ostrel executable. Until the dialog exists, it runs headless only.
#include <cstdio>
#include <string>
#include <vector>

#include "app/VrHeadlessRunner.h"
#include "platform/HX_Paths.h"

int main(int argc, char** argv) {
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
  if (!options.m_bHeadless) {
    std::fputs(VrHeadlessUsage(), stderr);
    return 2;
  }
  HX_InitBaseDirectory(argc, argv);
  return VrRunHeadless(options);
}
