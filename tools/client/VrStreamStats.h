#pragma once
// Per-second receive statistics of ostrel-client: pictures, audio packets,
// bit rate and latency (local monotonic clock minus the packet's frame_time).
// One thread only.
#include <cstdint>
#include <string>
#include <vector>

class VrStreamStats {
 public:
  explicit VrStreamStats(int64_t nowMs) : m_llWindowStart(nowMs) {}

  void add(int mediaType, size_t bytes, int64_t latencyMs);
  // A line when a second has passed since the last one (then the window
  // restarts), else an empty string.
  std::string poll(int64_t nowMs);

  int64_t totalVideo() const { return m_llTotalVideo; }
  int64_t totalAudio() const { return m_llTotalAudio; }
  uint64_t totalBytes() const { return m_ullTotalBytes; }
  // Latency of the pictures received so far at quantile |q| (0..1), or -1.
  int64_t videoLatencyQuantile(double q) const;

 private:
  int64_t m_llWindowStart;
  int64_t m_llVideo = 0;
  int64_t m_llAudio = 0;
  uint64_t m_ullBytes = 0;
  int64_t m_llLatencySum = 0;
  int64_t m_llLatencyMax = 0;
  int64_t m_llLatencyCount = 0;
  int64_t m_llTotalVideo = 0;
  int64_t m_llTotalAudio = 0;
  uint64_t m_ullTotalBytes = 0;
  std::vector<int32_t> m_videoLatencies;  // every picture's, for the closing percentiles
};
