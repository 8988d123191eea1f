#pragma once
// Shared pieces of the dialog tests: one QApplication on the offscreen
// platform for the whole test program, a prompt that records what the
// operator would have seen, and scripted capture sources.
#include <QApplication>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/HX_IOperatorPrompt.h"
#include "capture/VrTrapperSources.h"
#include "core/VrCapturer.h"
#include "core/VrMediaFrame.h"
#include "platform/HX_Clock.h"
#include "platform/HX_PeriodicTimer.h"

inline QApplication* TestApp() {
  static int argc = 1;
  static char arg0[] = "ostrel_ui_test";
  static char* argv[] = {arg0, nullptr};
  if (QApplication::instance() == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);  // lives until the test program ends
  }
  return static_cast<QApplication*>(QApplication::instance());
}

class RecordingPrompt : public HX_IOperatorPrompt {
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

// Small BGRA pictures from a timer; start() fails with |startResult| when it is not 0.
class TickSource : public VrCapturer {
 public:
  explicit TickSource(int startResult) : m_iStartResult(startResult) {}
  ~TickSource() override { stop(); }
  int start() override {
    if (m_iStartResult != 0) return m_iStartResult;
    return m_timer.start(40, &TickSource::Tick, this);
  }
  void stop() override { m_timer.kill(); }

 private:
  static void Tick(void* user) {
    auto* self = static_cast<TickSource*>(user);
    VrMediaFramePtr f = VrCreateMediaFrame();
    f->m_iWidth = 64;
    f->m_iHeight = 48;
    f->m_iBytesPerPixel = 4;
    f->m_iPixelFormat = kVrPixFmtBGRA;
    f->m_llTimestamp = HX_GetTickMs();
    if (!f->AllocData(64 * 48 * 4)) return;
    self->Deliver(f);
  }
  int m_iStartResult;
  HX_PeriodicTimer m_timer;
};

class TickSources : public VrTrapperSources {
 public:
  std::unique_ptr<VrCapturer> MakeVideoSource(VideoKind) override { return std::make_unique<TickSource>(videoStart); }
  bool WinRTCaptureSupported() override { return true; }
  std::unique_ptr<VrCapturer> MakeSoundSource(int32_t) override { return std::make_unique<TickSource>(0); }
  int videoStart = 0;
};
