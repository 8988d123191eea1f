// The monitor marker paints its number large and centred and hides itself
// after every show.
#include "app/ui/VrScreenFalgDlg.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>

TEST(MonitorMarker, PaintsItsNumberLargeAndCentredAndHidesItselfAfterEveryShow) {
  VrScreenFalgDlg marker(7);
  marker.setGeometry(10, 10, 300, 200);
  const QImage image = marker.grab().toImage();
  const QRgb background = marker.palette().window().color().rgb();
  int ink = 0, minX = image.width(), maxX = -1;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) == background) continue;
      ++ink;
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
    }
  }
  // A bold digit as high as the window, about a quarter of its width, centred.
  EXPECT_GT(ink, image.width() * image.height() / 20);
  EXPECT_GT(maxX - minX, image.width() / 8);
  EXPECT_LT(maxX - minX, image.width() / 2);
  EXPECT_LE(std::abs((minX + maxX) / 2 - image.width() / 2), image.width() / 10);

  for (int round = 0; round < 2; ++round) {
    marker.show();
    ASSERT_TRUE(marker.isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !marker.isVisible(); }, 15000)) << round;
  }
}
