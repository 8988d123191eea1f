#include "platform/HX_InstanceLock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/HX_Paths.h"
#include "platform/HX_Process.h"
#include "support/TempDir.h"

namespace {
// What acquire() returns in a separate process (flock is per open file, so
// only another process shows the real contention).
int AcquireInChild(const std::string& dir) {
  pid_t pid = fork();
  if (pid == 0) {
    HX_InstanceLock lock;
    _exit(-lock.acquire(dir));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? -WEXITSTATUS(status) : 99;
}
}  // namespace

TEST(HX_InstanceLock, OneHolderPerBaseDirectoryAcrossProcessesUntilItEnds) {
  TempDir a, b;
  HX_InstanceLock lock;
  ASSERT_EQ(lock.acquire(a.path()), HX_InstanceLock::kAcquired);
  EXPECT_EQ(AcquireInChild(a.path() + "/"), HX_InstanceLock::kHeldElsewhere);
  EXPECT_EQ(AcquireInChild(b.path()), HX_InstanceLock::kAcquired);  // another --home is independent
  lock.release();
  EXPECT_EQ(AcquireInChild(a.path()), HX_InstanceLock::kAcquired);
  // A holder killed outright leaves no lock behind. It says when it holds the
  // lock: probing meanwhile would make it lose the race to a probe.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    close(ready[0]);
    HX_InstanceLock l;
    const char result = static_cast<char>(-l.acquire(a.path()));
    if (write(ready[1], &result, 1) != 1 || result != 0) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char result = 99;
  ASSERT_EQ(read(ready[0], &result, 1), 1);
  close(ready[0]);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(AcquireInChild(a.path()), HX_InstanceLock::kHeldElsewhere);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(AcquireInChild(a.path()), HX_InstanceLock::kAcquired);
}

TEST(HX_InstanceLock, NameFollowsTheDirectoryNotItsSpellingAndBadPlacesAreReported) {
  TempDir dir, runtime;
  ASSERT_EQ(symlink(dir.path().c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(HX_MakeDirectories(dir.path() + "/sub"), 0);
  const std::string name = HX_InstanceLock::InstanceName(dir.path());
  EXPECT_EQ(HX_InstanceLock::InstanceName(dir.path() + "/sub/.."), name);
  EXPECT_EQ(HX_InstanceLock::InstanceName(dir.file("link") + "/sub/.."), name);
  EXPECT_NE(HX_InstanceLock::InstanceName(dir.path() + "/sub"), name);
  // A runtime directory that cannot be written is skipped for /tmp.
  setenv("XDG_RUNTIME_DIR", runtime.file("missing").c_str(), 1);
  EXPECT_EQ(HX_InstanceLock::LockDirectory(), "/tmp");
  // A lock path that cannot be a file is no lock.
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  ASSERT_EQ(HX_MakeDirectories(runtime.file(name + ".lock")), 0);
  HX_InstanceLock lock;
  EXPECT_EQ(lock.acquire(dir.path()), HX_InstanceLock::kCannotCreate);
  EXPECT_FALSE(lock.held());
  unsetenv("XDG_RUNTIME_DIR");
}

TEST(HX_Process, FindsAndTerminatesByNameOnly) {
  // A copy of sleep under a name of its own, so nothing else is signalled.
  TempDir dir;
  const std::string name = "osp" + std::to_string(getpid());
  ASSERT_EQ(std::system(("cp /bin/sleep '" + dir.file(name) + "'").c_str()), 0);
  pid_t sleeper = fork();
  if (sleeper == 0) {
    execl(dir.file(name).c_str(), name.c_str(), "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::vector<pid_t> found;
  for (int i = 0; i < 200 && found.empty(); ++i) {
    found = HX_FindProcesses(name);
    if (found.empty()) usleep(10000);
  }
  EXPECT_EQ(found, std::vector<pid_t>{sleeper});
  EXPECT_TRUE(HX_FindProcesses(name.substr(0, name.size() - 1)).empty());  // no prefix match
  EXPECT_EQ(HX_TerminateProcesses(name), 1);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, sleeper, &info, WEXITED | WNOWAIT), 0);  // ended, left a zombie
  EXPECT_EQ(info.si_status, SIGTERM);
  EXPECT_TRUE(HX_FindProcesses(name).empty());  // a zombie is not running
  ASSERT_EQ(waitpid(sleeper, nullptr, 0), sleeper);
}
