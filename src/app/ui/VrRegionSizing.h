#pragma once
// The region frame's geometry rules, free of any window: which edge a press
// grabs, how a dragged rectangle snaps to the chosen aspect ratio and the
// minimum size, and which capture region a client rectangle gives. Pure
// functions; any thread.
#include <QPoint>
#include <QRect>
#include <QSize>

#include "config/HX_ServerConfiguration.h"

// What a press on the frame grabs.
enum class VrFrameGrip {
  kNone,  // outside the frame or inside the see-through client area
  kMove,
  kLeft,
  kTop,
  kRight,
  kBottom,
  kTopLeft,
  kTopRight,
  kBottomLeft,
  kBottomRight,
};

// Thickness of the red border around the client area; the top strip carries
// the caption.
struct VrFrameBorders {
  int m_iSide = 6;
  int m_iTop = 24;
  int m_iBottom = 6;
};

// Aspect-ratio indices of the main dialog's ratio list.
constexpr int kVrAspectCount = 6;
constexpr int kVrAspectFree = 5;
constexpr int kVrMinClientWidth = 160;
constexpr int kVrMinClientHeight = 90;

// Width : height of ratio |index| (0 16:9, 1 4:3, 2 2:1, 3 9:16, 4 4:9);
// an empty size for the free ratio and for indices out of range.
QSize VrAspectRatio(int index);

// The window rectangle after the operator dragged |grip| so far that the
// window would become |proposed|: the client area snaps to a multiple of the
// ratio (the dragged edge says whether its width or its height leads), grows
// to at least 160 x 90 keeping the ratio, and the corner opposite the dragged
// edge stays where it was. The free ratio only applies the minimum.
// kNone and kMove return |proposed| unchanged.
QRect VrRegionSizing(VrFrameGrip grip, const QRect& proposed, const VrFrameBorders& borders,
                     int aspectIndex);

// The grip under |pos| (window coordinates) of a frame of |windowSize|.
// Near the outer edge a press resizes, near a corner it resizes both ways,
// elsewhere on the border it moves; |locked| (during a run) leaves only moving.
VrFrameGrip VrFrameHitTest(const QSize& windowSize, const VrFrameBorders& borders, const QPoint& pos,
                           bool locked);

// The client area of a frame whose window occupies |window|.
QRect VrFrameClientRect(const QRect& window, const VrFrameBorders& borders);

// A logical (device-independent) rectangle on a screen whose top-left corner
// is |screenOrigin| and whose device pixel ratio is |dpr|, in the X server's
// pixels (Qt keeps a screen's top-left corner unscaled).
QRect VrToScreenPixels(const QRect& logical, const QPoint& screenOrigin, double dpr);

// The capture region for a client rectangle in screen pixels: the width and
// the height rounded down to even. False (and |region| untouched) when either
// is not greater than 1 after rounding.
bool VrCaptureRegionFor(const QRect& client, HX_Rect* region);
