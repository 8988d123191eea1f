#pragma once
// The interface shared by the video and the audio encoder: raw frames in
// through Input on the feeding thread, packets out through the registered
// callback on the encoder's own worker thread. The owner sets callback and
// context before Start and calls Stop before destroying the encoder.
#include "core/VrMediaFrame.h"
#include "encode/VrEncodeParams.h"

class VrEncoder {
 public:
  VrEncoder() = default;
  virtual ~VrEncoder() = default;
  VrEncoder(const VrEncoder&) = delete;
  VrEncoder& operator=(const VrEncoder&) = delete;

  // Starts the worker thread; a second call while running does nothing.
  // 0, or -1 when the system refuses the thread (logged).
  virtual int Start() = 0;
  // Stops and joins the worker thread and drops queued input.
  virtual void Stop() = 0;
  // Accepts one raw frame; returns 0 when queued, -1 when ignored.
  virtual int Input(VrMediaFramePtr frame) = 0;
  // The worker thread's body.
  virtual void Encode() = 0;
  virtual bool IsRunning() const = 0;
  // 0 on success, a negative code on failure.
  virtual int Init(VrEncodeParams params) = 0;

  // Hands |packet| to callback(packet, context) when both are set and returns
  // its result; 0 otherwise.
  int Deliver(VrMediaFramePtr packet);

  VrFrameCallback m_pCallback = nullptr;
  void* m_pContext = nullptr;
};
