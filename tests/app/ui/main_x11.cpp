// Entry point of the frame-on-X11 tests: a private Xvfb with no window manager
// and no compositor, and one QApplication on it (platform xcb).
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdio>

#include "support/XvfbServer.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();  // test discovery needs no display
  XvfbServer xvfb;
  if (!xvfb.ok()) {
    std::fprintf(stderr, "no Xvfb: %s\n", xvfb.error().c_str());
    return 1;
  }
  xvfb.exportDisplay();
  qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
