#pragma once
// A test that runs the real ostrel binary headless on its own 640x480 X
// server, with a base directory of its own and a free loopback port.
// OSTREL_BIN names the binary (set by the test target). Test thread only.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Child.h"
#include "support/FreePort.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"

class HeadlessRunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    XvfbServer::Options xo;
    xo.width = 640;
    xo.height = 480;
    m_xvfb = std::make_unique<XvfbServer>(xo);
    ASSERT_TRUE(m_xvfb->ok()) << m_xvfb->error();
    m_port = FreeLoopbackPort();
  }

  std::unique_ptr<Child> StartOstrel(std::vector<std::string> args, std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {OSTREL_BIN, "--headless", "--home", m_home.path()};
    argv.insert(argv.end(), args.begin(), args.end());
    env.push_back("DISPLAY=" + m_xvfb->display());
    return std::make_unique<Child>(argv, env, m_home.file("ostrel.out"), m_home.file("ostrel.err"));
  }

  // Waits until the server's summary says it runs; false when it ended first
  // or took longer than 15 s.
  bool WaitRunning(Child& ostrel) {
    for (int i = 0; i < 300; ++i) {
      if (ostrel.out().find("ostrel: running") != std::string::npos) return true;
      if (ostrel.wait(std::chrono::milliseconds(1)) != -1) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  TempDir m_home;
  std::unique_ptr<XvfbServer> m_xvfb;
  int m_port = 0;
};
