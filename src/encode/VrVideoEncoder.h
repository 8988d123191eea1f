#pragma once
// The video encoder front: an unbounded FIFO of raw NV12 pictures filled by the
// feeding thread, one worker thread that encodes them in order through one
// back-end, and delivery of every non-empty packet through the callback on the
// worker thread. The encoder owns its back-end; a hardware back-end that
// breaks while running is replaced on the worker by the software one, whose
// first packet is a key frame. Input is safe from any thread; Init, Start,
// Stop and Backend belong to the owner's thread.
#include <atomic>
#include <memory>
#include <thread>

#include "core/VrFrameQueue.h"
#include "encode/VrEncodeContextFactory.h"
#include "encode/VrEncoder.h"

class VrVideoEncoder : public VrEncoder {
 public:
  explicit VrVideoEncoder(VrEncodeContextCreator creator = &VrCreateEncodeContext);
  ~VrVideoEncoder() override;

  int Start() override;
  // Joins the worker, closes the back-end and empties the FIFO.
  void Stop() override;
  // Queues a frame of media type 0; anything else is ignored (-1).
  int Input(VrMediaFramePtr frame) override;
  void Encode() override;
  bool IsRunning() const override { return m_bRunning.load(); }
  // Creates the back-end for params.m_iEncoderKind and opens it: 0 when open,
  // -1 when the back-end cannot be made or fails to open (it is kept until
  // the encoder goes).
  int Init(VrEncodeParams params) override;

  // The back-end in use; read it only while the worker is stopped.
  const VrEncodeContext* Backend() const { return m_pBackend.get(); }
  size_t QueuedFrames() const { return m_qInput.size(); }

 private:
  static constexpr int kIdleSleepMs = 3;

  // Worker only: swaps a broken hardware back-end for the software one.
  void ReplaceBrokenBackend();

  VrEncodeContextCreator m_pfnCreateBackend;
  std::atomic<bool> m_bRunning{false};
  std::thread m_thWorker;
  std::unique_ptr<VrEncodeContext> m_pBackend;
  VrEncodeParams m_stParams;  // what the back-end was opened with
  VrFrameQueue m_qInput;
};
