#pragma once
// Unbounded FIFO of media records between a producer thread and a worker.
// Safe to call from any thread; pop never waits for data.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/VrMediaFrame.h"

class VrFrameQueue {
 public:
  // Appends at the back; never drops. Returns 0.
  int push(VrMediaFramePtr frame);
  // Takes the front element, or returns an empty handle when the queue is empty.
  VrMediaFramePtr pop();
  size_t size() const;
  void clear();
  // Waits at most |limit| for the queue to hold something, so that an idle
  // consumer wakes as soon as a frame arrives instead of polling. True when
  // the queue is not empty.
  bool waitForData(std::chrono::milliseconds limit);

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cvData;
  std::deque<VrMediaFramePtr> m_queue;
};
