#include "capture/VrScreenSource.h"

#include <algorithm>
#include <cstdlib>

#include "log/HX_Log.h"
#include "platform/HX_Clock.h"

VrScreenSource::~VrScreenSource() { StopTicks(); }

int VrScreenSource::SetManualTicks(bool manual) {
  if (m_timer.running()) return -1;
  m_bManualTicks = manual;
  return 0;
}

int VrScreenSource::Tick() {
  if (!m_bManualTicks) {
    HX_LOG_ERROR_TRACE("ticks are the timer's: manual ticks are off");
    return kNotManual;
  }
  return RunTick(HX_GetTickMs());
}

int VrScreenSource::TickAt(int64_t now) {
  if (!m_bManualTicks) {
    HX_LOG_ERROR_TRACE("ticks are the timer's: manual ticks are off");
    return kNotManual;
  }
  return RunTick(now);
}

int VrScreenSource::SetFrameRate(int32_t fps) {
  if (fps <= 0) {
    HX_LOG_ERROR("invalid frame rate %d", fps);
    return -1;
  }
  m_uiPeriodMs = static_cast<uint32_t>(std::max(1000 / fps, 1));
  return 0;
}

int VrScreenSource::StartTicks() {
  if (m_bManualTicks) return 0;
  if (m_timer.start(m_uiPeriodMs, &VrScreenSource::OnTimer, this) != 0) {
    HX_LOG_ERROR("the capture timer cannot start");
    return -1;
  }
  return 0;
}

void VrScreenSource::StopTicks() { m_timer.kill(); }

void VrScreenSource::OnTimer(void* user) {
  static_cast<VrScreenSource*>(user)->RunTick(HX_GetTickMs());
}

int VrScreenSource::RunTick(int64_t now) {
  VrMediaFramePtr picture;
  const int result = GrabNext(now, &picture);
  if (result == kNewPicture && picture) {
    Deliver(picture);
    m_pLastFrame = std::move(picture);
  } else if (result == kNoChange) {
    picture.reset();
    ResendLastFrame(now);
  }
  return result;
}

void VrScreenSource::ResendLastFrame(int64_t now) {
  if (!m_pLastFrame) return;
  // The repeat shares the last frame's pixels: nothing is allocated or
  // copied per tick of a still screen, and the session, seeing the same
  // payload again, reuses its last NV12 picture.
  VrMediaFramePtr copy = ShareMediaFrame(m_pLastFrame);
  if (!copy || copy->m_pData == nullptr) return;
  copy->m_llTimestamp = now;
  Deliver(copy);
}

VrMediaFramePtr VrScreenSource::NewPicture(int32_t width, int32_t height, int32_t captureMode,
                                           int32_t captureMethod, int64_t now) {
  if (width <= 0 || height <= 0 || int64_t{width} * height > INT32_MAX / 4) return nullptr;
  VrMediaFramePtr frame = VrCreateMediaFrame();
  if (!frame) return nullptr;
  if (!frame->AllocData(width * height * 4)) return nullptr;
  frame->m_iMediaType = VR_MEDIA_VIDEO;
  frame->m_llTimestamp = now;
  frame->m_iWidth = width;
  frame->m_iHeight = height;
  frame->m_iBytesPerPixel = 4;
  frame->m_iPixelFormat = kVrPixFmtBGRA;
  frame->m_iCaptureMode = captureMode;
  frame->m_iCaptureMethod = captureMethod;
  return frame;
}

int32_t VrScreenSource::Even(int32_t v) {
  int64_t magnitude = std::llabs(static_cast<int64_t>(v));
  if (magnitude > INT32_MAX) magnitude = INT32_MAX;
  return static_cast<int32_t>(magnitude & ~int64_t{1});
}

void VrScreenSource::MarkLost(int64_t now, const std::string& what) {
  if (lost()) return;
  m_strLost = what;
  m_llLastRetry = now;
  m_llLostSince = now;
  HX_LOG_ERROR("%s is lost; the last picture stands and the capture is tried again every %lld ms",
               what.c_str(), static_cast<long long>(kLostRetryMs));
}

void VrScreenSource::MarkFound() {
  if (!lost()) return;
  HX_LOG_WARNING("%s is back; capturing again", m_strLost.c_str());
  m_llLostSince = -1;
}

bool VrScreenSource::RetryDue(int64_t now) {
  if (!lost() || now - m_llLastRetry < kLostRetryMs) return false;
  m_llLastRetry = now;
  return true;
}
