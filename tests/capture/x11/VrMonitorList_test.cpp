#include "capture/VrMonitorList.h"

#include <gtest/gtest.h>

#include "capture/x11/ScreenFakes.h"
#include "support/XvfbServer.h"

namespace {
HX_MonitorDesc Desc(int index, const char* name, int x, int y, int w, int h, int rotation) {
  HX_MonitorDesc d;
  d.index = index;
  d.name = name;
  d.x = x;
  d.y = y;
  d.modeWidth = w;
  d.modeHeight = h;
  d.rotation = rotation;
  return d;
}
}  // namespace

TEST(MonitorList, TwoMonitorsWithRectanglesAndRotation) {
  FakeMonitorSource source;
  source.monitors = {Desc(0, "HDMI-1", 0, 0, 1920, 1080, 0), Desc(1, "DP-2", 1920, 0, 1920, 1080, 90),
                     Desc(2, "DP-3", 3000, 0, 1280, 1024, 270), Desc(3, "VGA-1", 0, 1080, 1024, 768, 180),
                     Desc(4, "odd", 5, 5, 640, 480, 45)};
  std::vector<VrMonitorInfo> list = {VrMonitorInfo()};  // stale content is replaced
  ASSERT_EQ(VrMonitorList::rebuild(source, &list), 0);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].m_iIndex, 0);
  EXPECT_EQ(list[0].m_strDeviceName, "HDMI-1");
  EXPECT_EQ(list[0].m_stRect.right, 1920);
  EXPECT_EQ(list[0].m_stRect.bottom, 1080);
  // Portrait: the 1920 x 1080 mode stands 1080 wide and 1920 high.
  EXPECT_EQ(list[1].m_iIndex, 1);
  EXPECT_EQ(list[1].m_stRect.left, 1920);
  EXPECT_EQ(list[1].m_stRect.top, 0);
  EXPECT_EQ(list[1].m_stRect.right, 1920 + 1080);
  EXPECT_EQ(list[1].m_stRect.bottom, 1920);
  EXPECT_EQ(list[2].m_stRect.right - list[2].m_stRect.left, 1024);
  EXPECT_EQ(list[2].m_stRect.bottom - list[2].m_stRect.top, 1280);
  EXPECT_EQ(list[3].m_stRect.right - list[3].m_stRect.left, 1024);  // upside down stays landscape
  EXPECT_EQ(list[3].m_stRect.top, 1080);
  // An orientation that means nothing gives an empty rectangle.
  EXPECT_EQ(list[4].m_stRect.left, 0);
  EXPECT_EQ(list[4].m_stRect.right, 0);
  EXPECT_EQ(list[4].m_stRect.bottom, 0);
}

TEST(MonitorList, AFailingSourceLeavesAnEmptyList) {
  FakeMonitorSource source;
  source.rc = -1;
  source.monitors = {Desc(0, "x", 0, 0, 10, 10, 0)};
  std::vector<VrMonitorInfo> list = {VrMonitorInfo()};
  EXPECT_EQ(VrMonitorList::rebuild(source, &list), -1);
  EXPECT_TRUE(list.empty());
}

TEST(MonitorList, TheRealScreenHasOneMonitor) {
  XvfbServer::Options o;
  o.width = 1600;
  o.height = 900;
  XvfbServer x(o);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  std::vector<VrMonitorInfo> list;
  ASSERT_EQ(VrMonitorList::rebuild(&list), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].m_iIndex, 0);
  EXPECT_EQ(list[0].m_strDeviceName, "screen");
  EXPECT_EQ(list[0].m_stRect.left, 0);
  EXPECT_EQ(list[0].m_stRect.right, 1600);
  EXPECT_EQ(list[0].m_stRect.bottom, 900);
}
