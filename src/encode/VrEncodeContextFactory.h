#pragma once
// Chooses the video back-end for an encoder kind. Hardware back-ends plug in
// here; a kind whose back-end is not built in gets one whose Init fails, so
// the encoder pair falls back to software as on a machine without the device.
#include <cstdint>
#include <memory>

#include "encode/VrEncodeContext.h"

// How a VrVideoEncoder obtains its back-end (replaceable in tests).
using VrEncodeContextCreator = std::unique_ptr<VrEncodeContext> (*)(int32_t encoderKind);

// Kind 1 -> QuickSync, kind 2 -> NVENC, anything else -> the software
// back-end. Returns null only when the allocation fails.
std::unique_ptr<VrEncodeContext> VrCreateEncodeContext(int32_t encoderKind);
