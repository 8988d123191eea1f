#pragma once
// The dialog application: guards against a second instance on the same base
// directory, installs the crash handler, loads the configuration, starts
// logging, runs the main dialog until it closes and then performs the
// dialog's shutdown steps. Main thread only; one per process.
class QApplication;

class COstrelApp {
 public:
  // The process's exit code. |argc| and |argv| are those of main(); Qt's own
  // options are taken out, then only --home DIR and --help are accepted.
  static int Run(int argc, char** argv);
  // Installs the English catalogue for en_* locales (Qt's own for others).
  static void InstallTranslation(QApplication& app);
};
