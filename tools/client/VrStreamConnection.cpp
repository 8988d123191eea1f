#include "VrStreamConnection.h"

#include <ace/Message_Block.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "protocol/HX_NetCmd_Header.h"

int VrStreamConnection::connectTo(const std::string& host, int port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return kIoError;
  }
  int lastErrno = 0;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    HX_UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      lastErrno = errno;
      continue;
    }
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) {
      int on = 1;
      ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      m_fd = std::move(fd);
      break;
    }
    lastErrno = errno;
  }
  ::freeaddrinfo(found);
  if (!m_fd) {
    *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(lastErrno);
    return kIoError;
  }
  return kOk;
}

int VrStreamConnection::sendRequest(uint32_t cmdId, uint32_t sequenceNo, uint64_t requesterId,
                                    std::string* error) {
  HX_NetCmd_Header header;
  header.m_uiCmdId = cmdId;
  header.m_uiSequenceNo = sequenceNo;
  header.m_ullRequesterId = requesterId;
  header.m_uiPacketLen = HX_NetCmd_Header::kMinPacketLen;
  ACE_Message_Block block(HX_NetCmd_Header::kHeaderSize);
  if (header.Encode(&block) != 0) {
    *error = "cannot encode the request header";
    return kProtocolError;
  }
  size_t done = 0;
  while (done < block.length()) {
    ssize_t n = ::send(m_fd.get(), block.rd_ptr() + done, block.length() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::string("sending the request failed: ") + std::strerror(errno);
      return kIoError;
    }
    done += static_cast<size_t>(n);
  }
  return kOk;
}

int VrStreamConnection::readExact(char* out, size_t n, int timeoutMs, bool atMessageStart, std::string* error) {
  size_t done = 0;
  while (done < n) {
    // Once a message has begun, the rest gets the long wait: bytes already
    // taken from the socket must never be given up.
    const bool begun = !atMessageStart || done > 0;
    pollfd p{m_fd.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, begun ? kRestOfMessageTimeoutMs : timeoutMs);
    if (ready < 0 && errno == EINTR) {
      if (!begun) return kTimeout;  // a signal: let the caller decide
      continue;
    }
    if (ready == 0) {
      if (!begun) return kTimeout;
      *error = "the server stopped sending in the middle of a message";
      return kProtocolError;
    }
    ssize_t got = ::recv(m_fd.get(), out + done, n - done, 0);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      *error = std::string("receive failed: ") + std::strerror(errno);
      return kIoError;
    }
    if (got == 0) {
      if (atMessageStart && done == 0) return kClosed;
      *error = "the server closed the connection in the middle of a message";
      return kProtocolError;
    }
    done += static_cast<size_t>(got);
  }
  return kOk;
}

int VrStreamConnection::readMessage(HX_NetCmd_Header* header, std::string* body, int timeoutMs,
                                    std::string* error) {
  ACE_Message_Block block(HX_NetCmd_Header::kHeaderSize);
  int rc = readExact(block.wr_ptr(), HX_NetCmd_Header::kHeaderSize, timeoutMs, true, error);
  if (rc != kOk) return rc;
  block.wr_ptr(HX_NetCmd_Header::kHeaderSize);
  uint32_t len = 0;
  if (HX_NetCmd_Header::peekPakcetLen(&block, len) != 0) {
    *error = "bad message length " + std::to_string(len);
    return kProtocolError;
  }
  if (header->Decode(&block) != 0) {
    char text[96];
    std::snprintf(text, sizeof text, "bad message header (magic %02x%02x%02x%02x)",
                  static_cast<uint8_t>(block.rd_ptr()[4]), static_cast<uint8_t>(block.rd_ptr()[5]),
                  static_cast<uint8_t>(block.rd_ptr()[6]), static_cast<uint8_t>(block.rd_ptr()[7]));
    *error = text;
    return kProtocolError;
  }
  body->resize(len - HX_NetCmd_Header::kMinPacketLen);
  if (body->empty()) return kOk;
  return readExact(&(*body)[0], body->size(), timeoutMs, false, error);
}
