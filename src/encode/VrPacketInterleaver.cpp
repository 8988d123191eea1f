#include "encode/VrPacketInterleaver.h"

void VrPacketInterleaver::SetOutput(VrFrameCallback callback, void* context) {
  m_pCallback = callback;
  m_pContext = context;
}

void VrPacketInterleaver::PushVideo(VrMediaFramePtr packet) {
  if (!packet) return;
  std::lock_guard<std::mutex> lock(m_mutexVideo);
  m_lstVideo.push_back(std::move(packet));
}

void VrPacketInterleaver::PushAudio(VrMediaFramePtr packet) {
  if (!packet) return;
  std::lock_guard<std::mutex> lock(m_mutexAudio);
  m_lstAudio.push_back(std::move(packet));
}

VrMediaFramePtr VrPacketInterleaver::PopVideo() {
  std::lock_guard<std::mutex> lock(m_mutexVideo);
  if (m_lstVideo.empty()) return nullptr;
  VrMediaFramePtr packet = std::move(m_lstVideo.front());
  m_lstVideo.pop_front();
  return packet;
}

VrMediaFramePtr VrPacketInterleaver::PopAudioUpTo(int64_t limit) {
  std::lock_guard<std::mutex> lock(m_mutexAudio);
  if (m_lstAudio.empty() || m_lstAudio.front()->m_llTimestamp > limit) return nullptr;
  VrMediaFramePtr packet = std::move(m_lstAudio.front());
  m_lstAudio.pop_front();
  return packet;
}

void VrPacketInterleaver::Emit(VrMediaFramePtr packet) {
  if (m_pCallback != nullptr && m_pContext != nullptr) m_pCallback(std::move(packet), m_pContext);
}

bool VrPacketInterleaver::Pass(bool haveAudio, uint64_t firstAudioTimestamp) {
  VrMediaFramePtr video = PopVideo();
  if (!video) return false;
  if (!haveAudio) return true;  // video alone is not streamed
  const int64_t videoTs = video->m_llTimestamp;
  // Unsigned, as the sound clock: while no sound arrived (0) every picture passes.
  if (static_cast<uint64_t>(videoTs) >= firstAudioTimestamp) Emit(std::move(video));
  while (VrMediaFramePtr audio = PopAudioUpTo(videoTs)) {
    if (m_bStarted) Emit(std::move(audio));
  }
  m_bStarted = true;
  return true;
}

size_t VrPacketInterleaver::PendingVideo() const {
  std::lock_guard<std::mutex> lock(m_mutexVideo);
  return m_lstVideo.size();
}

size_t VrPacketInterleaver::PendingAudio() const {
  std::lock_guard<std::mutex> lock(m_mutexAudio);
  return m_lstAudio.size();
}

void VrPacketInterleaver::Clear() {
  std::deque<VrMediaFramePtr> video;
  std::deque<VrMediaFramePtr> audio;
  {
    std::lock_guard<std::mutex> lock(m_mutexVideo);
    video.swap(m_lstVideo);
  }
  {
    std::lock_guard<std::mutex> lock(m_mutexAudio);
    audio.swap(m_lstAudio);
  }
}
