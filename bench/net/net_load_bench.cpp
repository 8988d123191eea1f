// Load benchmark of the streaming server: N loopback clients receive a
// scripted 1080p25 3 Mbit/s stream (H.264-sized pictures, a key frame every
// 2 s, 96 kbit/s AAC-sized audio). Reports the network thread's CPU, the
// whole process's CPU and whether any client fell behind. Never run as a test.
//
//   net_load_bench [--clients 10,100,500] [--seconds 5]
#include <arpa/inet.h>
#include <dirent.h>
#include <glog/logging.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/HX_ServerConfiguration.h"
#include "platform/HX_Clock.h"
#include "protocol/HX_ClientList.h"
#include "protocol/VrTransServer.h"

namespace {
constexpr int kFps = 25;
constexpr int kGop = 50;                    // one key frame every 2 s
constexpr int kVideoBytesPerSecond = 375000;  // 3 Mbit/s
constexpr int kAudioRate = 44100;
constexpr int kAudioPacketBytes = 279;      // 96 kbit/s in 1024-sample frames

// Counts the server's warning lines of interest.
class WarningCounter : public google::LogSink {
 public:
  std::atomic<int> m_iDropEpisodes{0};
  std::atomic<int> m_iQueueLoss{0};
  void send(google::LogSeverity, const char*, const char*, int, const struct ::tm*, const char* message,
            size_t length) override {
    std::string text(message, length);
    if (text.find("does not keep up") != std::string::npos) ++m_iDropEpisodes;
    if (text.find("Frame Loss") != std::string::npos) ++m_iQueueLoss;
  }
};

// CPU seconds (user + system) of one thread of this process, or of all.
double ThreadCpuSeconds(const std::string& tid) {
  std::ifstream in(tid.empty() ? "/proc/self/stat" : "/proc/self/task/" + tid + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string FindThread(const char* name) {
  DIR* dir = ::opendir("/proc/self/task");
  std::string found;
  while (dirent* e = dir != nullptr ? ::readdir(dir) : nullptr) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string n;
    std::getline(comm, n);
    if (n == name) found = e->d_name;
  }
  if (dir != nullptr) ::closedir(dir);
  return found;
}

// frame_type and frame_time of a packet_response, read straight off the wire
// form without building the message (the body copy would cost more than the
// server's own work).
bool ScanResponse(const uint8_t* p, size_t n, uint32_t* type, uint64_t* time) {
  size_t i = 0;
  auto varint = [&](uint64_t* v) {
    *v = 0;
    for (int shift = 0; i < n && shift < 64; shift += 7) {
      uint8_t b = p[i++];
      *v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return true;
    }
    return false;
  };
  while (i < n) {
    uint64_t key, v;
    if (!varint(&key)) return false;
    if ((key & 7) == 0) {
      if (!varint(&v)) return false;
      if ((key >> 3) == 2) *type = static_cast<uint32_t>(v);
      if ((key >> 3) == 8) *time = v;
    } else if ((key & 7) == 2) {
      if (!varint(&v) || v > n - i) return false;
      i += v;
    } else {
      return false;
    }
  }
  return true;
}

struct ClientState {
  int fd = -1;
  std::string buffer;
  bool answered = false;
  bool closed = false;
  int64_t video = 0;
  int64_t audio = 0;
  int64_t maxLatency = 0;
  int64_t lastVideoTime = -1;
  int64_t gaps = 0;  // pictures missing between two received ones
};

std::string Frame(uint32_t cmd, uint32_t seq) {
  uint8_t h[24] = {0, 0, 0, 20, 0xCA, 0xFE, 0xDE, 0xAD};
  h[10] = static_cast<uint8_t>(cmd >> 8);
  h[11] = static_cast<uint8_t>(cmd);
  h[14] = static_cast<uint8_t>(seq >> 8);
  h[15] = static_cast<uint8_t>(seq);
  return std::string(reinterpret_cast<char*>(h), 24);
}

// Reads whatever arrived and counts complete messages.
void Drain(ClientState& c) {
  char buf[256 * 1024];
  for (;;) {
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) c.closed = true;
    if (n <= 0) break;
    c.buffer.append(buf, static_cast<size_t>(n));
  }
  size_t pos = 0;
  const int64_t now = HX_GetTickMs();
  while (c.buffer.size() - pos >= 24) {
    const uint8_t* h = reinterpret_cast<const uint8_t*>(c.buffer.data() + pos);
    const uint32_t len = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
    if (c.buffer.size() - pos < 4 + static_cast<size_t>(len)) break;
    const uint32_t cmd = (uint32_t(h[8]) << 24) | (uint32_t(h[9]) << 16) | (uint32_t(h[10]) << 8) | h[11];
    if (cmd == 3002) {
      c.answered = true;
    } else if (cmd == 3003) {
      uint32_t type = 0;
      uint64_t time = 0;
      ScanResponse(h + 24, len - 20, &type, &time);
      c.maxLatency = std::max(c.maxLatency, now - static_cast<int64_t>(time));
      if (type == 0) {
        // Pictures are 40 ms apart; a larger step means some were dropped.
        if (c.lastVideoTime >= 0 && static_cast<int64_t>(time) - c.lastVideoTime > 60)
          c.gaps += (static_cast<int64_t>(time) - c.lastVideoTime + 20) / 40 - 1;
        c.lastVideoTime = static_cast<int64_t>(time);
        ++c.video;
      } else {
        ++c.audio;
      }
    }
    pos += 4 + len;
  }
  c.buffer.erase(0, pos);
}

struct RunResult {
  int clients;
  int64_t sentVideo, sentAudio;
  int behind;
  int64_t minVideo, worstLatency, gaps;
  double netCpu, processCpu, wall;
  int dropEpisodes, queueLoss;
};

RunResult RunOnce(int clientCount, int seconds, WarningCounter& warnings) {
  RunResult r{};
  r.clients = clientCount;
  HX_ServerConfiguration::instance()->m_iPrivatePort = 0;
  VrTransServer server;
  if (server.start() != 1) {
    std::fprintf(stderr, "server did not start\n");
    std::exit(1);
  }
  const int port = server.listeningPort();
  std::vector<ClientState> clients(static_cast<size_t>(clientCount));
  for (int i = 0; i < clientCount; ++i) {
    ClientState& c = clients[static_cast<size_t>(i)];
    c.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      std::perror("connect");
      std::exit(1);
    }
    const std::string req = Frame(3002, static_cast<uint32_t>(i));
    if (::send(c.fd, req.data(), req.size(), 0) != 24) std::exit(1);
  }
  // Every client answered and listed before the stream starts.
  const int64_t waitStart = HX_GetTickMs();
  while (HX_GetTickMs() - waitStart < 20000) {
    bool all = HX_ClientList::instance()->clients().size() == static_cast<size_t>(clientCount);
    for (ClientState& c : clients) {
      Drain(c);
      all = all && c.answered;
    }
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  std::atomic<bool> producing{true};
  std::atomic<int64_t> sentVideo{0}, sentAudio{0};
  const std::string tid = FindThread("ostrel-net");
  const double netCpu0 = ThreadCpuSeconds(tid), procCpu0 = ThreadCpuSeconds("");
  const auto wall0 = std::chrono::steady_clock::now();

  std::thread producer([&] {
    const int pBytes = kVideoBytesPerSecond * kGop / kFps / (kGop - 1 + 5);
    const auto start = std::chrono::steady_clock::now();
    int64_t v = 0, a = 0;
    const int64_t end = static_cast<int64_t>(seconds) * 1000;
    for (;;) {
      const int64_t vt = v * 1000 / kFps, at = a * 1024 * 1000 / kAudioRate;
      const int64_t next = std::min(vt, at);
      if (next >= end) break;
      std::this_thread::sleep_until(start + std::chrono::milliseconds(next));
      VrMediaFramePtr p = VrCreateMediaFrame();
      p->m_llTimestamp = HX_GetTickMs();
      if (at < vt) {
        p->m_iMediaType = VR_MEDIA_AUDIO;
        p->AllocData(kAudioPacketBytes);
        ++a;
      } else {
        const bool key = v % kGop == 0;
        p->m_iMediaType = VR_MEDIA_VIDEO;
        p->m_iKeyFrame = key ? 1 : 0;
        p->m_iWidth = 1920;
        p->m_iHeight = 1080;
        p->AllocData(key ? pBytes * 5 : pBytes);
        ++v;
      }
      std::memset(p->m_pData, 0x5A, static_cast<size_t>(p->m_iSize));
      HX_ClientList::instance()->EnqueuePacket(p);
    }
    sentVideo = v;
    sentAudio = a;
    producing = false;
  });

  std::vector<pollfd> fds(clients.size());
  for (size_t i = 0; i < clients.size(); ++i) fds[i] = pollfd{clients[i].fd, POLLIN, 0};
  int64_t drainUntil = -1;
  for (;;) {
    ::poll(fds.data(), fds.size(), 20);
    for (size_t i = 0; i < clients.size(); ++i)
      if (fds[i].revents != 0) Drain(clients[i]);
    if (!producing && drainUntil < 0) drainUntil = HX_GetTickMs() + 2000;
    if (drainUntil >= 0) {
      bool done = true;
      for (ClientState& c : clients) done = done && c.video >= sentVideo.load();
      if (done || HX_GetTickMs() >= drainUntil) break;
    }
  }
  producer.join();
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  r.netCpu = ThreadCpuSeconds(tid) - netCpu0;
  r.processCpu = ThreadCpuSeconds("") - procCpu0;
  server.stop();

  r.sentVideo = sentVideo;
  r.sentAudio = sentAudio;
  r.minVideo = r.sentVideo;
  for (ClientState& c : clients) {
    const bool behind = c.closed || c.video < r.sentVideo || c.gaps > 0 || c.maxLatency > 1000;
    r.behind += behind ? 1 : 0;
    r.minVideo = std::min(r.minVideo, c.video);
    r.worstLatency = std::max(r.worstLatency, c.maxLatency);
    r.gaps += c.gaps;
    ::close(c.fd);
  }
  r.dropEpisodes = warnings.m_iDropEpisodes.exchange(0);
  r.queueLoss = warnings.m_iQueueLoss.exchange(0);
  return r;
}
}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts = {10, 100, 500};
  int seconds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--clients") {
      counts.clear();
      std::stringstream list(argv[i + 1]);
      std::string item;
      while (std::getline(list, item, ',')) counts.push_back(std::atoi(item.c_str()));
    } else if (a == "--seconds") {
      seconds = std::max(1, std::atoi(argv[i + 1]));
    }
  }
  rlimit lim;
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
  FLAGS_logtostderr = false;
  FLAGS_minloglevel = 1;
  FLAGS_stderrthreshold = 3;
  WarningCounter warnings;
  google::AddLogSink(&warnings);

  std::printf("scripted 1080p%d 3 Mbit/s + AAC, %d s per run, loopback\n", kFps, seconds);
  std::printf("%7s %10s %10s %12s %10s %14s %12s %12s %10s\n", "clients", "sent v/a", "behind", "min pictures",
              "max lat ms", "net thread CPU", "process CPU", "vs 10 (net)", "drops");
  double baseNet = 0;
  for (int n : counts) {
    RunResult r = RunOnce(n, seconds, warnings);
    const double net = 100.0 * r.netCpu / r.wall, proc = 100.0 * r.processCpu / r.wall;
    if (baseNet == 0) baseNet = net > 0 ? net : 1;
    char sent[32];
    std::snprintf(sent, sizeof sent, "%lld/%lld", static_cast<long long>(r.sentVideo),
                  static_cast<long long>(r.sentAudio));
    std::printf("%7d %10s %10d %12lld %10lld %13.1f%% %11.1f%% %11.1fx %4d+%d\n", r.clients, sent, r.behind,
                static_cast<long long>(r.minVideo), static_cast<long long>(r.worstLatency), net, proc, net / baseNet,
                r.dropEpisodes, r.queueLoss);
    std::fflush(stdout);
  }
  std::printf("behind: clients that missed a picture, were cut off or saw more than 1 s of latency\n"
              "drops: send-queue drop episodes + list queue losses logged by the server\n");
  google::RemoveLogSink(&warnings);
  return 0;
}
