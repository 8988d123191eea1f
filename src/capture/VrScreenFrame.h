#pragma once
// Builds the BGRA records the screen sources deliver and the repeats of a
// source's last frame. Stateless; any thread.
#include <cstdint>

#include "core/VrMediaFrame.h"

class VrScreenFrame {
 public:
  // A video record of w x h top-down BGRA (stride w * 4) with its payload,
  // stamped |now| and carrying the capture mode and method. Null when the
  // record or its payload cannot be allocated.
  static VrMediaFramePtr Create(int32_t width, int32_t height, int32_t captureMode,
                                int32_t captureMethod, int64_t now);
  // A private copy of |last| stamped |now|, or null when there is no last
  // frame or the copy has no payload. |last| itself is left untouched.
  static VrMediaFramePtr CloneForResend(const VrMediaFramePtr& last, int64_t now);
  // |v| rounded down to an even number, sign dropped (frame sizes must be even
  // for the NV12 conversion downstream).
  static int32_t Even(int32_t v);
};
