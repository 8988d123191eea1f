#pragma once
// Readiness interface of the event loop: interest per descriptor, and one
// wait that reports the ready descriptors in ascending order. Owned and called
// by the loop on its thread only.
#include <vector>

struct HX_FiredEvent {
  int fd;
  int mask;  // kReadEvent, kWriteEvent or both
};

class HX_IEventPoller {
 public:
  virtual ~HX_IEventPoller() = default;
  virtual int registerNetEvent(int fd, int mask) = 0;
  virtual int unregisterNetEvent(int fd) = 0;
  virtual int modifyNetEvent(int fd, int mask) = 0;
  // Waits at most |seconds| + |microseconds|; appends one pair per ready
  // descriptor in ascending descriptor order and returns how many it appended.
  virtual int poll(std::vector<HX_FiredEvent>* fired, long seconds, long microseconds) = 0;
};
