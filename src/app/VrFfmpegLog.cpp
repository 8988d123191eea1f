#include "app/VrFfmpegLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstring>

#include "log/HX_Log.h"

namespace {
void Forward(void* avcl, int level, const char* fmt, va_list args) {
  if (level > AV_LOG_WARNING) return;
  char line[1024];
  int prefix = 1;
  av_log_format_line2(avcl, level, fmt, args, line, sizeof line, &prefix);
  size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
  if (n == 0) return;
  if (level <= AV_LOG_ERROR) HX_LOG_ERROR("ffmpeg: %s", line);
  else HX_LOG_WARNING("ffmpeg: %s", line);
}
}  // namespace

void VrInstallFfmpegLogBridge() { av_log_set_callback(&Forward); }
