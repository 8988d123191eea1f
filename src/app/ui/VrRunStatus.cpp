#include "app/ui/VrRunStatus.h"

#include <QFileInfo>

QString VrRunStatus::update(const VrRunCounters& c, int64_t nowMs, bool privateProtocol) {
  double fps = 0, kbps = 0, publishKbps = 0;
  if (m_bHavePrevious && nowMs > m_llPreviousMs && c.m_ullVideoFrames >= m_stPrevious.m_ullVideoFrames &&
      c.m_ullBytes >= m_stPrevious.m_ullBytes) {
    const double seconds = static_cast<double>(nowMs - m_llPreviousMs) / 1000.0;
    fps = static_cast<double>(c.m_ullVideoFrames - m_stPrevious.m_ullVideoFrames) / seconds;
    kbps = static_cast<double>(c.m_ullBytes - m_stPrevious.m_ullBytes) * 8.0 / 1000.0 / seconds;
    if (c.m_ullPublishBytes >= m_stPrevious.m_ullPublishBytes) {
      publishKbps = static_cast<double>(c.m_ullPublishBytes - m_stPrevious.m_ullPublishBytes) * 8.0 / 1000.0 / seconds;
    }
  }
  m_stPrevious = c;
  m_llPreviousMs = nowMs;
  m_bHavePrevious = true;

  QString line = privateProtocol ? tr("客户端 %1").arg(c.m_iClients) : tr("NDI");
  line += tr(" · %1 帧/秒 · %2 kbit/s").arg(fps, 0, 'f', 1).arg(kbps, 0, 'f', 0);
  if (!c.m_strRecordFile.empty()) {
    line += tr(" · 录制 %1").arg(QFileInfo(QString::fromStdString(c.m_strRecordFile)).fileName());
  }
  if (c.m_bPublishing) {
    line += c.m_bPublishConnected ? tr(" · 发布 %1 kbit/s").arg(publishKbps, 0, 'f', 0) : tr(" · 发布 重连中");
    if (c.m_ullPublishDropped > 0) line += tr(" · 丢弃 %1").arg(c.m_ullPublishDropped);
  }
  return line;
}
