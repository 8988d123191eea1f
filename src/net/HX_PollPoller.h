#pragma once
// The event loop's poller on poll(2): one pollfd per registered descriptor,
// kept sorted so that ready descriptors come out in ascending order, and no
// limit on the number of descriptors. Owned and called by the loop's thread.
#include <poll.h>

#include <cstddef>
#include <vector>

#include "net/HX_IEventPoller.h"

class HX_PollPoller : public HX_IEventPoller {
 public:
  HX_PollPoller() = default;
  HX_PollPoller(const HX_PollPoller&) = delete;
  HX_PollPoller& operator=(const HX_PollPoller&) = delete;

  // Adds the mask's interests to |fd| (interests already held stay).
  int registerNetEvent(int fd, int mask) override;
  int unregisterNetEvent(int fd) override;
  // Sets |fd|'s interests to exactly |mask|; registers it when unknown.
  int modifyNetEvent(int fd, int mask) override;
  int poll(std::vector<HX_FiredEvent>* fired, long seconds, long microseconds) override;

  // Interests currently held for |fd| (0 when it is not registered).
  int interestOf(int fd) const;
  size_t registeredCount() const { return m_vecFds.size(); }

 private:
  std::vector<pollfd>::iterator find(int fd);
  pollfd* findOrInsert(int fd);

  std::vector<pollfd> m_vecFds;  // ascending by fd
};
