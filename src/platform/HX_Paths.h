#pragma once
// The base directory that holds config.ini, and the state directory that
// holds log/ and dump/. A build tree or a portable copy keeps both beside the
// executable; an installed executable (its directory is not ours to write)
// keeps config.ini in $XDG_CONFIG_HOME/ostrel and logs and dumps in
// $XDG_STATE_HOME/ostrel. --home DIR and OSTREL_HOME put everything in DIR.
// Set once at start-up; safe to read from any thread afterwards.
#include <string>

// The inputs of the resolution, so that the rules can be checked without
// installing anything.
struct HX_PathInputs {
  std::string m_strHomeArg;     // --home DIR, empty when absent
  std::string m_strEnvHome;     // OSTREL_HOME
  std::string m_strExeDir;      // directory of the executable
  bool m_bExeDirInstalled = false;
  std::string m_strXdgConfig;   // XDG_CONFIG_HOME
  std::string m_strXdgState;    // XDG_STATE_HOME
  std::string m_strUserHome;    // HOME
};
struct HX_ResolvedPaths {
  std::string m_strBase;   // config.ini
  std::string m_strState;  // log/ and dump/
};
HX_ResolvedPaths HX_ResolvePaths(const HX_PathInputs& in);

// True for a directory the program was installed into: one it cannot write,
// a system bin directory, or the build's configured install bin directory.
bool HX_IsInstalledDirectory(const std::string& dir);

// Resolves both directories from the command line (--home DIR, which wins),
// then OSTREL_HOME, then the executable's location.
void HX_InitBaseDirectory(int argc, char** argv);
// Sets both directories to |dir|.
void HX_SetBaseDirectory(const std::string& dir);
// The base directory without a trailing '/'.
std::string HX_GetBaseDirectory();
// The directory for log/ and dump/, without a trailing '/'.
std::string HX_GetStateDirectory();
// The directory of the running executable.
std::string HX_GetExecutableDirectory();
// Creates |dir| and its missing parents. Returns 0 or -1 (errno kept).
int HX_MakeDirectories(const std::string& dir);
