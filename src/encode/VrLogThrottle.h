#pragma once
// Per-stream failure logging: the first failure of a kind and then every
// 250th, so a broken stream stays visible without flooding the log at 50
// pictures a second.
#include <cstdint>

inline bool ShouldLogRepeat(uint32_t count) { return count == 1 || count % 250 == 0; }
