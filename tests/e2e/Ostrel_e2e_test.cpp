// The real ostrel and ostrel-client binaries on a private X server and sound
// server: what an operator would run, checked from the outside.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Child.h"
#include "e2e/HeadlessRunFixture.h"
#include "record/RecordProbe.h"
#include "support/PulseServer.h"
#include "support/FreePort.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"

namespace {
using namespace std::chrono_literals;


// Output of a shell command.
std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

struct Stats {
  std::vector<double> videoFps, audioPps;
  int latencyLines = 0;
};

// The client's per-second lines: "video 25.0 fps | audio 43.0 pkt/s | ... | latency avg ...".
// The stream starts at a key frame (up to two seconds after connecting), so
// the seconds before it and the partial second it arrives in are left out.
Stats ParseStats(const std::string& text) {
  Stats s;
  std::regex line(R"(video ([0-9.]+) fps \| audio ([0-9.]+) pkt/s)");
  bool streaming = false;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
    double video = std::stod((*it)[1]), audio = std::stod((*it)[2]);
    if (!streaming) {
      streaming = video > 0;
      continue;
    }
    s.videoFps.push_back(video);
    s.audioPps.push_back(audio);
  }
  std::regex lat(R"(latency avg [0-9]+ ms)");
  s.latencyLines = static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), lat),
                                                  std::sregex_iterator()));
  return s;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

class EndToEnd : public HeadlessRunFixture {
 protected:
  void WriteConfig(const std::string& extra) {
    m_home.write("config.ini", "[config]\nmin_log_level=warning\nFPS=25\nAudioSample=48000\nPrivatePort=" +
                                   std::to_string(m_port) + "\nRecordPath=" + m_home.path() + "/rec\n" + extra);
  }

  // Runs the reference client until it has streamed |seconds|.
  std::unique_ptr<Child> RunClient(double seconds, const std::string& output) {
    auto c = std::make_unique<Child>(
        std::vector<std::string>{OSTREL_CLIENT_BIN, "-p", std::to_string(m_port), "-o", output, "-d",
                                 std::to_string(seconds)},
        std::vector<std::string>{}, m_home.file("client.out"), m_home.file("client.err"));
    return c;
  }

  std::vector<std::string> Recordings() {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(m_home.path() + "/rec", ec))
      if (e.path().extension() == ".mp4") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
  }
};
}  // namespace

TEST_F(EndToEnd, PrivateProtocolStreamsVideoAndSoundToTheClient) {
  PulseServer pulse;
  ASSERT_TRUE(pulse.ready()) << pulse.error();
  ASSERT_TRUE(pulse.playTone(1000, 30));
  WriteConfig("PushFlowType=1\nAudioEnable=1\n");
  auto ostrel = StartOstrel({"--duration", "30"}, {"PULSE_SERVER=" + pulse.server()});
  ASSERT_TRUE(WaitRunning(*ostrel)) << ostrel->out() << ostrel->err();
  EXPECT_NE(ostrel->out().find("output 640x480 at 25 fps"), std::string::npos) << ostrel->out();
  EXPECT_NE(ostrel->out().find("private protocol on port " + std::to_string(m_port)), std::string::npos);

  const std::string ts = m_home.file("stream.ts");
  auto client = RunClient(7, ts);
  ASSERT_EQ(client->wait(60s), 0) << client->err();
  std::string clientText = client->out() + client->err();
  EXPECT_NE(clientText.find("video H.264"), std::string::npos) << clientText;
  EXPECT_NE(clientText.find("48000 Hz"), std::string::npos) << clientText;

  Stats stats = ParseStats(clientText);
  ASSERT_GE(stats.videoFps.size(), 3u) << clientText;
  // About 25 frames and 48000 / 1024 = 46.9 sound packets per second; the
  // sanitizer build on a shared machine gets some slack.
  EXPECT_GT(Median(stats.videoFps), 15) << clientText;
  EXPECT_LT(Median(stats.videoFps), 30) << clientText;
  EXPECT_GT(Median(stats.audioPps), 38) << clientText;
  EXPECT_LT(Median(stats.audioPps), 56) << clientText;
  EXPECT_GE(stats.latencyLines, 3);
  EXPECT_TRUE(std::regex_search(clientText, std::regex(R"(video latency p50 [0-9]+ ms, p99 [0-9]+ ms)")))
      << clientText;

  // The first video packet is a key frame, and the file holds H.264 and AAC.
  std::string first = Shell("ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 '" + ts +
                            "' | head -n1");
  EXPECT_EQ(first.substr(0, 1), "K") << first;
  std::string codecs = Shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + ts + "'");
  EXPECT_NE(codecs.find("h264"), std::string::npos) << codecs;
  EXPECT_NE(codecs.find("aac"), std::string::npos) << codecs;
  // The tone is audible: the decoded sound is far from silence.
  std::string volume = Shell("ffmpeg -v info -i '" + ts + "' -vn -af volumedetect -f null - 2>&1 | grep max_volume");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(volume, m, std::regex(R"(max_volume: (-?[0-9.]+) dB)"))) << volume;
  EXPECT_GT(std::stod(m[1]), -30.0) << volume;

  ostrel->signal(SIGINT);
  EXPECT_EQ(ostrel->wait(60s), 0) << ostrel->err();
  EXPECT_NE(ostrel->out().find("ostrel: stopped"), std::string::npos);
}

// Everything the run wrote to its log directory.
std::string ReadLogs(const std::string& home) {
  std::string text;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(home + "/log", ec)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path());
    text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return text;
}

// Each hardware choice on a machine without the hardware: the run starts,
// tries its own back-end once, says why it fell back, and streams x264 to
// the client, which is told H.264 (28) as with every H.264 choice.
TEST_F(EndToEnd, HardwareChoicesFallBackToSoftwareAndStillStream) {
  if (std::filesystem::exists("/dev/dri")) GTEST_SKIP() << "this machine has a GPU";
  struct Case {
    int encodeType;
    const char* fallbackLine;
  };
  const Case cases[] = {
      {3, "VA-API encoder (kind 4) did not open (no AMD render node)"},
      {4, "QuickSync encoder (kind 1) did not open (no Intel render node)"},
      {5, "NVENC encoder (kind 2) did not open (the CUDA driver cannot be loaded or queried)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encodeType);
    std::filesystem::remove_all(m_home.path() + "/log");
    WriteConfig("PushFlowType=1\nAudioEnable=0\nEncodeType=" + std::to_string(c.encodeType) + "\n");
    auto ostrel = StartOstrel({"--duration", "30"});
    ASSERT_TRUE(WaitRunning(*ostrel)) << ostrel->out() << ostrel->err();
    const std::string ts = m_home.file("hw" + std::to_string(c.encodeType) + ".ts");
    // The stream starts at the next key frame, up to two seconds after
    // connecting: five seconds always hold some video.
    auto client = RunClient(5, ts);
    ASSERT_EQ(client->wait(60s), 0) << client->err();
    const std::string clientText = client->out() + client->err();
    EXPECT_NE(clientText.find("codec information: video H.264 (28)"), std::string::npos) << clientText;
    EXPECT_GE(ParseStats(clientText).videoFps.size(), 1u) << clientText;
    std::string first = Shell("ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 '" +
                              ts + "' | head -n1");
    EXPECT_EQ(first.substr(0, 1), "K") << first;
    ostrel->signal(SIGINT);
    EXPECT_EQ(ostrel->wait(60s), 0) << ostrel->err();
    std::string logs = ReadLogs(m_home.path());
    if (logs.empty()) logs = ostrel->err();
    EXPECT_NE(logs.find(c.fallbackLine), std::string::npos) << logs;
    // glog writes a warning into the INFO and the WARNING file: count distinct lines.
    std::set<std::string> fallbacks;
    std::istringstream in(logs);
    for (std::string line; std::getline(in, line);)
      if (line.find("did not open") != std::string::npos) fallbacks.insert(line);
    EXPECT_EQ(fallbacks.size(), 1u) << logs;
    EXPECT_EQ(logs.find("failed while running"), std::string::npos) << logs;
  }
}

TEST_F(EndToEnd, RecordingWhileStreamingAndSigtermLeavesAPlayableFile) {
  WriteConfig("PushFlowType=1\nAudioEnable=0\nSyncRecord=1\n");
  auto ostrel = StartOstrel({});
  ASSERT_TRUE(WaitRunning(*ostrel)) << ostrel->out() << ostrel->err();
  auto client = RunClient(3, m_home.file("stream.mkv"));
  ASSERT_EQ(client->wait(60s), 0) << client->err();
  ostrel->signal(SIGTERM);
  ASSERT_EQ(ostrel->wait(60s), 0) << ostrel->err();
  EXPECT_NE(ostrel->out().find("(SIGTERM)"), std::string::npos);

  std::vector<std::string> files = Recordings();
  ASSERT_EQ(files.size(), 1u);
  std::string streams = Shell("ffprobe -v error -show_entries stream=index,codec_name,width,height -of csv=p=0 '" +
                              files[0] + "'");
  EXPECT_NE(streams.find("h264,640,480"), std::string::npos) << streams;
  EXPECT_NE(streams.find("aac"), std::string::npos) << streams;
  EXPECT_EQ(Shell("ffmpeg -v error -i '" + files[0] + "' -f null - 2>&1"), "");
  std::string duration = Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + files[0] + "'");
  EXPECT_GT(std::stod(duration.empty() ? "0" : duration), 2.0) << duration;
}

// The last packet time of one stream of |file| ("v" or "a"), from the packets
// ffprobe reads; -1 when there are none.
double LastPacketTime(const std::string& file, const char* stream) {
  std::string text = Shell(std::string("ffprobe -v error -select_streams ") + stream +
                           " -show_entries packet=pts_time -of csv=p=0 '" + file + "' | tail -n1");
  return text.empty() || text == "N/A\n" ? -1 : std::stod(text);
}

TEST_F(EndToEnd, RecordingOfAKilledProcessPlaysUpToItsLastFragment) {
  PulseServer pulse;
  ASSERT_TRUE(pulse.ready()) << pulse.error();
  ASSERT_TRUE(pulse.playTone(1000, 30));
  WriteConfig("PushFlowType=1\nAudioEnable=1\nSyncRecord=1\n");
  auto ostrel = StartOstrel({}, {"PULSE_SERVER=" + pulse.server()});
  ASSERT_TRUE(WaitRunning(*ostrel)) << ostrel->out() << ostrel->err();
  std::this_thread::sleep_for(8s);
  ostrel->signal(SIGKILL);  // no trailer, no flush: only what each fragment made durable
  EXPECT_EQ(ostrel->wait(30s), -1000 - SIGKILL);

  std::vector<std::string> files = Recordings();
  ASSERT_EQ(files.size(), 1u);
  std::string codecs = Shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + files[0] + "'");
  EXPECT_NE(codecs.find("h264"), std::string::npos) << codecs;
  EXPECT_NE(codecs.find("aac"), std::string::npos) << codecs;
  // Fragments end at most 2 s apart: of 8 s, at least 5 s are in the file.
  EXPECT_GE(LastPacketTime(files[0], "v"), 5.0);
  EXPECT_GE(LastPacketTime(files[0], "a"), 5.0);
  EXPECT_EQ(Shell("ffmpeg -v error -i '" + files[0] + "' -f null - 2>&1"), "");
}

TEST_F(EndToEnd, MjpegRunRecordsAJpegTrackThatDecodes) {
  WriteConfig("PushFlowType=1\nAudioEnable=0\nSyncRecord=1\nEncodeType=2\n");
  auto ostrel = StartOstrel({"--duration", "4"});
  ASSERT_EQ(ostrel->wait(60s), 0) << ostrel->err();
  std::vector<std::string> files = Recordings();
  ASSERT_EQ(files.size(), 1u);
  std::string streams = Shell("ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height "
                              "-of csv=p=0 '" + files[0] + "'");
  EXPECT_EQ(streams, "mjpeg,640,480\n");
  EXPECT_GE(LastPacketTime(files[0], "v"), 2.0);
  EXPECT_EQ(Shell("ffmpeg -v error -i '" + files[0] + "' -f null - 2>&1"), "");
}

TEST_F(EndToEnd, SoundFailureContinuesWithSilentAudio) {
  // Sound is on but no sound server answers.
  WriteConfig("PushFlowType=1\nAudioEnable=1\n");
  auto ostrel = StartOstrel({"--duration", "30"}, {"PULSE_SERVER=unix:" + m_home.path() + "/no-such-socket"});
  ASSERT_TRUE(WaitRunning(*ostrel)) << ostrel->out() << ostrel->err();
  EXPECT_NE(ostrel->err().find("continuing without sound"), std::string::npos) << ostrel->err();
  const std::string ts = m_home.file("stream.ts");
  auto client = RunClient(6, ts);
  ASSERT_EQ(client->wait(60s), 0) << client->err();
  Stats stats = ParseStats(client->err() + client->out());
  ASSERT_GE(stats.audioPps.size(), 2u) << client->err();
  EXPECT_GT(Median(stats.audioPps), 38);
  std::string volume = Shell("ffmpeg -v info -i '" + ts + "' -vn -af volumedetect -f null - 2>&1 | grep max_volume");
  EXPECT_NE(volume.find("max_volume: -91"), std::string::npos) << volume;  // digital silence
  ostrel->signal(SIGTERM);
  EXPECT_EQ(ostrel->wait(60s), 0);
}

TEST_F(EndToEnd, NdiModePublishesRawFramesThroughTheRuntime) {
  if (std::string(OSTREL_FAKE_NDI).empty()) GTEST_SKIP() << "fake NDI runtime not built";
  WriteConfig("PushFlowType=0\nAudioEnable=0\n");
  const std::string report = m_home.file("ndi.txt");
  auto ostrel = StartOstrel({"--duration", "3"}, {std::string("OSTREL_NDI_LIBRARY=") + OSTREL_FAKE_NDI,
                                                  "OSTREL_FAKE_NDI_REPORT=" + report});
  ASSERT_EQ(ostrel->wait(60s), 0) << ostrel->err();
  EXPECT_NE(ostrel->out().find("NDI source \"ViZaroduDezo_NDI\""), std::string::npos) << ostrel->out();
  std::string text = Child::Read(report);
  EXPECT_NE(text.find("name=ViZaroduDezo_NDI\n"), std::string::npos) << text;
  EXPECT_NE(text.find("fourcc=NV12\n"), std::string::npos) << text;
  EXPECT_NE(text.find("size=640x480\n"), std::string::npos) << text;
  EXPECT_NE(text.find("rate=2500/100\n"), std::string::npos) << text;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(video=([0-9]+)\naudio=([0-9]+))"))) << text;
  EXPECT_GT(std::stoi(m[1]), 25);  // about 3 s at 25 fps
  EXPECT_GT(std::stoi(m[2]), 60);  // about 3 s of 44100 / 1024 blocks
}

TEST_F(EndToEnd, CommandLineErrorsAreClear) {
  WriteConfig("PushFlowType=1\n");
  {
    auto ostrel = StartOstrel({"--mode", "window", "--window", "0x7fffff"});
    EXPECT_EQ(ostrel->wait(60s), 1);
    EXPECT_NE(ostrel->err().find("指定的窗口不存在,请刷新列表"), std::string::npos) << ostrel->err();
  }
  {
    // Without --headless the dialog starts; an unknown option is refused before any display is opened.
    Child usage({OSTREL_BIN, "--bogus"}, {}, m_home.file("u.out"), m_home.file("u.err"));
    EXPECT_EQ(usage.wait(30s), 2);
    EXPECT_NE(usage.err().find("Usage: ostrel [--home DIR]"), std::string::npos) << usage.err();
    // Both the dialog and the headless runner know the capture back-ends, and only those.
    Child backend({OSTREL_BIN, "--capture=wayland"}, {}, m_home.file("b.out"), m_home.file("b.err"));
    EXPECT_EQ(backend.wait(30s), 2);
    EXPECT_NE(backend.err().find("unknown capture back-end 'wayland' (x11 or portal)"), std::string::npos)
        << backend.err();
    auto headless = StartOstrel({"--capture", "wayland"});
    EXPECT_EQ(headless->wait(30s), 2);
    EXPECT_NE(headless->err().find("unknown capture back-end 'wayland' (x11 or portal)"), std::string::npos)
        << headless->err();
  }
  {
    // The port is already served: the run does not start. (Another base
    // directory with the same settings: one directory admits one process.)
    auto first = StartOstrel({"--duration", "20"});
    ASSERT_TRUE(WaitRunning(*first)) << first->err();
    TempDir other;
    other.write("config.ini", m_home.read("config.ini"));
    Child second({OSTREL_BIN, "--headless", "--home", other.path()}, {"DISPLAY=" + m_xvfb->display()},
                 m_home.file("s.out"), m_home.file("s.err"));
    EXPECT_EQ(second.wait(60s), 1);
    EXPECT_NE(second.err().find("网络推流初始化失败！"), std::string::npos) << second.err();
    first->signal(SIGINT);
    EXPECT_EQ(first->wait(60s), 0);
  }
  {
    // Window mode without a window id is refused once the X11 back-end is
    // known: on the command line, or (as here) from config.ini.
    auto ostrel = StartOstrel({"--mode", "window", "--capture", "x11"});
    EXPECT_EQ(ostrel->wait(30s), 2);
    WriteConfig("PushFlowType=1\nCaptureBackend=x11\n");
    auto decided = StartOstrel({"--mode", "window"});
    EXPECT_EQ(decided->wait(60s), 2);
    EXPECT_NE(decided->out().find("capture back-end: x11 (CaptureBackend=x11 in config.ini)"), std::string::npos)
        << decided->out();
    EXPECT_NE(decided->err().find("--mode window needs --window ID with the x11 back-end"), std::string::npos)
        << decided->err();
  }
}

TEST_F(EndToEnd, MissingConfigurationMeansDefaults) {
  // No config.ini: NDI push mode, no recording; the run still starts and stops.
  auto ostrel = StartOstrel({"--duration", "1"});
  EXPECT_EQ(ostrel->wait(60s), 0) << ostrel->err();
  EXPECT_NE(ostrel->err().find("dozi加载配置失败！"), std::string::npos) << ostrel->err();
  EXPECT_NE(ostrel->out().find("output 640x480 at 25 fps"), std::string::npos) << ostrel->out();
}

TEST_F(EndToEnd, ConfigurationProblemsAreToldOnStderrAndTheDefaultsUsed) {
  // (A key given twice reads as its first value, so the file is written whole.)
  m_home.write("config.ini", "[config]\nFPS=100000\nAudioSample=12345\nAudioEnable=1\nRecordPath=/" +
                                 std::string(5000, 'x') + "\n");
  {
    auto ostrel = StartOstrel({"--duration", "1"});
    EXPECT_EQ(ostrel->wait(60s), 0) << ostrel->err();
    const std::string err = ostrel->err();
    EXPECT_NE(err.find("ostrel: config.ini: FPS=100000 is not 1..60; 25 is used instead"), std::string::npos) << err;
    EXPECT_NE(err.find("config.ini: AudioSample=12345 is not one of"), std::string::npos) << err;
    EXPECT_NE(err.find("config.ini: the RecordPath line is longer than 199 characters and was not read"),
              std::string::npos) << err;
    EXPECT_NE(ostrel->out().find("at 25 fps"), std::string::npos) << ostrel->out();
    EXPECT_NE(ostrel->out().find("sound: on, 44100 Hz"), std::string::npos) << ostrel->out();
  }
  {
    // Binary data is no configuration: the operator hears so, the defaults run.
    m_home.write("config.ini", std::string("\x7f" "ELF\x02\x01\x01") + std::string(12, '\0') + "PushFlowType\n\xff\n");
    auto ostrel = StartOstrel({"--duration", "1"});
    EXPECT_EQ(ostrel->wait(60s), 0) << ostrel->err();
    EXPECT_NE(ostrel->err().find("dozi加载配置失败！"), std::string::npos) << ostrel->err();
  }
}

namespace {
// True when |pid| has a handler installed for |sig| (SigCgt in /proc).
bool CatchesSignal(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
  }
  return false;
}
}  // namespace

// A stop signal as early as the process takes one, and a little later, is a
// stop: exit 0 and no crash report, whichever start-up step it interrupts.
TEST_F(EndToEnd, StopSignalDuringStartUpIsACleanStop) {
  TempDir& home = m_home;
  WriteConfig("PushFlowType=1\n");
  for (int delayMs : {0, 0, 5, 20, 60}) {
    Child ostrel({OSTREL_BIN, "--headless", "--home=" + home.path(), "--duration", "30"},
                 {"DISPLAY=" + m_xvfb->display()}, home.file("ostrel.out"), home.file("ostrel.err"));
    ASSERT_TRUE(ostrel.started());
    bool caught = false;
    for (int i = 0; i < 5000 && !caught; ++i) {
      caught = CatchesSignal(ostrel.pid(), SIGTERM);
      if (!caught) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(caught) << "SIGTERM is never caught\n" << ostrel.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    ostrel.signal(SIGTERM);
    EXPECT_EQ(ostrel.wait(30s), 0) << "SIGTERM " << delayMs << " ms after it is caught\n" << ostrel.err();
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(home.path() + "/dump", ec)) {
      ADD_FAILURE() << "crash report " << e.path() << " after SIGTERM at " << delayMs << " ms";
    }
  }
}

TEST(EndToEndWindow, AWindowUnderAWindowManagerIsRecordedAtItsClientSize) {
  XvfbServer::Options xo;
  xo.width = 800;
  xo.height = 600;
  xo.windowManager = true;
  XvfbServer x(xo);
  ASSERT_TRUE(x.ok()) << x.error();
  TempDir home;
  home.write("config.ini", "[config]\nPushFlowType=0\nSyncRecord=1\nRecordPath=" + home.path() + "/rec\n");
  Child window({"/usr/bin/xmessage", "-geometry", "320x240+40+40", "window capture"}, {"DISPLAY=" + x.display()},
               home.file("xm.out"), home.file("xm.err"));
  std::string id;
  for (int i = 0; i < 100 && id.empty(); ++i) {
    x.run({"xdotool", "search", "--name", "xmessage"}, &id);
    if (id.empty()) std::this_thread::sleep_for(100ms);
  }
  ASSERT_FALSE(id.empty());
  id = id.substr(0, id.find('\n'));
  std::string info;
  ASSERT_EQ(x.run({"xwininfo", "-id", id}, &info), 0);
  std::smatch w, h;
  ASSERT_TRUE(std::regex_search(info, w, std::regex(R"(Width: ([0-9]+))")));
  ASSERT_TRUE(std::regex_search(info, h, std::regex(R"(Height: ([0-9]+))")));
  const int width = std::stoi(w[1]) & ~1, height = std::stoi(h[1]) & ~1;

  Child ostrel({OSTREL_BIN, "--headless", "--home", home.path(), "--mode", "window", "--window", id, "--duration", "3"},
               {"DISPLAY=" + x.display()}, home.file("o.out"), home.file("o.err"));
  ASSERT_EQ(ostrel.wait(60s), 0) << ostrel.err();
  EXPECT_NE(ostrel.out().find("output " + std::to_string(width) + "x" + std::to_string(height)), std::string::npos)
      << ostrel.out();
  std::string file;
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(home.path() + "/rec", ec)) file = e.path().string();
  ASSERT_FALSE(file.empty());
  std::string size = Shell("ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0 '" +
                           file + "'");
  EXPECT_EQ(size, std::to_string(width) + "," + std::to_string(height) + "\n");
  window.signal(SIGTERM);
}

// What a user runs on recordings after a power loss: no display, no
// configuration, one line per file, and the exit code says whether all worked.
TEST(EndToEndFinalize, EachFileIsRewrittenOrRefusedInOneLineAndTheExitCodeTellsWhetherAllWorked) {
  TempDir dir;
  const std::string whole = dir.file("whole.mp4"), cut = dir.file("cut.mp4"), notes = dir.file("notes.txt");
  // Muxed with the recorder's flags: a fragment at each key frame (every second).
  ASSERT_EQ(Shell("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 "
                  "-t 4 -c:v libx264 -preset ultrafast -g 25 -c:a aac -movflags frag_keyframe+empty_moov+default_base_moof "
                  "-frag_duration 2000000 '" + whole + "' 2>&1"),
            "");
  uint64_t lastMoof = 0;
  for (const Box& b : TopLevelBoxes(whole)) {
    if (b.type == "moof") lastMoof = b.offset;
  }
  ASSERT_GT(lastMoof, 0u);
  Copy(whole, cut, lastMoof + 40);  // inside the traf, as a power loss can leave it
  ASSERT_NE(DecodeErrors(cut), "") << "FFmpeg opens a file cut inside a moof";
  dir.write("notes.txt", "not a recording\n");

  Child run({OSTREL_BIN, "--finalize", whole, cut, notes}, {}, dir.file("f.out"), dir.file("f.err"));
  EXPECT_EQ(run.wait(60s), 1);
  const std::string out = run.out();
  std::smatch m;
  EXPECT_TRUE(std::regex_match(out, m, std::regex(whole + R"(: plain MP4 with its index at the front, 4\.0 s kept \(4 fragments, [0-9]+ packets\)
)" + cut + R"(: plain MP4 with its index at the front, 3\.0 s kept \(3 fragments, [0-9]+ packets\), [0-9]+ bytes after the last complete fragment dropped
)"))) << out;
  EXPECT_EQ(run.err(), "ostrel: " + notes + ": not an MP4 recording; left unchanged\n");
  EXPECT_EQ(DecodeErrors(cut), "");
  EXPECT_EQ(dir.read("notes.txt"), "not a recording\n");

  Child again({OSTREL_BIN, "--finalize", cut}, {}, dir.file("a.out"), dir.file("a.err"));
  EXPECT_EQ(again.wait(60s), 0) << again.err();
  Child usage({OSTREL_BIN, "--finalize"}, {}, dir.file("u.out"), dir.file("u.err"));
  EXPECT_EQ(usage.wait(30s), 2);
  EXPECT_NE(usage.err().find("--finalize FILE..."), std::string::npos) << usage.err();
}
