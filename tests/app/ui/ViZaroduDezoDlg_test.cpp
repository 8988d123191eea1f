// The region frame on the offscreen platform: its first size, what it writes
// into the configuration and when, operator drags, the run lock and the
// ratio choice.
#include "app/ui/ViZaroduDezoDlg.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>

#include "app/ui/UiTestUtil.h"
#include "config/HX_ServerConfiguration.h"

namespace {

class RegionFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    m_config.resetToDefaults();
    m_config.m_iCaptureMode = kCaptureRegion;
    m_pFrame = std::make_unique<ViZaroduDezoDlg>(m_config);
    m_pFrame->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pFrame.get()));
  }
  void TearDown() override { m_config.resetToDefaults(); }

  HX_Rect Stored() const {
    HX_Rect r;
    m_config.getCaptureRegion(&r.left, &r.top, &r.right, &r.bottom);
    return r;
  }
  QSize Client() const { return m_pFrame->CaptureRect().size(); }
  // A point on the middle of the right border, in window coordinates.
  QPoint RightBorder() const {
    return QPoint(m_pFrame->width() - 2, m_pFrame->height() / 2);
  }
  void ExpectStoredIs(const QRect& capture) {
    const HX_Rect r = Stored();
    EXPECT_EQ(r.left, capture.x());
    EXPECT_EQ(r.top, capture.y());
    EXPECT_EQ(r.right, capture.x() + (capture.width() & ~1));
    EXPECT_EQ(r.bottom, capture.y() + (capture.height() & ~1));
  }

  HX_ServerConfiguration& m_config = *HX_ServerConfiguration::instance();
  std::unique_ptr<ViZaroduDezoDlg> m_pFrame;
};

}  // namespace

TEST_F(RegionFrame, StartsCentredWithA640x360InsideAndOnlyTheBorderIsWindow) {
  EXPECT_EQ(m_pFrame->windowTitle(), QString("澄影dozi  (注: 开始截屏之后无法改变截屏窗口大小)"));
  EXPECT_EQ(Client(), QSize(640, 360));
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(std::abs(m_pFrame->geometry().center().x() - screen.center().x()), 1);
  EXPECT_LE(std::abs(m_pFrame->geometry().center().y() - screen.center().y()), 1);
  EXPECT_TRUE(m_pFrame->windowFlags() & Qt::FramelessWindowHint);
  // The shape: every border pixel belongs to the window, no inside pixel does.
  const QRegion mask = m_pFrame->mask();
  const VrFrameBorders& b = m_pFrame->Borders();
  const int w = m_pFrame->width();
  const int h = m_pFrame->height();
  EXPECT_TRUE(mask.contains(QPoint(0, 0)));
  EXPECT_TRUE(mask.contains(QPoint(b.m_iSide - 1, h / 2)));
  EXPECT_TRUE(mask.contains(QPoint(w - 1, h - 1)));
  EXPECT_TRUE(mask.contains(QPoint(w / 2, b.m_iTop - 1)));
  EXPECT_TRUE(mask.contains(QPoint(w / 2, h - b.m_iBottom)));
  EXPECT_FALSE(mask.contains(QPoint(b.m_iSide, b.m_iTop)));
  EXPECT_FALSE(mask.contains(QPoint(w / 2, h / 2)));
  EXPECT_FALSE(mask.contains(QPoint(w - b.m_iSide - 1, h - b.m_iBottom - 1)));
}

TEST_F(RegionFrame, WritesTheRegionOnMoveAndResizeOnlyInRegionMode) {
  m_config.m_iCaptureMode = kCaptureFullScreen;
  m_config.setCaptureRegion(1, 2, 3, 4);
  m_pFrame->move(m_pFrame->pos() + QPoint(30, 20));
  UiDrag(m_pFrame.get(), RightBorder(), QPoint(64, 0));
  QApplication::processEvents();
  EXPECT_EQ(Stored().left, 1);
  EXPECT_EQ(Stored().bottom, 4);

  m_config.m_iCaptureMode = kCaptureRegion;
  m_pFrame->move(m_pFrame->pos() + QPoint(-7, 5));
  ASSERT_TRUE(UiWaitUntil([&] { return Stored().left == m_pFrame->CaptureRect().x(); }));
  ExpectStoredIs(m_pFrame->CaptureRect());

  // Free ratio, resized to an odd width: the region is evened.
  m_pFrame->SetAspectIndex(kVrAspectFree);
  UiDrag(m_pFrame.get(), RightBorder(), QPoint(-31, 0));
  ASSERT_TRUE(UiWaitUntil([&] { return m_pFrame->CaptureRect().width() % 2 == 1; }));
  ExpectStoredIs(m_pFrame->CaptureRect());
  EXPECT_EQ(Stored().right - Stored().left, m_pFrame->CaptureRect().width() - 1);
}

TEST_F(RegionFrame, DraggingAnEdgeKeepsTheRatioAndAOnePixelDragChangesNothing) {
  m_pFrame->move(m_pFrame->pos() + QPoint(1, 1));  // writes a first region
  ASSERT_TRUE(UiWaitUntil([&] { return Stored().right - Stored().left == 640; }));
  const QRect before = m_pFrame->geometry();
  const HX_Rect stored = Stored();

  // 16:9: one pixel to the right rounds back to 640 wide.
  UiDrag(m_pFrame.get(), RightBorder(), QPoint(1, 0));
  QApplication::processEvents();
  EXPECT_EQ(m_pFrame->geometry(), before);
  EXPECT_EQ(Stored().left, stored.left);
  EXPECT_EQ(Stored().right, stored.right);
  EXPECT_EQ(Stored().bottom, stored.bottom);

  // 100 pixels more: 740 -> 736 = 46 * 16, height 414; the left edge stays.
  UiDrag(m_pFrame.get(), RightBorder(), QPoint(100, 0));
  ASSERT_TRUE(UiWaitUntil([&] { return Client() == QSize(736, 414); })) << Client().width();
  EXPECT_EQ(m_pFrame->geometry().topLeft(), before.topLeft());
  ExpectStoredIs(m_pFrame->CaptureRect());

  // Dragging the left edge far right stops at the minimum; the right edge stays.
  const int right = m_pFrame->geometry().right();
  UiDrag(m_pFrame.get(), QPoint(1, m_pFrame->height() / 2), QPoint(2000, 0));
  ASSERT_TRUE(UiWaitUntil([&] { return Client() == QSize(160, 90); })) << Client().width();
  EXPECT_EQ(m_pFrame->geometry().right(), right);
  ExpectStoredIs(m_pFrame->CaptureRect());
}

TEST_F(RegionFrame, DuringARunEdgesMoveTheFrameInsteadOfResizingIt) {
  m_pFrame->SetRunLocked(true);
  const QRect before = m_pFrame->geometry();
  UiDrag(m_pFrame.get(), RightBorder(), QPoint(50, 30));
  ASSERT_TRUE(UiWaitUntil([&] { return m_pFrame->geometry().topLeft() == before.topLeft() + QPoint(50, 30); }));
  EXPECT_EQ(m_pFrame->size(), before.size());
  ExpectStoredIs(m_pFrame->CaptureRect());
  // A new ratio waits for the run to end.
  m_pFrame->SetAspectIndex(3);
  EXPECT_EQ(m_pFrame->size(), before.size());

  m_pFrame->SetRunLocked(false);
  UiDrag(m_pFrame.get(), RightBorder(), QPoint(50, 0));
  ASSERT_TRUE(UiWaitUntil([&] { return m_pFrame->size() != before.size(); }));
}

TEST_F(RegionFrame, ChoosingARatioReshapesAroundTheBottomLeftCorner) {
  const QRect before = m_pFrame->geometry();
  m_pFrame->SetAspectIndex(1);  // 4:3 led by the height: 360 -> 480 x 360
  ASSERT_TRUE(UiWaitUntil([&] { return Client() == QSize(480, 360); })) << Client().width();
  EXPECT_EQ(m_pFrame->geometry().bottomLeft(), before.bottomLeft());
  ExpectStoredIs(m_pFrame->CaptureRect());
  m_pFrame->SetAspectIndex(3);  // 9:16: 360 -> 202.5 -> 198 x 352 (22 steps)
  ASSERT_TRUE(UiWaitUntil([&] { return Client() == QSize(198, 352); })) << Client().width();
  EXPECT_EQ(m_pFrame->geometry().bottomLeft(), before.bottomLeft());
  const QRect kept = m_pFrame->geometry();
  m_pFrame->SetAspectIndex(kVrAspectFree);
  QApplication::processEvents();
  EXPECT_EQ(m_pFrame->geometry(), kept);
  EXPECT_EQ(m_pFrame->AspectIndex(), kVrAspectFree);
}
