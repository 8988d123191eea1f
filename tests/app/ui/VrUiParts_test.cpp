// The dialog's helpers: the status line, the single-instance channel, the
// fake monitor list and the English translation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>
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
  c.m_ullVideoFrames += 50;  // 50 pictures and 4 Mbit in 2 s
  c.m_ullBytes += 500000;
  c.m_strRecordFile = "/home/op/Videos/20261208150000.mp4";
  EXPECT_EQ(status.update(c, 12000, true), "客户端 2 · 25.0 帧/秒 · 2000 kbit/s · 录制 20261208150000.mp4");
  // No rate from counters of a new run (below the old ones), from a sample at
  // the same instant (no division by zero) or from the first after a reset.
  VrRunCounters fresh;
  EXPECT_EQ(status.update(fresh, 13000, false), "NDI · 0.0 帧/秒 · 0 kbit/s");
  fresh.m_ullVideoFrames = 10;
  EXPECT_EQ(status.update(fresh, 13000, false), "NDI · 0.0 帧/秒 · 0 kbit/s");
  status.reset();
  fresh.m_ullVideoFrames = 1000;
  EXPECT_EQ(status.update(fresh, 14000, false), "NDI · 0.0 帧/秒 · 0 kbit/s");
}

TEST(VrRunStatus, PublisherStateShowsItsOwnRateReconnectsAndDrops) {
  TestApp();
  VrRunStatus status;
  VrRunCounters c;
  c.m_bPublishing = true;
  EXPECT_EQ(status.update(c, 1000, false), "NDI · 0.0 帧/秒 · 0 kbit/s · 发布 重连中");
  c.m_bPublishConnected = true;
  c.m_ullPublishBytes = 250000;  // 2 Mbit in 1 s, counted apart from the push output
  EXPECT_EQ(status.update(c, 2000, false), "NDI · 0.0 帧/秒 · 0 kbit/s · 发布 2000 kbit/s");
  c.m_ullPublishDropped = 7;
  c.m_bPublishConnected = false;
  EXPECT_EQ(status.update(c, 3000, false), "NDI · 0.0 帧/秒 · 0 kbit/s · 发布 重连中 · 丢弃 7");
}

TEST(VrInstanceChannel, ASecondStartReachesTheFirstOnlyUnderItsName) {
  TestApp();
  const QString name = QStringLiteral("ostrel-test-%1").arg(getpid());
  int shows = 0, nextShows = 0;
  VrInstanceChannel channel;
  QObject::connect(&channel, &VrInstanceChannel::showRequested, [&shows]() { ++shows; });
  ASSERT_TRUE(channel.listen(name));
  // The asking side blocks; the listening side needs its event loop.
  auto ask = [](const QString& n) {
    std::atomic<int> result{-1};
    std::thread t([&]() { result = VrInstanceChannel::AskToShow(n, 2000) ? 1 : 0; });
    while (result < 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    t.join();
    QCoreApplication::processEvents();
    return result == 1;
  };
  EXPECT_TRUE(ask(name));
  EXPECT_TRUE(ask(name));
  EXPECT_FALSE(ask(name + "-other"));
  EXPECT_EQ(shows, 2);
  // A socket left by a crashed holder is taken over by the next lock holder.
  VrInstanceChannel next;
  ASSERT_TRUE(next.listen(name));
  QObject::connect(&next, &VrInstanceChannel::showRequested, [&nextShows]() { ++nextShows; });
  EXPECT_TRUE(ask(name));
  EXPECT_EQ(nextShows, 1);
}

TEST(VrFakeMonitorSource, ParsesTheTestAidAndRejectsGarbage) {
  std::vector<HX_MonitorDesc> m;
  ASSERT_EQ(VrFakeMonitorSource::Parse("1920x1080+0+0,1280x1024+1920-56", &m), 0);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(std::vector<int>({m[1].index, m[1].x, m[1].y, m[1].modeWidth, m[1].modeHeight}),
            std::vector<int>({1, 1920, -56, 1280, 1024}));
  for (const char* bad : {"", "1920x1080", "1920x1080+0+0,", "0x1080+0+0", "1920x1080+0+0x", "axb+0+0"}) {
    EXPECT_EQ(VrFakeMonitorSource::Parse(bad, &m), -1) << bad;
    EXPECT_TRUE(m.empty()) << bad;
  }
  setenv("OSTREL_FAKE_MONITORS", "800x600+0+0", 1);
  EXPECT_NE(VrFakeMonitorSource::FromEnvironment(), nullptr);
  setenv("OSTREL_FAKE_MONITORS", "two screens", 1);
  EXPECT_EQ(VrFakeMonitorSource::FromEnvironment(), nullptr);
  unsetenv("OSTREL_FAKE_MONITORS");
  EXPECT_EQ(VrFakeMonitorSource::FromEnvironment(), nullptr);
}

// Every text in the catalogue (and every run text, which is looked up by
// value) has a finished English translation in the compiled catalogue that
// keeps its %1 placeholders, so an en_* desktop never shows a Chinese line.
TEST(Translation, EveryOperatorTextHasAnEnglishTranslation) {
  TestApp();
  QTranslator en;
  ASSERT_TRUE(en.load(QStringLiteral(":/i18n/ostrel_en.qm")));
  std::vector<std::pair<QString, QString>> texts;  // context, source
  for (const char* text : {HX_RunText::kWindowMissing, HX_RunText::kEncoderInitFailed, HX_RunText::kNetworkInitFailed,
                           HX_RunText::kVideoCaptureFailed, HX_RunText::kAudioCaptureFailed,
                           HX_RunText::kCaptureInitFailed, HX_RunText::kLowDisk, HX_RunText::kConfigLoadFailed,
                           HX_RunText::kAlreadyRunning, HX_RunText::kLockFailed}) {
    texts.emplace_back("HX_RunText", QString::fromUtf8(text));
  }
  QFile ts(QStringLiteral(OSTREL_TS_FILE));
  ASSERT_TRUE(ts.open(QIODevice::ReadOnly));
  QString context;
  for (QXmlStreamReader xml(&ts); !xml.atEnd();) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    if (xml.name() == u"name") context = xml.readElementText();
    if (xml.name() == u"source") texts.emplace_back(context, xml.readElementText());
  }
  ASSERT_GT(texts.size(), 40u);
  const QRegularExpression chinese(QStringLiteral("[\\x{4e00}-\\x{9fff}]")), placeholder(QStringLiteral("%\\d"));
  for (const auto& [ctx, source] : texts) {
    const QString english = en.translate(ctx.toUtf8().constData(), source.toUtf8().constData());
    EXPECT_FALSE(english.isEmpty() || english.contains(chinese)) << ctx.toStdString() << ": " << source.toStdString();
    EXPECT_EQ(english.count(placeholder), source.count(placeholder)) << source.toStdString();
  }
}
