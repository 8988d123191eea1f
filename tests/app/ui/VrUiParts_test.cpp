// The dialog's helpers: the status line, the single-instance channel, the
// fake monitor list and the English translation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTranslator>
#include <atomic>
#include <thread>

#include "app/HX_IOperatorPrompt.h"
#include "app/ui/UiTestSupport.h"
#include "app/ui/VrFakeMonitorSource.h"
#include "app/ui/VrInstanceChannel.h"
#include "app/ui/VrRunStatus.h"

TEST(VrRunStatus, RatesComeFromTheTimeBetweenTwoSamples) {
  TestApp();
  VrRunStatus status;
  VrRunCounters c;
  c.m_iClients = 2;
  c.m_ullVideoFrames = 100;
  c.m_ullBytes = 1000000;
  EXPECT_EQ(status.update(c, 10000, true), "客户端 2 · 0.0 帧/秒 · 0 kbit/s");
  c.m_ullVideoFrames += 50;                 // 50 pictures in 2 s
  c.m_ullBytes += 500000;                   // 4 Mbit in 2 s
  c.m_strRecordFile = "/home/op/Videos/20261208150000.mp4";
  EXPECT_EQ(status.update(c, 12000, true), "客户端 2 · 25.0 帧/秒 · 2000 kbit/s · 录制 20261208150000.mp4");
  // Counters of a new run start below the old ones: no negative rates.
  VrRunCounters fresh;
  EXPECT_EQ(status.update(fresh, 13000, false), "NDI · 0.0 帧/秒 · 0 kbit/s");
  // A sample at the same instant gives no rate rather than a division by zero.
  fresh.m_ullVideoFrames = 10;
  EXPECT_EQ(status.update(fresh, 13000, false), "NDI · 0.0 帧/秒 · 0 kbit/s");
  status.reset();
  fresh.m_ullVideoFrames = 1000;
  EXPECT_EQ(status.update(fresh, 14000, false), "NDI · 0.0 帧/秒 · 0 kbit/s");
}

TEST(VrInstanceChannel, ASecondStartReachesTheFirstOnlyUnderItsName) {
  TestApp();
  const QString name = QStringLiteral("ostrel-test-%1").arg(getpid());
  VrInstanceChannel channel;
  int shows = 0;
  QObject::connect(&channel, &VrInstanceChannel::showRequested, [&shows]() { ++shows; });
  ASSERT_TRUE(channel.listen(name));
  // The asking side blocks; the listening side needs its event loop.
  auto ask = [](const QString& n) {
    std::atomic<int> result{-1};
    std::thread t([&]() { result = VrInstanceChannel::AskToShow(n, 2000) ? 1 : 0; });
    while (result < 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    t.join();
    return result == 1;
  };
  EXPECT_TRUE(ask(name));
  EXPECT_TRUE(ask(name));
  QCoreApplication::processEvents();
  EXPECT_EQ(shows, 2);
  EXPECT_FALSE(ask(name + "-other"));
  EXPECT_EQ(shows, 2);

  // A socket left by a crashed holder is taken over by the next lock holder.
  VrInstanceChannel next;
  ASSERT_TRUE(next.listen(name));
  int nextShows = 0;
  QObject::connect(&next, &VrInstanceChannel::showRequested, [&nextShows]() { ++nextShows; });
  EXPECT_TRUE(ask(name));
  QCoreApplication::processEvents();
  EXPECT_EQ(nextShows, 1);
}

TEST(VrFakeMonitorSource, ParsesTheTestAidAndRejectsGarbage) {
  std::vector<HX_MonitorDesc> m;
  ASSERT_EQ(VrFakeMonitorSource::Parse("1920x1080+0+0,1280x1024+1920-56", &m), 0);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[1].index, 1);
  EXPECT_EQ(m[1].x, 1920);
  EXPECT_EQ(m[1].y, -56);
  EXPECT_EQ(m[1].modeWidth, 1280);
  EXPECT_EQ(m[1].modeHeight, 1024);
  for (const char* bad : {"", "1920x1080", "1920x1080+0+0,", "0x1080+0+0", "1920x1080+0+0x", "axb+0+0"}) {
    EXPECT_EQ(VrFakeMonitorSource::Parse(bad, &m), -1) << bad;
    EXPECT_TRUE(m.empty()) << bad;
  }
  setenv("OSTREL_FAKE_MONITORS", "800x600+0+0,800x600+800+0", 1);
  std::unique_ptr<HX_IMonitorSource> source = VrFakeMonitorSource::FromEnvironment();
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(source->enumerate(&m), 0);
  EXPECT_EQ(m.size(), 2u);
  setenv("OSTREL_FAKE_MONITORS", "two screens", 1);
  EXPECT_EQ(VrFakeMonitorSource::FromEnvironment(), nullptr);
  unsetenv("OSTREL_FAKE_MONITORS");
  EXPECT_EQ(VrFakeMonitorSource::FromEnvironment(), nullptr);
}

// Every text the operator can see has an English translation in the
// compiled catalogue, so an en_* desktop never shows a stray Chinese line.
TEST(Translation, EveryOperatorTextHasAnEnglishTranslation) {
  TestApp();
  QTranslator en;
  ASSERT_TRUE(en.load(QStringLiteral(":/i18n/ostrel_en.qm")));
  EXPECT_EQ(en.translate("COstrelDlg", "开始"), "Start");
  EXPECT_EQ(en.translate("COstrelDlg", "显示器%1"), "Monitor %1");
  for (const char* text : {HX_RunText::kWindowMissing, HX_RunText::kEncoderInitFailed, HX_RunText::kNetworkInitFailed,
                           HX_RunText::kVideoCaptureFailed, HX_RunText::kAudioCaptureFailed,
                           HX_RunText::kCaptureInitFailed, HX_RunText::kLowDisk, HX_RunText::kConfigLoadFailed,
                           HX_RunText::kAlreadyRunning, HX_RunText::kLockFailed}) {
    const QString english = en.translate("HX_RunText", text);
    EXPECT_FALSE(english.isEmpty()) << text;
    EXPECT_FALSE(english.contains(QRegularExpression(QStringLiteral("[\\x{4e00}-\\x{9fff}]")))) << text;
  }
  // The catalogue source itself: no message is left unfinished.
  QFile ts(QStringLiteral(OSTREL_TS_FILE));
  ASSERT_TRUE(ts.open(QIODevice::ReadOnly));
  const QString xml = QString::fromUtf8(ts.readAll());
  EXPECT_FALSE(xml.contains(QStringLiteral("type=\"unfinished\""))) << "untranslated texts in ostrel_en.ts";
}
