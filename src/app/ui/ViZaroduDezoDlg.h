#pragma once
// The region frame: a red border that the operator drags and resizes over the
// screen to mark the capture region. Only the border is a window (the inside
// is cut out with a shape mask), so the frame never appears in a grab of the
// root window, with or without a compositing manager, and clicks inside reach
// the windows below. While the capture mode is region, every move and resize
// writes the inside into the configuration's capture region. UI thread only.
#include <QRect>
#include <QWidget>

#include "app/ui/VrRegionSizing.h"

class HX_ServerConfiguration;

class ViZaroduDezoDlg : public QWidget {
  Q_OBJECT

 public:
  explicit ViZaroduDezoDlg(HX_ServerConfiguration& config, QWidget* parent = nullptr);

  // 0..5: 16:9, 4:3, 2:1, 9:16, 4:9, free. A ratio reshapes the frame at
  // once (as if its top edge had been dragged); the free ratio keeps it.
  void SetAspectIndex(int index);
  int AspectIndex() const { return m_iAspectIndex; }
  // True during a run: the edges no longer resize, the frame still moves.
  void SetRunLocked(bool locked);
  bool RunLocked() const { return m_bRunLocked; }
  // The inside of the red border in the X server's screen pixels, before
  // rounding to even.
  QRect CaptureRect() const;
  const VrFrameBorders& Borders() const { return m_stBorders; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void StoreCaptureRegion();
  void UpdateCursor(VrFrameGrip grip);

  HX_ServerConfiguration& m_config;
  VrFrameBorders m_stBorders;
  int m_iAspectIndex = 0;
  bool m_bRunLocked = false;
  bool m_bInitialised = false;  // no region is written while the frame is being built
  VrFrameGrip m_eDragGrip = VrFrameGrip::kNone;
  QPoint m_ptDragStart;         // global position of the press
  QRect m_rcDragStart;          // window geometry at the press
};
