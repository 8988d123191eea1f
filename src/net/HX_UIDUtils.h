#pragma once
// The process-wide counter behind object ids. Created on first use; it seeds
// the C library's random generator with the millisecond time and starts the
// counter at a random value. Safe to call from any thread.
#include <atomic>
#include <cstdint>

class HX_UIDUtils {
 public:
  static HX_UIDUtils* instance();
  // The counter after an atomic increment.
  uint32_t next() { return m_uiCounter.fetch_add(1) + 1; }
  // A new object id: the low 32 bits of the current Unix time in seconds,
  // then one random byte and the low 24 bits of the counter.
  static uint64_t MakeObjectId();

 private:
  HX_UIDUtils();
  std::atomic<uint32_t> m_uiCounter;
};
