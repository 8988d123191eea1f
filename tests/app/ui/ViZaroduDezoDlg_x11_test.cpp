// The region frame on a private Xvfb with no compositing manager: a grab of
// the root window under the frame shows the desktop inside the border and
// red on the border, i.e. the frame never appears in what it frames.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/ui/RegionFrameProbe.h"
#include "e2e/Child.h"
#include "platform/x11/HX_IScreenGrabber.h"
#include "platform/x11/X11Pixels.h"
#include "platform/x11/X11TestScene.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"

namespace {

constexpr uint32_t kDesktop = 0x1f8f3a;  // the colour behind the frame
constexpr uint32_t kRed = 0xff0000;

struct Grab {
  int x = 0, y = 0, w = 0, h = 0;
  std::vector<uint8_t> pixels;
  int pitch() const { return w * 4; }
  // True when the w x h block at screen position (px, py) is |rgb|. The
  // fourth byte is padding of a depth-24 screen: the server keeps whatever a
  // client put there (Qt writes 0xff), so it is not compared.
  bool Block(int px, int py, int bw, int bh, uint32_t rgb) const {
    const uint32_t want = X11Pixels::Bgra(rgb) & 0x00ffffffu;
    for (int r = py - y; r < py - y + bh; ++r) {
      for (int c = px - x; c < px - x + bw; ++c) {
        if ((X11Pixels::At(pixels.data(), pitch(), c, r) & 0x00ffffffu) != want) return false;
      }
    }
    return true;
  }
};

}  // namespace

TEST(RegionFrameOnX11, GrabUnderTheFrameShowsTheDesktopInsideAndRedOnTheBorder) {
  XvfbServer xvfb;  // no window manager, no compositor
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  xvfb.exportDisplay();
  X11TestScene scene(xvfb.display());
  ASSERT_TRUE(scene.ok());
  scene.createApp(0, 0, 1280, 800, kDesktop, "desktop");

  TempDir tmp;
  Child probe({"/proc/self/exe", kRegionFrameProbeArg, "200", "150"},
              {"DISPLAY=" + xvfb.display(), "QT_QPA_PLATFORM=xcb"}, tmp.path() + "/out",
              tmp.path() + "/err");
  ASSERT_TRUE(probe.started());
  int cx = 0, cy = 0, cw = 0, ch = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::sscanf(probe.out().c_str(), "READY %d %d %d %d", &cx, &cy, &cw, &ch) != 4) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << probe.err();
    ASSERT_EQ(probe.wait(std::chrono::milliseconds(20)), -1) << "the probe ended: " << probe.err();
  }
  ASSERT_EQ(cw, 640);
  ASSERT_EQ(ch, 360);

  std::unique_ptr<HX_IScreenGrabber> grabber = HX_CreateScreenGrabber(false);
  ASSERT_EQ(grabber->open(), 0);
  // The area around the inside, wide enough to hold the whole border.
  Grab g;
  g.x = cx - 40;
  g.y = cy - 60;
  g.w = cw + 80;
  g.h = ch + 100;
  g.pixels.resize(static_cast<size_t>(g.w) * g.h * 4);
  // The frame is painted some time after it is mapped: wait for the border.
  const int left = cx - 2;  // inside the left border strip
  const auto paintDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    ASSERT_EQ(grabber->grab(g.x, g.y, g.w, g.h, g.pixels.data()), 0);
    if (g.Block(left, cy + ch / 2, 1, 1, kRed)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < paintDeadline);

  // The whole inside is the desktop, up to its very edge.
  EXPECT_TRUE(g.Block(cx, cy, cw, ch, kDesktop));
  // The border around it is red: both sides, the bottom, the top strip's
  // lowest rows and its right end (the caption text sits at its left).
  EXPECT_TRUE(g.Block(cx - 2, cy, 2, ch, kRed));
  EXPECT_TRUE(g.Block(cx + cw, cy, 2, ch, kRed));
  EXPECT_TRUE(g.Block(cx, cy + ch, cw, 2, kRed));
  EXPECT_TRUE(g.Block(cx - 2, cy - 2, cw + 4, 2, kRed));
  EXPECT_TRUE(g.Block(cx + cw - 40, cy - 20, 40, 20, kRed));
  // Outside the frame the desktop again.
  EXPECT_TRUE(g.Block(g.x, g.y, 10, g.h, kDesktop));
  EXPECT_TRUE(g.Block(g.x, g.y + g.h - 5, g.w, 5, kDesktop));
}
