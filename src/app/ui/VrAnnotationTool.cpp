#include "app/ui/VrAnnotationTool.h"

#include <unistd.h>

#include <QProcess>
#include <QString>

#include "log/HX_Log.h"
#include "platform/HX_Paths.h"
#include "platform/HX_Process.h"

VrAnnotationTool::VrAnnotationTool(std::string path) : m_strPath(std::move(path)) {
  if (m_strPath.empty()) m_strPath = HX_GetBaseDirectory() + "/gInk/gInk";
}

std::string VrAnnotationTool::processName() const {
  const size_t slash = m_strPath.rfind('/');
  return slash == std::string::npos ? m_strPath : m_strPath.substr(slash + 1);
}

bool VrAnnotationTool::isRunning() const { return !HX_FindProcesses(processName()).empty(); }

int VrAnnotationTool::terminate() { return HX_TerminateProcesses(processName()); }

int VrAnnotationTool::launch() {
  terminate();
  if (access(m_strPath.c_str(), X_OK) != 0) return kMissing;
  qint64 pid = 0;
  if (!QProcess::startDetached(QString::fromStdString(m_strPath), QStringList(), QString(), &pid)) {
    HX_LOG_ERROR("cannot start the annotation tool %s", m_strPath.c_str());
    return kFailed;
  }
  HX_LOG_INFO("annotation tool %s started, pid %lld", m_strPath.c_str(), static_cast<long long>(pid));
  return kStarted;
}
