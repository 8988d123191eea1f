#pragma once
// One client session of the streaming server: answers the client's requests,
// and once listed in HX_ClientList wraps every broadcast packet into a
// packet_response behind the header of the client's latest request. Created by
// the acceptor, deleted by the loop's sweep. Network thread only.
#include <cstdint>
#include <string>

#include "core/VrMediaFrame.h"
#include "protocol/HX_NetCmd_Header.h"
#include "protocol/HX_ProtobufConnection.h"

class VrTransClient : public HX_ProtobufConnection {
 public:
  // Bytes a session may hold queued for its socket. A media packet that would
  // go beyond starts a drop episode that lasts until the next video key frame.
  static constexpr uint64_t kMaxQueuedBytes = 8ull * 1024 * 1024;
  // The socket's own send buffer, fixed so that the kernel's share of what a
  // session holds is bounded too (left alone it grows to megabytes for a
  // peer that does not read).
  static constexpr int kSocketSendBufferBytes = 256 * 1024;

  VrTransClient();
  ~VrTransClient() override;

  // Registers the socket, arms the idle check with the configured monitor
  // period and hands the session to the loop's lifecycle manager.
  int start(int fd);
  int handleNetMessage(ACE_Message_Block* body, const HX_NetCmd_Header& header) override;
  int sendCodecInfo(HX_NetCmd_Header& header);
  // Frames and queues |packet| (the body is serialized here).
  void sendPacket(const VrMediaFramePtr& packet);
  // The same with the packet_response already serialized by the caller, which
  // does it once per broadcast: the body is the same for every session.
  void sendPacket(const VrMediaFramePtr& packet, const std::string& body);

  // The serialized packet_response of |packet|; false when it cannot be built.
  static bool BuildPacketResponse(const VrMediaFrame& packet, std::string* body);
  // The serialized packet_codeinfo for the current configuration.
  static bool BuildCodecInfo(std::string* body);

  const HX_NetCmd_Header& replyHeader() const { return m_stReplyHeader; }

 protected:
  // A client that asked for the stream only reads from then on.
  bool expectsRequests() const override { return !m_bStreamAsked; }

 private:
  bool m_bStreamAsked = false;
  // Over kMaxQueuedBytes and waiting for a key frame. The send queue itself
  // drops media up to a key frame, also before the first one.
  bool m_bDropEpisode = false;
  HX_NetCmd_Header m_stReplyHeader;
};
