#pragma once
// One codec instance behind a video encoder: encodes one picture per call and
// keeps the packets that result until the encoder takes them. Owned by one
// VrVideoEncoder and used only by its worker thread (Init and Close also run
// on the owner's thread while no worker runs).
#include <deque>

#include "core/VrMediaFrame.h"
#include "encode/VrEncodeParams.h"

class VrEncodeContext {
 public:
  VrEncodeContext() = default;
  virtual ~VrEncodeContext() = default;
  VrEncodeContext(const VrEncodeContext&) = delete;
  VrEncodeContext& operator=(const VrEncodeContext&) = delete;

  // True when the codec instance is open.
  virtual bool Init(const VrEncodeParams* params) = 0;
  // Closes the codec instance; further InputEncode calls yield nothing.
  virtual void Close() = 0;
  // Encodes one picture; any packets that result wait for OutputEncode.
  virtual void InputEncode(VrMediaFramePtr frame) = 0;
  // Takes the oldest waiting packet, or an empty handle when none waits.
  virtual VrMediaFramePtr OutputEncode();

  int32_t PixelFormat() const { return m_iPixelFormat; }
  int32_t Width() const { return m_iWidth; }
  int32_t Height() const { return m_iHeight; }

 protected:
  // Queues a finished packet for OutputEncode. Packets are kept in order and
  // never replaced, so a codec that releases two at once loses neither.
  void SetPending(VrMediaFramePtr packet);
  void ClearPending();

  int32_t m_iPixelFormat = kVrPixFmtNV12;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;

 private:
  std::deque<VrMediaFramePtr> m_lstPending;
};
