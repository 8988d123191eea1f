#pragma once
// Something with a 64-bit object id that appears in log lines.
#include <cstdint>

class HX_IObject {
 public:
  virtual ~HX_IObject() = default;
  virtual uint64_t getObjId() const = 0;
};
