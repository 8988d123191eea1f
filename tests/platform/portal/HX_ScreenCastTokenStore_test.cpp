#include "platform/portal/HX_ScreenCastTokenStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/HX_Paths.h"
#include "support/TempDir.h"

namespace {

constexpr auto kMonitor = HX_ScreenCastRequest::kMonitor;
constexpr auto kWindow = HX_ScreenCastRequest::kWindow;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(ScreenCastTokenStore, KeepsOneTokenPerKindAndForgetsOnEmpty) {
  TempDir dir;
  HX_ScreenCastTokenStore store(dir.file("tokens.ini"));
  EXPECT_EQ(store.Load(kMonitor), "");  // no file yet
  EXPECT_EQ(store.Load(kWindow), "");

  ASSERT_EQ(store.Save(kMonitor, "1b4e28ba-2fa1-11d2-883f-0016d3cca427"), 0);
  ASSERT_EQ(store.Save(kWindow, "win-token"), 0);
  EXPECT_EQ(store.Load(kMonitor), "1b4e28ba-2fa1-11d2-883f-0016d3cca427");
  EXPECT_EQ(store.Load(kWindow), "win-token");

  ASSERT_EQ(store.Save(kMonitor, "second"), 0);
  EXPECT_EQ(store.Load(kMonitor), "second");
  EXPECT_EQ(store.Load(kWindow), "win-token");

  ASSERT_EQ(store.Save(kMonitor, ""), 0);
  EXPECT_EQ(store.Load(kMonitor), "");
  EXPECT_EQ(store.Load(kWindow), "win-token");
  // A second store on the same file reads what the first wrote.
  EXPECT_EQ(HX_ScreenCastTokenStore(dir.file("tokens.ini")).Load(kWindow), "win-token");
}

TEST(ScreenCastTokenStore, FileIsPrivateAndReplacedWhole) {
  TempDir dir;
  const std::string path = dir.file("tokens.ini");
  // A temporary file left by an interrupted save, readable by everyone.
  dir.write("tokens.ini.tmp", "junk");
  ASSERT_EQ(chmod((path + ".tmp").c_str(), 0644), 0);

  HX_ScreenCastTokenStore store(path);
  ASSERT_EQ(store.Save(kMonitor, "abc"), 0);
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  EXPECT_EQ(dir.read("tokens.ini"), "[screencast]\nmonitor=abc\n");
}

TEST(ScreenCastTokenStore, RefusesTokensTheFileCannotHoldAndReportsWriteFailures) {
  TempDir dir;
  HX_ScreenCastTokenStore store(dir.file("tokens.ini"));
  ASSERT_EQ(store.Save(kMonitor, "good"), 0);
  for (const char* bad : {"two\nlines", "semi;colon", "has space", "a=b", "hash#"}) {
    EXPECT_EQ(store.Save(kMonitor, bad), HX_ScreenCastTokenStore::kBadToken) << bad;
  }
  EXPECT_EQ(store.Load(kMonitor), "good");
  EXPECT_EQ(store.Save(kMonitor, std::string(181, 'x')), HX_ScreenCastTokenStore::kBadToken);

  HX_ScreenCastTokenStore nowhere(dir.file("missing-dir/tokens.ini"));
  EXPECT_EQ(nowhere.Save(kWindow, "abc"), HX_ScreenCastTokenStore::kWriteFailed);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing-dir")));
}

TEST(ScreenCastTokenStore, ToleratesAForeignFileAndLivesInTheBaseDirectory) {
  TempDir dir;
  dir.write("tokens.ini", "this is not = an ini [file\n[screencast]\nmonitor=bad token\n");
  HX_ScreenCastTokenStore store(dir.file("tokens.ini"));
  EXPECT_EQ(store.Load(kMonitor), "");
  ASSERT_EQ(store.Save(kWindow, "w1"), 0);
  EXPECT_EQ(store.Load(kWindow), "w1");
  EXPECT_EQ(store.Load(kMonitor), "");

  HX_SetBaseDirectory(dir.path());
  EXPECT_EQ(HX_ScreenCastTokenStore::InBaseDirectory().path(), dir.file("screencast-token.ini"));
}

}  // namespace
