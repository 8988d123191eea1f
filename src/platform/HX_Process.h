#pragma once
// Finding and ending helper programs by name (the annotation tool).
// Any thread; each call reads /proc afresh.
#include <sys/types.h>

#include <string>
#include <vector>

// Running processes (zombies excluded) of this user whose name (/proc/PID/comm, which the kernel cuts at
// 15 characters) is |name|, the calling process excluded.
std::vector<pid_t> HX_FindProcesses(const std::string& name);
// Sends SIGTERM to every process named |name|; the number signalled.
int HX_TerminateProcesses(const std::string& name);
