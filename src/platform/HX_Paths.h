#pragma once
// The base directory that holds config.ini, log/ and dump/: the executable's
// directory unless overridden by --home DIR or the OSTREL_HOME variable.
// Set once at start-up; safe to read from any thread afterwards.
#include <string>

// Resolves the base directory from the command line (--home DIR, which wins),
// then OSTREL_HOME, then the directory of /proc/self/exe.
void HX_InitBaseDirectory(int argc, char** argv);
void HX_SetBaseDirectory(const std::string& dir);
// The base directory without a trailing '/'.
std::string HX_GetBaseDirectory();
// The directory of the running executable.
std::string HX_GetExecutableDirectory();
// Creates |dir| and its missing parents. Returns 0 or -1 (errno kept).
int HX_MakeDirectories(const std::string& dir);
