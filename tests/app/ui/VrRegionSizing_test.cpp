// The region frame's geometry rules: which dimension each dragged edge lets
// lead, rounding to whole ratio steps, the minimum, the anchored corner, hit
// testing, screen scaling and the stored region.
#include "app/ui/VrRegionSizing.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using G = VrFrameGrip;
const VrFrameBorders kBorders{6, 24, 6};

QRect WindowForClient(int w, int h) { return QRect(100, 80, w + 12, h + 30); }

// The corner that must not move when |grip| is dragged (exclusive right/bottom).
QPoint Anchor(G grip, const QRect& r) {
  const int right = r.x() + r.width();
  const int bottom = r.y() + r.height();
  switch (grip) {
    case G::kLeft: case G::kTopLeft: return {right, bottom};
    case G::kTop: case G::kTopRight: return {r.x(), bottom};
    case G::kBottomLeft: return {right, r.y()};
    default: return r.topLeft();
  }
}

}  // namespace

TEST(VrRegionSizing, EachEdgeAndRatioSnapsToWholeStepsAboveTheMinimumAroundItsAnchor) {
  const struct {
    G grip;
    int ratio;
    QSize proposed, want;  // client sizes
  } cases[] = {
      // Width leads on left, right, top-left and bottom-right; the height on the others.
      {G::kRight, 0, {700, 360}, {704, 396}},        // 700 = 43 * 16 + 12 rounds up
      {G::kLeft, 0, {648, 999}, {640, 360}},         // exactly half a step rounds down
      {G::kTopLeft, 1, {500, 100}, {500, 375}},
      {G::kBottomRight, 2, {403, 100}, {402, 201}},  // half a 2-pixel step rounds down
      {G::kTop, 1, {1500, 301}, {400, 300}},
      {G::kBottom, 2, {900, 251}, {502, 251}},
      {G::kBottomLeft, 3, {100, 500}, {279, 496}},   // 500 = 31 * 16 + 4 rounds down
      {G::kTopRight, 4, {100, 500}, {224, 504}},     // 500 = 55 * 9 + 5 rounds up
      // The minimum grows by whole steps, whichever dimension binds.
      {G::kRight, 0, {3, 2}, {160, 90}},
      {G::kRight, 1, {3, 2}, {160, 120}},
      {G::kRight, 2, {3, 2}, {180, 90}},
      {G::kTop, 3, {3, 2}, {162, 288}},
      {G::kTop, 4, {3, 2}, {160, 360}},
      {G::kLeft, 0, {-62, 370}, {160, 90}},  // dragged past the right edge
      // Free (and out-of-range) ratios only hold each dimension at its minimum.
      {G::kTopLeft, kVrAspectFree, {517, 203}, {517, 203}},
      {G::kLeft, kVrAspectFree, {40, 500}, {160, 500}},
      {G::kBottom, -1, {700, 1}, {700, 90}},
      {G::kMove, 0, {3, 3}, {3, 3}},  // moving never reshapes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "grip " << static_cast<int>(c.grip) << " ratio " << c.ratio
                                    << " proposed " << c.proposed.width() << "x" << c.proposed.height());
    const QRect proposed = WindowForClient(c.proposed.width(), c.proposed.height());
    const QRect out = VrRegionSizing(c.grip, proposed, kBorders, c.ratio);
    EXPECT_EQ(VrFrameClientRect(out, kBorders).size(), c.want);
    EXPECT_EQ(Anchor(c.grip, out), Anchor(c.grip, proposed));
  }
}

TEST(VrRegionSizing, HitTestFindsEdgesCornersAndTheMoveStripAndOnlyMovingDuringARun) {
  const struct {
    QPoint pos;
    G free, locked;
  } cases[] = {
      {{2, 200}, G::kLeft, G::kMove},         {{649, 200}, G::kRight, G::kMove},
      {{300, 387}, G::kBottom, G::kMove},     {{300, 1}, G::kTop, G::kMove},
      {{300, 15}, G::kMove, G::kMove},        // the top strip below its resize band
      {{0, 0}, G::kTopLeft, G::kMove},        {{10, 1}, G::kTopLeft, G::kMove},
      {{651, 10}, G::kTopRight, G::kMove},    {{3, 380}, G::kBottomLeft, G::kMove},
      {{640, 389}, G::kBottomRight, G::kMove},
      {{300, 200}, G::kNone, G::kNone},       {{-1, 200}, G::kNone, G::kNone},  // inside, outside
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VrFrameHitTest({652, 390}, kBorders, c.pos, false), c.free) << c.pos.x() << "," << c.pos.y();
    EXPECT_EQ(VrFrameHitTest({652, 390}, kBorders, c.pos, true), c.locked) << c.pos.x() << "," << c.pos.y();
  }
}

TEST(VrRegionSizing, StoredRegionIsEvenInServerPixelsAndIgnoresDegenerateSizes) {
  HX_Rect r{-1, -1, -1, -1};
  const auto region = [&r] { return std::vector<int>{r.left, r.top, r.right, r.bottom}; };
  ASSERT_TRUE(VrCaptureRegionFor(QRect(101, 51, 641, 361), &r));
  EXPECT_EQ(region(), std::vector<int>({101, 51, 101 + 640, 51 + 360}));
  EXPECT_FALSE(VrCaptureRegionFor(QRect(5, 5, 1, 300), &r));
  EXPECT_FALSE(VrCaptureRegionFor(QRect(5, 5, 300, 1), &r));
  EXPECT_EQ(region(), std::vector<int>({101, 51, 101 + 640, 51 + 360}));
  ASSERT_TRUE(VrCaptureRegionFor(QRect(0, 0, 3, 3), &r));
  EXPECT_EQ(region(), std::vector<int>({0, 0, 2, 2}));

  EXPECT_EQ(VrToScreenPixels(QRect(10, 20, 300, 200), QPoint(0, 0), 2.0), QRect(20, 40, 600, 400));
  // A second screen keeps its own top-left corner unscaled; edges round to the nearest pixel.
  EXPECT_EQ(VrToScreenPixels(QRect(3850, 10, 100, 50), QPoint(3840, 0), 2.0), QRect(3860, 20, 200, 100));
  EXPECT_EQ(VrToScreenPixels(QRect(0, 0, 101, 51), QPoint(0, 0), 1.5), QRect(0, 0, 152, 77));
}
