#pragma once
// A child process for end-to-end tests: argv, extra environment, stdout and
// stderr captured to files, wait with a time limit, signals. Killed when the
// object goes. Test main thread only.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/SpawnedProcess.h"

class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
        const std::string& outPath, const std::string& errPath)
      : m_out(outPath), m_err(errPath) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // |env| replaces this process's entries of the same names.
    m_pid = SpawnWithActions(argv, ChildEnvironment({}, env), &fa);
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Child() {
    if (m_pid > 0 && !m_bDone) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return m_pid > 0; }
  pid_t pid() const { return m_pid; }
  void signal(int sig) const {
    if (m_pid > 0 && !m_bDone) kill(m_pid, sig);
  }
  // The exit code, or -1000 - signal when killed by one, or -1 on timeout.
  int wait(std::chrono::milliseconds limit) {
    if (m_bDone) return m_iCode;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t r = waitpid(m_pid, &status, WNOHANG);
      if (r == m_pid) {
        m_bDone = true;
        m_iCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
        return m_iCode;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  std::string out() const { return Read(m_out); }
  std::string err() const { return Read(m_err); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  pid_t m_pid = -1;
  bool m_bDone = false;
  int m_iCode = -1;
  std::string m_out, m_err;
};
