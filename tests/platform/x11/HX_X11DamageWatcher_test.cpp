#include "platform/x11/HX_X11DamageWatcher.h"

#include <gtest/gtest.h>

#include "platform/x11/X11Pixels.h"
#include "platform/x11/X11TestScene.h"
#include "support/XvfbServer.h"

namespace {
class DamageWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_x.ok()) << m_x.error();
    m_x.exportDisplay();
  }
  // open → initDevice → getMonitor(0) → duplicate
  void Ready(HX_X11DamageWatcher* w) {
    uint32_t level = 0;
    ASSERT_EQ(w->open(), 0);
    ASSERT_EQ(w->initDevice(&level), 0);
    EXPECT_GE(level, 0x10001u);  // DAMAGE 1.1
    HX_MonitorDesc desc;
    HX_ScreenRect rect;
    ASSERT_EQ(w->getMonitor(0, &desc, &rect), 0);
    ASSERT_EQ(w->duplicate(), 0);
  }
  // Acquires until something else than a frame comes (at most |tries|).
  static int SettleAfterFrames(HX_X11DamageWatcher* w, int tries) {
    HX_ImageView img;
    int rc = HX_IDamageWatcher::kFrameReady;
    for (int i = 0; i < tries && rc == HX_IDamageWatcher::kFrameReady; ++i) {
      rc = w->acquireNextFrame(20, &img);
    }
    return rc;
  }
  XvfbServer m_x;
};
}  // namespace

TEST_F(DamageWatcherTest, FirstAcquireIsAFrameThenOnlyChangesAre) {
  X11TestScene s(m_x.display());
  uint32_t win = s.createApp(40, 30, 64, 48, 0xFF0000, "w");
  HX_X11DamageWatcher w;
  Ready(&w);
  HX_ImageView img;
  ASSERT_EQ(w.acquireNextFrame(1, &img), HX_IDamageWatcher::kFrameReady);
  EXPECT_EQ(img.width, 1280);
  EXPECT_EQ(img.height, 800);
  EXPECT_EQ(img.pitch, 1280 * 4);
  EXPECT_TRUE(X11Pixels::Block(img.data, img.pitch, 40, 30, 64, 48, 0xFF0000));

  // A static screen: after any change still in flight, only timeouts.
  EXPECT_EQ(SettleAfterFrames(&w, 3), HX_IDamageWatcher::kFrameTimeout);
  EXPECT_EQ(w.acquireNextFrame(1, &img), HX_IDamageWatcher::kFrameTimeout);
  EXPECT_EQ(w.acquireNextFrame(1, &img), HX_IDamageWatcher::kFrameTimeout);

  s.fill(win, 0x00FF00);
  int rc = w.acquireNextFrame(500, &img);
  ASSERT_EQ(rc, HX_IDamageWatcher::kFrameReady);
  EXPECT_TRUE(X11Pixels::Block(img.data, img.pitch, 40, 30, 64, 48, 0x00FF00));
  EXPECT_EQ(SettleAfterFrames(&w, 3), HX_IDamageWatcher::kFrameTimeout);
}

TEST_F(DamageWatcherTest, MonitorLookupAndSetUpOrder) {
  HX_X11DamageWatcher w;
  HX_ImageView img;
  EXPECT_EQ(w.acquireNextFrame(1, &img), HX_IDamageWatcher::kFrameFailure);  // nothing set up
  ASSERT_EQ(w.open(), 0);
  EXPECT_NE(w.duplicate(), 0);  // no monitor chosen yet
  HX_MonitorDesc desc;
  HX_ScreenRect rect;
  EXPECT_EQ(w.getMonitor(1, &desc, &rect), HX_IDamageWatcher::kMonitorNotFound);
  EXPECT_EQ(w.getMonitor(-1, &desc, &rect), HX_IDamageWatcher::kMonitorNotFound);
  ASSERT_EQ(w.getMonitor(0, &desc, &rect), 0);
  EXPECT_EQ(desc.name, "screen");
  EXPECT_EQ(rect.right, 1280);
  EXPECT_EQ(rect.bottom, 800);
}

TEST_F(DamageWatcherTest, ALostDisplayStaysLost) {
  HX_X11DamageWatcher w;
  Ready(&w);
  HX_ImageView img;
  ASSERT_EQ(w.acquireNextFrame(1, &img), HX_IDamageWatcher::kFrameReady);
  m_x.stop();
  EXPECT_EQ(w.acquireNextFrame(50, &img), HX_IDamageWatcher::kAccessLost);
  EXPECT_EQ(w.acquireNextFrame(1, &img), HX_IDamageWatcher::kAccessLost);
  w.close();
}

TEST(DamageWatcherNoDamage, InitDeviceFailsWithoutTheExtension) {
  XvfbServer::Options o;
  o.extraArgs = {"-extension", "DAMAGE"};
  XvfbServer x(o);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  HX_X11DamageWatcher w;
  ASSERT_EQ(w.open(), 0);
  uint32_t level = 0;
  EXPECT_LT(w.initDevice(&level), 0);
}
