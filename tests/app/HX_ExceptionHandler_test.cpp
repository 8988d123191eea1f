#include "app/HX_ExceptionHandler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/HX_Paths.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {
__attribute__((noinline)) void CrashHere() {
  raise(SIGSEGV);
}
}  // namespace

TEST(HX_ExceptionHandler, ACrashLeavesAReportWithSignalStackAndMetadata) {
  TempDir dir;
  const std::string base = dir.path() + "/missing/parent";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    HX_SetBaseDirectory(base);
    if (HX_ExceptionHandler::instance()->start() != 0) _exit(3);
    CrashHere();
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);

  std::string report;
  for (const auto& e : std::filesystem::directory_iterator(base + "/dump")) {
    std::ifstream in(e.path());
    std::stringstream ss;
    ss << in.rdbuf();
    report = ss.str();
  }
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report.rfind("prod=Lodestar\nver=4.0.0\n", 0), 0u) << report;
  EXPECT_NE(report.find("SIGSEGV"), std::string::npos) << report;
  EXPECT_NE(report.find("TestBody"), std::string::npos) << report;
}

TEST(HX_ExceptionHandler, AnUncreatableDumpDirectoryIsReported) {
  TempDir dir;
  dir.write("file", "x");
  HX_SetBaseDirectory(dir.file("file"));
  LogCapture log;
  EXPECT_EQ(HX_ExceptionHandler::instance()->start(), -1);
  EXPECT_TRUE(log.contains("g_pstHandler is NULL"));
}

// SIGTERM asks for a stop: the handler installed before the crash handler
// keeps it, with the default as well as with a stop handler of its own.
TEST(HX_ExceptionHandler, SigtermStaysAStopRequestAndLeavesNoReport) {
  for (bool ownHandler : {true, false}) {
    TempDir dir;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      static volatile sig_atomic_t stopped = 0;
      if (ownHandler) signal(SIGTERM, [](int) { stopped = 1; });
      HX_SetBaseDirectory(dir.path());
      if (HX_ExceptionHandler::instance()->start() != 0) _exit(3);
      raise(SIGTERM);
      _exit(stopped ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (ownHandler) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    }
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir.path() + "/dump", ec)) {
      ADD_FAILURE() << "crash report " << e.path() << (ownHandler ? " with" : " without") << " a stop handler";
    }
  }
}
