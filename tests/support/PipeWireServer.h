#pragma once
// A private PipeWire daemon for one test process, with the session manager
// that links streams to nodes, and video producers on demand. Everything runs
// in its own runtime directory (mode 0700) from a temporary folder:
//   DbusSession  — a private session bus: WirePlumber exits without one;
//   pipewire     — the daemon;
//   wireplumber  — without it no link is ever made, so a consumer stream
//                  that names a node never receives a buffer;
//   gst-launch-1.0 videotestsrc ! pipewiresink — the producers. A producer's
//                  node must say media.class "Video/Source": WirePlumber does
//                  not link a consumer to a plain output stream.
// PIPEWIRE_RUNTIME_DIR points at the daemon while the object lives, so a
// stream connecting to the default daemon finds this one. Use from the test's
// main thread. available() is false (with a reason) when a program is missing.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/DbusSession.h"
#include "support/SpawnedProcess.h"

class PipeWireServer {
 public:
  // What a test producer sends: a solid colour (0xRRGGBB) of |width| x
  // |height|, optionally with a box of another colour, at |fps| (a fraction
  // string: "30/1", or "1/30" for one picture every 30 s).
  struct Producer {
    std::string format = "BGRx";
    int width = 64;
    int height = 48;
    std::string fps = "30/1";
    uint32_t colour = 0x3366cc;
    bool box = false;
    int boxX = 0, boxY = 0, boxWidth = 0, boxHeight = 0;
    uint32_t boxColour = 0;
  };

  PipeWireServer() {
    for (const char* tool : {"dbus-daemon", "pipewire", "wireplumber", "pw-cli", "gst-launch-1.0"}) {
      if (!OnPath(tool)) {
        m_strError = std::string(tool) + " is not installed";
        return;
      }
    }
    char tmpl[] = "/tmp/ostrel-pipewire-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      m_strError = "mkdtemp failed";
      return;
    }
    m_strDir = tmpl;
    chmod(m_strDir.c_str(), 0700);
    const char* previous = std::getenv("PIPEWIRE_RUNTIME_DIR");
    m_bHadPrevious = previous != nullptr;
    if (previous != nullptr) m_strPrevious = previous;
    setenv("PIPEWIRE_RUNTIME_DIR", m_strDir.c_str(), 1);

    m_bus.emplace();
    if (!m_bus->ready()) {
      m_strError = m_bus->error();  // "dbus-daemon did not come up: " and its log
      return;
    }
    m_vDaemons.push_back(Spawn({"pipewire"}, "pipewire"));
    if (!WaitUntil([&] { return std::filesystem::exists(m_strDir + "/pipewire-0"); })) {
      m_strError = "pipewire did not come up: " + log("pipewire");
      return;
    }
    m_vDaemons.push_back(Spawn({"wireplumber"}, "wireplumber"));
    // WirePlumber's default metadata appears once its policy runs.
    auto managed = [&] { return Run({"pw-cli", "ls", "Metadata"}).find("\"default\"") != std::string::npos; };
    if (!WaitUntil(managed)) {
      m_strError = "wireplumber did not come up: " + log("wireplumber");
      return;
    }
    m_bReady = true;
  }

  ~PipeWireServer() {
    for (auto& [name, pid] : m_mProducers) StopProcess(pid);
    for (auto it = m_vDaemons.rbegin(); it != m_vDaemons.rend(); ++it) StopProcess(*it);
    if (m_strDir.empty()) return;
    if (m_bHadPrevious) {
      setenv("PIPEWIRE_RUNTIME_DIR", m_strPrevious.c_str(), 1);
    } else {
      unsetenv("PIPEWIRE_RUNTIME_DIR");
    }
    std::error_code ec;
    std::filesystem::remove_all(m_strDir, ec);
  }
  PipeWireServer(const PipeWireServer&) = delete;
  PipeWireServer& operator=(const PipeWireServer&) = delete;

  bool ready() const { return m_bReady; }
  const std::string& error() const { return m_strError; }

  // Starts a producer whose node is called |name| and returns its node id
  // once the daemon lists it, or 0 (see error()).
  uint32_t StartProducer(const std::string& name, const Producer& p) {
    const std::string caps = "video/x-raw,format=" + p.format + ",width=" + std::to_string(p.width) +
                             ",height=" + std::to_string(p.height) + ",framerate=" + p.fps;
    std::vector<std::string> args = {"gst-launch-1.0", "-q"};
    auto add = [&](std::initializer_list<std::string> more) { args.insert(args.end(), more); };
    // videotestsrc writes the layout itself: a videoconvert in front of
    // pipewiresink makes gst-launch crash on the sink's buffers.
    auto source = [&](uint32_t rgb, const std::string& sourceCaps) {
      add({"videotestsrc", "is-live=true", "pattern=solid-color",
           "foreground-color=" + std::to_string(0xff000000u | rgb), "!", sourceCaps});
    };
    if (p.box) {
      add({"compositor", "name=mix", "sink_1::xpos=" + std::to_string(p.boxX),
           "sink_1::ypos=" + std::to_string(p.boxY), "!", caps, "!"});
      AddSink(&args, name);
      source(p.colour, "video/x-raw,width=" + std::to_string(p.width) + ",height=" +
                           std::to_string(p.height) + ",framerate=" + p.fps);
      add({"!", "mix.sink_0"});
      source(p.boxColour, "video/x-raw,width=" + std::to_string(p.boxWidth) + ",height=" +
                              std::to_string(p.boxHeight) + ",framerate=" + p.fps);
      add({"!", "mix.sink_1"});
    } else {
      source(p.colour, caps);
      add({"!"});
      AddSink(&args, name);
    }
    const pid_t pid = Spawn(args, "producer-" + name);
    if (pid <= 0) {
      m_strError = "cannot start gst-launch-1.0";
      return 0;
    }
    m_mProducers[name] = pid;
    uint32_t id = 0;
    if (!WaitUntil([&] { return (id = NodeId(name)) != 0; })) {
      m_strError = "the producer " + name + " did not appear: " + log("producer-" + name);
      return 0;
    }
    return id;
  }

  // Ends a producer now, as a crashing compositor would (its node goes away).
  void KillProducer(const std::string& name) {
    auto it = m_mProducers.find(name);
    if (it == m_mProducers.end()) return;
    kill(it->second, SIGKILL);
    waitpid(it->second, nullptr, 0);
    m_mProducers.erase(it);
  }

  // The id of the node called |name|, or 0.
  uint32_t NodeId(const std::string& name) const {
    // "pw-cli ls Node" prints "\tid N, type ..." and then the node's properties.
    std::istringstream lines(Run({"pw-cli", "ls", "Node"}));
    std::string line;
    uint32_t current = 0;
    while (std::getline(lines, line)) {
      const size_t at = line.find("id ");
      if (at != std::string::npos && line.find(", type ") != std::string::npos) {
        current = static_cast<uint32_t>(std::strtoul(line.c_str() + at + 3, nullptr, 10));
      } else if (line.find("node.name = \"" + name + "\"") != std::string::npos) {
        return current;
      }
    }
    return 0;
  }

  std::string log(const std::string& name) const {
    std::ifstream in(m_strDir + "/" + name + ".log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  static void AddSink(std::vector<std::string>* args, const std::string& name) {
    args->insert(args->end(), {"pipewiresink",
                               "stream-properties=props,node.name=" + name + ",media.class=Video/Source"});
  }

  static bool OnPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
      if (access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
    }
    return false;
  }

  template <class Ready>
  static bool WaitUntil(Ready ready, std::chrono::seconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (ready()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Runs |argv| to its end and returns what it printed.
  std::string Run(const std::vector<std::string>& argv) const {
    const std::string out = m_strDir + "/run.out";
    std::filesystem::remove(out);
    const pid_t pid = Spawn(argv, "run", out);
    if (pid > 0) waitpid(pid, nullptr, 0);
    std::ifstream in(out);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Starts |argv| in the private runtime directory, on the private bus; its
  // output goes to <dir>/<name>.log (standard output to |output| when given).
  pid_t Spawn(const std::vector<std::string>& argv, const std::string& name,
              const std::string& output = std::string()) const {
    const std::string bus = m_bus ? m_bus->address() : std::string();
    const std::vector<std::string> env = ChildEnvironment(
        {"XDG_RUNTIME_DIR=", "HOME=", "DBUS_SESSION_BUS_ADDRESS=", "PIPEWIRE_", "XDG_CONFIG_HOME=",
         "XDG_STATE_HOME="},
        {"XDG_RUNTIME_DIR=" + m_strDir, "HOME=" + m_strDir, "DBUS_SESSION_BUS_ADDRESS=" + bus});
    const std::string logFile = m_strDir + "/" + name + ".log";
    return SpawnLogged(argv, env, output.empty() ? logFile : output, logFile);
  }

  std::string m_strDir;
  // Stopped after the daemons on it: it is destroyed after the destructor's body.
  std::optional<DbusSession> m_bus;
  std::string m_strError;
  std::string m_strPrevious;
  bool m_bHadPrevious = false;
  bool m_bReady = false;
  std::vector<pid_t> m_vDaemons;
  std::map<std::string, pid_t> m_mProducers;
};
