#pragma once
// Free space of the file system that holds a path. Safe from any thread.
#include <cstdint>
#include <string>

// Bytes available to this user on the file system of |path|, or -1 when the
// path cannot be asked.
int64_t HX_FreeDiskBytes(const std::string& path);
