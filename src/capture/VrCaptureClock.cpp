#include "capture/VrCaptureClock.h"

#include <algorithm>

namespace {
// Floor division: samples before the anchor get times before it.
int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
}  // namespace

VrCaptureClock::VrCaptureClock(int32_t rate, int32_t blockSamples)
    : m_iRate(rate > 0 ? rate : 48000),
      m_llBlockMs(std::max<int64_t>(1, int64_t{blockSamples} * 1000 / (rate > 0 ? rate : 48000))) {}

int64_t VrCaptureClock::TimeOf(int64_t position) const {
  return m_llAnchorMs + FloorDiv((position - m_llAnchorPos) * 1000, m_iRate);
}

void VrCaptureClock::AnchorEndAt(int64_t nowMs) {
  m_llAnchorPos = m_llRead;
  m_llAnchorMs = nowMs;
  m_bAnchored = true;
  m_bLagging = false;
}

void VrCaptureClock::OnRead(int64_t samples, int64_t nowMs) {
  if (samples <= 0) return;
  m_llRead += samples;
  if (!m_bAnchored) {
    AnchorEndAt(nowMs);
    return;
  }
  const int64_t lag = nowMs - TimeOf(m_llRead);
  if (lag < 0) {
    AnchorEndAt(nowMs);
    return;
  }
  if (lag > kResumeLagMs) {
    ++m_ullGaps;
    AnchorEndAt(nowMs);
    return;
  }
  if (lag <= m_llBlockMs) {
    m_bLagging = false;
    return;
  }
  if (!m_bLagging) {
    m_bLagging = true;
    m_llLagSinceMs = nowMs;
    m_iLagReads = 1;
    m_llMinLagMs = lag;
    return;
  }
  ++m_iLagReads;
  m_llMinLagMs = std::min(m_llMinLagMs, lag);
  if (nowMs - m_llLagSinceMs >= kLossConfirmMs && m_iLagReads >= kLossReads) {
    // Only the part of the lag every read showed is lost; the rest was the
    // reads being late.
    m_llAnchorMs += m_llMinLagMs;
    m_bLagging = false;
    ++m_ullGaps;
  }
}
