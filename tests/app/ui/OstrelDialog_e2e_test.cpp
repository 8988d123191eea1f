// The real ostrel dialog on a private desktop (Xvfb, openbox, a tray host):
// found by its caption, raised by a second start, started with a mouse click
// on "开始" while ostrel-client watches the stream, closed like any window.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Child.h"
#include "support/FreePort.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"

namespace {
using namespace std::chrono_literals;

constexpr char kCaption[] = "澄影dozi";

class DialogEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // xdotool reads window names through the locale: Chinese captions need UTF-8.
    setenv("LC_ALL", "C.UTF-8", 1);
    XvfbServer::Options xo;
    xo.width = 1024;
    xo.height = 768;
    xo.windowManager = true;
    xo.trayHost = true;
    m_xvfb = std::make_unique<XvfbServer>(xo);
    ASSERT_TRUE(m_xvfb->ok()) << m_xvfb->error();
    m_port = FreeLoopbackPort();
    m_home.write("config.ini", "[config]\nmin_log_level=warning\nFPS=25\nPushFlowType=1\nAudioEnable=0\nPrivatePort=" +
                                   std::to_string(m_port) + "\n");
  }

  // ostrel exactly as an operator starts it: no arguments.
  std::unique_ptr<Child> Start(const std::string& tag, std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {OSTREL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Child>(argv, Env(), m_home.file(tag + ".out"), m_home.file(tag + ".err"));
  }
  // A UTF-8 locale every machine has: under a locale that is not installed
  // Qt writes the legacy window name in Latin-1, and xdotool matches on it.
  // The dialog is Chinese whatever the locale.
  std::vector<std::string> Env() const {
    return {"DISPLAY=" + m_xvfb->display(), "OSTREL_HOME=" + m_home.path(), "LANG=C.UTF-8",
            "LC_ALL=C.UTF-8", "QT_QPA_PLATFORM=xcb"};
  }
  // Window ids matching the caption (only mapped ones when |visible|).
  std::string Find(bool visible) const {
    std::string out;
    std::vector<std::string> argv = {"xdotool", "search"};
    if (visible) argv.push_back("--onlyvisible");
    argv.insert(argv.end(), {"--name", kCaption});
    m_xvfb->run(argv, &out);
    return out.substr(0, out.find('\n'));
  }
  std::string WaitFor(bool visible, Child& ostrel) const {
    for (int i = 0; i < 600; ++i) {
      std::string id = Find(visible);
      if (!id.empty()) return id;
      if (ostrel.wait(1ms) != -1) return std::string();
      std::this_thread::sleep_for(50ms);
    }
    return std::string();
  }
  bool X(const std::vector<std::string>& argv) const { return m_xvfb->run(argv) == 0; }

  TempDir m_home;
  std::unique_ptr<XvfbServer> m_xvfb;
  int m_port = 0;
};
}  // namespace

TEST_F(DialogEndToEnd, SecondStartRaisesTheFirstAndHeadlessIsRefused) {
  auto first = Start("first");
  const std::string window = WaitFor(true, *first);
  ASSERT_FALSE(window.empty()) << first->err();

  // With a notification area, minimising hides the window.
  ASSERT_TRUE(X({"xdotool", "windowminimize", "--sync", window}));
  for (int i = 0; i < 100 && !Find(true).empty(); ++i) std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(Find(true).empty());

  auto second = Start("second");
  EXPECT_EQ(second->wait(30s), 0) << second->err();
  EXPECT_EQ(second->err().find("程序已运行"), std::string::npos) << second->err();
  EXPECT_EQ(WaitFor(true, *first), window);  // the same window is back
  EXPECT_EQ(first->wait(1ms), -1);           // and its process still runs

  auto headless = Start("headless", {"--headless", "--duration", "1"});
  EXPECT_EQ(headless->wait(30s), 1);
  EXPECT_NE(headless->err().find("程序已运行，请勿重复操作！！！"), std::string::npos) << headless->err();

  first->signal(SIGTERM);
  first->wait(30s);
}

TEST_F(DialogEndToEnd, ClickingStartStreamsAndClosingStopsTheRunAndSavesConfig) {
  auto ostrel = Start("dialog");
  const std::string window = WaitFor(true, *ostrel);
  ASSERT_FALSE(window.empty()) << ostrel->err();
  ASSERT_TRUE(X({"xdotool", "windowactivate", "--sync", window}));
  // The start button spans the width of the dialog just above the status line.
  std::string geometry;
  m_xvfb->run({"xdotool", "getwindowgeometry", "--shell", window}, &geometry);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(geometry, m, std::regex(R"(HEIGHT=([0-9]+))"))) << geometry;
  const int height = std::stoi(m[1]);
  ASSERT_TRUE(X({"xdotool", "mousemove", "--window", window, "220", std::to_string(height - 42), "click", "1"}));

  auto client = std::make_unique<Child>(
      std::vector<std::string>{OSTREL_CLIENT_BIN, "-p", std::to_string(m_port), "-o", m_home.file("s.ts"), "-d", "4"},
      std::vector<std::string>{}, m_home.file("client.out"), m_home.file("client.err"));
  ASSERT_EQ(client->wait(60s), 0) << client->err() << ostrel->err();
  const std::string text = client->out() + client->err();
  EXPECT_NE(text.find("video H.264"), std::string::npos) << text;
  const std::regex fps(R"(video ([0-9.]+) fps)");
  bool streamed = false;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), fps);
       it != std::sregex_iterator(); ++it) {
    streamed = streamed || std::stod((*it)[1]) > 5;
  }
  EXPECT_TRUE(streamed) << text;

  // Closing the window ends the process, which stops the run and saves the
  // configuration (the saved file has every key, the one written above had few).
  ASSERT_TRUE(X({"xdotool", "windowactivate", "--sync", window, "key", "--clearmodifiers", "alt+F4"}));
  EXPECT_EQ(ostrel->wait(60s), 0) << ostrel->err();
  const std::string saved = m_home.read("config.ini");
  EXPECT_NE(saved.find("EncodeCache=1000"), std::string::npos) << saved;
  EXPECT_NE(saved.find("PushFlowType=1"), std::string::npos) << saved;
  EXPECT_NE(saved.find("PrivatePort=" + std::to_string(m_port)), std::string::npos) << saved;
  // Nothing listens any more.
  auto late = std::make_unique<Child>(
      std::vector<std::string>{OSTREL_CLIENT_BIN, "-p", std::to_string(m_port), "--info-only"},
      std::vector<std::string>{}, m_home.file("late.out"), m_home.file("late.err"));
  EXPECT_NE(late->wait(30s), 0);
}
