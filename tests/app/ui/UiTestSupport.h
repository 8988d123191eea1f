#pragma once
// Shared pieces of the dialog tests: one QApplication on the offscreen
// platform for the whole test program; the scripted run pieces come from
// support/ScriptedRun.h.
#include <QApplication>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/ScriptedRun.h"

inline QApplication* TestApp() {
  static int argc = 1;
  static char arg0[] = "ostrel_ui_test";
  static char* argv[] = {arg0, nullptr};
  if (QApplication::instance() == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);  // lives until the test program ends
  }
  return static_cast<QApplication*>(QApplication::instance());
}

