#pragma once
// A private session bus for one test: dbus-daemon with its own configuration
// and socket in a temporary directory (mode 0700), stopped and removed with
// the object. Also starts services on that bus (they find it through
// DBUS_SESSION_BUS_ADDRESS) and waits for the first line they print.
// Use from the test's main thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/SpawnedProcess.h"

class DbusSession {
 public:
  DbusSession() {
    if (!OnPath("dbus-daemon")) {
      m_strSkip = "dbus-daemon is not installed (Debian package dbus-daemon)";
      return;
    }
    char tmpl[] = "/tmp/ostrel-dbus-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      m_strError = "mkdtemp failed";
      return;
    }
    m_strDir = tmpl;
    chmod(m_strDir.c_str(), 0700);
    std::ofstream(m_strDir + "/session.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <type>session</type>\n"
           "  <listen>unix:path=" << m_strDir << "/bus</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
           "  </policy>\n</busconfig>\n";
    std::string address;
    m_iDaemon = StartReadingLine({"dbus-daemon", "--config-file=" + m_strDir + "/session.conf", "--nofork",
                                  "--print-address"},
                                 "dbus-daemon.log", &address);
    if (m_iDaemon <= 0 || address.empty()) {
      m_strError = "dbus-daemon did not come up: " + log("dbus-daemon.log");
      return;
    }
    m_strAddress = address;
  }
  ~DbusSession() {
    for (auto it = m_services.rbegin(); it != m_services.rend(); ++it) Stop(*it);
    Stop(m_iDaemon);
    if (!m_strDir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(m_strDir, ec);
    }
  }
  DbusSession(const DbusSession&) = delete;
  DbusSession& operator=(const DbusSession&) = delete;

  // Non-empty when the test should be skipped (and why).
  const std::string& skipReason() const { return m_strSkip; }
  bool ready() const { return !m_strAddress.empty(); }
  const std::string& error() const { return m_strError; }
  const std::string& address() const { return m_strAddress; }
  const std::string& dir() const { return m_strDir; }

  // Starts |argv| on this bus and waits until it prints |readyLine|; its
  // standard error goes to <dir>/<logName>. Returns its pid, or -1.
  pid_t startService(const std::vector<std::string>& argv, const std::string& logName,
                     const std::string& readyLine = "ready") {
    std::string line;
    const pid_t pid = StartReadingLine(argv, logName, &line);
    if (pid > 0) m_services.push_back(pid);
    if (pid <= 0 || line != readyLine) return -1;
    return pid;
  }
  // Ends a service started here; idempotent.
  void stopService(pid_t pid) {
    for (pid_t& p : m_services) {
      if (p == pid) Stop(p);
    }
  }

  std::string log(const std::string& name) const {
    std::ifstream in(m_strDir + "/" + name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  static bool OnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
      if (access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
  }

  static void Stop(pid_t& pid) {
    StopProcess(pid);
    pid = -1;
  }

  // Starts |argv| with this bus's address in its environment and reads the
  // first line of its standard output (within 10 s).
  pid_t StartReadingLine(const std::vector<std::string>& argv, const std::string& logName,
                         std::string* line) {
    std::vector<std::string> add;
    if (!m_strAddress.empty()) add.push_back("DBUS_SESSION_BUS_ADDRESS=" + m_strAddress);
    const std::vector<std::string> env = ChildEnvironment({"DBUS_SESSION_BUS_ADDRESS="}, add);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    const pid_t pid = SpawnToFd(argv, env, out[1], m_strDir + "/" + logName);
    close(out[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char c = 0;
    while (pid > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{out[0], POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      if (read(out[0], &c, 1) != 1 || c == '\n') break;
      line->push_back(c);
    }
    close(out[0]);
    return pid;
  }

  std::string m_strDir;
  std::string m_strAddress;
  std::string m_strError;
  std::string m_strSkip;
  pid_t m_iDaemon = -1;
  std::vector<pid_t> m_services;
};
