#pragma once
// Constants shared by the reactor, its handlers and the connections.
#include <cstdint>

// Slots in the event loop's descriptor table; a descriptor value is its slot
// index, so valid descriptors are 0 ... HX_SETSIZE - 1.
constexpr int HX_SETSIZE = 665600;
constexpr int kInvalidSocketId = -1;
constexpr uint64_t kInvalidTimerId = ~static_cast<uint64_t>(0);

// Event mask bits.
constexpr int kReadEvent = 1;
constexpr int kWriteEvent = 2;
