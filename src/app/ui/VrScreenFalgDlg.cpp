#include "app/ui/VrScreenFalgDlg.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>

VrScreenFalgDlg::VrScreenFalgDlg(int number, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_iNumber(number),
      m_hideTimer(this) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  m_hideTimer.setObjectName("hideTimer");
  m_hideTimer.setSingleShot(true);
  m_hideTimer.setInterval(kHideDelayMs);
  connect(&m_hideTimer, &QTimer::timeout, this, &QWidget::hide);
}

void VrScreenFalgDlg::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  m_hideTimer.start();
}

void VrScreenFalgDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  const QString text = QString::number(m_iNumber);
  // Glyphs as high as the window and each a quarter of its width: the
  // stretch factor squeezes or widens the font's own digit width to that.
  QFont f = font();
  f.setWeight(QFont::Bold);
  f.setPixelSize(std::max(1, height()));
  const int natural = QFontMetrics(f).horizontalAdvance(text) / std::max<int>(1, text.size());
  if (natural > 0) {
    const double stretch = 100.0 * (width() / 4.0) / natural;
    f.setStretch(std::clamp(static_cast<int>(std::lround(stretch)), 1, 4000));
  }
  painter.setFont(f);
  painter.setPen(palette().windowText().color());
  painter.drawText(rect(), Qt::AlignCenter, text);
}
