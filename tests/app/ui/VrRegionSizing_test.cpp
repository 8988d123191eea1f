// The region frame's geometry rules: ratio snapping per dragged edge, the
// minimum size, the anchored corner, hit testing and the stored region.
#include "app/ui/VrRegionSizing.h"

#include <gtest/gtest.h>

namespace {

const VrFrameBorders kBorders{6, 24, 6};

QRect WindowForClient(int x, int y, int w, int h) {
  return QRect(x, y, w + 2 * kBorders.m_iSide, h + kBorders.m_iTop + kBorders.m_iBottom);
}

QSize ClientOf(const QRect& window) { return VrFrameClientRect(window, kBorders).size(); }

const VrFrameGrip kEdges[] = {VrFrameGrip::kLeft,       VrFrameGrip::kTop,
                              VrFrameGrip::kRight,      VrFrameGrip::kBottom,
                              VrFrameGrip::kTopLeft,    VrFrameGrip::kTopRight,
                              VrFrameGrip::kBottomLeft, VrFrameGrip::kBottomRight};

// The corner that must not move when |grip| is dragged (exclusive right/bottom).
QPoint Anchor(VrFrameGrip grip, const QRect& r) {
  const int right = r.x() + r.width();
  const int bottom = r.y() + r.height();
  switch (grip) {
    case VrFrameGrip::kLeft:
    case VrFrameGrip::kTopLeft: return {right, bottom};
    case VrFrameGrip::kTop:
    case VrFrameGrip::kTopRight: return {r.x(), bottom};
    case VrFrameGrip::kBottomLeft: return {right, r.y()};
    default: return r.topLeft();
  }
}

}  // namespace

TEST(VrRegionSizing, EveryRatioAndEdgeGivesWholeRatioStepsAnchoredOpposite) {
  const QRect proposals[] = {WindowForClient(100, 80, 703, 397), WindowForClient(300, 200, 1000, 233),
                             WindowForClient(50, 60, 333, 900), WindowForClient(400, 300, 20, 15)};
  for (int ratio = 0; ratio < kVrAspectFree; ++ratio) {
    const QSize r = VrAspectRatio(ratio);
    for (VrFrameGrip grip : kEdges) {
      for (const QRect& proposed : proposals) {
        SCOPED_TRACE(testing::Message() << "ratio " << ratio << " grip " << static_cast<int>(grip)
                                        << " proposed " << proposed.width() << "x" << proposed.height());
        const QRect out = VrRegionSizing(grip, proposed, kBorders, ratio);
        const QSize client = ClientOf(out);
        EXPECT_EQ(client.width() % r.width(), 0);
        EXPECT_EQ(client.width() / r.width() * r.height(), client.height());
        EXPECT_GE(client.width(), kVrMinClientWidth);
        EXPECT_GE(client.height(), kVrMinClientHeight);
        EXPECT_EQ(Anchor(grip, out), Anchor(grip, proposed));
      }
    }
  }
}

TEST(VrRegionSizing, LeadingDimensionRoundsToTheNearestStep) {
  // 16:9, right edge: the width leads. 700 = 43 * 16 + 12 and 12 > 8 rounds up.
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kRight, WindowForClient(0, 0, 700, 360), kBorders, 0)),
            QSize(704, 396));
  // A remainder of exactly half a step rounds down: 648 = 40 * 16 + 8.
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kLeft, WindowForClient(0, 0, 648, 999), kBorders, 0)),
            QSize(640, 360));
  // 4:3, top edge: the height leads whatever the width; 301 rounds to 300.
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kTop, WindowForClient(0, 0, 1500, 301), kBorders, 1)),
            QSize(400, 300));
  // The bottom edge follows the height too; 2:1 steps by one row: 251 rows, 502 columns.
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kBottom, WindowForClient(0, 0, 900, 251), kBorders, 2)),
            QSize(502, 251));
  // 9:16, bottom-left: 500 = 31 * 16 + 4 rounds down to 496 -> 279 x 496.
  EXPECT_EQ(
      ClientOf(VrRegionSizing(VrFrameGrip::kBottomLeft, WindowForClient(0, 0, 100, 500), kBorders, 3)),
      QSize(279, 496));
  // 4:9, top-right: 500 = 55 * 9 + 5 rounds up to 504 -> 224 x 504.
  EXPECT_EQ(
      ClientOf(VrRegionSizing(VrFrameGrip::kTopRight, WindowForClient(0, 0, 100, 500), kBorders, 4)),
      QSize(224, 504));
  // A size already on a step is kept exactly.
  const QRect exact = WindowForClient(10, 20, 640, 360);
  EXPECT_EQ(VrRegionSizing(VrFrameGrip::kBottomRight, exact, kBorders, 0), exact);
}

TEST(VrRegionSizing, NeverBelowTheMinimumAndTheRatioSurvivesIt) {
  const QRect tiny = WindowForClient(500, 400, 3, 2);
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kRight, tiny, kBorders, 0)), QSize(160, 90));
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kRight, tiny, kBorders, 1)), QSize(160, 120));
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kRight, tiny, kBorders, 2)), QSize(180, 90));
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kTop, tiny, kBorders, 3)), QSize(162, 288));
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kTop, tiny, kBorders, 4)), QSize(160, 360));
  // A left edge dragged past the right one: still the minimum, right edge kept.
  const QRect inverted(900, 100, -50, 400);
  const QRect out = VrRegionSizing(VrFrameGrip::kLeft, inverted, kBorders, 0);
  EXPECT_EQ(ClientOf(out), QSize(160, 90));
  EXPECT_EQ(out.x() + out.width(), 850);
}

TEST(VrRegionSizing, FreeRatioFollowsTheDragDownToTheMinimum) {
  const QRect any = WindowForClient(10, 10, 517, 203);
  for (VrFrameGrip grip : kEdges) {
    EXPECT_EQ(VrRegionSizing(grip, any, kBorders, kVrAspectFree), any);
  }
  // Each dimension is held at its own minimum; the other one stays free.
  const QRect narrow = WindowForClient(300, 300, 40, 500);
  const QRect out = VrRegionSizing(VrFrameGrip::kLeft, narrow, kBorders, kVrAspectFree);
  EXPECT_EQ(ClientOf(out), QSize(160, 500));
  EXPECT_EQ(Anchor(VrFrameGrip::kLeft, out), Anchor(VrFrameGrip::kLeft, narrow));
  EXPECT_EQ(ClientOf(VrRegionSizing(VrFrameGrip::kBottom, WindowForClient(0, 0, 700, 1), kBorders,
                                    kVrAspectFree)),
            QSize(700, 90));
  // Out-of-range indices behave as the free ratio; moving never reshapes.
  EXPECT_TRUE(VrAspectRatio(-1).isEmpty());
  EXPECT_TRUE(VrAspectRatio(6).isEmpty());
  EXPECT_EQ(VrRegionSizing(VrFrameGrip::kMove, WindowForClient(0, 0, 3, 3), kBorders, 0),
            WindowForClient(0, 0, 3, 3));
}

TEST(VrRegionSizing, HitTestFindsEdgesCornersAndTheMoveStrip) {
  const QSize win(652, 390);  // client 640 x 360
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {2, 200}, false), VrFrameGrip::kLeft);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {649, 200}, false), VrFrameGrip::kRight);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {300, 387}, false), VrFrameGrip::kBottom);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {300, 1}, false), VrFrameGrip::kTop);
  // Below the top strip's resize band the strip moves the frame.
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {300, 15}, false), VrFrameGrip::kMove);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {0, 0}, false), VrFrameGrip::kTopLeft);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {10, 1}, false), VrFrameGrip::kTopLeft);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {651, 10}, false), VrFrameGrip::kTopRight);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {3, 380}, false), VrFrameGrip::kBottomLeft);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {640, 389}, false), VrFrameGrip::kBottomRight);
  // The see-through inside and the outside grab nothing.
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {300, 200}, false), VrFrameGrip::kNone);
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {-1, 200}, false), VrFrameGrip::kNone);
  // During a run every part of the border moves the frame.
  for (QPoint p : {QPoint(2, 200), QPoint(0, 0), QPoint(640, 389), QPoint(300, 1)}) {
    EXPECT_EQ(VrFrameHitTest(win, kBorders, p, true), VrFrameGrip::kMove);
  }
  EXPECT_EQ(VrFrameHitTest(win, kBorders, {300, 200}, true), VrFrameGrip::kNone);
}

TEST(VrRegionSizing, StoredRegionIsEvenAndIgnoresDegenerateSizes) {
  HX_Rect r{-1, -1, -1, -1};
  ASSERT_TRUE(VrCaptureRegionFor(QRect(101, 51, 641, 361), &r));
  EXPECT_EQ(r.left, 101);
  EXPECT_EQ(r.top, 51);
  EXPECT_EQ(r.right, 101 + 640);
  EXPECT_EQ(r.bottom, 51 + 360);
  const HX_Rect before = r;
  for (QRect degenerate : {QRect(5, 5, 1, 300), QRect(5, 5, 300, 1), QRect(5, 5, 0, 0)}) {
    EXPECT_FALSE(VrCaptureRegionFor(degenerate, &r));
    EXPECT_EQ(r.left, before.left);
    EXPECT_EQ(r.right, before.right);
    EXPECT_EQ(r.bottom, before.bottom);
  }
  ASSERT_TRUE(VrCaptureRegionFor(QRect(0, 0, 3, 3), &r));
  EXPECT_EQ(r.right, 2);
  EXPECT_EQ(r.bottom, 2);
}

TEST(VrRegionSizing, ScaledScreensMapToServerPixels) {
  EXPECT_EQ(VrToScreenPixels(QRect(10, 20, 300, 200), QPoint(0, 0), 1.0), QRect(10, 20, 300, 200));
  EXPECT_EQ(VrToScreenPixels(QRect(10, 20, 300, 200), QPoint(0, 0), 2.0), QRect(20, 40, 600, 400));
  // A second screen keeps its own top-left corner unscaled.
  EXPECT_EQ(VrToScreenPixels(QRect(3850, 10, 100, 50), QPoint(3840, 0), 2.0),
            QRect(3860, 20, 200, 100));
  EXPECT_EQ(VrToScreenPixels(QRect(0, 0, 101, 51), QPoint(0, 0), 1.5), QRect(0, 0, 152, 77));
}
