#pragma once
// What a recording holds, seen from outside the recorder: ffprobe's packet
// lists, ffmpeg's decode errors and the file's top-level boxes read with a
// walker of the test's own. Test thread only.
#include <cstdint>
#include <string>
#include <vector>

// Output (stdout and stderr) of a shell command.
std::string Run(const std::string& command);

struct ProbedPacket {
  double pts = 0;
  int size = 0;
  bool key = false;
};
// The packets of one stream ("v" or "a") in file order.
std::vector<ProbedPacket> ProbePackets(const std::string& file, const char* stream);

// What ffmpeg says while decoding the whole file; empty when nothing failed.
std::string DecodeErrors(const std::string& file);

struct Box {
  uint64_t offset = 0;
  uint64_t size = 0;
  std::string type;
};
// The top-level boxes of an MP4 file, as far as their headers are in it.
std::vector<Box> TopLevelBoxes(const std::string& file);

struct PlacedPacket {
  std::string stream;  // "v" or "a"
  double pts = 0;
  uint64_t pos = 0;
  int size = 0;
};
// Video packets, then audio packets, each with its byte position.
std::vector<PlacedPacket> ProbePlacedPackets(const std::string& file);

// Copies the first |bytes| bytes of |from| to |to|; returns |to|.
std::string Copy(const std::string& from, const std::string& to, uint64_t bytes);
