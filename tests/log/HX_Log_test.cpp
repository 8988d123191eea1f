#include "log/HX_Log.h"

#include <gtest/gtest.h>

#include "support/LogCapture.h"

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
