#pragma once
// One codec instance behind a video encoder: encodes one picture per call and
// keeps the packets that result until the encoder takes them. Owned by one
// VrVideoEncoder and used only by its worker thread (Init and Close also run
// on the owner's thread while no worker runs).
#include <deque>
#include <string>

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

  // A short name for log lines ("libx264", "NVENC" ...).
  virtual const char* Name() const { return "video"; }
  // Why Init failed, or why a back-end that opened gave up; empty otherwise.
  const std::string& FailureReason() const { return m_strFailure; }
  // True once an open back-end can no longer encode (device lost, driver
  // refusing pictures): its owner replaces it.
  bool Broken() const { return m_bBroken; }

  int32_t PixelFormat() const { return m_iPixelFormat; }
  int32_t Width() const { return m_iWidth; }
  int32_t Height() const { return m_iHeight; }

 protected:
  // Queues a finished packet for OutputEncode. Packets are kept in order and
  // never replaced, so a codec that releases two at once loses neither.
  void SetPending(VrMediaFramePtr packet);
  void ClearPending();
  // Records why Init failed (the owner's fallback line names it).
  void SetFailureReason(std::string reason) { m_strFailure = std::move(reason); }
  // Marks a back-end that opened as unusable from now on.
  void MarkBroken(std::string reason) {
    m_strFailure = std::move(reason);
    m_bBroken = true;
  }
  void ClearFailure() {
    m_strFailure.clear();
    m_bBroken = false;
  }

  int32_t m_iPixelFormat = kVrPixFmtNV12;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;

 private:
  std::deque<VrMediaFramePtr> m_lstPending;
  std::string m_strFailure;
  bool m_bBroken = false;
};
