#include "platform/HX_Paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "support/TempDir.h"

TEST(HX_Paths, HomeFlagWinsOverEnvironmentWhichWinsOverExecutableDir) {
  setenv("OSTREL_HOME", "/tmp/from-env/", 1);
  HX_InitBaseDirectory(0, nullptr);
  EXPECT_EQ(HX_GetBaseDirectory(), "/tmp/from-env");

  char arg0[] = "ostrel", arg1[] = "--home", arg2[] = "/tmp/from-flag";
  char* argv[] = {arg0, arg1, arg2};
  HX_InitBaseDirectory(3, argv);
  EXPECT_EQ(HX_GetBaseDirectory(), "/tmp/from-flag");

  unsetenv("OSTREL_HOME");
  HX_InitBaseDirectory(1, argv);
  EXPECT_EQ(HX_GetBaseDirectory(), HX_GetExecutableDirectory());
  EXPECT_NE(HX_GetBaseDirectory().find("tests/platform"), std::string::npos);
}

TEST(HX_Paths, MakeDirectoriesCreatesMissingParents) {
  TempDir dir;
  std::string deep = dir.path() + "/a/b/c";
  EXPECT_EQ(HX_MakeDirectories(deep), 0);
  struct stat st {};
  EXPECT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_EQ(HX_MakeDirectories(deep), 0);  // already there
  dir.write("file", "x");
  EXPECT_EQ(HX_MakeDirectories(dir.file("file") + "/sub"), -1);
  EXPECT_EQ(HX_MakeDirectories(""), -1);
}
