#pragma once
// A capture run without a desktop: a prompt that records what the operator
// would have seen and answers questions as scripted, and sources that make
// small BGRA pictures from a timer (or fail to start with a chosen code).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/HX_IOperatorPrompt.h"
#include "capture/VrTrapperSources.h"
#include "core/VrCapturer.h"
#include "core/VrMediaFrame.h"
#include "platform/HX_Clock.h"
#include "platform/HX_PeriodicTimer.h"

// Records what the run told the operator and answers questions as scripted.
class ScriptedPrompt : public HX_IOperatorPrompt {
 public:
  void showMessage(const std::string& text) override { messages.push_back(text); }
  bool askOkCancel(const std::string& text) override {
    questions.push_back(text);
    return answerOk;
  }
  std::vector<std::string> messages;
  std::vector<std::string> questions;
  bool answerOk = false;
};

// A screen source that emits small BGRA frames from a timer.
class TimerSource : public VrCapturer {
 public:
  explicit TimerSource(int startResult) : m_iStartResult(startResult) {}
  ~TimerSource() override { stop(); }
  int start() override {
    if (m_iStartResult != 0) return m_iStartResult;
    return m_timer.start(40, &TimerSource::Tick, this);
  }
  void stop() override { m_timer.kill(); }

 private:
  static void Tick(void* user) {
    auto* self = static_cast<TimerSource*>(user);
    VrMediaFramePtr f = VrCreateMediaFrame();
    f->m_iWidth = 64;
    f->m_iHeight = 48;
    f->m_iBytesPerPixel = 4;
    f->m_iPixelFormat = kVrPixFmtBGRA;
    f->m_llTimestamp = HX_GetTickMs();
    if (!f->AllocData(64 * 48 * 4)) return;
    for (int i = 0; i < f->m_iSize; ++i) f->m_pData[i] = static_cast<uint8_t>(i * 7 + f->m_llTimestamp);
    self->Deliver(f);
  }
  int m_iStartResult;
  HX_PeriodicTimer m_timer;
};

class ScriptedSources : public VrTrapperSources {
 public:
  // The sound source fails to start with -201 unless told otherwise.
  explicit ScriptedSources(int soundStartResult = -201) : soundStart(soundStartResult) {}
  std::unique_ptr<VrCapturer> MakeVideoSource(VideoKind kind) override {
    videoKinds.push_back(kind);
    return std::make_unique<TimerSource>(videoStart);
  }
  bool WinRTCaptureSupported() override { return true; }
  std::unique_ptr<VrCapturer> MakeSoundSource(int32_t) override {
    return std::make_unique<TimerSource>(soundStart);
  }
  int PrepareVideoSource(VideoKind kind, int32_t* width, int32_t* height) override {
    preparedKinds.push_back(kind);
    *width = preparedWidth;
    *height = preparedHeight;
    if (prepareResult == 0) ++held;
    return prepareResult;
  }
  void ReleasePreparedVideoSource() override { held = 0; }
  int videoStart = 0;
  int soundStart;
  std::vector<VideoKind> videoKinds;  // what the sessions asked for, in order (starting thread)
  // What a portal grant opened ahead reports, and how many are held unreleased.
  int prepareResult = 0;
  int32_t preparedWidth = 0, preparedHeight = 0;
  std::vector<VideoKind> preparedKinds;
  int held = 0;
};
