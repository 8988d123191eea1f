#pragma once
// The encoder pair of one capture run: owns the video and the audio encoder,
// routes raw frames to them, and merges their packets on its interleaving
// thread into one timestamp-ordered sequence for a single output callback.
// Init, SetOutput, Start and Stop belong to the run's owner (UI thread);
// Input may be called from the session's video and audio threads between
// Init and Stop; the output callback runs on the interleaving thread.
//
// Use by a capture run:
//
//   VrAVEncoder* pair = new VrAVEncoder();
//   int rc = pair->InitFromConfiguration();    // or Init(videoParams, audioParams)
//   if (rc < 0) { /* "编码器初始化失败": no video encoder opened, stop the run */ }
//   pair->SetOutput(&EncodeCallBack, owner);   // int(VrMediaFramePtr packet, void* owner)
//   pair->Start();
//   pair->Input(frame);                        // raw NV12 pictures (media type 0) and
//                                              // 4096-byte PCM blocks (media type 1);
//                                              // VrAVEncoder::InputCallback(frame, pair) is
//                                              // the same as a VrFrameCallback
//   pair->Stop();                              // after the capture session has stopped
//   delete pair;
//
// Packets handed to the output callback (one reference each, shared with no
// other stage; read-only):
//   video: media type 0, one encoded picture (H.264 Annex B with SPS/PPS
//          inline on key frames, or one JPEG), m_iKeyFrame 1 on key frames,
//          m_llTimestamp = the picture's millisecond timestamp, m_iWidth and
//          m_iHeight = the encoded picture size;
//   audio: media type 1, one AAC-LC frame behind a 7-byte ADTS header,
//          m_llTimestamp = the raw block's timestamp, channels, sample rate
//          and bits per sample copied from the block, m_iRateBits = rate x
//          bits, m_iSamples = samples per channel in the frame (1024).
// The sequence is video in encoding order, each picture preceded by the audio
// older than it and followed by the audio of its own time (the order the
// client list sends in); audio up to the first picture and pictures older than
// the first sound are dropped, so the first picture delivered need not be a
// key frame: consumers wait for one. Nothing is delivered after Stop begins.
#include <atomic>
#include <memory>
#include <thread>

#include "encode/VrAudioEncoder.h"
#include "encode/VrEncodeContextFactory.h"
#include "encode/VrPacketInterleaver.h"
#include "encode/VrVideoEncoder.h"

class VrAVEncoder {
 public:
  // |creator| picks the video back-ends (tests replace it).
  explicit VrAVEncoder(VrEncodeContextCreator creator = &VrCreateEncodeContext);
  ~VrAVEncoder();
  VrAVEncoder(const VrAVEncoder&) = delete;
  VrAVEncoder& operator=(const VrAVEncoder&) = delete;

  // Creates and opens both encoders. A hardware video kind that fails to open
  // is replaced once by the software encoder, with one WARNING naming the
  // back-end and why. Returns 0, or the video
  // encoder's negative result when no video encoder opened. A failed audio
  // encoder is not an error: video then flows alone.
  int Init(VrEncodeParams video, VrEncodeParams audio);
  // Init with the parameters the configuration gives (VrMakeEncodeParams...).
  int InitFromConfiguration();
  void SetOutput(VrFrameCallback callback, void* context);
  // Starts both encoders (when both exist) and the interleaving thread.
  // 0, or -1 when a thread could not be started (logged); Stop then ends
  // whatever did start.
  int Start();
  // Routes a raw frame: type 0 to video, type 1 to audio. Returns 0 when
  // queued, -1 when dropped (other type, or the encoders are missing).
  int Input(VrMediaFramePtr frame);
  // Ends the interleaving thread, then stops and destroys video and audio
  // encoders in that order; waiting packets are released.
  void Stop();

  // Input as a VrFrameCallback whose context is the pair.
  static int InputCallback(VrMediaFramePtr frame, void* pair);
  // Receives the encoders' packets (the callback given to both encoders):
  // queued while the pair runs, dropped once Stop has begun.
  static int PacketRouter(VrMediaFramePtr packet, void* pair);

  bool IsRunning() const { return !m_bStop.load(); }
  uint64_t FirstAudioTimestamp() const;
  size_t PendingPackets() const;
  const VrVideoEncoder* VideoEncoder() const { return m_pVideo.get(); }
  const VrAudioEncoder* AudioEncoder() const { return m_pAudio.get(); }

 private:
  // Longest wait for a picture between two passes (a picture ends it at once).
  static constexpr int kPassWaitMs = 5;

  void Interleave();
  std::unique_ptr<VrVideoEncoder> MakeVideoEncoder();

  VrEncodeContextCreator m_pfnCreateBackend;
  std::thread m_thInterleave;
  std::atomic<bool> m_bStop{true};
  std::unique_ptr<VrVideoEncoder> m_pVideo;
  std::unique_ptr<VrAudioEncoder> m_pAudio;
  VrPacketInterleaver m_stInterleaver;
};
