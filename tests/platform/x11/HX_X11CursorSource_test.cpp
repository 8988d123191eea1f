#include "platform/x11/HX_X11CursorSource.h"

#include <gtest/gtest.h>

#include "platform/x11/X11TestScene.h"
#include "support/XvfbServer.h"

TEST(X11CursorSource, PositionEveryPollImageOnlyAfterTheCursorChanged) {
  XvfbServer x;
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  X11TestScene scene(x.display());
  scene.setRootCursor(6, 4, 1, 2, 0x00FF00);
  scene.warpPointer(200, 150);
  HX_X11CursorSource source;
  ASSERT_EQ(source.open(), 0);
  HX_CursorState state;
  ASSERT_EQ(source.poll(&state), 0);
  EXPECT_TRUE(state.visible);
  EXPECT_EQ(state.x, 200);
  EXPECT_EQ(state.y, 150);
  ASSERT_TRUE(state.image);
  EXPECT_EQ(state.image->width, 6);
  EXPECT_EQ(state.image->height, 4);
  EXPECT_EQ(state.image->xhot, 1);
  EXPECT_EQ(state.image->yhot, 2);
  ASSERT_EQ(state.image->argb.size(), 24u);
  EXPECT_EQ(state.image->argb[0], 0xFF00FF00u);
  EXPECT_EQ(source.imageFetches(), 1);

  for (int i = 0; i < 5; ++i) {
    scene.warpPointer(300 + i, 100);
    ASSERT_EQ(source.poll(&state), 0);
  }
  EXPECT_EQ(state.x, 304);
  EXPECT_EQ(source.imageFetches(), 1);  // moving is not a new image

  const uint32_t oldSerial = state.image->serial;
  scene.setRootCursor(3, 3, 0, 0, 0xFF0000);
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    return source.poll(&state) == 0 && state.image && state.image->serial != oldSerial;
  }));
  EXPECT_EQ(state.image->width, 3);
  EXPECT_EQ(state.image->argb[0], 0xFFFF0000u);
  EXPECT_EQ(source.imageFetches(), 2);

  x.stop();
  EXPECT_LT(source.poll(&state), 0);
}
