#include "protocol/VrWireCodec.h"

uint32_t VrWireVideoCodecForEncodeType(int32_t encodeType) {
  return encodeType == 2 ? kWireCodecMJPEG : kWireCodecH264;
}
