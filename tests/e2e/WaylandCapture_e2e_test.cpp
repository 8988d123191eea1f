// The real ostrel and ostrel-client on a headless Wayland desktop: the screen
// comes through the screen-cast portal and PipeWire, the sound through
// PipeWire's Pulse server, and a second run starts from the saved restore
// token where the portal's chooser can only fail.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Child.h"
#include "support/FreePort.h"
#include "support/TempDir.h"
#include "support/WaylandRig.h"

namespace {
using namespace std::chrono_literals;

// The rig's background colour and the one a test switches to.
constexpr int kRigBlue[3] = {0x33, 0x66, 0x99};
constexpr int kRed[3] = {0xff, 0x00, 0x00};

struct Rgb {
  int r, g, b;
  bool Near(const int (&c)[3]) const {
    return std::abs(r - c[0]) <= 24 && std::abs(g - c[1]) <= 24 && std::abs(b - c[2]) <= 24;
  }
};

class WaylandRun : public ::testing::Test {
 protected:
  void SetUp() override {
    OSTREL_SKIP_WITHOUT_WAYLAND_RIG();
    m_rig = std::make_unique<WaylandRig>(m_rigDir.path());
    ASSERT_TRUE(m_rig->ok()) << m_rig->error();
    m_port = FreeLoopbackPort();
  }

  void WriteConfig(const TempDir& home, const std::string& extra) {
    home.write("config.ini", "[config]\nmin_log_level=info\nFPS=25\nPushFlowType=1\nPrivatePort=" +
                                 std::to_string(m_port) + "\nRecordPath=" + home.path() + "/rec\n" + extra);
  }

  // ostrel --headless on the rig's desktop. env(1) puts the rig's variables
  // in place of inherited ones and drops DISPLAY, so that nothing reaches an
  // X server by accident.
  std::unique_ptr<Child> StartOstrel(const TempDir& home) {
    std::vector<std::string> argv = {"/usr/bin/env", "-u", "DISPLAY"};
    argv.insert(argv.end(), m_rig->env().begin(), m_rig->env().end());
    argv.insert(argv.end(), {OSTREL_BIN, "--headless", "--home", home.path(), "--capture", "portal"});
    return std::make_unique<Child>(argv, std::vector<std::string>{}, home.file("ostrel.out"),
                                   home.file("ostrel.err"));
  }

  // Until "running" (true) or the process ends or 20 s pass (false).
  static bool WaitRunning(Child& ostrel) {
    for (int i = 0; i < 400; ++i) {
      if (ostrel.out().find("ostrel: running") != std::string::npos) return true;
      if (ostrel.wait(1ms) != -1) return false;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  std::unique_ptr<Child> RunClient(const TempDir& home, double seconds, const std::string& output) {
    return std::make_unique<Child>(std::vector<std::string>{OSTREL_CLIENT_BIN, "-p", std::to_string(m_port), "-o",
                                                            output, "-d", std::to_string(seconds)},
                                   std::vector<std::string>{}, home.file("client.out"), home.file("client.err"));
  }

  // The colour of a 16 x 16 block at the centre of each decoded picture.
  std::vector<Rgb> CentreColours(const std::string& file) {
    std::string raw;
    m_rig->Run("ffmpeg -v error -i '" + file +
                   "' -vf 'crop=16:16:(iw-16)/2:(ih-16)/2,scale=1:1:flags=area' -f rawvideo -pix_fmt rgb24 -",
               &raw);
    std::vector<Rgb> colours;
    for (size_t i = 0; i + 3 <= raw.size(); i += 3) {
      colours.push_back({static_cast<uint8_t>(raw[i]), static_cast<uint8_t>(raw[i + 1]),
                         static_cast<uint8_t>(raw[i + 2])});
    }
    return colours;
  }

  std::string Shell(const std::string& command) {
    std::string out;
    m_rig->Run(command, &out);
    return out;
  }

  TempDir m_rigDir;
  std::unique_ptr<WaylandRig> m_rig;
  int m_port = 0;
};
}  // namespace

TEST_F(WaylandRun, StreamsAndRecordsTheDesktopWithSoundAndTheNextRunNeedsNoChooser) {
  TempDir home;
  WriteConfig(home, "AudioEnable=1\nAudioSample=48000\nSyncRecord=1\n");
  ASSERT_TRUE(m_rig->PlayTone(1000, 60));
  {
    auto ostrel = StartOstrel(home);
    ASSERT_TRUE(WaitRunning(*ostrel)) << ostrel->out() << ostrel->err();
    EXPECT_NE(ostrel->out().find("ostrel: capture back-end: portal (--capture portal on the command line)"),
              std::string::npos)
        << ostrel->out();

    // The background turns red while the client watches: a client of the
    // desktop changed the picture, and the stream shows it.
    const std::string ts = home.file("stream.ts");
    auto client = RunClient(home, 8, ts);
    std::this_thread::sleep_for(4s);
    ASSERT_EQ(m_rig->Run("swaymsg output HEADLESS-1 bg '#ff0000' solid_color >/dev/null"), 0);
    ASSERT_EQ(client->wait(60s), 0) << client->err();
    const std::vector<Rgb> colours = CentreColours(ts);
    ASSERT_GE(colours.size(), 50u) << client->err();
    EXPECT_TRUE(colours.front().Near(kRigBlue))
        << colours.front().r << "," << colours.front().g << "," << colours.front().b;
    EXPECT_TRUE(colours.back().Near(kRed)) << colours.back().r << "," << colours.back().g << "," << colours.back().b;
    std::smatch m;
    const std::string clientText = client->err();
    ASSERT_TRUE(std::regex_search(clientText, m, std::regex(R"(video latency p50 ([0-9]+) ms, p99 ([0-9]+) ms)")))
        << clientText;
    std::printf("capture-to-client latency on the Wayland rig: p50 %s ms, p99 %s ms\n", m[1].str().c_str(),
                m[2].str().c_str());

    ostrel->signal(SIGINT);
    ASSERT_EQ(ostrel->wait(60s), 0) << ostrel->err();
  }

  // The recording plays, with the tone PipeWire's Pulse server carried.
  std::vector<std::string> files;
  for (auto& e : std::filesystem::directory_iterator(home.path() + "/rec")) files.push_back(e.path().string());
  ASSERT_EQ(files.size(), 1u);
  const std::string streams = Shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + files[0] + "'");
  EXPECT_NE(streams.find("h264"), std::string::npos) << streams;
  // The run took the size of the output the portal granted, not a stand-in.
  EXPECT_EQ(Shell("ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0 '" +
                  files[0] + "'"),
            "1280,720\n");
  EXPECT_NE(streams.find("aac"), std::string::npos) << streams;
  EXPECT_EQ(Shell("ffmpeg -v error -i '" + files[0] + "' -f null - 2>&1"), "");
  const std::string volume = Shell("ffmpeg -i '" + files[0] + "' -vn -af volumedetect -f null - 2>&1 | grep max_volume");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(volume, m, std::regex(R"(max_volume: (-?[0-9.]+) dB)"))) << volume;
  EXPECT_GT(std::stod(m[1]), -30.0) << volume;

  // The grant's restore token is kept in the base directory.
  EXPECT_NE(home.read("screencast-token.ini").find("monitor="), std::string::npos) << home.read("screencast-token.ini");

  // The desktop again, now with a chooser that always fails, its permission
  // store kept: only the saved token can start a cast.
  m_rig.reset();
  WaylandRig::Options failing;
  failing.chooser = "fail";
  failing.keepTokens = true;
  m_rig = std::make_unique<WaylandRig>(m_rigDir.path(), failing);
  ASSERT_TRUE(m_rig->ok()) << m_rig->error();

  // Without a token nobody can answer the chooser: the run cannot start.
  {
    TempDir fresh;
    WriteConfig(fresh, "");
    auto refused = StartOstrel(fresh);
    EXPECT_EQ(refused->wait(60s), 1) << refused->out();
    const std::string logs = Shell("cat '" + fresh.path() + "'/log/* 2>/dev/null");
    EXPECT_NE(logs.find("the user refused screen sharing"), std::string::npos) << logs;
  }

  WriteConfig(home, "");
  auto ostrel = StartOstrel(home);
  ASSERT_TRUE(WaitRunning(*ostrel)) << ostrel->out() << ostrel->err();
  const std::string ts = home.file("again.ts");
  auto client = RunClient(home, 3, ts);
  ASSERT_EQ(client->wait(60s), 0) << client->err();
  const std::vector<Rgb> colours = CentreColours(ts);
  ASSERT_FALSE(colours.empty()) << client->err();
  EXPECT_TRUE(colours.back().Near(kRigBlue)) << colours.back().r << "," << colours.back().g << "," << colours.back().b;
  ostrel->signal(SIGINT);
  EXPECT_EQ(ostrel->wait(60s), 0) << ostrel->err();
}
