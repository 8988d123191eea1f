#include "VrStreamStats.h"

#include <algorithm>
#include <cstdio>

void VrStreamStats::add(int mediaType, size_t bytes, int64_t latencyMs) {
  if (mediaType == 0) {
    ++m_llVideo;
    ++m_llTotalVideo;
    m_videoLatencies.push_back(static_cast<int32_t>(latencyMs));
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

int64_t VrStreamStats::videoLatencyQuantile(double q) const {
  if (m_videoLatencies.empty()) return -1;
  std::vector<int32_t> sorted = m_videoLatencies;
  size_t index = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
  index = std::min(index, sorted.size() - 1);
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(index), sorted.end());
  return sorted[index];
}
