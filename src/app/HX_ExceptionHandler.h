#pragma once
// The crash handler: on a fatal signal it writes a crash report (the signal,
// the stack trace and the "prod"/"ver" metadata) into <base>/dump/.
// Process-wide; start once from the start-up thread.
#include <string>

class HX_ExceptionHandler {
 public:
  static HX_ExceptionHandler* instance();

  // Creates <base>/dump (with missing parents) and installs the handler.
  // 0, or -1 when the handler could not be installed ("g_pstHandler is NULL").
  int start();
  // The directory reports are written to (valid after start).
  const std::string& dumpDirectory() const { return m_strDumpDir; }

 private:
  HX_ExceptionHandler() = default;
  std::string m_strDumpDir;
};
