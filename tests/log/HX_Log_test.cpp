#include "log/HX_Log.h"

#include <gtest/gtest.h>

#include "config/HX_ServerConfiguration.h"
#include "log/HX_LoggingSystem.h"
#include "platform/HX_Paths.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {
struct Sample {
  void Run() { HX_LOG_WARNING("value=%d name=%s", 7, "x"); }
  template <typename T>
  int Templated(T) { HX_LOG_ERROR("t"); return 0; }
};
}  // namespace

TEST(HX_Log, LineCarriesFileOperationAndSeverity) {
  FLAGS_minloglevel = 0;
  LogCapture log;
  Sample().Run();
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, google::GLOG_WARNING);
  EXPECT_EQ(lines[0].file, "HX_Log_test.cpp");
  EXPECT_EQ(lines[0].text, "{anonymous}::Sample::Run: value=7 name=x");
}

TEST(HX_Log, OperationNameDropsReturnTypeAndParameters) {
  EXPECT_EQ(HX_OperationName("int VrNDISend::SendVideo(VrMediaFramePtr)"), "VrNDISend::SendVideo");
  EXPECT_EQ(HX_OperationName("static void* HX_Foo::Run(void*)"), "HX_Foo::Run");
  EXPECT_EQ(HX_OperationName("std::vector<int, std::allocator<int> > A::b() const"), "A::b");
  EXPECT_EQ(HX_OperationName("void HX_BaseAcceptor<Session>::open(int) [with Session = X]"),
            "HX_BaseAcceptor<Session>::open");
}

TEST(HX_Log, LongMessagesAreCutAndLevelsFilter) {
  FLAGS_minloglevel = 0;
  LogCapture log;
  std::string big(10000, 'a');
  HX_LOG_INFO("%s", big.c_str());
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.size(), std::string("HX_Log_LongMessagesAreCutAndLevelsFilter_Test::TestBody: ").size() + 4095);

  log.clear();
  FLAGS_minloglevel = 2;
  HX_LOG_INFO("no");
  HX_LOG_WARNING("no");
  HX_LOG_ERROR("yes");
  HX_LOG_FATAL("still alive");  // never ends the process
  EXPECT_EQ(log.count("no"), 0);
  EXPECT_EQ(log.count("yes"), 1);
  EXPECT_EQ(log.count("FATAL still alive"), 1);
  FLAGS_minloglevel = 0;
}

TEST(HX_Log, DebugLinesOnlyAtVerboseOneAndTracesAppendAStack) {
  FLAGS_minloglevel = 0;
  LogCapture log;
  FLAGS_v = 0;
  HX_LOG_DEBUG("hidden");
  FLAGS_v = 1;
  HX_LOG_DEBUG("shown");
  FLAGS_v = 0;
  HX_LOG_ERROR_TRACE("precondition");
  EXPECT_EQ(log.count("hidden"), 0);
  EXPECT_EQ(log.count("shown"), 1);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  // The trace names this test's frame (needs -rdynamic).
  EXPECT_NE(lines[1].text.find("TestBody"), std::string::npos) << lines[1].text;
}

// At level "fatal" only FATAL lines are written, and they are: glog's own
// minimum must not drop them for being written at its ERROR severity.
TEST(HX_Log, FatalLinesSurviveTheFatalLevel) {
  LogCapture log;
  HX_SetMinLogLevel(HX_LOG_SEV_FATAL);
  HX_LOG_INFO("info");
  HX_LOG_WARNING("warning");
  HX_LOG_ERROR("error");
  HX_LOG_ERROR_TRACE("error with trace");
  HX_LOG_FATAL("the fatal line");
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, google::GLOG_ERROR);
  EXPECT_NE(lines[0].text.find("FATAL the fatal line"), std::string::npos);

  // Back at "error", ERROR lines return; a level set straight into glog's
  // flag (as the client does) is obeyed as it stands.
  HX_SetMinLogLevel(HX_LOG_SEV_ERROR);
  HX_LOG_ERROR("error again");
  EXPECT_EQ(log.count("error again"), 1);
  HX_SetMinLogLevel(HX_LOG_SEV_FATAL);
  FLAGS_minloglevel = 0;
  HX_LOG_INFO("info again");
  EXPECT_EQ(log.count("info again"), 1);
}

TEST(HX_Log, FatalLevelFromConfigIniKeepsFatalLines) {
  TempDir dir;
  HX_SetBaseDirectory(dir.path());
  dir.write("config.ini", "[config]\nmin_log_level=fatal\n");
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  HX_LoggingSystem* ls = HX_LoggingSystem::instance();
  ls->setConfiguration(cfg);
  ls->applyConfigOnce();
  LogCapture log;
  HX_LOG_ERROR("an error");
  HX_LOG_FATAL("a fatal one");
  EXPECT_EQ(log.count("an error"), 0);
  EXPECT_EQ(log.count("FATAL a fatal one"), 1);
  HX_SetMinLogLevel(HX_LOG_SEV_INFO);
  ls->setConfiguration(nullptr);
}
