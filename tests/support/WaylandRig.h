#pragma once
// A private headless Wayland desktop for one test: scripts/wayland-rig.sh
// brings it up in a directory of the test's own (its bus, PipeWire and Pulse
// server, compositor, screen-cast portal), the test reads its environment,
// and the destructor takes it down. OSTREL_WAYLAND_RIG_SCRIPT and
// OSTREL_WAYLAND_RIG_XDPW (set by the test target) name the script and the
// patched portal back-end it needs. Test main thread only.
//
//   TEST(Wayland, Something) {
//     OSTREL_SKIP_WITHOUT_WAYLAND_RIG();
//     TempDir dir;
//     WaylandRig rig(dir.path());
//     ASSERT_TRUE(rig.ok()) << rig.error();
//     ... rig.env() for the child processes, rig.Run("swaymsg ...") ...
//   }
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/PulseServer.h"

class WaylandRig {
 public:
  struct Options {
    // "none": the portal grants HEADLESS-1 without asking; "fail": its chooser
    // always fails, so only a restore token starts a cast.
    std::string chooser = "none";
    // Keep the permission store (the restore tokens) of an earlier rig that
    // ran in the same directory.
    bool keepTokens = false;
  };

  // Why no rig can run on this machine, or empty when one can.
  static std::string Unavailable() {
    if (geteuid() != 0) {
      return "the Wayland rig runs its compositor as an unprivileged user and needs root";
    }
    if (access(OSTREL_WAYLAND_RIG_XDPW, X_OK) != 0) {
      std::string why = "the Wayland rig is not built: " + std::string(OSTREL_WAYLAND_RIG_XDPW) +
                        " is missing (scripts/test.sh builds it: scripts/wayland-rig.sh build DIR)";
      const std::string note = ReadFile(Parent(OSTREL_WAYLAND_RIG_XDPW) + "/unavailable");
      if (!note.empty()) why += "; the last build said: " + note;
      return why;
    }
    return std::string();
  }

  explicit WaylandRig(const std::string& dir) : WaylandRig(dir, Options()) {}
  WaylandRig(const std::string& dir, const Options& options) : m_strDir(dir + "/rig") {
    // The compositor's user must reach the rig's directory below |dir|.
    chmod(dir.c_str(), 0711);
    const std::string command = "RIG_CHOOSER=" + options.chooser +
                                " RIG_KEEP_TOKENS=" + (options.keepTokens ? "1" : "0") + " " +
                                Quoted(OSTREL_WAYLAND_RIG_SCRIPT) + " up " + Quoted(m_strDir) + " " +
                                Quoted(OSTREL_WAYLAND_RIG_XDPW) + " 2>" + Quoted(dir + "/rig-up.log");
    const int rc = std::system(command.c_str());
    m_strUpLog = ReadFile(dir + "/rig-up.log");
    if (rc != 0) {
      m_strError = "wayland-rig.sh up failed:\n" + m_strUpLog;
      return;
    }
    std::istringstream lines(ReadFile(m_strDir + "/env"));
    for (std::string line; std::getline(lines, line);) {
      if (line.find('=') != std::string::npos) m_vecEnv.push_back(line);
    }
    if (Get("WAYLAND_DISPLAY").empty()) m_strError = "the rig wrote no environment";
    m_bUp = true;
  }
  ~WaylandRig() { Down(); }
  WaylandRig(const WaylandRig&) = delete;
  WaylandRig& operator=(const WaylandRig&) = delete;

  bool ok() const { return m_bUp && m_strError.empty(); }
  const std::string& error() const { return m_strError; }
  // What 'up' printed: each step and the time it took to come up.
  const std::string& upLog() const { return m_strUpLog; }
  const std::string& dir() const { return m_strDir; }
  // KEY=VALUE for the processes that use the desktop.
  const std::vector<std::string>& env() const { return m_vecEnv; }
  std::string Get(const std::string& key) const {
    for (const std::string& kv : m_vecEnv) {
      if (kv.compare(0, key.size() + 1, key + "=") == 0) return kv.substr(key.size() + 1);
    }
    return std::string();
  }
  // Runs a shell command in the rig's environment (swaymsg, pactl, pacat ...);
  // its exit code, its standard output in |*out| when given.
  int Run(const std::string& shellCommand, std::string* out = nullptr) const {
    std::string command;
    for (const std::string& kv : m_vecEnv) command += Quoted(kv) + " ";
    command = "env " + command + "sh -c " + Quoted(shellCommand);
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
    const int status = pclose(pipe);
    if (out != nullptr) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Plays a tone (s16le stereo, 48 kHz) into the default sink in the
  // background; the player ends with the tone or with the rig's sound server.
  bool PlayTone(double hz, double seconds) const {
    const std::vector<int16_t> pcm = PulseServer::Tone(hz, seconds, 48000);
    const std::string file = m_strDir + "/tone.raw";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
    return Run("pacat --raw --format=s16le --rate=48000 --channels=2 " + Quoted(file) + " >/dev/null 2>&1 &") == 0;
  }
  // Stops every process of the rig. Idempotent.
  void Down() {
    if (!m_bUp) return;
    m_bUp = false;
    const std::string command = Quoted(OSTREL_WAYLAND_RIG_SCRIPT) + " down " + Quoted(m_strDir) + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "wayland-rig.sh down failed in %s\n", m_strDir.c_str());
  }

 private:
  static std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

  std::string m_strDir;
  std::string m_strError;
  std::string m_strUpLog;
  std::vector<std::string> m_vecEnv;
  bool m_bUp = false;
};

// Skips the test, saying why, where no rig can run.
#define OSTREL_SKIP_WITHOUT_WAYLAND_RIG()                     \
  do {                                                        \
    const std::string why_ = WaylandRig::Unavailable();       \
    if (!why_.empty()) GTEST_SKIP() << why_;                  \
  } while (0)
