#pragma once
// The capture-source interface. The owner sets the callback and context after
// construction and before start; the source then calls the callback once per
// frame on its own capture thread until stop.
#include "core/VrMediaFrame.h"

class VrCapturer {
 public:
  virtual ~VrCapturer() = default;
  // 0 on success, a negative source-specific code on failure.
  virtual int start() = 0;
  // Ends delivery and releases capture resources; safe after a failed start.
  virtual void stop() = 0;

  VrFrameCallback m_pCallback = nullptr;
  void* m_pContext = nullptr;

 protected:
  // Hands one frame to the owner; dropped unless both the callback and its
  // context are set.
  void Deliver(const VrMediaFramePtr& frame) {
    if (m_pCallback != nullptr && m_pContext != nullptr) m_pCallback(frame, m_pContext);
  }
};
