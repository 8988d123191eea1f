#include "app/ui/ViZaroduDezoDlg.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QScreen>

#include <algorithm>

#include "config/HX_ServerConfiguration.h"

namespace {
constexpr int kInitialClientWidth = 640;
constexpr int kInitialClientHeight = 360;
const QColor kBorderColour(255, 0, 0);
}  // namespace

ViZaroduDezoDlg::ViZaroduDezoDlg(HX_ServerConfiguration& config, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_config(config) {
  setWindowTitle(tr("澄影dozi  (注: 开始截屏之后无法改变截屏窗口大小)"));
  setMouseTracking(true);
  // The top strip carries the caption, like a title bar.
  m_stBorders.m_iTop = std::max(m_stBorders.m_iTop, QFontMetrics(font()).height() + 8);
  setMinimumSize(kVrMinClientWidth + 2 * m_stBorders.m_iSide,
                 kVrMinClientHeight + m_stBorders.m_iTop + m_stBorders.m_iBottom);

  const QSize window(kInitialClientWidth + 2 * m_stBorders.m_iSide,
                     kInitialClientHeight + m_stBorders.m_iTop + m_stBorders.m_iBottom);
  QScreen* screen = parent != nullptr && parent->screen() != nullptr ? parent->screen()
                                                                     : QGuiApplication::primaryScreen();
  QRect area = screen != nullptr ? screen->availableGeometry() : QRect(QPoint(0, 0), window);
  QRect geometry(QPoint(0, 0), window);
  geometry.moveCenter(area.center());
  setGeometry(geometry);
  m_bInitialised = true;
}

void ViZaroduDezoDlg::SetAspectIndex(int index) {
  m_iAspectIndex = (index >= 0 && index < kVrAspectCount) ? index : kVrAspectFree;
  if (m_iAspectIndex == kVrAspectFree || m_bRunLocked) return;
  setGeometry(VrRegionSizing(VrFrameGrip::kTop, geometry(), m_stBorders, m_iAspectIndex));
  update();
}

void ViZaroduDezoDlg::SetRunLocked(bool locked) {
  m_bRunLocked = locked;
  // A resize in progress ends here; a move may go on.
  if (locked && m_eDragGrip != VrFrameGrip::kNone && m_eDragGrip != VrFrameGrip::kMove) {
    m_eDragGrip = VrFrameGrip::kNone;
  }
  UpdateCursor(VrFrameGrip::kMove);
}

QRect ViZaroduDezoDlg::CaptureRect() const {
  const QRect client = VrFrameClientRect(geometry(), m_stBorders);
  const QScreen* s = screen();
  if (s == nullptr) return client;
  return VrToScreenPixels(client, s->geometry().topLeft(), s->devicePixelRatio());
}

void ViZaroduDezoDlg::StoreCaptureRegion() {
  if (!m_bInitialised || m_config.m_iCaptureMode != kCaptureRegion) return;
  HX_Rect region;
  if (!VrCaptureRegionFor(CaptureRect(), &region)) return;
  m_config.setCaptureRegion(region.left, region.top, region.right, region.bottom);
}

void ViZaroduDezoDlg::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  StoreCaptureRegion();
}

void ViZaroduDezoDlg::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  StoreCaptureRegion();
  // Without a compositing manager a translucent window paints opaque, and a
  // grab of the root window would show it: only the border is window at all.
  const QRect all = rect();
  setMask(QRegion(all).subtracted(QRegion(VrFrameClientRect(all, m_stBorders))));
  update();
}

void ViZaroduDezoDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kBorderColour);
  const QRect captionRect(m_stBorders.m_iSide + 4, 0, width() - 2 * m_stBorders.m_iSide - 8,
                          m_stBorders.m_iTop);
  const QString caption =
      painter.fontMetrics().elidedText(windowTitle(), Qt::ElideRight, captionRect.width());
  painter.setPen(Qt::white);
  painter.drawText(captionRect, Qt::AlignLeft | Qt::AlignVCenter, caption);
}

void ViZaroduDezoDlg::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  m_eDragGrip = VrFrameHitTest(size(), m_stBorders, event->position().toPoint(), m_bRunLocked);
  m_ptDragStart = event->globalPosition().toPoint();
  m_rcDragStart = geometry();
  event->accept();
}

void ViZaroduDezoDlg::mouseMoveEvent(QMouseEvent* event) {
  if (m_eDragGrip == VrFrameGrip::kNone || !(event->buttons() & Qt::LeftButton)) {
    UpdateCursor(VrFrameHitTest(size(), m_stBorders, event->position().toPoint(), m_bRunLocked));
    return;
  }
  const QPoint d = event->globalPosition().toPoint() - m_ptDragStart;
  if (m_eDragGrip == VrFrameGrip::kMove) {
    move(m_rcDragStart.topLeft() + d);
    return;
  }
  QRect proposed = m_rcDragStart;
  switch (m_eDragGrip) {
    case VrFrameGrip::kLeft: proposed.setLeft(proposed.left() + d.x()); break;
    case VrFrameGrip::kRight: proposed.setRight(proposed.right() + d.x()); break;
    case VrFrameGrip::kTop: proposed.setTop(proposed.top() + d.y()); break;
    case VrFrameGrip::kBottom: proposed.setBottom(proposed.bottom() + d.y()); break;
    case VrFrameGrip::kTopLeft: proposed.setTopLeft(proposed.topLeft() + d); break;
    case VrFrameGrip::kTopRight: proposed.setTopRight(proposed.topRight() + d); break;
    case VrFrameGrip::kBottomLeft: proposed.setBottomLeft(proposed.bottomLeft() + d); break;
    case VrFrameGrip::kBottomRight: proposed.setBottomRight(proposed.bottomRight() + d); break;
    default: break;
  }
  setGeometry(VrRegionSizing(m_eDragGrip, proposed, m_stBorders, m_iAspectIndex));
}

void ViZaroduDezoDlg::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) m_eDragGrip = VrFrameGrip::kNone;
  QWidget::mouseReleaseEvent(event);
}

void ViZaroduDezoDlg::UpdateCursor(VrFrameGrip grip) {
  switch (grip) {
    case VrFrameGrip::kLeft:
    case VrFrameGrip::kRight: setCursor(Qt::SizeHorCursor); break;
    case VrFrameGrip::kTop:
    case VrFrameGrip::kBottom: setCursor(Qt::SizeVerCursor); break;
    case VrFrameGrip::kTopLeft:
    case VrFrameGrip::kBottomRight: setCursor(Qt::SizeFDiagCursor); break;
    case VrFrameGrip::kTopRight:
    case VrFrameGrip::kBottomLeft: setCursor(Qt::SizeBDiagCursor); break;
    case VrFrameGrip::kMove: setCursor(Qt::SizeAllCursor); break;
    default: unsetCursor(); break;
  }
}
