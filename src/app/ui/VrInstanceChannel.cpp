#include "app/ui/VrInstanceChannel.h"

#include <QLocalServer>
#include <QLocalSocket>

#include "log/HX_Log.h"

namespace {
constexpr char kShow[] = "show\n";
constexpr char kOk[] = "ok\n";
}  // namespace

VrInstanceChannel::VrInstanceChannel(QObject* parent) : QObject(parent) {}

VrInstanceChannel::~VrInstanceChannel() {
  if (m_pServer != nullptr) m_pServer->close();
}

bool VrInstanceChannel::listen(const QString& name) {
  if (m_pServer == nullptr) {
    m_pServer = new QLocalServer(this);
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_pServer, &QLocalServer::newConnection, this, &VrInstanceChannel::OnConnection);
  }
  QLocalServer::removeServer(name);
  if (!m_pServer->listen(name)) {
    HX_LOG_ERROR("cannot listen on the local socket %s: %s", name.toUtf8().constData(),
                 m_pServer->errorString().toUtf8().constData());
    return false;
  }
  return true;
}

void VrInstanceChannel::OnConnection() {
  while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket]() {
      if (!socket->canReadLine()) return;
      const QByteArray line = socket->readLine();
      if (line == kShow) {
        socket->write(kOk);
        socket->flush();
        emit showRequested();
      }
      socket->disconnectFromServer();
    });
  }
}

bool VrInstanceChannel::AskToShow(const QString& name, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kShow);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  }
  return socket.readLine() == kOk;
}
