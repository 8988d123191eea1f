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

// A private Xvfb (no window manager, no compositor) with a plain desktop
// colour and the probe process showing a region frame at (200, 150).
class RegionFrameOnX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_xvfb.ok()) << m_xvfb.error();
    m_xvfb.exportDisplay();
    m_pScene = std::make_unique<X11TestScene>(m_xvfb.display());
    ASSERT_TRUE(m_pScene->ok());
    m_pScene->createApp(0, 0, 1280, 800, kDesktop, "desktop");
    m_pProbe = std::make_unique<Child>(
        std::vector<std::string>{"/proc/self/exe", kRegionFrameProbeArg, "200", "150"},
        std::vector<std::string>{"DISPLAY=" + m_xvfb.display(), "QT_QPA_PLATFORM=xcb"},
        m_tmp.file("out"), m_tmp.file("err"));
    ASSERT_TRUE(m_pProbe->started());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::sscanf(m_pProbe->out().c_str(), "READY %d %d %d %d", &m_iX, &m_iY, &m_iW, &m_iH) != 4) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << m_pProbe->err();
      ASSERT_EQ(m_pProbe->wait(std::chrono::milliseconds(20)), -1)
          << "the probe ended: " << m_pProbe->err();
    }
    ASSERT_EQ(m_iW, 640);
    ASSERT_EQ(m_iH, 360);
  }

  // The capture region the probe reported last, as "l t r b".
  std::string LastRegion() const {
    const std::string out = m_pProbe->out();
    const size_t at = out.rfind("REGION ");
    if (at == std::string::npos) return "";
    return out.substr(at + 7, out.find('\n', at) - at - 7);
  }
  bool WaitForRegion(const std::string& want) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (LastRegion() != want && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return LastRegion() == want;
  }
  static std::string Region(int l, int t, int r, int b) {
    return std::to_string(l) + " " + std::to_string(t) + " " + std::to_string(r) + " " +
           std::to_string(b);
  }
  // Drags with the real pointer (XTEST) from (x, y) by (dx, dy).
  int Drag(int x, int y, int dx, int dy) const {
    return m_xvfb.run({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "sleep", "0.2",
                       "mousedown", "1", "sleep", "0.2", "mousemove", std::to_string(x + dx / 2),
                       std::to_string(y + dy / 2), "sleep", "0.2", "mousemove",
                       std::to_string(x + dx), std::to_string(y + dy), "sleep", "0.2", "mouseup",
                       "1"});
  }

  XvfbServer m_xvfb;
  TempDir m_tmp;
  std::unique_ptr<X11TestScene> m_pScene;
  std::unique_ptr<Child> m_pProbe;
  int m_iX = 0, m_iY = 0, m_iW = 0, m_iH = 0;  // the frame's inside on the screen
};

TEST_F(RegionFrameOnX11, GrabUnderTheFrameShowsTheDesktopInsideAndRedOnTheBorder) {
  std::unique_ptr<HX_IScreenGrabber> grabber = HX_CreateScreenGrabber(false);
  ASSERT_EQ(grabber->open(), 0);
  // The area around the inside, wide enough to hold the whole border.
  Grab g;
  g.x = m_iX - 40;
  g.y = m_iY - 60;
  g.w = m_iW + 80;
  g.h = m_iH + 100;
  g.pixels.resize(static_cast<size_t>(g.w) * g.h * 4);
  // The frame is painted some time after it is mapped: wait for the border.
  const int left = m_iX - 2;  // inside the left border strip
  const auto paintDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    ASSERT_EQ(grabber->grab(g.x, g.y, g.w, g.h, g.pixels.data()), 0);
    if (g.Block(left, m_iY + m_iH / 2, 1, 1, kRed)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < paintDeadline);

  // The whole inside is the desktop, up to its very edge.
  EXPECT_TRUE(g.Block(m_iX, m_iY, m_iW, m_iH, kDesktop));
  // The border around it is red: both sides, the bottom, the top strip's
  // lowest rows and its right end (the caption text sits at its left).
  EXPECT_TRUE(g.Block(m_iX - 2, m_iY, 2, m_iH, kRed));
  EXPECT_TRUE(g.Block(m_iX + m_iW, m_iY, 2, m_iH, kRed));
  EXPECT_TRUE(g.Block(m_iX, m_iY + m_iH, m_iW, 2, kRed));
  EXPECT_TRUE(g.Block(m_iX - 2, m_iY - 2, m_iW + 4, 2, kRed));
  EXPECT_TRUE(g.Block(m_iX + m_iW - 40, m_iY - 20, 40, 20, kRed));
  // Outside the frame the desktop again.
  EXPECT_TRUE(g.Block(g.x, g.y, 10, g.h, kDesktop));
  EXPECT_TRUE(g.Block(g.x, g.y + g.h - 5, g.w, 5, kDesktop));
}

TEST_F(RegionFrameOnX11, DraggingWithThePointerMovesAndResizesTheStoredRegion) {
  ASSERT_TRUE(WaitForRegion(Region(m_iX, m_iY, m_iX + m_iW, m_iY + m_iH))) << LastRegion();
  // The top strip below its resize band moves the frame.
  ASSERT_EQ(Drag(m_iX + 300, m_iY - 8, 40, 30), 0);
  ASSERT_TRUE(WaitForRegion(Region(m_iX + 40, m_iY + 30, m_iX + 40 + 640, m_iY + 30 + 360))) << LastRegion();
  m_iX += 40;
  m_iY += 30;
  // The right border resizes at 16:9: 740 wide rounds to 736 x 414.
  ASSERT_EQ(Drag(m_iX + m_iW + 3, m_iY + 100, 100, 0), 0);
  ASSERT_TRUE(WaitForRegion(Region(m_iX, m_iY, m_iX + 736, m_iY + 414))) << LastRegion();
  // Inside the frame nothing is grabbed: a drag there changes nothing.
  ASSERT_EQ(Drag(m_iX + 200, m_iY + 200, 50, 50), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(LastRegion(), Region(m_iX, m_iY, m_iX + 736, m_iY + 414));
}
