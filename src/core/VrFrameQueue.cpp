#include "core/VrFrameQueue.h"

int VrFrameQueue::push(VrMediaFramePtr frame) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(frame));
  }
  m_cvData.notify_one();
  return 0;
}

bool VrFrameQueue::waitForData(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cvData.wait_for(lock, limit, [this] { return !m_queue.empty(); });
}

VrMediaFramePtr VrFrameQueue::pop() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_queue.empty()) return nullptr;
  VrMediaFramePtr front = std::move(m_queue.front());
  m_queue.pop_front();
  return front;
}

size_t VrFrameQueue::size() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_queue.size();
}

void VrFrameQueue::clear() {
  std::deque<VrMediaFramePtr> dropped;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    dropped.swap(m_queue);
  }
  // References are released outside the lock.
}
