#pragma once
// A private PulseAudio daemon for one test process: its own runtime directory
// in a temporary folder, one null sink per requested spec, and PULSE_SERVER
// pointing at it while the object lives (the previous value comes back on
// destruction). It can play PCM from memory or a generated tone into a sink
// through pacat. Use from the test's main thread.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/SpawnedProcess.h"

class PulseServer {
 public:
  struct Sink {
    std::string name;
    std::string args;  // extra module-null-sink arguments ("rate=44100 format=float32le")
  };
  struct Options {
    std::vector<Sink> sinks{{"test", "rate=48000"}};  // the first one is the default
  };

  PulseServer() : PulseServer(Options()) {}
  explicit PulseServer(const Options& options) {
    char tmpl[] = "/tmp/ostrel-pulse-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      m_strError = "mkdtemp failed";
      return;
    }
    m_strDir = tmpl;
    m_strServer = "unix:" + m_strDir + "/pulse/native";
    std::vector<std::string> args = {"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                                     "--realtime=no", "--high-priority=no", "--disallow-exit",
                                     "--load=module-native-protocol-unix auth-anonymous=1"};
    for (const Sink& sink : options.sinks) {
      args.push_back("--load=module-null-sink sink_name=" + sink.name + " " + sink.args);
    }
    m_iDaemon = Spawn(args, m_strDir + "/daemon.log");
    if (m_iDaemon <= 0) {
      m_strError = "cannot start pulseaudio";
      return;
    }
    const char* previous = std::getenv("PULSE_SERVER");
    m_bHadPrevious = previous != nullptr;
    if (previous != nullptr) m_strPrevious = previous;
    setenv("PULSE_SERVER", m_strServer.c_str(), 1);

    // Ready once the server answers a query, i.e. every module is loaded.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Wait(Spawn({"pactl", "info"}, m_strDir + "/pactl.log")) == 0) {
        m_bReady = true;
        break;
      }
      int status = 0;
      if (waitpid(m_iDaemon, &status, WNOHANG) == m_iDaemon) {
        m_iDaemon = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!m_bReady) m_strError = "pulseaudio did not come up: " + daemonLog();
  }

  ~PulseServer() {
    terminate();
    if (!m_strDir.empty()) {
      if (m_bHadPrevious) {
        setenv("PULSE_SERVER", m_strPrevious.c_str(), 1);
      } else {
        unsetenv("PULSE_SERVER");
      }
      std::error_code ec;
      std::filesystem::remove_all(m_strDir, ec);
    }
  }
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Ends the daemon now (clients see the connection break); idempotent.
  void terminate() {
    stopPlayback();
    if (m_iDaemon <= 0) return;
    StopProcess(m_iDaemon);
    m_iDaemon = -1;
  }

  bool ready() const { return m_bReady; }
  const std::string& error() const { return m_strError; }
  const std::string& server() const { return m_strServer; }
  const std::string& dir() const { return m_strDir; }

  std::string daemonLog() const {
    std::ifstream in(m_strDir + "/daemon.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Runs pactl with |args|; true on success.
  bool pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Wait(Spawn(argv, m_strDir + "/pactl.log")) == 0;
  }
  bool setDefaultSink(const std::string& sink) const { return pactl({"set-default-sink", sink}); }

  // Interleaved signed 16-bit stereo: a sine of |hz| at |amplitude|.
  static std::vector<int16_t> Tone(double hz, double seconds, int rate, int amplitude = 8000) {
    const size_t frames = static_cast<size_t>(seconds * rate);
    std::vector<int16_t> pcm(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
      auto v = static_cast<int16_t>(amplitude * std::sin(2.0 * M_PI * hz * double(i) / rate));
      pcm[2 * i] = v;
      pcm[2 * i + 1] = v;
    }
    return pcm;
  }

  // Starts playing |pcm| (s16le stereo at |rate|) into |sink| in the
  // background; any earlier playback is stopped first.
  bool play(const std::vector<int16_t>& pcm, int rate, const std::string& sink = "test") {
    stopPlayback();
    const std::string file = m_strDir + "/play.raw";
    {
      std::ofstream out(file, std::ios::binary);
      out.write(reinterpret_cast<const char*>(pcm.data()),
                static_cast<std::streamsize>(pcm.size() * sizeof(int16_t)));
      if (!out) return false;
    }
    m_iPlayer = Spawn({"pacat", "--raw", "--format=s16le", "--rate=" + std::to_string(rate),
                       "--channels=2", "--device=" + sink, file},
                      m_strDir + "/pacat.log");
    return m_iPlayer > 0;
  }
  bool playTone(double hz, double seconds, int rate = 48000, const std::string& sink = "test") {
    return play(Tone(hz, seconds, rate), rate, sink);
  }
  // True when the playback ended by itself with success within |timeout|.
  bool waitPlayback(std::chrono::milliseconds timeout) {
    if (m_iPlayer <= 0) return false;
    int status = 0;
    const bool ended = WaitFor(m_iPlayer, timeout, &status);
    if (ended) m_iPlayer = -1;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  void stopPlayback() {
    if (m_iPlayer <= 0) return;
    kill(m_iPlayer, SIGTERM);
    waitpid(m_iPlayer, nullptr, 0);
    m_iPlayer = -1;
  }

 private:
  // Starts |argv| with this server in its environment; output goes to |log|.
  pid_t Spawn(const std::vector<std::string>& argv, const std::string& log) const {
    return SpawnLogged(argv,
                       ChildEnvironment({"XDG_RUNTIME_DIR=", "HOME=", "PULSE_SERVER="},
                                        {"XDG_RUNTIME_DIR=" + m_strDir, "HOME=" + m_strDir,
                                         "PULSE_SERVER=" + m_strServer}),
                       log);
  }
  static int Wait(pid_t pid) {
    if (pid <= 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static bool WaitFor(pid_t pid, std::chrono::milliseconds timeout, int* status = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int s = 0;
    for (;;) {
      pid_t r = waitpid(pid, &s, WNOHANG);
      if (r == pid || r < 0) {
        if (status != nullptr) *status = s;
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::string m_strDir;
  std::string m_strServer;
  std::string m_strError;
  std::string m_strPrevious;
  bool m_bHadPrevious = false;
  bool m_bReady = false;
  pid_t m_iDaemon = -1;
  pid_t m_iPlayer = -1;
};
