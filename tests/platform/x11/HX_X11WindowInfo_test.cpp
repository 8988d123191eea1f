#include "platform/x11/HX_X11WindowInfo.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/x11/X11TestScene.h"
#include "support/XvfbServer.h"

namespace {
const HX_TopLevelWindow* Find(const std::vector<HX_TopLevelWindow>& list, uint32_t id) {
  auto it = std::find_if(list.begin(), list.end(),
                         [id](const HX_TopLevelWindow& w) { return w.id == id; });
  return it == list.end() ? nullptr : &*it;
}

class WindowInfoBare : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_x.ok()) << m_x.error();
    m_x.exportDisplay();
    ASSERT_EQ(m_info.open(), 0);
  }
  XvfbServer m_x;
  HX_X11WindowInfo m_info;
};
}  // namespace

TEST_F(WindowInfoBare, FactsOfRootChildrenTopmostFirst) {
  X11TestScene s(m_x.display());
  uint32_t bottom = s.createApp(10, 10, 100, 80, 0x111111, "bottom");
  uint32_t top = s.createApp(50, 50, 120, 90, 0x222222, "top");
  X11TestScene::Props p;
  p.title = "hidden";
  p.instance = "i";
  p.className = "C";
  p.map = false;
  uint32_t unmapped = s.create(0, 0, 30, 30, 0, p);
  p.map = true;
  p.title = "popup";
  p.transientFor = top;
  uint32_t popup = s.create(0, 0, 30, 30, 0, p);
  p.transientFor = 0;
  p.title = "menu";
  p.overrideRedirect = true;
  uint32_t menu = s.create(0, 0, 30, 30, 0, p);
  p.overrideRedirect = false;
  p.title = "";
  p.instance = "";
  p.className = "";
  uint32_t bare = s.create(0, 0, 30, 30, 0, p);
  // Only WM_NAME, in Latin-1: read back as UTF-8.
  uint32_t latin = s.create(0, 0, 30, 30, 0, p);
  const std::string cafe = "Caf\xe9";
  xcb_change_property(s.conn(), XCB_PROP_MODE_REPLACE, latin, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      static_cast<uint32_t>(cafe.size()), cafe.data());
  uint32_t desktop = s.createApp(0, 0, 1280, 800, 0x010101, "Desktop");
  s.setAtom(desktop, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DESKTOP");
  s.raise(bottom);  // now above "top"

  std::vector<HX_TopLevelWindow> list;
  ASSERT_EQ(m_info.listTopLevel(&list), 0);
  ASSERT_NE(Find(list, top), nullptr);
  // Creation order reversed, with the raised window first.
  const std::vector<uint32_t> expected = {bottom, desktop, latin, bare, menu, popup, unmapped, top};
  std::vector<uint32_t> order;
  for (const HX_TopLevelWindow& t : list) {
    if (std::find(expected.begin(), expected.end(), t.id) != expected.end()) order.push_back(t.id);
  }
  EXPECT_EQ(order, expected);

  const HX_TopLevelWindow* w = Find(list, top);
  EXPECT_EQ(w->title, "top");
  EXPECT_EQ(w->className, "OstrelTest");
  EXPECT_TRUE(w->visible);
  EXPECT_TRUE(w->ownRoot);
  EXPECT_FALSE(w->isShellWindow);
  EXPECT_EQ(w->cloaked, -1);  // no workspaces without a window manager
  EXPECT_EQ(w->outerWidth, 120);
  EXPECT_EQ(w->outerHeight, 90);

  EXPECT_FALSE(Find(list, unmapped)->visible);
  EXPECT_FALSE(Find(list, popup)->ownRoot);
  EXPECT_FALSE(Find(list, menu)->ownRoot);
  EXPECT_TRUE(Find(list, bare)->title.empty());
  EXPECT_TRUE(Find(list, bare)->className.empty());
  EXPECT_EQ(Find(list, latin)->title, "Caf\xc3\xa9");
  EXPECT_TRUE(Find(list, desktop)->isShellWindow);
}

TEST_F(WindowInfoBare, StateAndRectanglesOfOneWindow) {
  X11TestScene s(m_x.display());
  uint32_t w = s.createApp(30, 40, 200, 100, 0x333333, "w");
  EXPECT_TRUE(m_info.exists(w));
  EXPECT_FALSE(m_info.minimised(w));
  HX_ScreenRect outer;
  HX_ScreenRect client;
  ASSERT_EQ(m_info.rects(w, &outer, &client), 0);
  EXPECT_EQ(client.left, 30);
  EXPECT_EQ(client.top, 40);
  EXPECT_EQ(client.right, 230);
  EXPECT_EQ(client.bottom, 140);
  EXPECT_EQ(outer.left, 30);  // no frame without a window manager
  EXPECT_EQ(outer.bottom, 140);

  s.unmap(w);
  EXPECT_TRUE(m_info.minimised(w));  // not shown any more
  s.destroy(w);
  EXPECT_FALSE(m_info.exists(w));
  EXPECT_NE(m_info.rects(w, &outer, &client), 0);
  EXPECT_FALSE(m_info.exists(0));
}

TEST(WindowInfoManaged, FrameExtentsMinimiseAndWorkspaces) {
  XvfbServer::Options o;
  o.windowManager = true;
  XvfbServer x(o);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  HX_X11WindowInfo info;
  ASSERT_EQ(info.open(), 0);
  X11TestScene s(x.display());
  uint32_t a = s.createApp(100, 100, 300, 200, 0x444444, "alpha");
  uint32_t b = s.createApp(200, 150, 300, 200, 0x555555, "beta");
  HX_ScreenRect outer;
  HX_ScreenRect client;
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    return info.rects(a, &outer, &client) == 0 && outer.width() != client.width();
  })) << "the window manager never framed the window";
  // The frame adds its extents on each side.
  EXPECT_EQ(client.width(), 300);
  EXPECT_EQ(client.height(), 200);
  EXPECT_EQ(client.left - outer.left, 1);
  EXPECT_EQ(outer.right - client.right, 1);
  EXPECT_EQ(client.top - outer.top, 20);
  EXPECT_EQ(outer.bottom - client.bottom, 5);

  std::vector<HX_TopLevelWindow> list;
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    return info.listTopLevel(&list) == 0 && Find(list, a) && Find(list, b);
  }));
  EXPECT_EQ(Find(list, a)->outerWidth, 302);
  EXPECT_EQ(Find(list, a)->outerHeight, 225);
  EXPECT_EQ(Find(list, a)->cloaked, 0);
  // The frames themselves are never candidates: only client windows.
  EXPECT_EQ(list.size(), 2u);

  ASSERT_EQ(x.run({"xdotool", "windowminimize", std::to_string(a)}), 0);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return info.minimised(a); }));
  ASSERT_EQ(x.run({"xdotool", "set_desktop_for_window", std::to_string(b), "2"}), 0);
  ASSERT_TRUE(X11TestScene::waitFor([&] {
    return info.listTopLevel(&list) == 0 && Find(list, b) && Find(list, b)->cloaked == 2;
  }));
  // A minimised window is still a capture candidate.
  ASSERT_NE(Find(list, a), nullptr);
  EXPECT_TRUE(Find(list, a)->visible);
}
