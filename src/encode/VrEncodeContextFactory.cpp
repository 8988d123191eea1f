#include "encode/VrEncodeContextFactory.h"

#include <new>

#include "encode/VrUnavailableEncodeContext.h"
#include "encode/VrVideoFFMPEGEncoder.h"

std::unique_ptr<VrEncodeContext> VrCreateEncodeContext(int32_t encoderKind) {
  switch (encoderKind) {
    case kVrEncoderQuickSync:
      return std::unique_ptr<VrEncodeContext>(new (std::nothrow) VrUnavailableEncodeContext("QuickSync"));
    case kVrEncoderNvenc:
      return std::unique_ptr<VrEncodeContext>(new (std::nothrow) VrUnavailableEncodeContext("NVENC"));
    default:
      return std::unique_ptr<VrEncodeContext>(new (std::nothrow) VrVideoFFMPEGEncoder());
  }
}
