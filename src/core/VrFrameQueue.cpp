#include "core/VrFrameQueue.h"

int VrFrameQueue::push(VrMediaFramePtr frame) {
  m_queue.push(std::move(frame));
  return 0;
}
