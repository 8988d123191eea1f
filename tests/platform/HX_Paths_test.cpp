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

TEST(HX_Paths, InstalledCopyUsesXdgDirectoriesUnlessHomeIsGiven) {
  HX_PathInputs in;
  in.m_strExeDir = "/usr/bin";
  in.m_bExeDirInstalled = true;
  in.m_strUserHome = "/home/op";
  HX_ResolvedPaths p = HX_ResolvePaths(in);
  EXPECT_EQ(p.m_strBase, "/home/op/.config/ostrel");
  EXPECT_EQ(p.m_strState, "/home/op/.local/state/ostrel");

  in.m_strXdgConfig = "/cfg/";
  in.m_strXdgState = "/state";
  p = HX_ResolvePaths(in);
  EXPECT_EQ(p.m_strBase, "/cfg/ostrel");
  EXPECT_EQ(p.m_strState, "/state/ostrel");

  in.m_strXdgConfig = "relative/cfg";  // not absolute: ignored
  EXPECT_EQ(HX_ResolvePaths(in).m_strBase, "/home/op/.config/ostrel");

  in.m_strEnvHome = "/env/home/";
  p = HX_ResolvePaths(in);
  EXPECT_EQ(p.m_strBase, "/env/home");
  EXPECT_EQ(p.m_strState, "/env/home");
  in.m_strHomeArg = "/flag";
  EXPECT_EQ(HX_ResolvePaths(in).m_strState, "/flag");

  // A build tree or a portable copy keeps everything beside the executable.
  HX_PathInputs portable;
  portable.m_strExeDir = "/opt/ostrel-portable";
  portable.m_strXdgConfig = "/cfg";
  p = HX_ResolvePaths(portable);
  EXPECT_EQ(p.m_strBase, "/opt/ostrel-portable");
  EXPECT_EQ(p.m_strState, "/opt/ostrel-portable");
}

TEST(HX_Paths, SystemAndUnwritableDirectoriesCountAsInstalled) {
  EXPECT_TRUE(HX_IsInstalledDirectory("/usr/bin"));
  EXPECT_TRUE(HX_IsInstalledDirectory("/usr/local/bin/"));
  TempDir dir;
  EXPECT_FALSE(HX_IsInstalledDirectory(dir.path()));
  EXPECT_TRUE(HX_IsInstalledDirectory(dir.path() + "/missing"));
  // The test executable's own directory is a build tree.
  EXPECT_FALSE(HX_IsInstalledDirectory(HX_GetExecutableDirectory()));
}
