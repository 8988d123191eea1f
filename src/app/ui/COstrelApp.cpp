#include "app/ui/COstrelApp.h"

#include <ace/Init_ACE.h>
#include <glog/logging.h>
#include <unistd.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/HX_ExceptionHandler.h"
#include "app/HX_IOperatorPrompt.h"
#include "app/VrFfmpegLog.h"
#include "app/VrHeadlessRunner.h"
#include "app/VrRunTarget.h"
#include "app/ui/COstrelDlg.h"
#include "app/ui/VrInstanceChannel.h"
#include "app/ui/VrMessageBoxPrompt.h"
#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "log/HX_LoggingSystem.h"
#include "platform/HX_InstanceLock.h"
#include "platform/HX_Paths.h"

namespace {
const char kUsage[] =
    "Usage: ostrel [--home DIR] [--capture x11|portal]   open the dialog\n"
    "       ostrel --headless ...    run without the dialog (ostrel --help)\n"
    "\n"
    "  --home DIR   base directory holding config.ini, log/ and dump/\n"
    "               (default: OSTREL_HOME, else beside the executable; for an\n"
    "               installed copy $XDG_CONFIG_HOME/ostrel and $XDG_STATE_HOME/ostrel)\n"
    "  --capture BACKEND   x11: the X server; portal: the desktop's screen-cast\n"
    "               portal (default: CaptureBackend, else the portal in a Wayland session)\n";

// The value of --capture VALUE or --capture=VALUE at argv[*i] (moving *i past
// it), or null when argv[*i] is no --capture option.
const char* CaptureOption(int argc, char** argv, int* i) {
  const char* a = argv[*i];
  if (std::strncmp(a, "--capture=", 10) == 0) return a + 10;
  if (std::strcmp(a, "--capture") != 0) return nullptr;
  if (*i + 1 >= argc) return "";
  return argv[++*i];
}

}  // namespace

// English for en_* locales; the source texts are Chinese.
void COstrelApp::InstallTranslation(QApplication& app) {
  static QTranslator own, qt;  // installed translators must outlive the application's use of them
  const QLocale locale;
  if (!locale.name().startsWith(QLatin1String("en"))) {
    if (qt.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
      app.installTranslator(&qt);
    }
    return;
  }
  if (own.load(QStringLiteral(":/i18n/ostrel_en.qm"))) app.installTranslator(&own);
  else std::fputs("ostrel: the English translation is missing; texts stay Chinese\n", stderr);
}

namespace {

void Tell(const char* text) {
  QMessageBox::information(nullptr, QCoreApplication::translate("COstrelApp", "澄影dozi"),
                           VrMessageBoxPrompt::Translate(text), QMessageBox::Ok);
}
}  // namespace

int COstrelApp::Run(int argc, char** argv) {
  // Our options use two dashes, Qt's (-platform, -style ...) one: a usage
  // error is reported before a display is needed.
  std::string capture;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const bool qtOption = a[0] == '-' && a[1] != '-' && a[1] != '\0';
    if (const char* value = CaptureOption(argc, argv, &i)) {
      capture = value;
      if (capture != "x11" && capture != "portal") {
        std::fprintf(stderr, "ostrel: unknown capture back-end '%s' (x11 or portal)\n\n%s", value, kUsage);
        return 2;
      }
    } else if (std::strcmp(a, "--home") == 0 && i + 1 < argc) {
      ++i;
    } else if (qtOption) {
      if (i + 1 < argc && argv[i + 1][0] != '-') ++i;  // its value, if any
    } else if (std::strncmp(a, "--home=", 7) != 0) {
      std::fprintf(stderr, "ostrel: unknown argument '%s'\n\n%s", a, kUsage);
      return 2;
    }
  }
  QApplication app(argc, argv);  // takes Qt's own options out of argv
  QApplication::setApplicationName(QStringLiteral("ostrel"));
  QApplication::setQuitOnLastWindowClosed(false);  // minimised to the tray is not closed
  HX_InitBaseDirectory(argc, argv);
  InstallTranslation(app);

  const std::string base = HX_GetBaseDirectory();
  HX_MakeDirectories(base);
  HX_InstanceLock lock;
  const int locked = lock.acquire(base);
  const QString channelName = QString::fromStdString(HX_InstanceLock::InstanceName(base));
  if (locked == HX_InstanceLock::kCannotCreate) {
    Tell(HX_RunText::kLockFailed);
    return 0;
  }
  if (locked == HX_InstanceLock::kHeldElsewhere) {
    if (!VrInstanceChannel::AskToShow(channelName)) Tell(HX_RunText::kAlreadyRunning);
    return 0;
  }

  ACE::init();
  VrInstallFfmpegLogBridge();
  HX_ExceptionHandler::instance()->start();
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  // A missing config.ini is a first start, not a failure: the defaults apply
  // and shutdown writes the file.
  const bool haveFile = access(cfg->configFilePath().c_str(), F_OK) == 0;
  if (cfg->loadNormalConfig() != 0) {
    if (haveFile) Tell(HX_RunText::kConfigLoadFailed);
    cfg->resetToDefaults();
  }
  VrMessageBoxPrompt configPrompt(nullptr);
  HX_TellLoadProblems(&configPrompt, cfg->loadProblems());
  HX_LoggingSystem* logging = HX_LoggingSystem::instance();
  logging->setConfiguration(cfg);
  logging->init();
  if (logging->startDaemon() != 0) return 1;
  HX_LOG_INFO("base directory %s, logs in %s", base.c_str(), HX_GetStateDirectory().c_str());
  VrApplyCaptureBackend(capture);

  int code = 0;
  {
    COstrelDlg dialog;
    VrInstanceChannel channel;
    QObject::connect(&channel, &VrInstanceChannel::showRequested, &dialog, &COstrelDlg::ShowFromOutside);
    channel.listen(channelName);
    QObject::connect(&dialog, &QDialog::finished, &app, &QCoreApplication::quit);
    // SIGINT and SIGTERM (caught from the start of main) close the dialog as
    // its close button does: the run stops and the settings are saved.
    QTimer stopWatch;
    QObject::connect(&stopWatch, &QTimer::timeout, &app, [] {
      if (VrStopSignal() != 0) QCoreApplication::exit(0);
    });
    stopWatch.start(100);
    dialog.show();
    if (VrStopSignal() == 0) code = app.exec();
    dialog.Shutdown();
  }
  logging->stopDaemon();
  google::FlushLogFiles(google::GLOG_INFO);
  return code;
}
