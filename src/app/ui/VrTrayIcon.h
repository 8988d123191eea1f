#pragma once
// The notification-area icon of the dialog: tip "澄影dozi", double-click to
// open the window, a context menu with "打开主窗口" and "退出". Where the
// desktop has no notification area, available() is false and the dialog
// keeps its window reachable instead. UI thread only.
#include <QIcon>
#include <QObject>

class QMenu;
class QSystemTrayIcon;

class VrTrayIcon : public QObject {
  Q_OBJECT
 public:
  explicit VrTrayIcon(const QIcon& icon, QObject* parent = nullptr);
  ~VrTrayIcon() override;

  static bool available();
  void show();
  void hide();
  bool isVisible() const;

 signals:
  void openRequested();
  void quitRequested();

 private:
  QSystemTrayIcon* m_pIcon = nullptr;
  QMenu* m_pMenu = nullptr;
};
