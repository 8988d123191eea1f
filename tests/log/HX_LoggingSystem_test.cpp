#include "log/HX_LoggingSystem.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "config/HX_ServerConfiguration.h"
#include "platform/HX_Paths.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

TEST(HX_LoggingSystem, LevelTable) {
  struct Row { const char* name; int level; int verbose; } rows[] = {
      {"warning", 1, 0}, {"error", 2, 0}, {"fatal", 3, 0}, {"debug", 0, 1},
      {"info", 0, 0},    {"Warning", 0, 0}, {"ERROR", 0, 0}, {"0xcafedead", 0, 0}, {"", 0, 0}};
  for (const Row& r : rows) {
    int level = -1, verbose = -1;
    HX_LoggingSystem::MapLevel(r.name, &level, &verbose);
    EXPECT_EQ(level, r.level) << r.name;
    EXPECT_EQ(verbose, r.verbose) << r.name;
  }
}

// One process-wide logging system: init, the monitor and a second init in one test.
TEST(HX_LoggingSystem, InitStartsAtWarningAndTheMonitorAppliesTheFile) {
  TempDir dir;
  HX_SetBaseDirectory(dir.path());
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  dir.write("config.ini", "[config]\nmin_log_level=debug\nenable_console_log=false\n");
  HX_LoggingSystem* ls = HX_LoggingSystem::instance();
  ls->setConfiguration(cfg);
  ls->init();
  // Nothing has read the logging keys yet: WARNING, no console echo.
  EXPECT_EQ(FLAGS_minloglevel, 1);
  EXPECT_EQ(FLAGS_stderrthreshold, 4);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/log"));

  testing::internal::CaptureStderr();
  ls->init();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "HX_LoggingSystem can only be initialized once!");

  LogCapture log;
  ls->setMonitorPeriodMs(200);
  ls->startDaemon();
  auto waitFor = [&](auto pred) {
    for (int i = 0; i < 50 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return pred();
  };
  EXPECT_TRUE(waitFor([] { return FLAGS_v == 1; }));
  EXPECT_EQ(FLAGS_minloglevel, 0);
  EXPECT_TRUE(log.contains("change config ===> min_log_level: debug "));

  dir.write("config.ini", "[config]\nmin_log_level=error\nenable_console_log=true\n");
  EXPECT_TRUE(waitFor([] { return FLAGS_minloglevel == 2; }));
  // The change line is written before the new level takes effect.
  EXPECT_TRUE(log.contains("change config ===> min_log_level: error "));
  EXPECT_TRUE(waitFor([] { return FLAGS_stderrthreshold == 0; }));
  EXPECT_TRUE(FLAGS_alsologtostderr);

  // Removing the key leaves the absent-key marker, which maps to INFO.
  dir.write("config.ini", "[config]\nenable_console_log=false\n");
  EXPECT_TRUE(waitFor([] { return FLAGS_minloglevel == 0 && FLAGS_stderrthreshold == 4; }));
  EXPECT_EQ(cfg->m_strMinLogLevel, "0xcafedead");
  EXPECT_FALSE(FLAGS_alsologtostderr);
  ls->stopDaemon();
  google::FlushLogFiles(google::GLOG_INFO);
  bool anyLogFile = false;
  for (auto& e : std::filesystem::directory_iterator(dir.path() + "/log")) anyLogFile |= e.is_regular_file();
  EXPECT_TRUE(anyLogFile);
}

TEST(HX_LoggingSystemCap, TheOldestFilesGoUntilTheDirectoryFitsButNeverTheOnesBeingWritten) {
  namespace fs = std::filesystem;
  TempDir dir;
  const auto now = fs::file_time_type::clock::now();
  // Ages in minutes; the oldest is the file glog is writing now.
  struct F { const char* name; size_t bytes; int age; } files[] = {
      {"ostrel.log.INFO.current", 400, 50}, {"ostrel.log.INFO.1", 300, 40}, {"ostrel.log.WARNING.1", 300, 30},
      {"ostrel.log.INFO.2", 300, 20}, {"ostrel.log.INFO.3", 300, 10}};
  for (const F& f : files) {
    dir.write(f.name, std::string(f.bytes, 'l'));
    fs::last_write_time(dir.file(f.name), now - std::chrono::minutes(f.age));
  }
  fs::create_symlink("ostrel.log.INFO.current", dir.file("ostrel.INFO"));

  LogCapture log;
  EXPECT_EQ(HX_LoggingSystem::TrimLogDirectory(dir.path(), 1100), 2);
  EXPECT_TRUE(fs::exists(dir.file("ostrel.log.INFO.current")));
  EXPECT_FALSE(fs::exists(dir.file("ostrel.log.INFO.1")));
  EXPECT_FALSE(fs::exists(dir.file("ostrel.log.WARNING.1")));
  EXPECT_TRUE(fs::exists(dir.file("ostrel.log.INFO.2")));
  EXPECT_TRUE(fs::exists(dir.file("ostrel.log.INFO.3")));
  EXPECT_TRUE(fs::is_symlink(dir.file("ostrel.INFO")));
  EXPECT_EQ(log.count("deleted the 2 oldest files (600 bytes)"), 1);
  // Within the cap nothing more goes, and nothing is said.
  log.clear();
  EXPECT_EQ(HX_LoggingSystem::TrimLogDirectory(dir.path(), 1100), 0);
  EXPECT_EQ(log.lines().size(), 0u);
}
