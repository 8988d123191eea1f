#include "protocol/VrTransClient.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "net/HX_EventLoop.h"
#include "platform/HX_Clock.h"
#include "protocol/HX_ClientList.h"
#include "protocol/VrWireCodec.h"
#include "vireo_screenshot.pb.h"

VrTransClient::VrTransClient() : HX_ProtobufConnection(kMaxQueuedBytes) {
  // A client's stream begins at a key frame.
  skipMediaToKeyFrame();
}

VrTransClient::~VrTransClient() {
  if (std::shared_ptr<HX_ClientList> list = HX_ClientList::existingInstance()) list->removeClient(this);
}

int VrTransClient::start(int fd) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  HX_LOG_DEBUG("called.");
  m_ullLastActiveTick = static_cast<uint64_t>(HX_GetTickMs());
  m_iSocketFd = fd;
  m_eConnectionState = kConnected;
  if (HX_EventLoop::instance()->registerNetEvent(fd, kReadEvent, this) != 0) {
    HX_LOG_WARNING("registerNetEvent failed.");
    closeSocket();
    return -1;
  }
  const int sendBuffer = kSocketSendBufferBytes;
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0)
    HX_LOG_WARNING("cannot fix the send buffer of socket %d: %s", fd, std::strerror(errno));
  const int idleLimit = HX_ServerConfiguration::instance()->m_iMonitorPeriod;
  if (armIdleCheck(static_cast<uint64_t>(idleLimit > 0 ? idleLimit : 1)) != 0) {
    closeSocket();
    return -1;
  }
  HX_EventLoop::instance()->registerToLifecycleManager(this);
  return 0;
}

int VrTransClient::handleNetMessage(ACE_Message_Block* /*body*/, const HX_NetCmd_Header& header) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  switch (header.m_uiCmdId) {
    case vireo::screenshot::REGISTER_REQUEST:
      m_stReplyHeader = header;
      break;
    case vireo::screenshot::PACKET_CODEINFO: {
      m_stReplyHeader = header;
      HX_NetCmd_Header answer = header;
      sendCodecInfo(answer);
      HX_ClientList::instance()->addClient(this);
      m_bStreamAsked = true;
      break;
    }
    default:
      break;
  }
  return 0;
}

bool VrTransClient::BuildCodecInfo(std::string* body) {
  const HX_ServerConfiguration* config = HX_ServerConfiguration::instance();
  vireo::screenshot::packet_codeinfo info;
  info.set_video_code_type(VrWireVideoCodecForEncodeType(config->m_iEncodeType));
  info.set_audio_code_type(kWireCodecAAC);
  info.set_audio_channels(kWireAudioChannels);
  info.set_audio_sample_rate(static_cast<uint32_t>(config->m_iAudioSample));
  info.set_audio_bit_rate(static_cast<uint32_t>(config->m_iAudioBitRate));
  info.set_audio_channel_layout(kWireChannelLayoutStereo);
  info.set_audio_profile(kWireAudioProfile);
  return info.SerializeToString(body);
}

int VrTransClient::sendCodecInfo(HX_NetCmd_Header& header) {
  header.m_uiCmdId = vireo::screenshot::PACKET_CODEINFO;
  std::string body;
  if (!BuildCodecInfo(&body)) {
    HX_LOG_WARNING("serialize packet_codeinfo failed");
    return -1;
  }
  return sendNetResponse(header, body);
}

bool VrTransClient::BuildPacketResponse(const VrMediaFrame& packet, std::string* body) {
  vireo::screenshot::packet_response response;
  response.set_decode_type("x264");
  response.set_frame_type(static_cast<uint32_t>(packet.m_iMediaType));
  response.set_frame_width(static_cast<uint32_t>(packet.m_iWidth));
  response.set_frame_height(static_cast<uint32_t>(packet.m_iHeight));
  response.set_frame_class(0);
  response.set_frame_time(static_cast<uint64_t>(packet.m_llTimestamp));
  const size_t size = packet.m_pData != nullptr && packet.m_iSize > 0 ? static_cast<size_t>(packet.m_iSize) : 0;
  response.set_frame_body(packet.m_pData, size);
  response.set_frame_length(static_cast<uint32_t>(size));
  return response.SerializeToString(body);
}

void VrTransClient::sendPacket(const VrMediaFramePtr& packet) {
  if (!packet) return;
  std::string body;
  if (!BuildPacketResponse(*packet, &body)) {
    HX_LOG_WARNING("serialize packet_response failed");
    return;
  }
  sendPacket(packet, body);
}

void VrTransClient::sendPacket(const VrMediaFramePtr& packet, const std::string& body) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  if (!packet) return;
  const bool isVideo = packet->m_iMediaType == VR_MEDIA_VIDEO;
  const bool keyFrame = isVideo && packet->m_iKeyFrame == 1;
  m_stReplyHeader.m_uiCmdId = vireo::screenshot::PACKET_RESPONSE;
  HX_PushResult pushed;
  const int rc = sendNetMedia(m_stReplyHeader, body, keyFrame, &pushed);
  if (pushed.boundHit && !m_bDropEpisode) {
    // The client does not keep up. Everything up to the next key frame is
    // dropped so that what it receives afterwards decodes cleanly.
    HX_LOG_WARNING("client %llu does not keep up: %llu bytes queued, dropping until the next key frame",
                   static_cast<unsigned long long>(getObjId()),
                   static_cast<unsigned long long>(queuedBytes()));
    m_bDropEpisode = true;
  }
  if (rc != 0) {
    // A picture the client never got breaks the pictures that follow it.
    if (isVideo) skipMediaToKeyFrame();
    return;
  }
  if (pushed.queued && keyFrame) {
    if (m_bDropEpisode) HX_LOG_INFO("client %llu caught up, streaming again from a key frame",
                                    static_cast<unsigned long long>(getObjId()));
    m_bDropEpisode = false;
  }
}
