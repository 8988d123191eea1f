#pragma once
// A private X server for one test process: starts Xvfb on a display number
// the server picks itself (-displayfd), optionally with openbox as window
// manager, and ends both when destroyed. Header-only and free of X libraries,
// so any test (unit or end-to-end) can use it; it needs the Xvfb binary and,
// for the window manager, openbox, xprop and xmessage (x11-utils).
//
//   XvfbServer x;                       // 1280x800x24, no window manager
//   ASSERT_TRUE(x.ok()) << x.error();
//   x.exportDisplay();                  // DISPLAY=:N for this process
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/SpawnedProcess.h"

class XvfbServer {
 public:
  struct Options {
    int width = 1280;
    int height = 800;
    int depth = 24;
    bool windowManager = false;          // run openbox and wait until it manages the screen
    bool trayHost = false;               // run trayer (a notification area); needs windowManager
    std::vector<std::string> extraArgs;  // e.g. {"-extension", "MIT-SHM"} to switch one off
    int startTimeoutMs = 15000;
  };

  XvfbServer() : XvfbServer(Options()) {}
  explicit XvfbServer(const Options& options) : m_options(options) {
    if (!StartServer()) return;
    if (m_options.windowManager && !StartWindowManager()) return;
    if (m_options.trayHost && !StartTrayHost()) return;
    m_bOk = true;
  }
  ~XvfbServer() { stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool ok() const { return m_bOk; }
  const std::string& error() const { return m_strError; }
  // ":N", empty when the server did not start.
  const std::string& display() const { return m_strDisplay; }
  // Points this process's DISPLAY at the server.
  void exportDisplay() const { setenv("DISPLAY", m_strDisplay.c_str(), 1); }

  // Ends the window manager and the server now (tests of a vanishing display).
  void stop() {
    Terminate(&m_trayPid);
    Terminate(&m_wmPid);
    Terminate(&m_serverPid);
    m_bOk = false;
  }

  // Runs |argv| with DISPLAY set to this server and waits for it; its exit
  // status, or -1 when it could not run. Output goes to |out| when given.
  int run(const std::vector<std::string>& argv, std::string* out = nullptr) const {
    int pipeFds[2] = {-1, -1};
    if (out != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out != nullptr) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = Spawn(argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    if (out != nullptr) {
      close(pipeFds[1]);
      out->clear();
      char buf[4096];
      ssize_t n;
      while ((n = read(pipeFds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) out->append(buf, static_cast<size_t>(n));
      }
      close(pipeFds[0]);
    }
    if (pid <= 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  // Spawns with this process's environment plus DISPLAY (when known).
  pid_t Spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t* actions) const {
    std::vector<std::string> add;
    if (!m_strDisplay.empty()) add.push_back("DISPLAY=" + m_strDisplay);
    return SpawnWithActions(argv, ChildEnvironment({"DISPLAY="}, add), actions);
  }

  bool StartServer() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return Fail("pipe failed");
    // The server writes its display number to this descriptor once it accepts connections.
    const int childFd = 3;
    std::vector<std::string> argv = {"Xvfb",    "-displayfd", std::to_string(childFd),
                                     "-screen", "0",          Geometry(),
                                     "-nolisten", "tcp",      "-noreset"};
    argv.insert(argv.end(), m_options.extraArgs.begin(), m_options.extraArgs.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], childFd);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    m_serverPid = Spawn(argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (m_serverPid <= 0) {
      close(fds[0]);
      return Fail("Xvfb cannot be started");
    }
    std::string number;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.startTimeoutMs);
    while (number.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd pfd{fds[0], POLLIN, 0};
      int n = poll(&pfd, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      char buf[32];
      ssize_t got = read(fds[0], buf, sizeof buf);
      if (got <= 0) break;  // the server exited before it was ready
      number.append(buf, static_cast<size_t>(got));
    }
    close(fds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
      Terminate(&m_serverPid);
      return Fail("Xvfb did not report a display number");
    }
    m_strDisplay = ":" + number.substr(0, number.find('\n'));
    return true;
  }

  bool StartWindowManager() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    m_wmPid = Spawn({"openbox", "--sm-disable"}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    if (m_wmPid <= 0) return Fail("openbox cannot be started");
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.startTimeoutMs);
    // First the window manager announces itself on the root window...
    while (!RootHas("_NET_SUPPORTING_WM_CHECK", "window id")) {
      if (std::chrono::steady_clock::now() >= deadline) return Fail("openbox did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // ...but a window mapped during the rest of its start-up can be lost
    // (never managed, never shown). Ready means: a probe window gets managed.
    while (std::chrono::steady_clock::now() < deadline) {
      pid_t probe = SpawnQuiet({"xmessage", "-timeout", "30", "ostrel-probe"});
      if (probe <= 0) return Fail("xmessage cannot be started");
      const auto probeDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
      bool managed = false;
      while (!managed && std::chrono::steady_clock::now() < probeDeadline) {
        managed = RootHas("_NET_CLIENT_LIST", "0x");
        if (!managed) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      Terminate(&probe);
      if (!managed) continue;
      // Tests start with an empty client list.
      while (RootHas("_NET_CLIENT_LIST", "0x")) {
        if (std::chrono::steady_clock::now() >= deadline) return Fail("the probe window stayed");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return true;
    }
    return Fail("openbox did not manage a window in time");
  }

  // A notification area exists once a window owns the screen's tray selection.
  bool StartTrayHost() {
    m_trayPid = SpawnQuiet({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                            "--width", "64", "--height", "24"});
    if (m_trayPid <= 0) return Fail("trayer cannot be started");
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.startTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string out;
      if (run({"xdotool", "search", "--class", "trayer"}, &out) == 0 && !out.empty()) {
        // trayer maps its window after it has claimed the selection.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Fail("trayer did not start");
  }

  // True when the root window's |property| as printed by xprop contains |text|.
  bool RootHas(const char* property, const char* text) const {
    std::string out;
    return run({"xprop", "-root", property}, &out) == 0 && out.find(text) != std::string::npos;
  }

  pid_t SpawnQuiet(const std::vector<std::string>& argv) const {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = Spawn(argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  std::string Geometry() const {
    return std::to_string(m_options.width) + "x" + std::to_string(m_options.height) + "x" +
           std::to_string(m_options.depth);
  }

  // Xvfb and its clients get about 2 s to end before they are killed.
  static void Terminate(pid_t* pid) {
    if (*pid <= 0) return;
    StopProcess(*pid, std::chrono::seconds(2));
    *pid = 0;
  }

  bool Fail(const std::string& why) {
    m_strError = why;
    return false;
  }

  Options m_options;
  bool m_bOk = false;
  std::string m_strError;
  std::string m_strDisplay;
  pid_t m_serverPid = 0;
  pid_t m_wmPid = 0;
  pid_t m_trayPid = 0;
};
