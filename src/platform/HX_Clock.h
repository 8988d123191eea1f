#pragma once
// The system's millisecond clock: monotonic, 64-bit, safe from any thread.
#include <cstdint>

int64_t HX_GetTickMs();
