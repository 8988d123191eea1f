#include "app/ui/COstrelDlg.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <array>
#include <chrono>
#include <functional>
#include <thread>

#include "app/ui/UiTestSupport.h"
#include "app/ui/VrFakeMonitorSource.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/HX_Paths.h"
#include "platform/HX_Process.h"
#include "support/FreePort.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"

namespace {
HX_ServerConfiguration* Cfg() { return HX_ServerConfiguration::instance(); }

// Monitors written as the test aid spells them: "WxH+X+Y,...".
std::vector<HX_MonitorDesc> Monitors(const char* spec) {
  std::vector<HX_MonitorDesc> m;
  EXPECT_EQ(VrFakeMonitorSource::Parse(spec, &m), 0) << spec;
  return m;
}

// Polls |done| for up to three seconds; the dialog's helpers run in other processes.
// True as soon as |done| holds once (checked every 10 ms for 3 s). The first
// true is the answer: checking again could see a passing state change, such as
// the shell of a scripted tool forking for its sleep.
bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 300; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    HX_SetBaseDirectory(m_dir.path());
    Cfg()->resetToDefaults();
    Cfg()->m_strRecordPath = m_dir.path() + "/rec";
    m_options.m_pPrompt = &m_prompt;
    m_options.m_pMonitors = &m_monitors;
    m_options.m_pSources = &m_sources;
    m_options.m_bTray = false;
    m_options.m_strAnnotationTool = m_dir.file("gInk/gInk");  // absent unless a test makes it
  }
  template <class T>
  static T* Child(COstrelDlg& d, const char* name) {
    T* w = d.findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  static QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
  }
  // What the selections become: output width, height, then the capture region's left, top, right, bottom.
  static std::array<int32_t, 6> Copied(COstrelDlg& d) {
    std::array<int32_t, 6> v{};
    EXPECT_EQ(d.CopySelections(), 0);
    Cfg()->getOutputSize(&v[0], &v[1]);
    Cfg()->getCaptureRegion(&v[2], &v[3], &v[4], &v[5]);
    return v;
  }
  // A run locks exactly these ten controls, the start button and the restart buttons stay usable, and the
  // start button says what it will do next.
  static void ExpectRunning(COstrelDlg& d, bool running) {
    EXPECT_EQ(d.isRunning(), running);
    EXPECT_EQ(Child<QPushButton>(d, "start")->text(), running ? "停止" : "开始");
    for (const char* name : {"modeScreen", "modeWindow", "modeRegion", "targetList", "refresh", "soundOn", "soundList",
                             "syncRecord", "moreSettings", "pushList"}) {
      EXPECT_EQ(Child<QWidget>(d, name)->isEnabled(), !running) << name;
    }
    for (const char* name : {"start", "restartRegion", "restartAnnotation"}) {
      EXPECT_TRUE(Child<QWidget>(d, name)->isEnabled()) << name;
    }
  }

  TempDir m_dir;
  ScriptedPrompt m_prompt;
  VrFakeMonitorSource m_monitors{Monitors("1921x1081+0+0,1280x720+1921+0")};
  VrFakeMonitorSource m_small{Monitors("64x48+0+0")};
  ScriptedSources m_sources{/*soundStart=*/0};
  COstrelDlgOptions m_options;
};
}  // namespace

TEST_F(DialogTest, MonitorsBecomeEvenCaptureRegionsMarkersNeedTwoAndAnUnpluggedOneIsReported) {
  COstrelDlg dlg(m_options);
  auto* list = Child<QComboBox>(dlg, "targetList");
  EXPECT_EQ(Items(list), (QStringList{"显示器1", "显示器2"}));
  EXPECT_EQ(dlg.MarkerCount(), 2u);
  EXPECT_EQ(Copied(dlg), (std::array<int32_t, 6>{1920, 1080, 0, 0, 1920, 1080}));  // 1921 wide streams 1920 wide
  EXPECT_EQ(Cfg()->m_iCaptureMode, kCaptureFullScreen);
  list->setCurrentIndex(1);
  EXPECT_EQ(Copied(dlg), (std::array<int32_t, 6>{1280, 720, 1921, 0, 1921 + 1280, 720}));
  EXPECT_EQ(Cfg()->m_iMonitorIndex, 1);

  Child<QPushButton>(dlg, "restartAnnotation")->click();  // a missing annotation tool is no error and asks nothing
  EXPECT_TRUE(m_prompt.questions.empty() && m_prompt.messages.empty());

  m_options.m_pMonitors = &m_small;
  COstrelDlg single(m_options);
  EXPECT_EQ(single.MarkerCount(), 0u);
  Child<QComboBox>(single, "targetList")->addItem("显示器2");  // unplugged after the list was filled
  Child<QComboBox>(single, "targetList")->setCurrentIndex(1);
  Child<QPushButton>(single, "start")->click();
  EXPECT_FALSE(single.isRunning());
  EXPECT_EQ(m_prompt.messages, std::vector<std::string>{"指定的窗口不存在,请刷新列表"});
}

TEST_F(DialogTest, ModesRefillTheListWindowModeNeedsCompositeAndRegionModeCapturesTheFrameInside) {
  m_options.m_iWindowCaptureSupported = 0;
  COstrelDlg dlg(m_options);
  auto* list = Child<QComboBox>(dlg, "targetList");
  auto* start = Child<QPushButton>(dlg, "start");
  auto* refresh = Child<QPushButton>(dlg, "refresh");
  Child<QRadioButton>(dlg, "modeWindow")->click();
  EXPECT_EQ(Items(list), QStringList{"系统版本过低，请使用全屏幕或范围截屏"});
  EXPECT_FALSE(list->isEnabled() || start->isEnabled() || refresh->isEnabled());
  EXPECT_EQ(dlg.MarkerCount(), 0u);

  Child<QRadioButton>(dlg, "modeRegion")->click();
  EXPECT_TRUE(start->isEnabled() && list->isEnabled());
  ViZaroduDezoDlg* frame = dlg.RegionWindow();
  ASSERT_NE(frame, nullptr);
  EXPECT_TRUE(frame->isVisible());
  frame->move(33, 21);
  QApplication::processEvents();
  const QRect in = frame->CaptureRect();
  ASSERT_GT(in.width(), 0);
  const int32_t w = in.width() & ~1, h = in.height() & ~1;
  EXPECT_EQ(Copied(dlg), (std::array<int32_t, 6>{w, h, in.x(), in.y(), in.x() + w, in.y() + h}));
  EXPECT_EQ(Cfg()->m_iCaptureMode, kCaptureRegion);
  list->setCurrentIndex(3);  // 9 : 16 stands upright
  QApplication::processEvents();
  EXPECT_GT(frame->CaptureRect().height(), frame->CaptureRect().width());

  Child<QRadioButton>(dlg, "modeScreen")->click();
  EXPECT_EQ(list->count(), 2);
  EXPECT_FALSE(frame->isVisible());
  EXPECT_TRUE(start->isEnabled() && refresh->isEnabled());
}

TEST_F(DialogTest, WithThePortalTheSystemChoosesMonitorAndWindowAndNoMarkerIsShown) {
  Cfg()->m_iCaptureBackend = kBackendPortal;
  Cfg()->m_iPushFlowType = kPushNDI;
  m_options.m_iWindowCaptureSupported = 0;  // an X11 limit that does not apply to the portal
  COstrelDlg dlg(m_options);
  auto* list = Child<QComboBox>(dlg, "targetList");
  auto* start = Child<QPushButton>(dlg, "start");
  auto* refresh = Child<QPushButton>(dlg, "refresh");
  for (const char* mode : {"modeScreen", "modeWindow"}) {
    SCOPED_TRACE(mode);
    Child<QRadioButton>(dlg, mode)->click();
    EXPECT_EQ(Items(list), QStringList{"由系统选择"});
    EXPECT_TRUE(list->isEnabled() && start->isEnabled());
    EXPECT_FALSE(refresh->isEnabled());
    EXPECT_EQ(dlg.MarkerCount(), 0u);  // two monitors, yet nothing to mark
    EXPECT_EQ(dlg.CopySelections(), 0);
  }
  EXPECT_EQ(Cfg()->m_iCaptureMode, kCaptureWindow);
  start->click();
  ASSERT_TRUE(dlg.isRunning());
  start->click();
  EXPECT_FALSE(dlg.isRunning());
  EXPECT_EQ(m_sources.videoKinds, std::vector<VrTrapperSources::VideoKind>{VrTrapperSources::kVideoPortal});
  EXPECT_TRUE(m_prompt.messages.empty());

  // Region mode keeps its ratios and its frame.
  Child<QRadioButton>(dlg, "modeRegion")->click();
  EXPECT_EQ(list->count(), 6);
  EXPECT_TRUE(refresh->isHidden());
  dlg.Shutdown();
}

TEST_F(DialogTest, StartStopCountAndShutdownWhichStopsTheRunThenSavesConfigIni) {
  m_options.m_pMonitors = &m_small;
  Cfg()->m_iPushFlowType = kPushPrivate;
  Cfg()->m_iPrivatePort = FreeLoopbackPort();
  {
    COstrelDlg dlg(m_options);
    auto* start = Child<QPushButton>(dlg, "start");
    auto* status = Child<QLabel>(dlg, "status");
    Child<QCheckBox>(dlg, "soundOn")->setChecked(false);
    ExpectRunning(dlg, false);
    start->click();
    ASSERT_TRUE(dlg.isRunning()) << (m_prompt.messages.empty() ? "" : m_prompt.messages[0]);
    ExpectRunning(dlg, true);
    // Pictures come every 40 ms; after a few refreshes the rate is well above zero.
    const QRegularExpression line(QStringLiteral("^客户端 0 · ([0-9.]+) 帧/秒 · [0-9]+ kbit/s$"));
    auto rate = [&] { return line.match(status->text()).captured(1).toDouble(); };  // 0 unless the line matches
    EXPECT_TRUE(QTest::qWaitFor([&] { return rate() > 0; }, 8 * COstrelDlg::kStatusPeriodMs));
    EXPECT_TRUE(rate() > 5 && rate() < 40) << status->text().toStdString();
    EXPECT_GT(dlg.Run().counters().m_ullBytes, 0u);
    start->click();
    ExpectRunning(dlg, false);
    EXPECT_TRUE(status->text().isEmpty());
    EXPECT_TRUE(m_prompt.messages.empty());

    m_sources.videoStart = -1;  // a failed start tells the operator and leaves the dialog idle
    start->click();
    EXPECT_EQ(m_prompt.messages, std::vector<std::string>{"视频采集失败！"});
    ExpectRunning(dlg, false);

    m_sources.videoStart = 0;
    Child<QComboBox>(dlg, "pushList")->setCurrentIndex(0);
    start->click();
    EXPECT_TRUE(status->text().startsWith("NDI")) << status->text().toStdString();
    Child<QCheckBox>(dlg, "syncRecord")->setChecked(true);  // changed while running: read by the shutdown copy
    dlg.Shutdown();
    ExpectRunning(dlg, false);
    EXPECT_FALSE(dlg.Run().hasSession());
    Child<QCheckBox>(dlg, "soundOn")->setChecked(true);
    dlg.Shutdown();  // runs once: this later change is not saved
  }
  const std::string text = m_dir.read("config.ini");
  for (const char* saved : {"SyncRecord=1", "PushFlowType=0", "AudioEnable=0"}) {
    EXPECT_NE(text.find(saved), std::string::npos) << saved << " in " << text;
  }
  // The next dialog starts from what was loaded.
  Cfg()->resetToDefaults();
  ASSERT_EQ(Cfg()->loadNormalConfig(), 0);
  Cfg()->m_iPushFlowType = kPushPrivate;
  Cfg()->m_bAudioEnable = true;
  COstrelDlg again(m_options);
  EXPECT_TRUE(Child<QCheckBox>(again, "syncRecord")->isChecked());
  EXPECT_TRUE(Child<QCheckBox>(again, "soundOn")->isChecked());
  EXPECT_EQ(Child<QComboBox>(again, "pushList")->currentIndex(), 1);
}

TEST_F(DialogTest, AnnotationToolIsStartedAskedAboutAndEndedAtShutdown) {
  // A name of its own, so parallel test programs do not see each other's tool.
  const std::string name = "gInk" + std::to_string(getpid());
  m_options.m_strAnnotationTool = m_dir.file("gInk/" + name);
  ASSERT_EQ(HX_MakeDirectories(m_dir.path() + "/gInk"), 0);
  // Each second the shell forks for its sleep: a second process of that name
  // for a moment. A longer sleep would outlive the test and hold its output.
  m_dir.write("gInk/" + name, "#!/bin/sh\nwhile :; do sleep 1; done\n");
  ASSERT_EQ(chmod(m_options.m_strAnnotationTool.c_str(), 0755), 0);
  COstrelDlg dlg(m_options);
  std::vector<pid_t> first;
  ASSERT_TRUE(WaitFor([&] {
    first = HX_FindProcesses(name);
    return first.size() == 1;
  }));
  auto* restart = Child<QPushButton>(dlg, "restartAnnotation");
  restart->click();  // the scripted operator answers Cancel: it is left alone
  EXPECT_EQ(m_prompt.questions, std::vector<std::string>{"画笔正在运行，是否重启？"});
  EXPECT_EQ(HX_FindProcesses(name), first);
  m_prompt.answerOk = true;
  restart->click();
  EXPECT_TRUE(WaitFor([&] {
    const std::vector<pid_t> now = HX_FindProcesses(name);
    return now.size() == 1 && now != first;
  }));
  dlg.Shutdown();
  EXPECT_TRUE(WaitFor([&] { return HX_FindProcesses(name).empty(); }));
}

TEST_F(DialogTest, MinimisingWithoutANotificationAreaKeepsTheWindowReachable) {
  COstrelDlg dlg(m_options);
  dlg.show();
  dlg.showMinimized();
  QTest::qWait(20);
  EXPECT_TRUE(dlg.isVisible());
  dlg.ShowFromOutside();
  EXPECT_FALSE(dlg.isMinimized());
  EXPECT_TRUE(dlg.isVisible());
}

// Window mode on a real display: the list is "title:::class", and a window
// closed after the list was filled stops the start with the operator text.
TEST_F(DialogTest, VanishedWindowIsReportedAtStart) {
  XvfbServer::Options xo;
  xo.windowManager = true;
  XvfbServer x(xo);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  pid_t xmessage = fork();
  if (xmessage == 0) {
    execlp("xmessage", "xmessage", "-title", "vanishing-target", "hello", static_cast<char*>(nullptr));
    _exit(127);
  }
  m_options.m_iWindowCaptureSupported = 1;
  COstrelDlg dlg(m_options);
  auto* list = Child<QComboBox>(dlg, "targetList");
  int index = -1;
  for (int i = 0; i < 200 && index < 0; ++i) {
    dlg.SetMode(COstrelDlg::kModeWindow);
    index = list->findText(QStringLiteral("vanishing-target:::"), Qt::MatchStartsWith);
    if (index < 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_GE(index, 0) << list->itemText(0).toStdString();
  list->setCurrentIndex(index);
  kill(xmessage, SIGTERM);
  waitpid(xmessage, nullptr, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Child<QPushButton>(dlg, "start")->click();
  EXPECT_FALSE(dlg.isRunning());
  EXPECT_EQ(m_prompt.messages, std::vector<std::string>{"指定的窗口不存在,请刷新列表"});
  dlg.Shutdown();
  unsetenv("DISPLAY");
}
