#pragma once
// Client-side helpers for the protocol tests: framing requests, reading whole
// messages from a socket, and scripted packets.
#include <ace/Message_Block.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "core/VrMediaFrame.h"
#include "platform/HX_Clock.h"
#include "protocol/HX_NetCmd_Header.h"

inline std::string BigEndian(uint64_t v, int bytes) {
  std::string s(static_cast<size_t>(bytes), '\0');
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) s[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
  return s;
}

// One framed message as a client would send it.
inline std::string Frame(uint32_t cmd, uint32_t seq, uint64_t requester, const std::string& body = "",
                         uint32_t magic = HX_NetCmd_Header::MAGIC_NUMBER) {
  return BigEndian(20 + body.size(), 4) + BigEndian(magic, 4) + BigEndian(cmd, 4) + BigEndian(seq, 4) +
         BigEndian(requester, 8) + body;
}

inline bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct WireMessage {
  HX_NetCmd_Header header;
  std::string body;
};

// Reads from a non-blocking socket, calling |pump| whenever no byte is
// available (it runs loop passes, or just waits a little). Collected bytes
// that do not yet form a message stay in |pending| for the next call.
class MessageReader {
 public:
  MessageReader(int fd, std::function<void()> pump) : m_fd(fd), m_pump(std::move(pump)) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  // 1: a message; 0: none within |timeoutMs|; -1: end of stream or error.
  int next(WireMessage* out, int timeoutMs = 3000) {
    const int64_t deadline = HX_GetTickMs() + timeoutMs;
    for (;;) {
      if (m_pending.size() >= 24) {
        uint32_t len = 0;
        for (int i = 0; i < 4; ++i) len = (len << 8) | static_cast<uint8_t>(m_pending[static_cast<size_t>(i)]);
        if (m_pending.size() >= 4 + static_cast<size_t>(len)) {
          ACE_Message_Block mb(24);
          std::memcpy(mb.wr_ptr(), m_pending.data(), 24);
          mb.wr_ptr(24);
          if (out->header.Decode(&mb) != 0) return -1;
          out->body = m_pending.substr(24, len - 20);
          m_pending.erase(0, 4 + static_cast<size_t>(len));
          return 1;
        }
      }
      char buf[65536];
      ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
      if (n > 0) {
        m_pending.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) return -1;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
      if (HX_GetTickMs() >= deadline) return 0;
      m_pump();
    }
  }
  // True when the peer has ended the stream (after everything was read).
  bool atEnd(int timeoutMs = 3000) {
    WireMessage m;
    return next(&m, timeoutMs) == -1;
  }
  size_t pendingBytes() const { return m_pending.size(); }

 private:
  int m_fd;
  std::function<void()> m_pump;
  std::string m_pending;
};

// A scripted encoded packet: |size| bytes that start with the timestamp.
inline VrMediaFramePtr MakePacket(int mediaType, int64_t timestamp, bool key = false, int size = 16) {
  VrMediaFramePtr p = VrCreateMediaFrame();
  p->m_iMediaType = mediaType;
  p->m_llTimestamp = timestamp;
  p->m_iKeyFrame = key ? 1 : 0;
  if (mediaType == VR_MEDIA_VIDEO) {
    p->m_iWidth = 1920;
    p->m_iHeight = 1080;
  }
  if (size > 0) {
    p->AllocData(size);
    for (int i = 0; i < size; ++i) p->m_pData[i] = static_cast<uint8_t>((timestamp + i) & 0xFF);
  } else {
    p->m_iSize = 0;
  }
  return p;
}
