// Entry point of the widget tests: one QApplication for every test, on the
// offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <gtest/gtest.h>

#include <QApplication>

namespace {
// The offscreen platform warns about every dialog it sizes; nothing to act on.
QtMessageHandler g_previousHandler = nullptr;
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (msg.contains("propagateSizeHints")) return;
  if (g_previousHandler != nullptr) g_previousHandler(type, context, msg);
}
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  g_previousHandler = qInstallMessageHandler(QuietMessages);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
