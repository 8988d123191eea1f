#include "app/VrHeadlessRunner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "app/VrCaptureRun.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/HX_Clock.h"
#include "platform/HX_Paths.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"

namespace {
int Parse(std::vector<std::string> args, VrHeadlessOptions* o, std::string* error) {
  return VrParseHeadlessOptions(args, o, error);
}
}  // namespace

TEST(VrHeadlessOptions, TargetsAndDefaults) {
  VrHeadlessOptions o;
  std::string error;
  ASSERT_EQ(Parse({"--headless"}, &o, &error), 0);
  EXPECT_TRUE(o.m_bHeadless);
  EXPECT_EQ(o.m_stTarget.m_eMode, VrRunTarget::kScreen);
  EXPECT_EQ(o.m_stTarget.m_iMonitor, 0);
  EXPECT_EQ(o.m_dDurationSeconds, 0);

  VrHeadlessOptions w;
  ASSERT_EQ(Parse({"--headless", "--mode", "window", "--window", "0x2a00007", "--duration", "1.5"}, &w, &error), 0);
  EXPECT_EQ(w.m_stTarget.m_eMode, VrRunTarget::kWindow);
  EXPECT_EQ(w.m_stTarget.m_uiWindow, 0x2a00007u);
  EXPECT_DOUBLE_EQ(w.m_dDurationSeconds, 1.5);

  VrHeadlessOptions d;
  ASSERT_EQ(Parse({"--headless", "--mode", "window", "--window", "4194311"}, &d, &error), 0);
  EXPECT_EQ(d.m_stTarget.m_uiWindow, 4194311u);

  VrHeadlessOptions r;
  ASSERT_EQ(Parse({"--headless", "--home", "/x", "--mode", "region", "--region", "-10,20,641,361"}, &r, &error), 0);
  EXPECT_EQ(r.m_strHome, "/x");
  EXPECT_EQ(r.m_stTarget.m_iX, -10);
  EXPECT_EQ(r.m_stTarget.m_iY, 20);
  EXPECT_EQ(r.m_stTarget.m_iWidth, 641);
  EXPECT_EQ(r.m_stTarget.m_iHeight, 361);

  VrHeadlessOptions m;
  ASSERT_EQ(Parse({"--headless", "--monitor", "1"}, &m, &error), 0);
  EXPECT_EQ(m.m_stTarget.m_iMonitor, 1);
  EXPECT_FALSE(m.m_bPublishGiven);

  // --publish "" is given too: it turns a configured address off for the run.
  VrHeadlessOptions p;
  ASSERT_EQ(Parse({"--headless", "--publish", ""}, &p, &error), 0);
  EXPECT_TRUE(p.m_bPublishGiven);
  EXPECT_TRUE(p.m_strPublishUrl.empty());

  // The base directory also comes as one word, as the path code reads it.
  VrHeadlessOptions h;
  ASSERT_EQ(Parse({"--home=/srv/ostrel dir", "--headless"}, &h, &error), 0) << error;
  EXPECT_EQ(h.m_strHome, "/srv/ostrel dir");
}

TEST(VrHeadlessOptions, BadInputIsRefusedWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--headless", "--mode", "desk"},
      {"--headless", "--mode", "window", "--capture", "x11"},
      {"--headless", "--capture", "wayland"},
      {"--headless", "--capture=auto"},
      {"--headless", "--capture"},
      {"--headless", "--mode", "region"},
      {"--headless", "--window", "0x"},
      {"--headless", "--window", "-3"},
      {"--headless", "--window", "0x100000000"},
      {"--headless", "--region", "1,2,3"},
      {"--headless", "--region", "1,2,3,4,5"},
      {"--headless", "--region", "1,2,0,4"},
      {"--headless", "--region", "a,b,c,d"},
      {"--headless", "--monitor", "-1"},
      {"--headless", "--monitor"},
      {"--headless", "--duration", "0"},
      {"--headless", "--duration", "soon"},
      {"--headless", "--bogus"},
      {"--headless", "--publish"},
  };
  for (const auto& args : bad) {
    VrHeadlessOptions o;
    std::string error;
    EXPECT_EQ(Parse(args, &o, &error), -1) << args.back();
    EXPECT_FALSE(error.empty()) << args.back();
  }
}

TEST(VrHeadlessOptions, CaptureBackendAndAWindowChosenByThePortal) {
  VrHeadlessOptions a, b;
  std::string error;
  ASSERT_EQ(Parse({"--headless", "--capture", "portal"}, &a, &error), 0) << error;
  EXPECT_EQ(a.m_strCapture, "portal");
  ASSERT_EQ(Parse({"--capture=x11", "--headless"}, &b, &error), 0) << error;
  EXPECT_EQ(b.m_strCapture, "x11");

  // Without --capture the back-end is not known yet: the run decides later
  // whether window mode needs a window id.
  VrHeadlessOptions w;
  ASSERT_EQ(Parse({"--headless", "--mode", "window"}, &w, &error), 0) << error;
  EXPECT_EQ(w.m_stTarget.m_eMode, VrRunTarget::kWindow);
  EXPECT_FALSE(w.m_bWindowGiven);
  EXPECT_TRUE(w.m_strCapture.empty());
  VrHeadlessOptions p;
  ASSERT_EQ(Parse({"--headless", "--mode", "window", "--capture", "portal"}, &p, &error), 0) << error;
  VrHeadlessOptions x;
  EXPECT_EQ(Parse({"--headless", "--capture", "x11", "--mode", "window"}, &x, &error), -1);
  EXPECT_NE(error.find("--window"), std::string::npos) << error;
}

TEST(VrHeadlessPrompt, PolicyContinuesWithoutSoundAndStopsRecordingOnLowDisk) {
  VrHeadlessPrompt prompt;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(prompt.askOkCancel(HX_RunText::kAudioCaptureFailed));
  EXPECT_TRUE(prompt.askOkCancel(HX_RunText::kLowDisk));
  prompt.showMessage(HX_RunText::kVideoCaptureFailed);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("continuing without sound"), std::string::npos);
  EXPECT_NE(err.find("recording stopped"), std::string::npos);
  EXPECT_NE(err.find("视频采集失败！"), std::string::npos);
}

TEST(VrRunTarget, EvenRounding) {
  EXPECT_EQ(VrEvenDown(1921), 1920);
  EXPECT_EQ(VrEvenDown(1080), 1080);
  EXPECT_EQ(VrEvenDown(1), 0);
  EXPECT_EQ(VrEvenDown(-5), 0);
}

TEST(VrRunTarget, AMonitorWithoutAnXServerSaysTheDisplayIsUnreachable) {
  setenv("DISPLAY", ":999", 1);  // no server there
  VrRunTarget target;
  target.m_eMode = VrRunTarget::kScreen;
  target.m_iMonitor = 0;
  std::string error;
  EXPECT_EQ(VrApplyRunTarget(target, &error), -5);
  EXPECT_NE(error.find("cannot connect to the X display :999"), std::string::npos) << error;
  unsetenv("DISPLAY");
}

// With the portal nothing asks the X server: no display at all is needed.
TEST(VrRunTarget, ThePortalBackEndLeavesMonitorAndWindowToThePortal) {
  setenv("DISPLAY", ":999", 1);  // no server there; the X11 path would fail with -5
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  cfg->m_iCaptureBackend = kBackendPortal;
  cfg->m_iFullScreenMethod = kMethodDXGI;
  cfg->setOutputSize(1280, 720);
  std::string error;
  VrRunTarget screen;
  screen.m_iMonitor = 3;  // the portal's chooser decides; the index is not checked
  EXPECT_EQ(VrApplyRunTarget(screen, &error), 0) << error;
  EXPECT_EQ(cfg->m_iCaptureMode, kCaptureFullScreen);
  EXPECT_EQ(cfg->m_iMonitorIndex, 0);
  EXPECT_EQ(cfg->m_iFullScreenMethod, kMethodDXGI);  // not probed on the X server
  // The stream's size is known only once the run opens it: a stand-in until then.
  int32_t w = 0, h = 0;
  cfg->getOutputSize(&w, &h);
  EXPECT_EQ(w, 1920);
  EXPECT_EQ(h, 1080);

  // A region is still ours: its rectangle crops the monitor's stream.
  VrRunTarget region;
  region.m_eMode = VrRunTarget::kRegion;
  region.m_iX = 10;
  region.m_iY = 20;
  region.m_iWidth = 301;
  region.m_iHeight = 201;
  EXPECT_EQ(VrApplyRunTarget(region, &error), 0) << error;
  EXPECT_EQ(cfg->m_iCaptureMode, kCaptureRegion);
  int32_t l = 0, t = 0, r = 0, b = 0;
  cfg->getCaptureRegion(&l, &t, &r, &b);
  EXPECT_EQ(l, 10);
  EXPECT_EQ(t, 20);
  EXPECT_EQ(r, 310);
  EXPECT_EQ(b, 220);
  cfg->getOutputSize(&w, &h);
  EXPECT_EQ(w, 300);
  EXPECT_EQ(h, 200);
  region.m_iWidth = 1;
  EXPECT_EQ(VrApplyRunTarget(region, &error), -4);

  // A window after a region streams at the fixed size again, not the region's.
  VrRunTarget window;
  window.m_eMode = VrRunTarget::kWindow;  // no window id: the portal asks
  EXPECT_EQ(VrApplyRunTarget(window, &error), 0) << error;
  EXPECT_EQ(cfg->m_iCaptureMode, kCaptureWindow);
  cfg->getOutputSize(&w, &h);
  EXPECT_EQ(w, 1920);
  EXPECT_EQ(h, 1080);
  cfg->resetToDefaults();
  unsetenv("DISPLAY");
}

TEST(VrRunTarget, TheBackEndChoiceReadsTheEnvironmentAndIsLoggedOnce) {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  setenv("WAYLAND_DISPLAY", "wayland-7", 1);
  setenv("XDG_SESSION_TYPE", "wayland", 1);
  {
    LogCapture log;
    EXPECT_EQ(VrApplyCaptureBackend("").m_eBackend, kBackendPortal);
    EXPECT_EQ(cfg->m_iCaptureBackend, kBackendPortal);
    EXPECT_EQ(log.count("capture back-end: portal (a Wayland session (WAYLAND_DISPLAY \"wayland-7\""), 1);
  }
  EXPECT_EQ(VrApplyCaptureBackend("x11").m_eBackend, kBackendX11);
  EXPECT_EQ(cfg->m_iCaptureBackend, kBackendX11);
  cfg->m_strCaptureBackend = "x11";
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(VrApplyCaptureBackend("portal").m_eBackend, kBackendPortal);
  EXPECT_EQ(VrApplyCaptureBackend("").m_eBackend, kBackendX11);
  unsetenv("XDG_SESSION_TYPE");
  cfg->resetToDefaults();
}

TEST(VrHeadlessRun, ARunWithoutADisplayForTheLimitEndsWithExitCode1) {
  // Parallel tests start X servers on the lowest free display numbers; one of
  // them could take this server's number once it is freed, which the run
  // would rightly see as its display coming back. A number far above theirs
  // stays free.
  XvfbServer::Options o;
  o.extraArgs = {":" + std::to_string(600 + getpid() % 300)};
  XvfbServer x(o);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  TempDir dir;
  HX_SetBaseDirectory(dir.path());
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  cfg->resetToDefaults();
  cfg->m_iPushFlowType = kPushNDI;  // no encoder, no port
  cfg->m_iCaptureMode = kCaptureRegion;
  cfg->m_iFullScreenMethod = kMethodGDI;
  cfg->m_bCaptureCursor = false;
  cfg->setCaptureRegion(0, 0, 64, 48);
  cfg->setOutputSize(64, 48);
  VrHeadlessPrompt prompt;
  VrCaptureRun run(&prompt);
  ASSERT_EQ(run.start(), VrCaptureRun::kStarted);
  EXPECT_EQ(VrWaitForRunEnd(&run, 300, 1500), 0);  // the duration ends a run with a display
  EXPECT_EQ(run.displayLostSince(), -1);

  LogCapture log;
  testing::internal::CaptureStderr();
  // The loss carries the time of the capture tick that found it. That tick
  // may have begun before the server was gone, and stopping the server takes
  // a while, so the limit counts from that stamp, not from either end of
  // the stop.
  x.stop();
  const int64_t stopped = HX_GetTickMs();
  const int code = VrWaitForRunEnd(&run, 20000, 1500);
  const int64_t end = HX_GetTickMs();
  const int64_t lostSince = run.displayLostSince();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, 1);
  EXPECT_GE(lostSince, 0);
  EXPECT_GE(end - lostSince, 1500);
  EXPECT_LT(end - stopped, 5000);
  EXPECT_NE(err.find("ostrel: no display to capture for 1 s; the run ends"), std::string::npos) << err;
  EXPECT_EQ(log.count("is lost; the last picture stands"), 1);
  run.stop();
  unsetenv("DISPLAY");
}
