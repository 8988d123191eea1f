#include "record/RecordProbe.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

std::vector<ProbedPacket> ProbePackets(const std::string& file, const char* stream) {
  std::string text = Run(std::string("ffprobe -v error -select_streams ") + stream +
                         " -show_entries packet=pts_time,size,flags -of csv=p=0 '" + file + "'");
  std::vector<ProbedPacket> packets;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    ProbedPacket p;
    char flags[16] = {0};
    if (std::sscanf(line.c_str(), "%lf,%d,%15s", &p.pts, &p.size, flags) >= 2) {
      p.key = flags[0] == 'K';
      packets.push_back(p);
    }
  }
  return packets;
}

std::string DecodeErrors(const std::string& file) {
  return Run("ffmpeg -nostdin -v error -i '" + file + "' -f null -");
}

std::vector<Box> TopLevelBoxes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<Box> boxes;
  uint64_t at = 0;
  while (at + 8 <= data.size()) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
    uint64_t size = (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16) | (uint64_t{p[2]} << 8) | p[3];
    if (size < 8) break;  // the muxer writes no 64-bit or open-ended boxes here
    boxes.push_back(Box{at, size, data.substr(at + 4, 4)});
    at += size;
  }
  return boxes;
}

std::vector<PlacedPacket> ProbePlacedPackets(const std::string& file) {
  std::vector<PlacedPacket> packets;
  for (const char* stream : {"v", "a"}) {
    std::string text = Run(std::string("ffprobe -v error -select_streams ") + stream +
                           " -show_entries packet=pts_time,pos,size -of csv=p=0 '" + file + "'");
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      PlacedPacket p;
      p.stream = stream;
      unsigned long long pos = 0;
      if (std::sscanf(line.c_str(), "%lf,%d,%llu", &p.pts, &p.size, &pos) == 3) {
        p.pos = pos;
        packets.push_back(p);
      }
    }
  }
  return packets;
}

std::string Copy(const std::string& from, const std::string& to, uint64_t bytes) {
  std::ifstream in(from, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(to, std::ios::binary) << data.substr(0, std::min<uint64_t>(bytes, data.size()));
  return to;
}
