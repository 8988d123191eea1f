// The monitor marker: hides itself two seconds after each show, and paints
// its number large.
#include "app/ui/VrScreenFalgDlg.h"

#include <gtest/gtest.h>

#include <QImage>

#include "app/ui/UiTestUtil.h"

TEST(MonitorMarker, HidesItselfTwoSecondsAfterEachShow) {
  VrScreenFalgDlg marker(2);
  marker.setGeometry(10, 10, 300, 200);
  auto* timer = marker.findChild<QTimer*>("hideTimer");
  ASSERT_NE(timer, nullptr);
  EXPECT_FALSE(timer->isActive());  // nothing runs before the first show
  EXPECT_EQ(timer->interval(), 2000);
  EXPECT_TRUE(timer->isSingleShot());
  EXPECT_TRUE(marker.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(marker.windowFlags() & Qt::WindowStaysOnTopHint);

  for (int round = 0; round < 2; ++round) {
    marker.show();
    EXPECT_TRUE(marker.isVisible());
    EXPECT_TRUE(timer->isActive());
    EXPECT_TRUE(UiWaitUntil([&] { return !marker.isVisible(); }, 15000)) << round;
    EXPECT_FALSE(timer->isActive());
  }
}

TEST(MonitorMarker, PaintsItsNumberLargeAndCentred) {
  VrScreenFalgDlg marker(7);
  marker.resize(300, 200);
  const QImage image = marker.grab().toImage();
  const QRgb background = marker.palette().window().color().rgb();
  int ink = 0;
  int minX = image.width(), maxX = -1;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) == background) continue;
      ++ink;
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
    }
  }
  // A bold digit as high as the window covers a good part of it...
  EXPECT_GT(ink, image.width() * image.height() / 20);
  ASSERT_GE(maxX, minX);
  // ...about a quarter of the width wide, centred.
  EXPECT_GT(maxX - minX, image.width() / 8);
  EXPECT_LT(maxX - minX, image.width() / 2);
  EXPECT_LE(std::abs((minX + maxX) / 2 - image.width() / 2), image.width() / 10);
}
