#include "platform/portal/HX_SdBusScreenCastPortal.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/DbusSession.h"
#include "support/LogCapture.h"

// Each test runs a private session bus and, where it needs one, the fake
// portal (tests/support/FakeScreenCastPortal.cpp) scripted through its options.
namespace {

using namespace std::chrono_literals;

constexpr auto kMonitor = HX_ScreenCastRequest::kMonitor;
constexpr auto kWindow = HX_ScreenCastRequest::kWindow;
const char* const kNeedsUser = "screen sharing needs a user to allow it once, or a valid restore token";

class ScreenCastPortalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_bus.skipReason().empty()) GTEST_SKIP() << m_bus.skipReason();
    ASSERT_TRUE(m_bus.ready()) << m_bus.error();
  }

  // Starts the fake portal with |args|; what it receives goes to record().
  void startFake(std::vector<std::string> args) {
    args.insert(args.begin(), {OSTREL_FAKE_PORTAL, "--record", recordPath()});
    m_fake = m_bus.startService(args, "fake-portal.log");
    ASSERT_GT(m_fake, 0) << m_bus.log("fake-portal.log");
  }
  void stopFake() { m_bus.stopService(m_fake); }

  HX_SdBusPortalOptions options(std::chrono::milliseconds answer = 10s,
                                std::chrono::milliseconds start = 10s) const {
    HX_SdBusPortalOptions o;
    o.m_strBusAddress = m_bus.address();
    o.m_stLimits.m_msAnswer = answer;
    o.m_stLimits.m_msStart = start;
    return o;
  }

  std::string recordPath() const { return m_bus.dir() + "/record"; }
  std::vector<std::string> record() const {
    std::vector<std::string> lines;
    std::ifstream in(recordPath());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Record lines starting with |prefix|.
  std::vector<std::string> calls(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : record()) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
  }
  void clearRecord() const { std::ofstream(recordPath(), std::ios::trunc); }

  static HX_ScreenCastRequest Request(HX_ScreenCastRequest::Kind kind, bool cursor, std::string token = "") {
    HX_ScreenCastRequest r;
    r.m_eKind = kind;
    r.m_bCursor = cursor;
    r.m_strRestoreToken = std::move(token);
    return r;
  }

  DbusSession m_bus;
  pid_t m_fake = -1;
};

TEST_F(ScreenCastPortalTest, GrantCarriesTheStreamItsPlaceATokenAndTheRemote) {
  startFake({"--node", "77", "--position", "1920,-40", "--size", "2560x1440"});
  HX_SdBusScreenCastPortal portal(options());
  HX_ScreenCastGrant grant;
  std::string error;
  ASSERT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), 0) << error;
  EXPECT_EQ(grant.m_uiNodeId, 77u);
  EXPECT_EQ(grant.m_iX, 1920);
  EXPECT_EQ(grant.m_iY, -40);
  EXPECT_EQ(grant.m_iWidth, 2560);
  EXPECT_EQ(grant.m_iHeight, 1440);
  EXPECT_EQ(grant.m_strRestoreToken.rfind("tok-", 0), 0u) << grant.m_strRestoreToken;
  ASSERT_TRUE(grant.m_fdRemote.valid());
  EXPECT_GE(fcntl(grant.m_fdRemote.get(), F_GETFD), 0);

  EXPECT_EQ(record(), (std::vector<std::string>{
                          "CreateSession",
                          "SelectSources types=1 multiple=0 cursor_mode=2 persist_mode=2",
                          "Start parent_window=",
                          "OpenPipeWireRemote",
                      }));
  // The descriptor is the grant's own: it outlives the session.
  portal.Close();
  EXPECT_GE(fcntl(grant.m_fdRemote.get(), F_GETFD), 0);
}

TEST_F(ScreenCastPortalTest, CursorModeFollowsTheOptionWithinWhatThePortalOffers) {
  struct Case {
    bool cursor;
    const char* offered;
    const char* sent;  // the cursor_mode part of SelectSources, or "" for none
  };
  const Case cases[] = {
      {true, "7", " cursor_mode=2"},  {false, "7", " cursor_mode=1"},
      {true, "5", " cursor_mode=1"},  // cannot embed: hidden rather than metadata
      {false, "2", " cursor_mode=2"}, // cannot hide: embedded is all there is
      {true, "0", ""},                // the portal picks
  };
  for (const Case& c : cases) {
    clearRecord();
    startFake({"--cursor-modes", c.offered});
    HX_SdBusScreenCastPortal portal(options());
    HX_ScreenCastGrant grant;
    std::string error;
    ASSERT_EQ(portal.Open(Request(kMonitor, c.cursor), &grant, &error), 0) << error;
    EXPECT_EQ(calls("SelectSources"),
              std::vector<std::string>{std::string("SelectSources types=1 multiple=0") + c.sent +
                                       " persist_mode=2"})
        << "cursor " << c.cursor << ", offered " << c.offered;
    portal.Close();
    stopFake();
  }
}

TEST_F(ScreenCastPortalTest, WindowKindAndOlderPortals) {
  startFake({"--version", "3"});
  {
    HX_SdBusScreenCastPortal portal(options());
    HX_ScreenCastGrant grant;
    std::string error;
    // Version 3 knows no tokens: none is sent, none comes back.
    ASSERT_EQ(portal.Open(Request(kWindow, false, "tok-old"), &grant, &error), 0) << error;
    EXPECT_EQ(calls("SelectSources"),
              std::vector<std::string>{"SelectSources types=2 multiple=0 cursor_mode=1"});
    EXPECT_EQ(grant.m_strRestoreToken, "");
  }
  stopFake();

  clearRecord();
  startFake({"--source-types", "1"});
  HX_SdBusScreenCastPortal portal(options());
  HX_ScreenCastGrant grant;
  std::string error;
  EXPECT_EQ(portal.Open(Request(kWindow, true), &grant, &error), HX_IScreenCastPortal::kFailed);
  EXPECT_NE(error.find("cannot share a window"), std::string::npos) << error;
  EXPECT_TRUE(record().empty());
}

TEST_F(ScreenCastPortalTest, RefusalIsReportedOnceAndEndsTheSession) {
  for (const char* step : {"select", "start"}) {
    clearRecord();
    startFake({"--refuse-at", step});
    LogCapture log;
    HX_SdBusScreenCastPortal portal(options());
    HX_ScreenCastGrant grant;
    std::string error;
    EXPECT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), HX_IScreenCastPortal::kRefused) << step;
    EXPECT_EQ(error, "the user refused screen sharing");
    EXPECT_EQ(log.count("the user refused screen sharing"), 1) << step;
    EXPECT_FALSE(grant.m_fdRemote.valid());
    EXPECT_EQ(calls("Close /org/freedesktop/portal/desktop/session/").size(), 1u) << step;
    EXPECT_TRUE(calls("OpenPipeWireRemote").empty());
    stopFake();
  }

  // Answer 2 without a token: nobody could be asked (a chooser that cannot show).
  clearRecord();
  startFake({"--chooser", "fail"});
  HX_SdBusScreenCastPortal portal(options());
  HX_ScreenCastGrant grant;
  std::string error;
  EXPECT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), HX_IScreenCastPortal::kRefused);
  EXPECT_NE(error.find("the user refused screen sharing"), std::string::npos) << error;
  EXPECT_NE(error.find(kNeedsUser), std::string::npos) << error;
  stopFake();

  // A portal too old for tokens was never sent one: its refusal is the user's
  // answer, and the user is not asked a second time.
  clearRecord();
  startFake({"--version", "3", "--refuse-at", "start"});
  EXPECT_EQ(portal.Open(Request(kMonitor, true, "tok-old"), &grant, &error), HX_IScreenCastPortal::kRefused);
  EXPECT_EQ(error, "the user refused screen sharing");
  EXPECT_EQ(calls("Start").size(), 1u);
}

TEST_F(ScreenCastPortalTest, ASavedTokenStartsWithoutAsking) {
  const std::string db = m_bus.dir() + "/tokens";
  std::ofstream(db).flush();
  startFake({"--token-db", db});
  std::string token;
  {
    HX_SdBusScreenCastPortal portal(options());
    HX_ScreenCastGrant grant;
    std::string error;
    ASSERT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), 0) << error;
    token = grant.m_strRestoreToken;
    ASSERT_FALSE(token.empty());
  }
  stopFake();

  // A later run where nobody can answer the chooser: only the token works.
  clearRecord();
  startFake({"--token-db", db, "--chooser", "fail", "--node", "9"});
  HX_SdBusScreenCastPortal portal(options());
  HX_ScreenCastGrant grant;
  std::string error;
  ASSERT_EQ(portal.Open(Request(kMonitor, true, token), &grant, &error), 0) << error;
  EXPECT_EQ(grant.m_uiNodeId, 9u);
  EXPECT_FALSE(grant.m_strRestoreToken.empty());
  EXPECT_NE(grant.m_strRestoreToken, token);  // the portal renews it on every grant
  EXPECT_EQ(calls("SelectSources"),
            std::vector<std::string>{"SelectSources types=1 multiple=0 cursor_mode=2 persist_mode=2 "
                                     "restore_token=" + token});
  EXPECT_EQ(calls("Start").size(), 1u);
}

TEST_F(ScreenCastPortalTest, AStaleTokenFallsBackToAskingOnce) {
  const std::string db = m_bus.dir() + "/tokens";
  std::ofstream(db).flush();
  startFake({"--token-db", db});
  {
    HX_SdBusScreenCastPortal portal(options());
    HX_ScreenCastGrant grant;
    std::string error;
    ASSERT_EQ(portal.Open(Request(kMonitor, false, "stale"), &grant, &error), 0) << error;
    EXPECT_EQ(grant.m_uiNodeId, 42u);
    EXPECT_FALSE(grant.m_strRestoreToken.empty());
    EXPECT_NE(grant.m_strRestoreToken, "stale");
    EXPECT_EQ(calls("SelectSources"),
              (std::vector<std::string>{
                  "SelectSources types=1 multiple=0 cursor_mode=1 persist_mode=2 restore_token=stale",
                  "SelectSources types=1 multiple=0 cursor_mode=1 persist_mode=2"}));
    EXPECT_EQ(calls("Close ").size(), 1u);  // the refused session, not the granted one
  }
  stopFake();

  // With nobody to ask either, it asks once and says what would help.
  clearRecord();
  startFake({"--token-db", db, "--chooser", "fail"});
  HX_SdBusScreenCastPortal portal(options());
  HX_ScreenCastGrant grant;
  std::string error;
  EXPECT_EQ(portal.Open(Request(kMonitor, true, "stale"), &grant, &error), HX_IScreenCastPortal::kRefused);
  EXPECT_NE(error.find("restore token was refused"), std::string::npos) << error;
  EXPECT_NE(error.find(kNeedsUser), std::string::npos) << error;
  EXPECT_EQ(calls("Start").size(), 2u);
  EXPECT_EQ(calls("Close ").size(), 2u);

  // The user declining the second question is reported as such.
  stopFake();
  clearRecord();
  startFake({"--token-db", db, "--refuse-at", "start"});
  EXPECT_EQ(portal.Open(Request(kMonitor, true, "stale"), &grant, &error), HX_IScreenCastPortal::kRefused);
  EXPECT_EQ(error.rfind("the user refused screen sharing", 0), 0u) << error;
  EXPECT_EQ(calls("Start").size(), 2u);
}

TEST_F(ScreenCastPortalTest, ARestoredSessionWithoutAStreamAsksAgain) {
  const std::string db = m_bus.dir() + "/tokens";
  std::ofstream(db).flush();
  startFake({"--token-db", db, "--empty-on-restore"});
  HX_SdBusScreenCastPortal portal(options());
  HX_ScreenCastGrant grant;
  std::string error;
  ASSERT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), 0) << error;
  const std::string token = grant.m_strRestoreToken;
  ASSERT_FALSE(token.empty());

  clearRecord();
  HX_ScreenCastGrant again;
  ASSERT_EQ(portal.Open(Request(kMonitor, true, token), &again, &error), 0) << error;
  EXPECT_EQ(again.m_uiNodeId, 42u);
  EXPECT_TRUE(again.m_fdRemote.valid());
  // Open closed the first session, then the restored one that had no stream.
  EXPECT_EQ(calls("Close ").size(), 2u);
  EXPECT_EQ(calls("Start").size(), 2u);
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 1u);
}

TEST_F(ScreenCastPortalTest, APortalThatNeverAnswersEndsInNoAnswer) {
  startFake({"--silent-at", "start"});
  {
    HX_SdBusScreenCastPortal portal(options(10s, 300ms));
    HX_ScreenCastGrant grant;
    std::string error;
    EXPECT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), HX_IScreenCastPortal::kNoAnswer);
    EXPECT_EQ(error, "the screen-cast portal did not answer within 0.3 s");
    EXPECT_EQ(calls("Close ").size(), 1u);
    // A saved token does not make it ask a second time: the portal is not listening.
    clearRecord();
    EXPECT_EQ(portal.Open(Request(kMonitor, true, "tok"), &grant, &error), HX_IScreenCastPortal::kNoAnswer);
    EXPECT_EQ(calls("Start").size(), 1u);
  }
  stopFake();

  clearRecord();
  startFake({"--silent-at", "create"});
  HX_SdBusScreenCastPortal portal(options(200ms, 10s));
  HX_ScreenCastGrant grant;
  std::string error;
  EXPECT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), HX_IScreenCastPortal::kNoAnswer);
  EXPECT_EQ(error, "the screen-cast portal did not answer within 0.2 s");
  EXPECT_TRUE(calls("SelectSources").empty());
}

TEST_F(ScreenCastPortalTest, NoPortalOnTheBusOrNoBus) {
  HX_SdBusScreenCastPortal portal(options());
  HX_ScreenCastGrant grant;
  std::string error;
  EXPECT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), HX_IScreenCastPortal::kNoPortal);
  EXPECT_EQ(error, "no screen-cast portal on the session bus");

  HX_SdBusPortalOptions noBus = options();
  noBus.m_strBusAddress = "unix:path=" + m_bus.dir() + "/no-such-socket";
  HX_SdBusScreenCastPortal nowhere(noBus);
  EXPECT_EQ(nowhere.Open(Request(kMonitor, true), &grant, &error), HX_IScreenCastPortal::kNoPortal);
  EXPECT_EQ(error.rfind("no screen-cast portal on the session bus", 0), 0u) << error;
}

TEST_F(ScreenCastPortalTest, CloseEndsTheSessionOnceAndDestructionClosesToo) {
  startFake({});
  HX_ScreenCastGrant grant;
  std::string error;
  {
    HX_SdBusScreenCastPortal portal(options());
    ASSERT_EQ(portal.Open(Request(kMonitor, true), &grant, &error), 0) << error;
    EXPECT_TRUE(calls("Close").empty());
    portal.Close();
    const std::vector<std::string> closed = calls("Close");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].rfind("Close /org/freedesktop/portal/desktop/session/", 0), 0u) << closed[0];
    EXPECT_EQ(closed[0].find("(unknown)"), std::string::npos) << closed[0];
    portal.Close();
    EXPECT_EQ(calls("Close").size(), 1u);

    // Open again after Close works on a fresh connection.
    ASSERT_EQ(portal.Open(Request(kWindow, true), &grant, &error), 0) << error;
  }
  EXPECT_EQ(calls("Close").size(), 2u);
}

}  // namespace
