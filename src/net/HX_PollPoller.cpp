#include "net/HX_PollPoller.h"

#include <algorithm>
#include <cerrno>

#include "net/HX_NetDefs.h"

namespace {
short EventsFor(int mask) {
  short events = 0;
  if (mask & kReadEvent) events |= POLLIN;
  if (mask & kWriteEvent) events |= POLLOUT;
  return events;
}

// A descriptor without interests is stored complemented (negative), which
// poll(2) skips: otherwise a hung-up socket nobody listens to would make
// every wait return at once.
int RealFd(const pollfd& p) { return p.fd < 0 ? ~p.fd : p.fd; }
void SetEvents(pollfd* p, short events) {
  p->events = events;
  p->fd = events == 0 ? ~RealFd(*p) : RealFd(*p);
}
bool LessFd(const pollfd& p, int fd) { return RealFd(p) < fd; }
}  // namespace

std::vector<pollfd>::iterator HX_PollPoller::find(int fd) {
  auto it = std::lower_bound(m_vecFds.begin(), m_vecFds.end(), fd, LessFd);
  if (it != m_vecFds.end() && RealFd(*it) == fd) return it;
  return m_vecFds.end();
}

pollfd* HX_PollPoller::findOrInsert(int fd) {
  auto it = std::lower_bound(m_vecFds.begin(), m_vecFds.end(), fd, LessFd);
  if (it == m_vecFds.end() || RealFd(*it) != fd) it = m_vecFds.insert(it, pollfd{~fd, 0, 0});
  return &*it;
}

int HX_PollPoller::registerNetEvent(int fd, int mask) {
  pollfd* p = findOrInsert(fd);
  SetEvents(p, static_cast<short>(p->events | EventsFor(mask)));
  return 0;
}

int HX_PollPoller::unregisterNetEvent(int fd) {
  auto it = find(fd);
  if (it != m_vecFds.end()) m_vecFds.erase(it);
  return 0;
}

int HX_PollPoller::modifyNetEvent(int fd, int mask) {
  SetEvents(findOrInsert(fd), EventsFor(mask));
  return 0;
}

int HX_PollPoller::interestOf(int fd) const {
  auto it = std::lower_bound(m_vecFds.begin(), m_vecFds.end(), fd, LessFd);
  if (it == m_vecFds.end() || RealFd(*it) != fd) return 0;
  return ((it->events & POLLIN) ? kReadEvent : 0) | ((it->events & POLLOUT) ? kWriteEvent : 0);
}

int HX_PollPoller::poll(std::vector<HX_FiredEvent>* fired, long seconds, long microseconds) {
  long long ms = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
  if (ms < 0) ms = 0;
  int ready = ::poll(m_vecFds.data(), m_vecFds.size(), static_cast<int>(ms));
  // A failed wait (EINTR included) counts as a pass with nothing ready.
  if (ready <= 0) return 0;
  int appended = 0;
  for (const pollfd& p : m_vecFds) {
    if (p.fd < 0 || p.revents == 0 || (p.revents & POLLNVAL)) continue;
    int mask = 0;
    // Errors and hang-ups are reported through the interests the descriptor
    // holds, so that the handler's own receive or send sees the failure.
    const short failure = POLLERR | POLLHUP;
    if ((p.events & POLLIN) && (p.revents & (POLLIN | POLLPRI | failure))) mask |= kReadEvent;
    if ((p.events & POLLOUT) && (p.revents & (POLLOUT | failure))) mask |= kWriteEvent;
    if (mask == 0) continue;
    fired->push_back(HX_FiredEvent{p.fd, mask});
    ++appended;
  }
  return appended;
}
