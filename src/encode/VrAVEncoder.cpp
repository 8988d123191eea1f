#include "encode/VrAVEncoder.h"

#include <chrono>
#include <new>

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "platform/HX_Thread.h"
#include "platform/HX_ThreadName.h"

VrAVEncoder::VrAVEncoder(VrEncodeContextCreator creator)
    : m_pfnCreateBackend(creator != nullptr ? creator : &VrCreateEncodeContext) {}

VrAVEncoder::~VrAVEncoder() { Stop(); }

std::unique_ptr<VrVideoEncoder> VrAVEncoder::MakeVideoEncoder() {
  std::unique_ptr<VrVideoEncoder> encoder(new (std::nothrow) VrVideoEncoder(m_pfnCreateBackend));
  if (encoder) {
    encoder->m_pCallback = &VrAVEncoder::PacketRouter;
    encoder->m_pContext = this;
  }
  return encoder;
}

int VrAVEncoder::Init(VrEncodeParams video, VrEncodeParams audio) {
  if (!m_pVideo) {
    m_pVideo = MakeVideoEncoder();
    if (!m_pVideo) {
      HX_LOG_WARNING("malloc failed.");
      return -1;
    }
    int rc = m_pVideo->Init(video);
    if (rc < 0 && video.m_iEncoderKind != kVrEncoderSoftware) {
      const VrEncodeContext* tried = m_pVideo->Backend();
      HX_LOG_WARNING("%s encoder (kind %d) did not open (%s); using the software encoder.",
                     tried != nullptr ? tried->Name() : "video", video.m_iEncoderKind,
                     tried != nullptr && !tried->FailureReason().empty()
                         ? tried->FailureReason().c_str()
                         : "no reason given");
      m_pVideo.reset();
      m_pVideo = MakeVideoEncoder();
      if (!m_pVideo) {
        HX_LOG_WARNING("malloc failed.");
        return -1;
      }
      video.m_iEncoderKind = kVrEncoderSoftware;
      rc = m_pVideo->Init(video);
    }
    if (rc < 0) return rc;
  }
  if (!m_pAudio) {
    m_pAudio.reset(new (std::nothrow) VrAudioEncoder());
    if (m_pAudio) {
      m_pAudio->m_pCallback = &VrAVEncoder::PacketRouter;
      m_pAudio->m_pContext = this;
      // A failed audio encoder still consumes blocks; video flows on alone.
      m_pAudio->Init(audio);
    } else {
      HX_LOG_WARNING("malloc failed.");
    }
  }
  return 0;
}

int VrAVEncoder::InitFromConfiguration() {
  VrEncodeParams video;
  VrEncodeParams audio;
  VrMakeEncodeParamsFromConfiguration(*HX_ServerConfiguration::instance(), &video, &audio);
  return Init(video, audio);
}

void VrAVEncoder::SetOutput(VrFrameCallback callback, void* context) {
  m_stInterleaver.SetOutput(callback, context);
}

int VrAVEncoder::Start() {
  if (m_pVideo && m_pAudio) {
    if (m_pVideo->Start() != 0 || m_pAudio->Start() != 0) return -1;
  }
  m_bStop.store(false);
  if (!m_thInterleave.joinable()) {
    std::string error;
    if (HX_StartThread(&m_thInterleave, [this] { Interleave(); }, &error) != 0) {
      HX_LOG_ERROR("cannot start the interleaving thread: %s", error.c_str());
      return -1;
    }
  }
  return 0;
}

int VrAVEncoder::Input(VrMediaFramePtr frame) {
  if (!frame || !m_pVideo || !m_pAudio) return -1;
  switch (frame->m_iMediaType) {
    case VR_MEDIA_VIDEO:
      return m_pVideo->Input(std::move(frame));
    case VR_MEDIA_AUDIO:
      return m_pAudio->Input(std::move(frame));
    default:
      return -1;
  }
}

int VrAVEncoder::InputCallback(VrMediaFramePtr frame, void* pair) {
  if (pair == nullptr) return -1;
  return static_cast<VrAVEncoder*>(pair)->Input(std::move(frame));
}

int VrAVEncoder::PacketRouter(VrMediaFramePtr packet, void* pair) {
  VrAVEncoder* self = static_cast<VrAVEncoder*>(pair);
  if (self == nullptr || !packet || self->m_bStop.load()) return -1;
  switch (packet->m_iMediaType) {
    case VR_MEDIA_VIDEO:
      self->m_stInterleaver.PushVideo(std::move(packet));
      return 0;
    case VR_MEDIA_AUDIO:
      self->m_stInterleaver.PushAudio(std::move(packet));
      return 0;
    default:
      return -1;
  }
}

void VrAVEncoder::Interleave() {
  HX_SetThreadName("ostrel-mux");
  while (!m_bStop.load()) {
    const VrAudioEncoder* audio = m_pAudio.get();
    m_stInterleaver.Pass(audio != nullptr, audio != nullptr ? audio->FirstTimestamp() : 0);
    m_stInterleaver.WaitForVideo(std::chrono::milliseconds(kPassWaitMs));
  }
}

void VrAVEncoder::Stop() {
  m_bStop.store(true);
  if (m_thInterleave.joinable()) m_thInterleave.join();
  if (m_pVideo) {
    m_pVideo->Stop();
    m_pVideo.reset();
  }
  if (m_pAudio) {
    m_pAudio->Stop();
    m_pAudio.reset();
  }
  m_stInterleaver.Clear();
}

uint64_t VrAVEncoder::FirstAudioTimestamp() const {
  return m_pAudio ? m_pAudio->FirstTimestamp() : 0;
}

size_t VrAVEncoder::PendingPackets() const {
  return m_stInterleaver.PendingVideo() + m_stInterleaver.PendingAudio();
}
