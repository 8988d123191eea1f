#pragma once
// A monitor marker: a small frameless window that shows a monitor's number in
// large bold type and hides itself two seconds after it is shown, so the
// operator can tell the monitors apart. The caller places and shows it.
// UI thread only.
#include <QTimer>
#include <QWidget>

class VrScreenFalgDlg : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kHideDelayMs = 2000;

  VrScreenFalgDlg(int number, QWidget* parent = nullptr);

  int Number() const { return m_iNumber; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  int m_iNumber;
  QTimer m_hideTimer;
};
