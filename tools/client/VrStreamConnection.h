#pragma once
// The client side of the streaming protocol: one blocking TCP connection that
// sends requests and reads whole messages with a timeout. One thread only.
#include <cstdint>
#include <string>

#include "core/HX_Handle.h"
#include "protocol/HX_NetCmd_Header.h"

class VrStreamConnection {
 public:
  static constexpr int kRestOfMessageTimeoutMs = 10000;
  enum Result { kOk = 0, kTimeout = -1, kClosed = -2, kProtocolError = -3, kIoError = -4 };

  VrStreamConnection() = default;
  VrStreamConnection(const VrStreamConnection&) = delete;
  VrStreamConnection& operator=(const VrStreamConnection&) = delete;

  // 0, or kIoError with the reason in |error|.
  int connectTo(const std::string& host, int port, std::string* error);
  int sendRequest(uint32_t cmdId, uint32_t sequenceNo, uint64_t requesterId, std::string* error);
  // Reads one message. kOk; kTimeout when nothing arrived for |timeoutMs|;
  // kClosed at a clean end of stream between messages; kProtocolError for a
  // malformed header or a stream cut inside a message; kIoError.
  int readMessage(HX_NetCmd_Header* header, std::string* body, int timeoutMs, std::string* error);

 private:
  int readExact(char* out, size_t n, int timeoutMs, bool atMessageStart, std::string* error);

  HX_UniqueFd m_fd;
};
