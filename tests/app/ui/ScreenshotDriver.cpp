// Puts the dialog and its windows into the states the documentation shows and
// tells scripts/screenshots.sh when to take each picture. Runs on a real X
// display (the script's private Xvfb). Protocol on stdout, one line each:
//   SHOT <name> <W>x<H>+<X>+<Y>    take the picture, then write a line to stdin
//   DONE
// Options: --home DIR (required), --skip-settings, --skip-region.
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "app/ui/COstrelApp.h"
#include "app/ui/COstrelDlg.h"
#include "app/ui/ViZaroduDezoSetDlg.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/HX_Paths.h"

namespace {
void Pump(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

void Shot(const char* name, const QRect& r) {
  std::printf("SHOT %s %dx%d+%d+%d\n", name, r.width(), r.height(), r.x(), r.y());
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
}

QRect Screen() { return QGuiApplication::primaryScreen()->geometry(); }
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  bool skipSettings = false, skipRegion = false;
  std::string home;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--skip-settings") == 0) skipSettings = true;
    else if (std::strcmp(argv[i], "--skip-region") == 0) skipRegion = true;
    else if (std::strcmp(argv[i], "--home") == 0 && i + 1 < argc) home = argv[++i];
  }
  if (home.empty()) {
    std::fputs("usage: ostrel_ui_screens --home DIR [--skip-settings] [--skip-region]\n", stderr);
    return 2;
  }
  HX_SetBaseDirectory(home);
  COstrelApp::InstallTranslation(app);
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->loadNormalConfig();

  COstrelDlgOptions options;
  options.m_bTray = true;
  COstrelDlg dlg(options);
  dlg.show();
  Pump(1500);
  // Monitor markers appear with every refill of the monitor list.
  if (dlg.MarkerCount() >= 2) {
    dlg.FillTargetList();
    Pump(300);
    Shot("monitor-markers", Screen());
  }
  Shot("main-idle", dlg.frameGeometry());

  dlg.OnStart();
  if (dlg.isRunning()) {
    Pump(4500);  // the encoder warms up, then the status line shows steady rates
    Shot("main-running", dlg.frameGeometry());
    dlg.OnStart();
  } else {
    std::fputs("ostrel_ui_screens: the run did not start; no running picture\n", stderr);
  }

  if (!skipSettings) {
    ViZaroduDezoSetDlg settings(*cfg, &dlg);
    settings.show();
    Pump(800);
    Shot("settings", settings.frameGeometry());
    settings.close();
  }
  if (!skipRegion) {
    dlg.SetMode(COstrelDlg::kModeRegion);
    Pump(1200);
    Shot("region-frame", Screen());
  }
  std::puts("DONE");
  std::fflush(stdout);
  dlg.Shutdown();
  return 0;
}
