#include "app/ui/VrRegionSizing.h"

#include <algorithm>
#include <cmath>

#include "app/VrRunTarget.h"

namespace {

// Rounds |v| to the nearest multiple of |m|; a remainder of exactly half
// rounds down (the remainder must exceed m / 2 to round up).
int RoundToMultiple(int v, int m) {
  if (v < 0) v = 0;
  int q = v / m;
  if (v % m > m / 2) ++q;
  return q * m;
}

bool WidthLeads(VrFrameGrip grip) {
  return grip == VrFrameGrip::kLeft || grip == VrFrameGrip::kTopLeft ||
         grip == VrFrameGrip::kRight || grip == VrFrameGrip::kBottomRight;
}

}  // namespace

QSize VrAspectRatio(int index) {
  static const QSize kRatios[] = {{16, 9}, {4, 3}, {2, 1}, {9, 16}, {4, 9}};
  if (index < 0 || index >= kVrAspectFree) return QSize();
  return kRatios[index];
}

QRect VrRegionSizing(VrFrameGrip grip, const QRect& proposed, const VrFrameBorders& borders,
                     int aspectIndex) {
  if (grip == VrFrameGrip::kNone || grip == VrFrameGrip::kMove) return proposed;
  const int frameW = 2 * borders.m_iSide;
  const int frameH = borders.m_iTop + borders.m_iBottom;
  const int clientW = std::max(0, proposed.width() - frameW);
  const int clientH = std::max(0, proposed.height() - frameH);

  int w = 0;
  int h = 0;
  const QSize ratio = VrAspectRatio(aspectIndex);
  if (ratio.isEmpty()) {
    w = std::max(clientW, kVrMinClientWidth);
    h = std::max(clientH, kVrMinClientHeight);
  } else {
    const int rw = ratio.width();
    const int rh = ratio.height();
    // Whole steps of the ratio: the client is k * (rw, rh).
    int steps = WidthLeads(grip) ? RoundToMultiple(clientW, rw) / rw : RoundToMultiple(clientH, rh) / rh;
    const int minSteps = std::max((kVrMinClientWidth + rw - 1) / rw, (kVrMinClientHeight + rh - 1) / rh);
    steps = std::max(steps, minSteps);
    w = steps * rw;
    h = steps * rh;
  }

  const int winW = w + frameW;
  const int winH = h + frameH;
  // The exclusive right and bottom of the proposal: the anchors that stay.
  const int right = proposed.x() + proposed.width();
  const int bottom = proposed.y() + proposed.height();
  int x = proposed.x();
  int y = proposed.y();
  switch (grip) {
    case VrFrameGrip::kLeft:
    case VrFrameGrip::kTopLeft:
      x = right - winW;
      y = bottom - winH;
      break;
    case VrFrameGrip::kTop:
    case VrFrameGrip::kTopRight:
      y = bottom - winH;
      break;
    case VrFrameGrip::kBottomLeft:
      x = right - winW;
      break;
    default:  // right, bottom, bottom-right: the top-left corner stays
      break;
  }
  return QRect(x, y, winW, winH);
}

VrFrameGrip VrFrameHitTest(const QSize& windowSize, const VrFrameBorders& borders, const QPoint& pos,
                           bool locked) {
  const QRect window(QPoint(0, 0), windowSize);
  if (!window.contains(pos) || VrFrameClientRect(window, borders).contains(pos)) {
    return VrFrameGrip::kNone;
  }
  if (locked) return VrFrameGrip::kMove;
  // The resize band is as thick as the side border (the top strip's upper
  // band alone resizes; the rest of it moves); corners reach further along
  // the edges so that they are easy to hit.
  const int band = std::max(1, borders.m_iSide);
  const int corner = std::max(16, 2 * band);
  const int x = pos.x();
  const int y = pos.y();
  const int w = windowSize.width();
  const int h = windowSize.height();
  bool left = x < band;
  bool right = x >= w - band;
  bool top = y < band;
  bool bottom = y >= h - band;
  if (top || bottom) {
    left = left || x < corner;
    right = right || x >= w - corner;
  }
  if (left || right) {
    top = top || y < corner;
    bottom = bottom || y >= h - corner;
  }
  if (top && left) return VrFrameGrip::kTopLeft;
  if (top && right) return VrFrameGrip::kTopRight;
  if (bottom && left) return VrFrameGrip::kBottomLeft;
  if (bottom && right) return VrFrameGrip::kBottomRight;
  if (left) return VrFrameGrip::kLeft;
  if (right) return VrFrameGrip::kRight;
  if (top) return VrFrameGrip::kTop;
  if (bottom) return VrFrameGrip::kBottom;
  return VrFrameGrip::kMove;
}

QRect VrFrameClientRect(const QRect& window, const VrFrameBorders& borders) {
  return QRect(window.x() + borders.m_iSide, window.y() + borders.m_iTop,
               std::max(0, window.width() - 2 * borders.m_iSide),
               std::max(0, window.height() - borders.m_iTop - borders.m_iBottom));
}

QRect VrToScreenPixels(const QRect& logical, const QPoint& screenOrigin, double dpr) {
  if (dpr == 1.0) return logical;
  const auto scale = [dpr](int origin, int v) {
    return origin + static_cast<int>(std::lround((v - origin) * dpr));
  };
  const int left = scale(screenOrigin.x(), logical.x());
  const int top = scale(screenOrigin.y(), logical.y());
  const int right = scale(screenOrigin.x(), logical.x() + logical.width());
  const int bottom = scale(screenOrigin.y(), logical.y() + logical.height());
  return QRect(left, top, right - left, bottom - top);
}

bool VrCaptureRegionFor(const QRect& client, HX_Rect* region) {
  const int32_t w = VrEvenDown(client.width());
  const int32_t h = VrEvenDown(client.height());
  if (w <= 1 || h <= 1) return false;
  *region = HX_Rect{client.x(), client.y(), client.x() + w, client.y() + h};
  return true;
}
