#pragma once
// Stands in for a hardware back-end that this build does not include: Init
// always fails (with one log line), so the owner falls back to software.
// Same threading as every VrEncodeContext.
#include <string>

#include "encode/VrEncodeContext.h"

class VrUnavailableEncodeContext : public VrEncodeContext {
 public:
  explicit VrUnavailableEncodeContext(std::string name) : m_strName(std::move(name)) {}

  bool Init(const VrEncodeParams* params) override;
  void Close() override {}
  void InputEncode(VrMediaFramePtr) override {}

  const std::string& Name() const { return m_strName; }

 private:
  std::string m_strName;
};
