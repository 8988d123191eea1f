#include "app/ui/RegionFrameProbe.h"

#include <QApplication>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstdlib>

#include "app/ui/ViZaroduDezoDlg.h"
#include "config/HX_ServerConfiguration.h"

int RunRegionFrameProbe(int argc, char** argv) {
  if (argc < 4) return 2;
  qputenv("QT_QPA_PLATFORM", "xcb");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  HX_ServerConfiguration& config = *HX_ServerConfiguration::instance();
  config.m_iCaptureMode = kCaptureRegion;
  ViZaroduDezoDlg frame(config);
  frame.move(std::atoi(argv[2]), std::atoi(argv[3]));
  frame.show();
  // Ready once the server shows the frame; the test still waits for the
  // red border to appear in its grabs before it judges the inside.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &frame, [&frame, &poll]() {
    if (frame.windowHandle() == nullptr || !frame.windowHandle()->isExposed()) return;
    poll.stop();
    frame.repaint();
    const QRect r = frame.CaptureRect();
    std::printf("READY %d %d %d %d\n", r.x(), r.y(), r.width(), r.height());
    std::fflush(stdout);
  });
  poll.start(20);
  // Every change of the stored capture region, as "REGION l t r b".
  QTimer watch;
  HX_Rect last{-1, -1, -1, -1};
  QObject::connect(&watch, &QTimer::timeout, &frame, [&config, &last]() {
    HX_Rect r;
    config.getCaptureRegion(&r.left, &r.top, &r.right, &r.bottom);
    if (r.left == last.left && r.top == last.top && r.right == last.right && r.bottom == last.bottom) {
      return;
    }
    last = r;
    std::printf("REGION %d %d %d %d\n", r.left, r.top, r.right, r.bottom);
    std::fflush(stdout);
  });
  watch.start(20);
  QTimer::singleShot(60000, &app, &QApplication::quit);
  return app.exec();
}
