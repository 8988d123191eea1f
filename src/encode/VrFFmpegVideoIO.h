#pragma once
// The two crossings between the system's records and FFmpeg shared by every
// FFmpeg-based video back-end: an NV12 picture record lent to an AVFrame, and
// an encoded packet copied into a record. Safe from any thread.
#include <cstdint>

#include "core/VrMediaFrame.h"
#include "media/VrAVHandle.h"

// A record holding a copy of |packet|'s bytes, stamped with its pts and key
// flag, |width| x |height|, and the media fields of the picture it came from.
// Null when the memory cannot be had.
VrMediaFramePtr VrVideoPacketRecord(const AVPacket& packet, const VrMediaFrame& input,
                                    int32_t width, int32_t height);

// Points |picture| at |frame|'s NV12 payload of |width| x |height| without
// copying; FFmpeg keeps the record alive while it holds the picture. The
// payload must hold |bytes| bytes. False when FFmpeg cannot take it.
bool VrLendNV12(AVFrame* picture, const VrMediaFramePtr& frame, int32_t width, int32_t height,
                int32_t bytes);
