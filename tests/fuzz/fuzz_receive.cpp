// Fuzz target: arbitrary bytes through the header codec and through a client
// session's receive path (framing, header decode, request handling), as a
// client would send them over the socket.
#include <ace/Message_Block.h>
#include <glog/logging.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/HX_SocketApi.h"
#include "protocol/HX_NetCmd_Header.h"
#include "protocol/VrTransClient.h"
#include "vireo_screenshot.pb.h"

namespace {
void DecodeHeader(const uint8_t* data, size_t size) {
  // The read position's alignment varies with the first byte.
  const size_t offset = size > 0 ? data[0] % 8 : 0;
  ACE_Message_Block block(size + offset + 1);
  block.rd_ptr(offset);
  block.wr_ptr(offset);
  // An empty input may come as a null pointer (the replay driver passes an
  // empty file's as it is), which memcpy must never see.
  if (size > 0) std::memcpy(block.wr_ptr(), data, size);
  block.wr_ptr(size);
  uint32_t len = 0;
  HX_NetCmd_Header::peekPakcetLen(&block, len);
  HX_NetCmd_Header header;
  if (header.Decode(&block) == 0) {
    // What decoded encodes back to the same 24 bytes.
    ACE_Message_Block again(HX_NetCmd_Header::kHeaderSize);
    if (header.Encode(&again) != 0 || std::memcmp(again.rd_ptr(), data, HX_NetCmd_Header::kHeaderSize) != 0)
      __builtin_trap();
  }
  // A client parses the bodies the server sends (partially: the complete
  // parse would log every missing required field).
  vireo::screenshot::packet_response response;
  if (response.ParsePartialFromArray(data, static_cast<int>(size)) && response.IsInitialized())
    response.ByteSizeLong();
}

void ReceiveAsSession(const uint8_t* data, size_t size) {
  int fd[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) return;
  int big = 1 << 20;
  ::setsockopt(fd[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  ::setsockopt(fd[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  HX_NonBlock(fd[0]);
  VrTransClient* session = new VrTransClient();
  if (session->start(fd[0]) != 0) {
    delete session;
    ::close(fd[1]);
    return;
  }
  size_t written = 0;
  while (written < size) {
    ssize_t n = ::send(fd[1], data + written, size - written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::shutdown(fd[1], SHUT_WR);
  // Every call consumes at least one byte or ends the session.
  for (size_t i = 0; i < written + 4 && !session->isClosed(); ++i) session->handleRead();
  if (!session->isClosed()) __builtin_trap();  // the peer's end of stream must close it
  session->handleWrite();
  delete session;  // also unlinks it from the loop's lifecycle list
  ::close(fd[1]);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FLAGS_minloglevel = 3;  // the failure lines are expected by the thousand
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DecodeHeader(data, size);
  ReceiveAsSession(data, size);
  return 0;
}
