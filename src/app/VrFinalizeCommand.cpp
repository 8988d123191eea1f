#include "app/VrFinalizeCommand.h"

#include <cinttypes>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

#include "record/VrRecordingFinalizer.h"

namespace {
void PrintDone(const std::string& file, const VrFinalizeReport& report) {
  const VrRecordingLayout& layout = report.m_stLayout;
  std::printf("%s: plain MP4 with its index at the front, %.1f s kept", file.c_str(), report.m_dSeconds);
  if (layout.m_iFragments > 0) {
    std::printf(" (%d fragment%s, %" PRId64 " packets)", layout.m_iFragments,
                layout.m_iFragments == 1 ? "" : "s", report.m_llPackets);
  } else {
    std::printf(" (%" PRId64 " packets)", report.m_llPackets);
  }
  const int64_t dropped = layout.m_llFileSize - layout.m_llUsableSize;
  if (dropped > 0) {
    std::printf(", %" PRId64 " bytes after the last complete fragment dropped", dropped);
  }
  std::printf("\n");
}
}  // namespace

int VrRunFinalize(const std::vector<std::string>& files) {
  // The reason in each line carries FFmpeg's error text; its own chatter
  // about the input would only bury the one line per file.
  av_log_set_level(AV_LOG_FATAL);
  int exitCode = 0;
  for (const std::string& file : files) {
    VrFinalizeReport report;
    if (VrRecordingFinalizer::Finalize(file, &report) == 0) {
      PrintDone(file, report);
    } else {
      std::fprintf(stderr, "ostrel: %s: %s; left unchanged\n", file.c_str(), report.m_strReason.c_str());
      exitCode = 1;
    }
    std::fflush(stdout);
  }
  return exitCode;
}
