#pragma once
// Unbounded FIFO of media records between a producer thread and a worker: the
// bounded queue without a bound, for stages that must not lose a frame.
// Safe to call from any thread; pop never waits for data.
#include <chrono>

#include "core/VrMediaFrameQueue.h"

class VrFrameQueue {
 public:
  // Appends at the back; never drops. Returns 0.
  int push(VrMediaFramePtr frame);
  // Takes the front element, or returns an empty handle when the queue is empty.
  VrMediaFramePtr pop() { return m_queue.pop(); }
  size_t size() const { return m_queue.size(); }
  void clear() { m_queue.clear(); }
  // Waits at most |limit| for the queue to hold something, so that an idle
  // consumer wakes as soon as a frame arrives instead of polling. True when
  // the queue is not empty.
  bool waitForData(std::chrono::milliseconds limit) { return m_queue.waitForData(limit); }

 private:
  VrMediaFrameQueue m_queue{HX_DropPolicy::kDropOldest};
};
