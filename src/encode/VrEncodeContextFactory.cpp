#include "encode/VrEncodeContextFactory.h"

#include <new>

#include "encode/VrVideoFFMPEGEncoder.h"
#include "encode/VrVideoNvEncoder.h"
#include "encode/VrVideoQSVEncoder.h"
#include "encode/VrVideoVaapiEncoder.h"

std::unique_ptr<VrEncodeContext> VrCreateEncodeContext(int32_t encoderKind) {
  switch (encoderKind) {
    case kVrEncoderQuickSync:
      return std::unique_ptr<VrEncodeContext>(new (std::nothrow) VrVideoQSVEncoder());
    case kVrEncoderNvenc:
      return std::unique_ptr<VrEncodeContext>(new (std::nothrow) VrVideoNvEncoder());
    case kVrEncoderVaapi:
      return std::unique_ptr<VrEncodeContext>(new (std::nothrow) VrVideoVaapiEncoder());
    default:
      return std::unique_ptr<VrEncodeContext>(new (std::nothrow) VrVideoFFMPEGEncoder());
  }
}
