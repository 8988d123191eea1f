// The region frame on a private Xvfb with no window manager and no compositor
// (main_x11.cpp): a grab of the root window shows the desktop inside the red
// border, so the frame never appears in what it frames, and the real pointer
// moves and resizes it.
#include "app/ui/ViZaroduDezoDlg.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>

#include <array>
#include <vector>

#include "config/HX_ServerConfiguration.h"
#include "platform/x11/HX_IScreenGrabber.h"
#include "platform/x11/X11Pixels.h"
#include "platform/x11/X11TestScene.h"

TEST(RegionFrameOnX11, GrabShowsTheDesktopInsideARedBorderAndThePointerMovesAndResizesIt) {
  constexpr uint32_t kDesktop = 0x1f8f3a;
  constexpr uint32_t kRed = 0xff0000;
  X11TestScene scene(qEnvironmentVariable("DISPLAY").toStdString());
  ASSERT_TRUE(scene.ok());
  scene.createApp(0, 0, 1280, 800, kDesktop, "desktop");
  HX_ServerConfiguration& config = *HX_ServerConfiguration::instance();
  config.m_iCaptureMode = kCaptureRegion;
  ViZaroduDezoDlg frame(config);
  frame.move(200, 150);
  frame.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
  const QRect in = frame.CaptureRect();
  ASSERT_EQ(in.size(), QSize(640, 360));

  // A grab around the inside, wide enough to hold the whole border. The
  // padding byte of a depth-24 screen keeps whatever a client wrote there.
  std::unique_ptr<HX_IScreenGrabber> grabber = HX_CreateScreenGrabber(false);
  ASSERT_EQ(grabber->open(), 0);
  const QRect g = in.adjusted(-40, -60, 40, 40);
  std::vector<uint8_t> px(static_cast<size_t>(g.width()) * g.height() * 4);
  const auto is = [&](const QRect& r, uint32_t rgb) {
    const QPoint at = r.topLeft() - g.topLeft();
    return X11Pixels::Block(px.data(), g.width() * 4, at.x(), at.y(), r.width(), r.height(), rgb);
  };
  // The frame is painted some time after it is mapped: wait for the border.
  ASSERT_TRUE(QTest::qWaitFor([&] {
    if (grabber->grab(g.x(), g.y(), g.width(), g.height(), px.data()) != 0) return false;
    for (size_t i = 3; i < px.size(); i += 4) px[i] = 0;
    return is(QRect(in.x() - 2, in.center().y(), 1, 1), kRed);
  }));
  EXPECT_TRUE(is(in, kDesktop));  // the whole inside, up to its very edge
  // Red on both sides, the bottom, the top strip's lowest rows and its right
  // end (the caption sits at its left); the desktop again outside.
  EXPECT_TRUE(is(QRect(in.x() - 2, in.y(), 2, in.height()), kRed));
  EXPECT_TRUE(is(QRect(in.right() + 1, in.y(), 2, in.height()), kRed));
  EXPECT_TRUE(is(QRect(in.x(), in.bottom() + 1, in.width(), 2), kRed));
  EXPECT_TRUE(is(QRect(in.x() - 2, in.y() - 2, in.width() + 4, 2), kRed));
  EXPECT_TRUE(is(QRect(in.right() - 39, in.y() - 20, 40, 20), kRed));
  EXPECT_TRUE(is(QRect(g.x(), g.y(), 10, g.height()), kDesktop));
  EXPECT_TRUE(is(QRect(g.x(), g.bottom() - 4, g.width(), 5), kDesktop));

  // Waits until the stored capture region is |want|'s top-left corner with |want|'s size.
  const auto storedBecomes = [&config](const QRect& want) {
    return QTest::qWaitFor([&] {
      std::array<int, 4> r;
      config.getCaptureRegion(&r[0], &r[1], &r[2], &r[3]);
      return r == std::array<int, 4>{want.x(), want.y(), want.x() + want.width(), want.y() + want.height()};
    });
  };
  // Drags with the real pointer (XTEST) from |from| by |d|.
  const auto drag = [](const QPoint& from, const QPoint& d) {
    const auto at = [](const QPoint& p) {
      return QStringList{"mousemove", QString::number(p.x()), QString::number(p.y()), "sleep", "0.2"};
    };
    return QProcess::execute("xdotool", at(from) + QStringList{"mousedown", "1", "sleep", "0.2"} +
                                            at(from + d / 2) + at(from + d) + QStringList{"mouseup", "1"});
  };
  ASSERT_TRUE(storedBecomes(in));
  // The top strip below its resize band moves the frame.
  ASSERT_EQ(drag(QPoint(in.x() + 300, in.y() - 8), QPoint(40, 30)), 0);
  QRect want = in.translated(40, 30);
  ASSERT_TRUE(storedBecomes(want));
  // The right border resizes at 16:9: 740 wide rounds to 736 x 414.
  ASSERT_EQ(drag(QPoint(want.right() + 4, want.y() + 100), QPoint(100, 0)), 0);
  want.setSize(QSize(736, 414));
  ASSERT_TRUE(storedBecomes(want));
  // One pixel more rounds back, and a drag inside reaches the desktop below.
  ASSERT_EQ(drag(QPoint(want.right() + 4, want.y() + 100), QPoint(1, 0)), 0);
  ASSERT_EQ(drag(want.topLeft() + QPoint(200, 200), QPoint(50, 50)), 0);
  QTest::qWait(300);
  EXPECT_TRUE(storedBecomes(want));
  // During a run an edge moves the frame and never resizes it.
  frame.SetRunLocked(true);
  ASSERT_EQ(drag(QPoint(want.right() + 4, want.y() + 100), QPoint(50, 30)), 0);
  want.translate(50, 30);
  ASSERT_TRUE(storedBecomes(want));
  // Unlocked, the left edge dragged past the right one stops at 160 x 90; the bottom right stays.
  frame.SetRunLocked(false);
  ASSERT_EQ(drag(QPoint(want.x() - 3, want.y() + 50), QPoint(2000, 0)), 0);
  EXPECT_TRUE(storedBecomes(QRect(want.bottomRight() - QPoint(159, 89), QSize(160, 90))));
}
