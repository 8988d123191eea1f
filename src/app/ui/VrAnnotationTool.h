#pragma once
// The external annotation tool: <base dir>/gInk/gInk, started without
// arguments, found among the running processes by its name and terminated
// before a new copy starts. A missing tool is normal: nothing is started and
// nothing is reported. UI thread only.
#include <string>

class VrAnnotationTool {
 public:
  static constexpr int kStarted = 0;
  static constexpr int kMissing = 1;  // no tool installed
  static constexpr int kFailed = -1;  // present but would not start (logged)

  // |path| empty means <base dir>/gInk/gInk.
  explicit VrAnnotationTool(std::string path = std::string());

  bool isRunning() const;
  // Ends every running copy; how many were asked to end.
  int terminate();
  // Ends running copies, then starts a new one.
  int launch();
  const std::string& path() const { return m_strPath; }
  std::string processName() const;

 private:
  std::string m_strPath;
};
