#pragma once
// Command-line options of ostrel-client. A value type.
#include <cstdint>
#include <string>

struct VrClientOptions {
  std::string m_strHost = "127.0.0.1";
  int m_iPort = 6000;
  std::string m_strOutput;  // empty: statistics only; "-": standard output
  std::string m_strFormat;  // "ts" or "mkv"; empty: from the output name
  bool m_bRegister = false;
  uint32_t m_uiSequenceNo = 1;
  uint64_t m_ullRequesterId = 0;
  double m_dDurationSec = 0;   // 0: until the server ends the stream
  int64_t m_llMaxPackets = 0;  // 0: no limit
  double m_dTimeoutSec = 10;
  bool m_bQuiet = false;
  bool m_bInfoOnly = false;
  bool m_bHelp = false;

  // Parses argv. 0, or -1 with a message in |error|.
  int parse(int argc, char** argv, std::string* error);
  // The container to write: "ts" or "mkv".
  std::string container() const;
  static std::string usage();
};
