#pragma once
// Merges the encoded video and audio packets into one timestamp-ordered
// sequence: video in encoding order, each picture preceded by the audio
// packets older than it and followed by those stamped the same (ties go to
// video, as on the wire), so the sequence is already in the order it is sent.
// A picture is released as soon as it is taken: sound never holds it back.
// Audio up to the first video packet is dropped, and so is video older than
// the first captured sound. The encoders' workers push from
// their threads; Pass runs on the one interleaving thread. Each list is an
// unbounded queue, locked for a single push or pop and never together with
// the other.
#include <chrono>
#include <cstdint>

#include "core/VrMediaFrame.h"
#include "core/VrMediaFrameQueue.h"

class VrPacketInterleaver {
 public:
  VrPacketInterleaver() = default;
  VrPacketInterleaver(const VrPacketInterleaver&) = delete;
  VrPacketInterleaver& operator=(const VrPacketInterleaver&) = delete;

  // Receiver of the merged sequence; set before the first Pass.
  void SetOutput(VrFrameCallback callback, void* context);
  void PushVideo(VrMediaFramePtr packet);
  void PushAudio(VrMediaFramePtr packet);

  // One round: takes the oldest video packet, if any, and releases it and the
  // audio not later than it (older audio first, then the picture, then audio
  // of the same time). |haveAudio| says whether an audio encoder
  // exists (without one, video is dropped); |firstAudioTimestamp| is the first
  // captured sound's timestamp, 0 while none arrived. Returns true when a
  // video packet was taken.
  bool Pass(bool haveAudio, uint64_t firstAudioTimestamp);
  // Waits at most |limit| for a video packet to be queued; true when one is.
  bool WaitForVideo(std::chrono::milliseconds limit) { return m_lstVideo.waitForData(limit); }

  // True once a video packet has gone through with an audio encoder present.
  bool Started() const { return m_bStarted; }
  size_t PendingVideo() const;
  size_t PendingAudio() const;
  void Clear();

 private:
  void Emit(VrMediaFramePtr packet);
  // Releases (or, before the start, drops) queued audio from the front while
  // due(audio time, |videoTs|) holds.
  void EmitAudioWhile(bool (*due)(int64_t audioTs, int64_t videoTs), int64_t videoTs);

  VrFrameCallback m_pCallback = nullptr;
  void* m_pContext = nullptr;
  bool m_bStarted = false;  // interleaving thread only
  VrMediaFrameQueue m_lstVideo{HX_DropPolicy::kDropOldest};  // unbounded: nothing is dropped
  VrMediaFrameQueue m_lstAudio{HX_DropPolicy::kDropOldest};
};
