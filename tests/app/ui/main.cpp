// Test entry point: one QApplication for every test, on the offscreen platform
// unless QT_QPA_PLATFORM says otherwise. With --region-frame-probe the binary
// is instead the X client of the frame test (RegionFrameProbe.h).
#include <gtest/gtest.h>

#include <QApplication>

#include <cstring>

#include "app/ui/RegionFrameProbe.h"

namespace {
// The offscreen platform warns about every dialog it sizes; nothing to act on.
QtMessageHandler g_previousHandler = nullptr;
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (msg.contains("propagateSizeHints")) return;
  if (g_previousHandler != nullptr) g_previousHandler(type, context, msg);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], kRegionFrameProbeArg) == 0) {
    return RunRegionFrameProbe(argc, argv);
  }
  ::testing::InitGoogleTest(&argc, argv);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  g_previousHandler = qInstallMessageHandler(QuietMessages);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
