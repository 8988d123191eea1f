#pragma once
// The local socket through which a second start of the dialog asks the first
// to show its window. The first instance listens under the name of its
// instance lock; a second one connects, sends "show" and waits for "ok".
// UI thread only.
#include <QObject>
#include <QString>

class QLocalServer;

class VrInstanceChannel : public QObject {
  Q_OBJECT
 public:
  explicit VrInstanceChannel(QObject* parent = nullptr);
  ~VrInstanceChannel() override;

  // Listens under |name|. The caller holds the instance lock, so a socket
  // left by a crashed instance is stale and removed first. True on success.
  bool listen(const QString& name);

  // Asks the instance listening under |name| to show its window; true when
  // it confirmed within |timeoutMs|.
  static bool AskToShow(const QString& name, int timeoutMs = 3000);

 signals:
  void showRequested();

 private:
  void OnConnection();
  QLocalServer* m_pServer = nullptr;
};
