#include "encode/VrPacketInterleaver.h"

void VrPacketInterleaver::SetOutput(VrFrameCallback callback, void* context) {
  m_pCallback = callback;
  m_pContext = context;
}

void VrPacketInterleaver::PushVideo(VrMediaFramePtr packet) {
  if (packet) m_lstVideo.push(std::move(packet));
}

void VrPacketInterleaver::PushAudio(VrMediaFramePtr packet) {
  if (packet) m_lstAudio.push(std::move(packet));
}

void VrPacketInterleaver::Emit(VrMediaFramePtr packet) {
  if (m_pCallback != nullptr && m_pContext != nullptr) m_pCallback(std::move(packet), m_pContext);
}

bool VrPacketInterleaver::Pass(bool haveAudio, uint64_t firstAudioTimestamp) {
  VrMediaFramePtr video = m_lstVideo.pop();
  if (!video) return false;
  if (!haveAudio) return true;  // video alone is not streamed
  const int64_t videoTs = video->m_llTimestamp;
  // Unsigned, as the sound clock: while no sound arrived (0) every picture passes.
  if (static_cast<uint64_t>(videoTs) >= firstAudioTimestamp) Emit(std::move(video));
  const auto notAfterVideo = [videoTs](const VrMediaFramePtr& a) { return a->m_llTimestamp <= videoTs; };
  while (VrMediaFramePtr audio = m_lstAudio.popIf(notAfterVideo)) {
    if (m_bStarted) Emit(std::move(audio));
  }
  m_bStarted = true;
  return true;
}

size_t VrPacketInterleaver::PendingVideo() const { return m_lstVideo.size(); }

size_t VrPacketInterleaver::PendingAudio() const { return m_lstAudio.size(); }

void VrPacketInterleaver::Clear() {
  m_lstVideo.clear();
  m_lstAudio.clear();
}
