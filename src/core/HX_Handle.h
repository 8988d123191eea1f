#pragma once
// The one way to own a C handle: a unique_ptr whose deleter is the library's
// own release call, one alias per handle type, and HX_UniqueFd for file
// descriptors. Aliases for a library's handles live with the code allowed to
// include that library (media/VrAVHandle.h for FFmpeg, platform/x11/HX_X11Types.h
// for xcb, platform/pulse/HX_PulseHandle.h for PulseAudio). An owner is used
// by one thread at a time, like the handle it holds.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

// Calls |Free| on a non-null pointer. Release calls that take T** or return a
// status get a one-line T* wrapper next to their alias.
template <class T, void (*Free)(T*)>
struct HX_FnDeleter {
  void operator()(T* handle) const noexcept { Free(handle); }
};

template <class T, void (*Free)(T*)>
using HX_Owned = std::unique_ptr<T, HX_FnDeleter<T, Free>>;

// Memory a C library hands out with malloc() for the caller to free().
template <class T>
void HX_FreeMalloced(T* p) {
  std::free(p);
}
template <class T>
using HX_MallocPtr = HX_Owned<T, &HX_FreeMalloced<T>>;

// Owns one file descriptor (socket, eventfd, pipe end, shm fd) and closes it
// exactly once: on destruction, reset or move-assignment. Move-only.
class HX_UniqueFd {
 public:
  HX_UniqueFd() = default;
  explicit HX_UniqueFd(int fd) : m_iFd(fd) {}
  ~HX_UniqueFd() { reset(); }
  HX_UniqueFd(HX_UniqueFd&& other) noexcept : m_iFd(other.release()) {}
  HX_UniqueFd& operator=(HX_UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  HX_UniqueFd(const HX_UniqueFd&) = delete;
  HX_UniqueFd& operator=(const HX_UniqueFd&) = delete;

  int get() const { return m_iFd; }
  bool valid() const { return m_iFd >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives the descriptor up without closing it.
  int release() { return std::exchange(m_iFd, -1); }

  // Closes the held descriptor (if any) and takes |fd|. close() is not
  // retried on EINTR: Linux releases the descriptor even then, and a retry
  // could close one another thread has just been given. errno is kept so a
  // caller's error report after a cleanup still reads the original cause.
  void reset(int fd = -1) {
    const int old = std::exchange(m_iFd, fd);
    if (old >= 0 && old != fd) {
      const int savedErrno = errno;
      ::close(old);
      errno = savedErrno;
    }
  }

 private:
  int m_iFd = -1;
};
