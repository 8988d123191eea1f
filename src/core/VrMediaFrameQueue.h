#pragma once
// The bounded queue of media records: sizes count payload bytes, and a video
// record flagged as a key frame may end a kDropToKeyFrame gap.
#include "core/HX_BoundedQueue.h"
#include "core/VrMediaFrame.h"

struct VrMediaFrameQueueTraits {
  static uint64_t Bytes(const VrMediaFramePtr& frame) {
    return frame && frame->m_iSize > 0 ? static_cast<uint64_t>(frame->m_iSize) : 0;
  }
  static bool IsKeyFrame(const VrMediaFramePtr& frame) {
    return frame && frame->m_iMediaType == VR_MEDIA_VIDEO && frame->m_iKeyFrame != 0;
  }
};

using VrMediaFrameQueue = HX_BoundedQueue<VrMediaFramePtr, VrMediaFrameQueueTraits>;
