#include "VrStreamStats.h"

#include <algorithm>
#include <cstdio>

void VrStreamStats::add(int mediaType, size_t bytes, int64_t latencyMs) {
  if (mediaType == 0) {
    ++m_llVideo;
    ++m_llTotalVideo;
  } else {
    ++m_llAudio;
    ++m_llTotalAudio;
  }
  m_ullBytes += bytes;
  m_ullTotalBytes += bytes;
  m_llLatencySum += latencyMs;
  m_llLatencyMax = m_llLatencyCount == 0 ? latencyMs : std::max(m_llLatencyMax, latencyMs);
  ++m_llLatencyCount;
}

std::string VrStreamStats::poll(int64_t nowMs) {
  const int64_t elapsed = nowMs - m_llWindowStart;
  if (elapsed < 1000) return std::string();
  const double seconds = static_cast<double>(elapsed) / 1000.0;
  char line[256];
  if (m_llLatencyCount > 0) {
    std::snprintf(line, sizeof line,
                  "video %.1f fps | audio %.1f pkt/s | %.1f kbit/s | latency avg %lld ms, max %lld ms",
                  static_cast<double>(m_llVideo) / seconds, static_cast<double>(m_llAudio) / seconds,
                  static_cast<double>(m_ullBytes) * 8.0 / 1000.0 / seconds,
                  static_cast<long long>(m_llLatencySum / m_llLatencyCount), static_cast<long long>(m_llLatencyMax));
  } else {
    std::snprintf(line, sizeof line, "video 0.0 fps | audio 0.0 pkt/s | 0.0 kbit/s | no packets");
  }
  m_llWindowStart = nowMs;
  m_llVideo = m_llAudio = 0;
  m_ullBytes = 0;
  m_llLatencySum = m_llLatencyMax = m_llLatencyCount = 0;
  return line;
}
