#include "platform/x11/HX_X11MonitorSource.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/x11/HX_X11Connection.h"
#include "support/LogCapture.h"
#include "support/XvfbServer.h"

namespace {
XvfbServer::Options Screen(int width, int height) {
  XvfbServer::Options o;
  o.width = width;
  o.height = height;
  return o;
}
}  // namespace

// The fresh-server case is in HX_ChooseFullScreenMethod_test.cpp.
TEST(HX_X11MonitorSource, WithNoActiveOutputTheWholeScreenIsMonitorZeroUntilOneReturns) {
  XvfbServer x(Screen(800, 600));
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  // Switching the only CRTC off leaves a connected output that drives nothing.
  x.run({"xrandr", "--output", "screen", "--off"});
  LogCapture log;
  std::unique_ptr<HX_X11Connection> conn = HX_X11Connection::Open();
  ASSERT_TRUE(conn);
  std::vector<HX_MonitorDesc> monitors;
  std::vector<HX_ScreenRect> rects;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(HX_X11MonitorSource::Enumerate(conn.get(), &monitors, &rects), 0);
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_EQ(monitors[0].name, "default");
    EXPECT_EQ(monitors[0].modeWidth, 800);
    EXPECT_EQ(monitors[0].modeHeight, 600);
    ASSERT_EQ(rects.size(), 1u);
    EXPECT_EQ(rects[0].width(), 800);
    EXPECT_EQ(rects[0].height(), 600);
  }
  EXPECT_EQ(log.count("RandR reports no active output"), 1);

  x.run({"xrandr", "--output", "screen", "--auto"});
  ASSERT_EQ(HX_X11MonitorSource::Enumerate(conn.get(), &monitors, &rects), 0);
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].name, "screen");
  EXPECT_EQ(log.count("RandR reports active outputs again"), 1);
}
