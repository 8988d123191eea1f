#include "VrClientOptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
bool ParseNumber(const char* text, long double* out) {
  errno = 0;
  char* end = nullptr;
  *out = std::strtold(text, &end);
  return errno == 0 && end != text && *end == '\0';
}

bool EndsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}
}  // namespace

std::string VrClientOptions::usage() {
  return
      "Usage: ostrel-client [options]\n"
      "\n"
      "Connects to an Ostrel server, asks for the codec information and prints it,\n"
      "then receives the encoded stream and writes it as MPEG-TS or Matroska that\n"
      "ffprobe and ffplay read. Statistics go to standard error once a second:\n"
      "video frames/s, audio packets/s, kbit/s and latency (local monotonic clock\n"
      "minus the packet's frame_time; meaningful when client and server share a host).\n"
      "\n"
      "Options:\n"
      "  -H, --host ADDR       server address (default 127.0.0.1)\n"
      "  -p, --port N          server port (default 6000)\n"
      "  -o, --output FILE     write the stream to FILE; \"-\" is standard output\n"
      "                        (default: receive and show statistics only)\n"
      "  -f, --format ts|mkv   container (default: mkv for *.mkv/*.mka, else ts);\n"
      "                        MJPEG video needs mkv\n"
      "  -r, --register        send a register request before asking for the codec\n"
      "  -s, --sequence N      sequence number of the requests (default 1)\n"
      "  -i, --requester ID    requester id of the requests (default 0)\n"
      "  -d, --duration SEC    stop after SEC seconds of streaming\n"
      "  -n, --packets N       stop after N media packets\n"
      "  -t, --timeout SEC     fail when the server sends nothing for SEC seconds\n"
      "                        (default 10)\n"
      "  -q, --quiet           no per-second statistics\n"
      "      --info-only       print the codec information and exit\n"
      "  -h, --help            show this text\n"
      "\n"
      "Examples:\n"
      "  ostrel-client -o - | ffplay -fflags nobuffer -\n"
      "  ostrel-client -p 6000 -o capture.mkv -d 60\n"
      "\n"
      "Exit status: 0 done (limit reached, stream ended by the server, or\n"
      "interrupted), 1 usage error, 2 cannot connect, 3 protocol error,\n"
      "4 output error, 5 timeout.\n";
}

int VrClientOptions::parse(int argc, char** argv, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char** out) -> bool {
      if (i + 1 >= argc) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto number = [&](long double lo, long double hi, long double* out) -> bool {
      const char* text = nullptr;
      if (!value(&text)) return false;
      if (!ParseNumber(text, out) || *out < lo || *out > hi) {
        *error = "invalid value for " + arg + ": " + text;
        return false;
      }
      return true;
    };
    long double n = 0;
    const char* text = nullptr;
    if (arg == "-h" || arg == "--help") {
      m_bHelp = true;
    } else if (arg == "-H" || arg == "--host") {
      if (!value(&text)) return -1;
      m_strHost = text;
    } else if (arg == "-p" || arg == "--port") {
      if (!number(1, 65535, &n)) return -1;
      m_iPort = static_cast<int>(n);
    } else if (arg == "-o" || arg == "--output") {
      if (!value(&text)) return -1;
      m_strOutput = text;
    } else if (arg == "-f" || arg == "--format") {
      if (!value(&text)) return -1;
      m_strFormat = text;
      if (m_strFormat != "ts" && m_strFormat != "mkv") {
        *error = "unknown format: " + m_strFormat + " (ts or mkv)";
        return -1;
      }
    } else if (arg == "-r" || arg == "--register") {
      m_bRegister = true;
    } else if (arg == "-s" || arg == "--sequence") {
      if (!number(0, 4294967295.0L, &n)) return -1;
      m_uiSequenceNo = static_cast<uint32_t>(n);
    } else if (arg == "-i" || arg == "--requester") {
      if (!number(0, 18446744073709551615.0L, &n)) return -1;
      m_ullRequesterId = std::strtoull(argv[i], nullptr, 10);
    } else if (arg == "-d" || arg == "--duration") {
      if (!number(0, 1e9, &n)) return -1;
      m_dDurationSec = static_cast<double>(n);
    } else if (arg == "-n" || arg == "--packets") {
      if (!number(0, 1e15, &n)) return -1;
      m_llMaxPackets = static_cast<int64_t>(n);
    } else if (arg == "-t" || arg == "--timeout") {
      if (!number(0.001L, 1e6, &n)) return -1;
      m_dTimeoutSec = static_cast<double>(n);
    } else if (arg == "-q" || arg == "--quiet") {
      m_bQuiet = true;
    } else if (arg == "--info-only") {
      m_bInfoOnly = true;
    } else {
      *error = "unknown argument: " + arg;
      return -1;
    }
  }
  return 0;
}

std::string VrClientOptions::container() const {
  if (!m_strFormat.empty()) return m_strFormat;
  if (EndsWith(m_strOutput, ".mkv") || EndsWith(m_strOutput, ".mka") || EndsWith(m_strOutput, ".webm"))
    return "mkv";
  return "ts";
}
