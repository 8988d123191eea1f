#include "platform/x11/HX_X11ScreenGrabber.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <vector>

#include "platform/x11/X11Pixels.h"
#include "platform/x11/X11TestScene.h"
#include "support/XvfbServer.h"

namespace {
constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kBlue = 0x0000FF;
constexpr uint32_t kGreen = 0x00C000;

class ScreenGrabberTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_x.ok()) << m_x.error();
    m_x.exportDisplay();
  }
  XvfbServer m_x;
};

std::vector<uint8_t> Grab(HX_IScreenGrabber& g, int x, int y, int w, int h, int* rc) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4, 0xAB);
  *rc = g.grab(x, y, w, h, out.data());
  return out;
}
}  // namespace

TEST_F(ScreenGrabberTest, WindowsAppearAtTheirOffsetsWithShmAndWithout) {
  X11TestScene scene(m_x.display());
  ASSERT_TRUE(scene.ok());
  scene.createApp(100, 50, 200, 100, kRed, "red");
  scene.createApp(250, 120, 100, 80, kBlue, "blue");  // on top of red's corner

  HX_X11ScreenGrabber shm(true);
  HX_X11ScreenGrabber plain(false);
  ASSERT_EQ(shm.open(), 0);
  ASSERT_EQ(plain.open(), 0);
  int rc = -1;
  std::vector<uint8_t> a = Grab(shm, 90, 40, 400, 250, &rc);
  ASSERT_EQ(rc, 0);
  std::vector<uint8_t> b = Grab(plain, 90, 40, 400, 250, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_TRUE(shm.usingShm());
  EXPECT_FALSE(plain.usingShm());
  EXPECT_EQ(a, b);

  const int pitch = 400 * 4;
  // red spans (100..300, 50..150), blue (250..350, 120..200), both shifted by (-90, -40)
  EXPECT_TRUE(X11Pixels::Block(a.data(), pitch, 10, 10, 150, 70, kRed));
  EXPECT_TRUE(X11Pixels::Block(a.data(), pitch, 160, 80, 100, 80, kBlue));
  // The first row and column of each window sit exactly at its origin.
  EXPECT_NE(X11Pixels::At(a.data(), pitch, 9, 10), X11Pixels::Bgra(kRed));
  EXPECT_NE(X11Pixels::At(a.data(), pitch, 10, 9), X11Pixels::Bgra(kRed));
  EXPECT_NE(X11Pixels::At(a.data(), pitch, 260, 80), X11Pixels::Bgra(kBlue));
  EXPECT_EQ(X11Pixels::At(a.data(), pitch, 259, 80), X11Pixels::Bgra(kBlue));
}

TEST_F(ScreenGrabberTest, PixelsOutsideTheScreenReadAsZero) {
  X11TestScene scene(m_x.display());
  scene.createApp(1180, 700, 100, 100, kGreen, "corner");  // reaches the 1280x800 edge
  HX_X11ScreenGrabber g(true);
  ASSERT_EQ(g.open(), 0);
  int rc = -1;
  std::vector<uint8_t> img = Grab(g, 1200, 720, 160, 120, &rc);
  ASSERT_EQ(rc, 0);
  const int pitch = 160 * 4;
  EXPECT_TRUE(X11Pixels::Block(img.data(), pitch, 0, 0, 80, 80, kGreen));
  EXPECT_TRUE(X11Pixels::Block(img.data(), pitch, 80, 0, 80, 120, 0));
  EXPECT_TRUE(X11Pixels::Block(img.data(), pitch, 0, 80, 160, 40, 0));

  img = Grab(g, -300, -10, 200, 20, &rc);  // entirely off the screen
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(X11Pixels::Block(img.data(), 200 * 4, 0, 0, 200, 20, 0));
}

TEST_F(ScreenGrabberTest, ScreenAndMonitorGeometry) {
  HX_X11ScreenGrabber g(true);
  int32_t w = 0;
  int32_t h = 0;
  EXPECT_NE(g.screenSize(&w, &h), 0);  // not open yet
  ASSERT_EQ(g.open(), 0);
  ASSERT_EQ(g.screenSize(&w, &h), 0);
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 800);
  HX_ScreenRect r;
  ASSERT_EQ(g.monitorRect(0, &r), 0);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(r.right, 1280);
  EXPECT_EQ(r.bottom, 800);
  EXPECT_NE(g.monitorRect(1, &r), 0);
  EXPECT_NE(g.monitorRect(-1, &r), 0);
}

TEST_F(ScreenGrabberTest, ABrokenConnectionIsALostDevice) {
  HX_X11ScreenGrabber g(true);
  EXPECT_EQ(g.deviceState(), HX_IScreenGrabber::kDeviceLost);  // never opened
  ASSERT_EQ(g.open(), 0);
  EXPECT_EQ(g.deviceState(), HX_IScreenGrabber::kDeviceUsable);
  int rc = -1;
  Grab(g, 0, 0, 64, 64, &rc);
  EXPECT_EQ(rc, 0);
  m_x.stop();
  Grab(g, 0, 0, 64, 64, &rc);
  EXPECT_NE(rc, 0);
  EXPECT_EQ(g.deviceState(), HX_IScreenGrabber::kDeviceLost);
  setenv("DISPLAY", ":65000", 1);  // parallel tests may reuse the freed number
  EXPECT_NE(g.open(), 0);          // nothing to reconnect to
}

TEST(ScreenGrabberNoShm, FallsBackToGetImageWhenTheServerHasNoShm) {
  XvfbServer::Options o;
  o.extraArgs = {"-extension", "MIT-SHM"};
  XvfbServer x(o);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  X11TestScene scene(x.display());
  scene.createApp(10, 20, 50, 40, kRed, "red");
  HX_X11ScreenGrabber g(true);
  ASSERT_EQ(g.open(), 0);
  std::vector<uint8_t> img(50 * 40 * 4);
  ASSERT_EQ(g.grab(10, 20, 50, 40, img.data()), 0);
  EXPECT_FALSE(g.usingShm());
  EXPECT_TRUE(X11Pixels::Block(img.data(), 50 * 4, 0, 0, 50, 40, kRed));
}
