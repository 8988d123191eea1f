#include "app/VrHeadlessRunner.h"

#include <ace/Init_ACE.h>
#include <glog/logging.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/HX_ExceptionHandler.h"
#include "app/VrCaptureRun.h"
#include "app/VrFfmpegLog.h"
#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "log/HX_LoggingSystem.h"
#include "platform/HX_Clock.h"
#include "publish/VrPublishParams.h"

namespace {
std::atomic<int> g_stopSignal{0};

void OnStopSignal(int sig) { g_stopSignal = sig; }

bool ParseInt(const std::string& text, long long* value, int base = 10) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, base);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  *value = v;
  return true;
}

const char* PushName(int pushFlowType) {
  switch (pushFlowType) {
    case kPushNDI: return "NDI source \"ViZaroduDezo_NDI\"";
    case kPushPrivate: return "private protocol";
    default: return "none";
  }
}
}  // namespace

const char* VrHeadlessUsage() {
  return "Usage: ostrel --headless [--home DIR] [--mode screen|window|region] [--monitor N]\n"
         "                        [--window ID] [--region X,Y,W,H] [--duration SECONDS]\n"
         "                        [--publish URL] [--capture x11|portal]\n"
         "       ostrel [--home DIR]   (no --headless: the dialog)\n"
         "       ostrel --finalize FILE...\n"
         "       ostrel --help\n"
         "\n"
         "Captures the screen (and, when enabled, the sound the computer plays) and\n"
         "streams it as configured in config.ini, without the dialog.\n"
         "\n"
         "  --headless          run one capture run from the command line\n"
         "  --home DIR          base directory holding config.ini, log/ and dump/\n"
         "                      (also --home=DIR)\n"
         "                      (default: OSTREL_HOME, else the executable's directory)\n"
         "  --mode MODE         screen (default): one whole monitor;\n"
         "                      window: one top-level window; region: a rectangle\n"
         "  --monitor N         screen mode: the monitor's position in the list (default 0);\n"
         "                      the output size is its size rounded down to even\n"
         "  --window ID         window mode: the X window id, decimal or 0x...;\n"
         "                      the output size is the window's size rounded down to even\n"
         "  --region X,Y,W,H    region mode: the rectangle in desktop coordinates\n"
         "  --duration SECONDS  stop after this many seconds (default: run until\n"
         "                      SIGINT or SIGTERM)\n"
         "  --publish URL       also publish to a media server for this run (overrides\n"
         "                      PublishUrl; \"\" turns it off): srt://HOST:PORT[?...] or\n"
         "                      rist://HOST:PORT (MPEG-TS), rtmp://HOST[:PORT]/APP/STREAM (FLV)\n"
         "  --capture BACKEND   x11: the X server; portal: the desktop's screen-cast portal,\n"
         "                      whose chooser picks the monitor or window (also --capture=...)\n"
         "                      (default: CaptureBackend, else the portal in a Wayland session)\n"
         "  --finalize FILE...  rewrite recordings into plain MP4 files with the index at\n"
         "                      the front, keeping every complete fragment (for a file cut\n"
         "                      off by a power loss, or an editor that wants a plain MP4);\n"
         "                      one line per file; exit code 1 when any file failed\n"
         "\n"
         "Settings come from config.ini in the base directory (push mode, port, sound,\n"
         "recording, encoder, ...); a missing file means defaults. Keys of section\n"
         "[config]: FPS, EncodeSample, EncodeCache, EncodeType (1 H264, 2 MJPEG),\n"
         "AudioEnable, AudioSample (44100|48000), AudioBitRate, RecordPath,\n"
         "RecordSplitType (0 none, 1 time, 2 size), SyncRecord, PushFlowType\n"
         "(0 NDI, 1 private protocol), PrivatePort, CaptureCursor (1 draws the mouse\n"
         "pointer), PublishUrl (H.264 only), CaptureBackend (auto, x11 or portal),\n"
         "min_log_level, enable_console_log.\n"
         "A value outside its key's range keeps the default, with a warning on stderr.\n"
         "\n"
         "When sound capture fails the run goes on without sound; when the record\n"
         "directory's disk runs below 500 MiB, recording stops and streaming goes on.\n"
         "\n"
         "Exit codes: 0 after a normal stop, 1 when the run cannot start or the display\n"
         "stays away for 10 s, 2 on a usage error.\n";
}

int VrParseHeadlessOptions(const std::vector<std::string>& args, VrHeadlessOptions* o,
                           std::string* error) {
  bool haveWindow = false, haveRegion = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = "missing value after " + a;
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string v;
    long long n = 0;
    if (a == "--headless") {
      o->m_bHeadless = true;
    } else if (a == "--help" || a == "-h") {
      o->m_bHelp = true;
    } else if (a == "--home") {
      if (!value(&o->m_strHome)) return -1;
    } else if (a.rfind("--home=", 0) == 0) {
      o->m_strHome = a.substr(7);
    } else if (a == "--mode") {
      if (!value(&v)) return -1;
      if (v == "screen") o->m_stTarget.m_eMode = VrRunTarget::kScreen;
      else if (v == "window") o->m_stTarget.m_eMode = VrRunTarget::kWindow;
      else if (v == "region") o->m_stTarget.m_eMode = VrRunTarget::kRegion;
      else { *error = "unknown mode '" + v + "' (screen, window or region)"; return -1; }
    } else if (a == "--monitor") {
      if (!value(&v)) return -1;
      if (!ParseInt(v, &n) || n < 0 || n > 64) { *error = "bad monitor '" + v + "'"; return -1; }
      o->m_stTarget.m_iMonitor = static_cast<int32_t>(n);
    } else if (a == "--window") {
      if (!value(&v)) return -1;
      if (!ParseInt(v, &n, 0) || n <= 0 || n > 0xFFFFFFFFLL) { *error = "bad window id '" + v + "'"; return -1; }
      o->m_stTarget.m_uiWindow = static_cast<uint32_t>(n);
      haveWindow = true;
    } else if (a == "--region") {
      if (!value(&v)) return -1;
      std::vector<long long> p;
      size_t start = 0;
      bool ok = true;
      for (;;) {
        size_t comma = v.find(',', start);
        long long n = 0;
        ok = ok && ParseInt(v.substr(start, comma == std::string::npos ? std::string::npos : comma - start), &n) &&
             n >= -100000 && n <= 100000;
        p.push_back(n);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      if (!ok || p.size() != 4 || p[2] <= 1 || p[3] <= 1) {
        *error = "bad region '" + v + "' (expected X,Y,W,H with W and H of at least 2)";
        return -1;
      }
      o->m_stTarget.m_iX = static_cast<int32_t>(p[0]);
      o->m_stTarget.m_iY = static_cast<int32_t>(p[1]);
      o->m_stTarget.m_iWidth = static_cast<int32_t>(p[2]);
      o->m_stTarget.m_iHeight = static_cast<int32_t>(p[3]);
      haveRegion = true;
    } else if (a == "--publish") {
      if (!value(&o->m_strPublishUrl)) return -1;
      o->m_bPublishGiven = true;
    } else if (a == "--capture" || a.rfind("--capture=", 0) == 0) {
      if (a == "--capture") {
        if (!value(&v)) return -1;
      } else {
        v = a.substr(10);
      }
      if (v != "x11" && v != "portal") { *error = "unknown capture back-end '" + v + "' (x11 or portal)"; return -1; }
      o->m_strCapture = v;
    } else if (a == "--duration") {
      if (!value(&v)) return -1;
      char* end = nullptr;
      double d = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != '\0' || !(d > 0) || d > 1e7) { *error = "bad duration '" + v + "'"; return -1; }
      o->m_dDurationSeconds = d;
    } else {
      *error = "unknown argument '" + a + "'";
      return -1;
    }
  }
  o->m_bWindowGiven = haveWindow;
  if (o->m_stTarget.m_eMode == VrRunTarget::kWindow && !haveWindow && o->m_strCapture == "x11") {
    *error = "--mode window needs --window ID";
    return -1;
  }
  if (o->m_stTarget.m_eMode == VrRunTarget::kRegion && !haveRegion) {
    *error = "--mode region needs --region X,Y,W,H";
    return -1;
  }
  return 0;
}

void VrHeadlessPrompt::showMessage(const std::string& text) {
  // Every line of a message carries the prefix, as each line of a message box would be read.
  size_t begin = 0;
  do {
    const size_t end = text.find('\n', begin);
    std::fprintf(stderr, "ostrel: %s\n", text.substr(begin, end - begin).c_str());
    begin = end == std::string::npos ? end : end + 1;
  } while (begin != std::string::npos);
}

bool VrHeadlessPrompt::askOkCancel(const std::string& text) {
  if (text == HX_RunText::kAudioCaptureFailed) {
    std::fprintf(stderr, "ostrel: %s -> continuing without sound\n", text.c_str());
    HX_LOG_WARNING("sound capture failed; the run continues without sound");
    return false;
  }
  if (text == HX_RunText::kLowDisk) {
    std::fprintf(stderr, "ostrel: %s -> recording stopped, streaming goes on\n", text.c_str());
    return true;
  }
  std::fprintf(stderr, "ostrel: %s -> OK\n", text.c_str());
  return true;
}

void VrInstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = &OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int VrStopSignal() { return g_stopSignal.load(); }

namespace {
const char* SignalName(int sig) { return sig == SIGINT ? " (SIGINT)" : sig == SIGTERM ? " (SIGTERM)" : ""; }

// A stop asked for before the run started ends the process as a stop does.
int StoppedBeforeTheRun(HX_LoggingSystem* logging) {
  std::printf("ostrel: stopped before the run started%s\n", SignalName(g_stopSignal));
  std::fflush(stdout);
  logging->stopDaemon();
  return 0;
}
}  // namespace

namespace {
// Says on stdout when publishing connects and when it drops, what the
// dialog's status line shows; the reasons go to the log. Main thread only.
class VrPublishWatch {
 public:
  void Update(const VrRunCounters& counters, int64_t sinceStartMs) {
    if (!counters.m_bPublishing) return;
    const char* text = nullptr;
    if (counters.m_bPublishConnected != m_bConnected) {
      m_bConnected = counters.m_bPublishConnected;
      text = m_bConnected ? "connected" : "connection lost; reconnecting in the background (the log says why)";
    } else if (!m_bConnected && !m_bTold && sinceStartMs >= kPatienceMs) {
      text = "not connected yet; retrying in the background (the log says why)";
    }
    if (text == nullptr) return;
    m_bTold = true;
    std::printf("ostrel: publishing: %s\n", text);
    std::fflush(stdout);
  }

 private:
  static constexpr int64_t kPatienceMs = 5000;
  bool m_bConnected = false;
  bool m_bTold = false;
};
}  // namespace

int VrWaitForRunEnd(VrCaptureRun* run, int64_t durationMs, int64_t noDisplayLimitMs) {
  const int64_t begin = HX_GetTickMs();
  int64_t lastDiskCheck = begin;
  VrPublishWatch publishWatch;
  while (g_stopSignal == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int64_t now = HX_GetTickMs();
    if (durationMs >= 0 && now - begin >= durationMs) break;
    publishWatch.Update(run->counters(), now - begin);
    const int64_t lostSince = run->displayLostSince();
    if (lostSince >= 0 && now - lostSince >= noDisplayLimitMs) {
      HX_LOG_ERROR("no display to capture for %lld s; the run ends",
                   static_cast<long long>(noDisplayLimitMs / 1000));
      std::fprintf(stderr, "ostrel: no display to capture for %lld s; the run ends\n",
                   static_cast<long long>(noDisplayLimitMs / 1000));
      return 1;
    }
    if (now - lastDiskCheck >= VrCaptureRun::kDiskCheckPeriodMs) {
      lastDiskCheck = now;
      run->checkDiskSpace();
    }
  }
  return 0;
}

int VrRunHeadless(const VrHeadlessOptions& options) {
  VrInstallStopSignals();
  ACE::init();
  VrInstallFfmpegLogBridge();
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  HX_ExceptionHandler::instance()->start();
  HX_LoggingSystem* logging = HX_LoggingSystem::instance();
  logging->setConfiguration(cfg);
  logging->init();
  VrHeadlessPrompt prompt;
  if (cfg->loadNormalConfig() != 0) {
    HX_LOG_WARNING("%s", HX_RunText::kConfigLoadFailed);
    std::fprintf(stderr, "ostrel: %s (%s) -> using defaults\n", HX_RunText::kConfigLoadFailed,
                 cfg->configFilePath().c_str());
  }
  HX_TellLoadProblems(&prompt, cfg->loadProblems());
  logging->startDaemon();
  if (g_stopSignal != 0) return StoppedBeforeTheRun(logging);

  if (options.m_bPublishGiven) cfg->m_strPublishUrl = options.m_strPublishUrl;
  const HX_CaptureBackendChoice backend = VrApplyCaptureBackend(options.m_strCapture);
  std::printf("ostrel: capture back-end: %s (%s)\n", HX_CaptureBackendName(backend.m_eBackend),
              backend.m_strReason.c_str());
  std::fflush(stdout);
  const bool portal = backend.m_eBackend == kBackendPortal;
  if (!portal && options.m_stTarget.m_eMode == VrRunTarget::kWindow && !options.m_bWindowGiven) {
    std::fprintf(stderr, "ostrel: --mode window needs --window ID with the x11 back-end\n");
    logging->stopDaemon();
    return 2;
  }
  std::string error;
  if (VrApplyRunTarget(options.m_stTarget, &error) != 0) {
    if (g_stopSignal != 0) return StoppedBeforeTheRun(logging);
    std::fprintf(stderr, "ostrel: %s\n", error.c_str());
    if (options.m_stTarget.m_eMode == VrRunTarget::kWindow) {
      std::fprintf(stderr, "ostrel: %s\n", HX_RunText::kWindowMissing);
    }
    logging->stopDaemon();
    return 1;
  }

  int32_t w = 0, h = 0, l = 0, t = 0, r = 0, b = 0;
  cfg->getOutputSize(&w, &h);
  cfg->getCaptureRegion(&l, &t, &r, &b);
  const char* mode = options.m_stTarget.m_eMode == VrRunTarget::kScreen   ? "screen"
                     : options.m_stTarget.m_eMode == VrRunTarget::kWindow ? "window"
                                                                          : "region";
  std::printf("ostrel: capturing %s", mode);
  if (portal && options.m_stTarget.m_eMode != VrRunTarget::kRegion)
    std::printf(" (chosen through the desktop's screen-cast portal)");
  else if (options.m_stTarget.m_eMode == VrRunTarget::kScreen)
    std::printf(" (monitor %d at %d,%d)", options.m_stTarget.m_iMonitor, l, t);
  else if (options.m_stTarget.m_eMode == VrRunTarget::kWindow)
    std::printf(" 0x%x \"%s\"", options.m_stTarget.m_uiWindow, cfg->m_strTargetName.c_str());
  else
    std::printf(" %d,%d", l, t);
  std::printf(", output %dx%d at %d fps\n", w, h, cfg->m_iFps);
  std::printf("ostrel: push mode: %s", PushName(cfg->m_iPushFlowType));
  if (cfg->m_iPushFlowType == kPushPrivate) std::printf(" on port %d", cfg->m_iPrivatePort);
  if (cfg->m_bAudioEnable) std::printf("\nostrel: sound: on, %d Hz\n", cfg->m_iAudioSample);
  else std::printf("\nostrel: sound: off\n");
  std::printf("ostrel: recording: %s\n", cfg->m_bSyncRecord ? cfg->getRecordPath().c_str() : "off");
  std::printf("ostrel: publishing: %s\n",
              cfg->m_strPublishUrl.empty() ? "off" : VrMaskPublishUrl(cfg->m_strPublishUrl).c_str());
  std::fflush(stdout);
  // The run refuses such an address with a general message; the console
  // says what exactly is wrong with it.
  VrPublishTarget publishTarget;
  if (!cfg->m_strPublishUrl.empty() && VrParsePublishUrl(cfg->m_strPublishUrl, &publishTarget, &error) != 0) {
    std::fprintf(stderr, "ostrel: %s\n", error.c_str());
  }

  if (g_stopSignal != 0) return StoppedBeforeTheRun(logging);
  VrCaptureRun run(&prompt);
  if (run.start() != VrCaptureRun::kStarted) {
    logging->stopDaemon();
    return 1;
  }
  std::printf("ostrel: running; stop with Ctrl-C\n");
  std::fflush(stdout);

  const int64_t limit = options.m_dDurationSeconds > 0 ? static_cast<int64_t>(options.m_dDurationSeconds * 1000) : -1;
  const int code = VrWaitForRunEnd(&run, limit, kVrNoDisplayLimitMs);
  std::printf("ostrel: stopping%s\n", SignalName(g_stopSignal));
  std::fflush(stdout);
  run.stop();
  std::printf("ostrel: stopped\n");
  logging->stopDaemon();
  google::FlushLogFiles(google::GLOG_INFO);
  return code;
}
