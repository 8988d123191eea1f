#include "encode/VrPacketInterleaver.h"

#include "core/VrStageTiming.h"

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

void VrPacketInterleaver::EmitAudioWhile(bool (*due)(int64_t audioTs, int64_t videoTs), int64_t videoTs) {
  const auto isDue = [due, videoTs](const VrMediaFramePtr& a) { return due(a->m_llTimestamp, videoTs); };
  while (VrMediaFramePtr audio = m_lstAudio.popIf(isDue)) {
    if (m_bStarted) Emit(std::move(audio));
  }
}

bool VrPacketInterleaver::Pass(bool haveAudio, uint64_t firstAudioTimestamp) {
  VrMediaFramePtr video = m_lstVideo.pop();
  if (!video) return false;
  if (!haveAudio) return true;  // video alone is not streamed
  const int64_t videoTs = video->m_llTimestamp;
  // The sequence leaves in the order it is sent in: the sound older than the
  // picture, the picture, then the sound stamped the same. A receiver that
  // sends as soon as a picture arrives then never sends older sound after it.
  EmitAudioWhile([](int64_t a, int64_t v) { return a < v; }, videoTs);
  // Unsigned, as the sound clock: while no sound arrived (0) every picture passes.
  if (static_cast<uint64_t>(videoTs) >= firstAudioTimestamp) {
    VrMarkStage(VrStage::kReleased, videoTs);
    Emit(std::move(video));
  }
  EmitAudioWhile([](int64_t a, int64_t v) { return a <= v; }, videoTs);
  m_bStarted = true;
  return true;
}

size_t VrPacketInterleaver::PendingVideo() const { return m_lstVideo.size(); }

size_t VrPacketInterleaver::PendingAudio() const { return m_lstAudio.size(); }

void VrPacketInterleaver::Clear() {
  m_lstVideo.clear();
  m_lstAudio.clear();
}
