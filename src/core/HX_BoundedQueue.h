#pragma once
// The one way to queue between threads: a FIFO with a bound on elements
// and/or bytes, a named rule for what goes when a push finds it full, a count
// of what was lost, waits with a time limit, and close to wake every waiter.
// Elements dropped by a push or by clear are destroyed after the mutex is
// released. Safe to call from any thread.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <utility>

#include "core/HX_Mutex.h"
#include "core/HX_WakeSignal.h"

enum class HX_DropPolicy {
  // A push into a full queue removes the oldest elements until the new one fits.
  kDropOldest,
  // A push into a full queue empties it first: the consumer skips ahead.
  kFlush,
  // A push that does not fit is refused, and so is every later one until a
  // key frame that fits, so that what the consumer gets after a gap decodes.
  kDropToKeyFrame,
};

// What a queue reads from its elements: their size for the byte bound and
// whether one may end a kDropToKeyFrame gap. Specialise for an element type.
template <typename T>
struct HX_QueueTraits {
  static uint64_t Bytes(const T&) { return 0; }
  static bool IsKeyFrame(const T&) { return true; }
};

struct HX_PushResult {
  bool queued = false;   // the pushed element is in the queue
  size_t dropped = 0;    // elements lost to this push (the pushed one when refused)
  bool boundHit = false; // the bound made this push drop or refuse something
  bool resumed = false;  // kDropToKeyFrame: this key frame ended a gap
};

template <typename T, typename Traits = HX_QueueTraits<T>>
class HX_BoundedQueue {
 public:
  static constexpr size_t kNoItemLimit = std::numeric_limits<size_t>::max();
  static constexpr uint64_t kNoByteLimit = 0;

  // |maxItems| elements at most, |maxBytes| (by Traits::Bytes) at most;
  // kNoItemLimit / kNoByteLimit turn a bound off. |also| (optional, not
  // owned) is notified after every push, for a consumer reading several queues.
  explicit HX_BoundedQueue(HX_DropPolicy policy, size_t maxItems = kNoItemLimit,
                           uint64_t maxBytes = kNoByteLimit, HX_WakeSignal* also = nullptr)
      : m_ePolicy(policy), m_ullMaxItems(maxItems), m_ullMaxBytes(maxBytes), m_pAlso(also) {}
  HX_BoundedQueue(const HX_BoundedQueue&) = delete;
  HX_BoundedQueue& operator=(const HX_BoundedQueue&) = delete;

  // Appends |item| under the drop policy. A closed queue refuses everything
  // without counting it as lost.
  HX_PushResult push(T item) {
    HX_PushResult result;
    std::deque<Entry> dropped;
    {
      HX_LockGuard lock(m_mutex);
      if (m_bClosed) return result;
      const uint64_t bytes = Traits::Bytes(item);
      bool refuse = false;
      if (m_ePolicy == HX_DropPolicy::kDropToKeyFrame) {
        if (m_bSkipping && !Traits::IsKeyFrame(item)) {
          refuse = true;
        } else if (!FitsLocked(bytes)) {
          refuse = true;
          result.boundHit = true;
          m_bSkipping = true;
        } else {
          result.resumed = m_bSkipping;
          m_bSkipping = false;
        }
      } else if (!FitsLocked(bytes)) {
        result.boundHit = true;
        if (m_ePolicy == HX_DropPolicy::kFlush) {
          dropped.swap(m_queue);
          m_ullBytes -= m_ullQueuedBytes;
          m_ullQueuedBytes = 0;
        } else {
          while (!m_queue.empty() && !FitsLocked(bytes)) {
            TakeFrontLocked(&dropped);
          }
        }
      }
      result.dropped = refuse ? 1 : dropped.size();
      m_ullLost += result.dropped;
      if (refuse) return result;
      AppendLocked(std::move(item), bytes);
      result.queued = true;
    }
    Notify();
    return result;
  }

  // Appends without looking at the bound or the policy: for what must never
  // be lost (an answer to a request). Refused only by a closed queue.
  bool pushUnbounded(T item) {
    {
      HX_LockGuard lock(m_mutex);
      if (m_bClosed) return false;
      const uint64_t bytes = Traits::Bytes(item);
      AppendLocked(std::move(item), bytes);
    }
    Notify();
    return true;
  }

  // Puts an element the consumer took too early back at the front, without
  // looking at the bound.
  void pushFront(T item) {
    {
      HX_LockGuard lock(m_mutex);
      const uint64_t bytes = Traits::Bytes(item);
      m_queue.push_front(Entry{std::move(item), bytes});
      m_ullQueuedBytes += bytes;
      m_ullBytes += bytes;
    }
    Notify();
  }

  // Takes the front element; a value-initialised T when the queue is empty.
  T pop() {
    HX_LockGuard lock(m_mutex);
    return PopLocked(false);
  }

  // Takes the front element when |accept|(front) is true.
  template <typename Pred>
  T popIf(Pred accept) {
    HX_LockGuard lock(m_mutex);
    if (m_queue.empty() || !accept(static_cast<const T&>(m_queue.front().item))) return T();
    return PopLocked(false);
  }

  // Waits at most |limit| for an element and takes it; a value-initialised T
  // after the limit or when the queue is closed and empty.
  T popFor(std::chrono::milliseconds limit) {
    HX_UniqueLock lock(m_mutex);
    WaitLocked(&lock, limit);
    return PopLocked(false);
  }

  // Waits at most |limit| for the queue to hold something, without taking
  // it. True when it does; false after the limit or once closed and empty.
  bool waitForData(std::chrono::milliseconds limit) {
    HX_UniqueLock lock(m_mutex);
    WaitLocked(&lock, limit);
    return !m_queue.empty();
  }

  // Takes the front element but keeps its bytes counted against the byte
  // bound until releaseHeld gives them back: for a consumer that hands an
  // element on piece by piece (partial socket writes).
  T popHeld() {
    HX_LockGuard lock(m_mutex);
    return PopLocked(true);
  }
  void releaseHeld(uint64_t bytes) {
    HX_LockGuard lock(m_mutex);
    m_ullBytes -= bytes;
  }

  // kDropToKeyFrame: what push() would do with a non-key element while a gap
  // runs, asked before the element is built: true when it would be refused
  // (and it is then counted as lost exactly as push() counts it).
  bool refuseWhileSkipping(bool keyFrame) {
    HX_LockGuard lock(m_mutex);
    if (m_ePolicy != HX_DropPolicy::kDropToKeyFrame || m_bClosed || !m_bSkipping || keyFrame) return false;
    ++m_ullLost;
    return true;
  }

  // kDropToKeyFrame: refuse everything up to the next key frame (a start that
  // must begin at one, or an element the consumer could not use).
  void skipToKeyFrame() {
    HX_LockGuard lock(m_mutex);
    m_bSkipping = true;
  }

  // Removes every queued element; returns how many. Not counted as lost.
  size_t clear() {
    std::deque<Entry> dropped;
    {
      HX_LockGuard lock(m_mutex);
      dropped.swap(m_queue);
      m_ullBytes -= m_ullQueuedBytes;
      m_ullQueuedBytes = 0;
    }
    return dropped.size();
  }

  // Refuses further pushes and wakes every waiter; what is queued can still
  // be taken. reopen() accepts pushes again.
  void close() {
    {
      HX_LockGuard lock(m_mutex);
      m_bClosed = true;
    }
    m_cvData.notify_all();
    if (m_pAlso != nullptr) m_pAlso->notify();
  }
  void reopen() {
    HX_LockGuard lock(m_mutex);
    m_bClosed = false;
  }

  size_t size() const {
    HX_LockGuard lock(m_mutex);
    return m_queue.size();
  }
  // Bytes queued plus bytes held by popHeld and not yet released.
  uint64_t bytes() const {
    HX_LockGuard lock(m_mutex);
    return m_ullBytes;
  }
  // Elements dropped or refused by the policy since construction.
  uint64_t lost() const {
    HX_LockGuard lock(m_mutex);
    return m_ullLost;
  }

 private:
  struct Entry {
    T item;
    uint64_t bytes;  // as counted at the push
  };

  void WaitLocked(HX_UniqueLock* lock, std::chrono::milliseconds limit) HX_REQUIRES(m_mutex) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_queue.empty() && !m_bClosed && lock->waitUntil(m_cvData, deadline)) {
    }
  }
  bool FitsLocked(uint64_t bytes) const HX_REQUIRES(m_mutex) {
    if (m_queue.size() >= m_ullMaxItems) return false;
    return m_ullMaxBytes == kNoByteLimit || m_ullBytes + bytes <= m_ullMaxBytes;
  }
  void AppendLocked(T item, uint64_t bytes) HX_REQUIRES(m_mutex) {
    m_queue.push_back(Entry{std::move(item), bytes});
    m_ullQueuedBytes += bytes;
    m_ullBytes += bytes;
  }
  void TakeFrontLocked(std::deque<Entry>* into) HX_REQUIRES(m_mutex) {
    m_ullQueuedBytes -= m_queue.front().bytes;
    m_ullBytes -= m_queue.front().bytes;
    into->push_back(std::move(m_queue.front()));
    m_queue.pop_front();
  }
  T PopLocked(bool holdBytes) HX_REQUIRES(m_mutex) {
    if (m_queue.empty()) return T();
    Entry front = std::move(m_queue.front());
    m_queue.pop_front();
    m_ullQueuedBytes -= front.bytes;
    if (!holdBytes) m_ullBytes -= front.bytes;
    return std::move(front.item);
  }
  void Notify() {
    m_cvData.notify_all();
    if (m_pAlso != nullptr) m_pAlso->notify();
  }

  const HX_DropPolicy m_ePolicy;
  const size_t m_ullMaxItems;
  const uint64_t m_ullMaxBytes;
  HX_WakeSignal* const m_pAlso;

  mutable HX_Mutex m_mutex;
  std::condition_variable m_cvData;
  std::deque<Entry> m_queue HX_GUARDED_BY(m_mutex);
  uint64_t m_ullQueuedBytes HX_GUARDED_BY(m_mutex) = 0;  // of the elements in m_queue
  uint64_t m_ullBytes HX_GUARDED_BY(m_mutex) = 0;        // m_ullQueuedBytes + held bytes
  uint64_t m_ullLost HX_GUARDED_BY(m_mutex) = 0;
  bool m_bSkipping HX_GUARDED_BY(m_mutex) = false;
  bool m_bClosed HX_GUARDED_BY(m_mutex) = false;
};
