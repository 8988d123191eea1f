#pragma once
// Chooses the video back-end for an encoder kind. A hardware back-end whose
// device or driver is missing fails its Init, and the encoder pair falls back
// to software.
#include <cstdint>
#include <memory>

#include "encode/VrEncodeContext.h"

// How a VrVideoEncoder obtains its back-end (replaceable in tests).
using VrEncodeContextCreator = std::unique_ptr<VrEncodeContext> (*)(int32_t encoderKind);

// Kind 1 -> QuickSync, kind 2 -> NVENC, kind 4 -> VA-API, anything else ->
// the software back-end. Returns null only when the allocation fails.
std::unique_ptr<VrEncodeContext> VrCreateEncodeContext(int32_t encoderKind);
