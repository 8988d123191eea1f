#include "app/ui/VrTrayIcon.h"

#include <QMenu>
#include <QSystemTrayIcon>

VrTrayIcon::VrTrayIcon(const QIcon& icon, QObject* parent) : QObject(parent) {
  m_pMenu = new QMenu();
  m_pMenu->addAction(tr("打开主窗口"), this, &VrTrayIcon::openRequested);
  m_pMenu->addAction(tr("退出"), this, &VrTrayIcon::quitRequested);
  m_pIcon = new QSystemTrayIcon(icon, this);
  m_pIcon->setToolTip(tr("澄影dozi"));
  m_pIcon->setContextMenu(m_pMenu);
  connect(m_pIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) emit openRequested();
  });
}

VrTrayIcon::~VrTrayIcon() {
  m_pIcon->hide();
  delete m_pMenu;  // a context menu has no parent of its own
}

bool VrTrayIcon::available() { return QSystemTrayIcon::isSystemTrayAvailable(); }
void VrTrayIcon::show() { m_pIcon->show(); }
void VrTrayIcon::hide() { m_pIcon->hide(); }
bool VrTrayIcon::isVisible() const { return m_pIcon->isVisible(); }
