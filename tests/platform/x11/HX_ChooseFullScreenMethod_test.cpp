#include "platform/x11/HX_ChooseFullScreenMethod.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/x11/HX_X11MonitorSource.h"
#include "support/XvfbServer.h"

TEST(ChooseFullScreenMethod, ChangeDrivenOnlyWithDamageAndShm) {
  {
    XvfbServer x;
    ASSERT_TRUE(x.ok()) << x.error();
    x.exportDisplay();
    EXPECT_EQ(HX_ChooseFullScreenMethod(), 2);
  }
  for (const char* off : {"MIT-SHM", "DAMAGE"}) {
    XvfbServer::Options o;
    o.extraArgs = {"-extension", off};
    XvfbServer x(o);
    ASSERT_TRUE(x.ok()) << x.error();
    x.exportDisplay();
    EXPECT_EQ(HX_ChooseFullScreenMethod(), 1) << off << " switched off";
  }
  setenv("DISPLAY", ":65000", 1);
  EXPECT_EQ(HX_ChooseFullScreenMethod(), 1);
}

TEST(X11MonitorSource, ListsTheActiveOutput) {
  XvfbServer::Options o;
  o.width = 1024;
  o.height = 768;
  XvfbServer x(o);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  HX_X11MonitorSource source;
  std::vector<HX_MonitorDesc> monitors;
  ASSERT_EQ(source.enumerate(&monitors), 0);
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].index, 0);
  EXPECT_EQ(monitors[0].name, "screen");
  EXPECT_EQ(monitors[0].modeWidth, 1024);
  EXPECT_EQ(monitors[0].modeHeight, 768);
  EXPECT_EQ(monitors[0].rotation, 0);
  x.stop();
  // A display number no private server takes: parallel tests may reuse the
  // one just freed.
  setenv("DISPLAY", ":65000", 1);
  EXPECT_LT(source.enumerate(&monitors), 0);
  EXPECT_TRUE(monitors.empty());
}
