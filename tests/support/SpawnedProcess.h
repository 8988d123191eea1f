#pragma once
// Starting and stopping the helper processes of test fixtures (daemons,
// clients, producers) one way: an environment derived from this process's,
// argv searched on PATH, standard input from /dev/null, output to files or a
// pipe, and a stop that asks first and kills only when asked in vain.
// Free functions; call them from the test's main thread.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// This process's environment without the entries that start with one of
// |drop| ("HOME=" drops one name, "PIPEWIRE_" a family) and without the names
// |add| sets, then |add| ("NAME=value") in that order: what |add| sets always
// wins over what this process inherited.
inline std::vector<std::string> ChildEnvironment(std::vector<std::string> drop,
                                                 const std::vector<std::string>& add) {
  for (const std::string& entry : add) drop.push_back(entry.substr(0, entry.find('=') + 1));
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry = *e;
    bool dropped = false;
    for (const std::string& prefix : drop) {
      if (!prefix.empty() && entry.compare(0, prefix.size(), prefix) == 0) {
        dropped = true;
        break;
      }
    }
    if (!dropped) env.push_back(entry);
  }
  env.insert(env.end(), add.begin(), add.end());
  return env;
}

// Starts |argv| (argv[0] searched on PATH) with exactly |env| and the
// descriptors |actions| sets up. Returns its pid, or -1.
inline pid_t SpawnWithActions(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                              const posix_spawn_file_actions_t* actions) {
  if (argv.empty()) return -1;
  std::vector<std::string> args = argv, envs = env;
  std::vector<char*> argp, envp;
  for (std::string& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);
  for (std::string& s : envs) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argp[0], actions, nullptr, argp.data(), envp.data()) != 0) return -1;
  return pid;
}

// Starts |argv| with standard input from /dev/null, standard output appended
// to |outPath| and standard error appended to |errPath| — or sharing standard
// output's file when |errPath| is empty. Returns its pid, or -1.
inline pid_t SpawnLogged(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& outPath, const std::string& errPath = std::string()) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (errPath.empty()) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  const pid_t pid = SpawnWithActions(argv, env, &actions);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Like SpawnLogged, but standard output goes to |outFd| (a pipe's write end
// the caller closes after this returns).
inline pid_t SpawnToFd(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd,
                       const std::string& errPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const pid_t pid = SpawnWithActions(argv, env, &actions);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Sends SIGTERM, gives the process |limit| to end, then SIGKILLs it; reaps it
// either way. Does nothing for pid <= 0.
inline void StopProcess(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (waitpid(pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
