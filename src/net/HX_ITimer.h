#pragma once
// A timer callback of the event loop. Called on the loop's thread only; the
// result is ignored.
#include <cstdint>

class HX_ITimer {
 public:
  virtual ~HX_ITimer() = default;
  virtual int onTimer(uint64_t timerId) = 0;
};
