#include "capture/VrWindowList.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <atomic>
#include <thread>

#include "capture/x11/ScreenFakes.h"
#include "platform/x11/X11TestScene.h"
#include "support/XvfbServer.h"

namespace {
HX_TopLevelWindow Good(HX_WindowId id, const std::string& title) {
  HX_TopLevelWindow w;
  w.id = id;
  w.title = title;
  w.className = "Cls";
  w.visible = true;
  w.ownRoot = true;
  w.cloaked = -1;
  w.outerWidth = 100;
  w.outerHeight = 50;
  return w;
}

std::vector<VrWindowEntry> Refill(const std::vector<HX_TopLevelWindow>& windows) {
  FakeWindowInfo::State st;
  st.topLevel = windows;
  FakeWindowInfo source(&st);
  EXPECT_EQ(VrWindowList::instance()->refill(source), 0);
  std::vector<VrWindowEntry> out;
  VrWindowList::instance()->copyEntries(&out);
  return out;
}

std::vector<HX_WindowId> Ids(const std::vector<VrWindowEntry>& entries) {
  std::vector<HX_WindowId> ids;
  for (const VrWindowEntry& e : entries) ids.push_back(e.m_uiWindow);
  return ids;
}

class WindowListTest : public ::testing::Test {
 protected:
  void TearDown() override { VrWindowList::release(); }
};
}  // namespace

TEST_F(WindowListTest, EveryFilterExcludesItsWindowsAndOrderIsKept) {
  std::vector<HX_TopLevelWindow> w;
  w.push_back(Good(1, "first"));
  w.push_back(Good(2, "shell"));
  w.back().isShellWindow = true;
  w.push_back(Good(3, ""));
  w.push_back(Good(4, "invisible"));
  w.back().visible = false;
  w.push_back(Good(5, "popup"));
  w.back().ownRoot = false;
  w.push_back(Good(6, "disabled"));
  w.back().disabled = true;
  w.push_back(Good(7, "other workspace"));
  w.back().cloaked = 2;
  w.push_back(Good(8, "zero width"));
  w.back().outerWidth = 0;
  w.push_back(Good(9, "zero height"));
  w.back().outerHeight = 0;
  w.push_back(Good(10, "no class"));
  w.back().className.clear();
  w.push_back(Good(0, "no handle"));
  w.push_back(Good(11, "cloak readable, not cloaked"));
  w.back().cloaked = 0;
  w.push_back(Good(12, "last"));
  std::vector<VrWindowEntry> entries = Refill(w);
  EXPECT_EQ(Ids(entries), (std::vector<HX_WindowId>{1, 11, 12}));
  EXPECT_EQ(entries[0].m_strTitle, "first");
  EXPECT_EQ(entries[0].m_strClassName, "Cls");
}

TEST_F(WindowListTest, TextsAreCutAt1024CharactersNotBytes) {
  std::string title;
  for (int i = 0; i < 1030; ++i) title += "\xe7\xaa\x97";  // a three-byte character
  HX_TopLevelWindow w = Good(1, title);
  w.className = std::string(2000, 'c');
  std::vector<VrWindowEntry> entries = Refill({w});
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].m_strTitle.size(), 1024u * 3);
  EXPECT_EQ(entries[0].m_strClassName.size(), 1024u);
}

TEST_F(WindowListTest, SelectionIsClearedByARefillAndCheckedAgainstTheEntries) {
  VrWindowList* list = VrWindowList::instance();
  std::vector<VrWindowEntry> copy;
  EXPECT_EQ(list->copyEntries(&copy), -1);  // empty
  EXPECT_EQ(list->getSelectedWindow(), 0u);
  Refill({Good(7, "a"), Good(8, "b")});
  list->setSelectedIndex(1);
  EXPECT_EQ(list->getSelectedWindow(), 8u);
  list->setSelectedIndex(2);
  EXPECT_EQ(list->getSelectedWindow(), 0u);
  list->setSelectedIndex(-1);
  EXPECT_EQ(list->getSelectedWindow(), 0u);
  list->setSelectedIndex(0);
  Refill({Good(7, "a"), Good(8, "b")});
  EXPECT_EQ(list->getSelectedWindow(), 0u);  // until the dialog selects again

  list->setSelectedIndex(0);
  FakeWindowInfo::State st;
  st.listRc = -2;
  FakeWindowInfo broken(&st);
  EXPECT_EQ(list->refill(broken), -1);
  EXPECT_EQ(list->copyEntries(&copy), -1);
  EXPECT_EQ(list->getSelectedWindow(), 0u);
}

TEST_F(WindowListTest, ReadersNeverSeeAHalfRefilledList) {
  std::vector<HX_TopLevelWindow> many;
  for (HX_WindowId i = 1; i <= 200; ++i) many.push_back(Good(i, "w" + std::to_string(i)));
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    std::vector<VrWindowEntry> copy;
    while (!done) {
      VrWindowList::instance()->setSelectedIndex(199);
      HX_WindowId id = VrWindowList::instance()->getSelectedWindow();
      if (id != 0 && id != 200) bad++;
      if (VrWindowList::instance()->copyEntries(&copy) == 0 && copy.size() != 200) bad++;
    }
  });
  for (int i = 0; i < 200; ++i) Refill(many);
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(WindowListTest, RealWindowsWithoutAWindowManager) {
  XvfbServer x;
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  X11TestScene s(x.display());
  uint32_t a = s.createApp(0, 0, 50, 50, 0, "Editor");
  uint32_t b = s.createApp(60, 0, 50, 50, 0, "Viewer");
  X11TestScene::Props p;
  p.title = "never shown";
  p.instance = "i";
  p.className = "C";
  p.map = false;
  s.create(0, 0, 20, 20, 0, p);
  p.map = true;
  p.title = "dialog of Editor";
  p.transientFor = a;
  s.create(0, 0, 20, 20, 0, p);
  p.transientFor = 0;
  p.className = "";
  p.instance = "";
  p.title = "classless";
  s.create(0, 0, 20, 20, 0, p);
  p.title = "";
  p.className = "Untitled";
  s.create(0, 0, 20, 20, 0, p);

  ASSERT_EQ(VrWindowList::instance()->refill(), 0);
  std::vector<VrWindowEntry> entries;
  ASSERT_EQ(VrWindowList::instance()->copyEntries(&entries), 0);
  EXPECT_EQ(Ids(entries), (std::vector<HX_WindowId>{b, a}));  // topmost first
  EXPECT_EQ(entries[0].m_strTitle, "Viewer");
  EXPECT_EQ(entries[0].m_strClassName, "OstrelTest");

  x.stop();
  setenv("DISPLAY", ":65000", 1);  // parallel tests may reuse the freed number
  EXPECT_EQ(VrWindowList::instance()->refill(), -1);
  EXPECT_EQ(VrWindowList::instance()->copyEntries(&entries), -1);
}
