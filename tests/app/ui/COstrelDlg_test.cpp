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
#include <chrono>
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

HX_MonitorDesc Monitor(int index, int x, int y, int w, int h) {
  HX_MonitorDesc d;
  d.index = index;
  d.x = x;
  d.y = y;
  d.modeWidth = w;
  d.modeHeight = h;
  return d;
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
    m_options.m_strAnnotationTool = m_dir.path() + "/gInk/gInk";  // absent unless a test makes it
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

  TempDir m_dir;
  ScriptedPrompt m_prompt;
  VrFakeMonitorSource m_monitors{{Monitor(0, 0, 0, 1921, 1081), Monitor(1, 1921, 0, 1280, 720)}};
  ScriptedSources m_sources{/*soundStart=*/0};
  COstrelDlgOptions m_options;
};
}  // namespace

TEST_F(DialogTest, MonitorSelectionBecomesAnEvenCaptureRegionAndMarkersNeedTwoMonitors) {
  COstrelDlg dlg(m_options);
  auto* list = Child<QComboBox>(dlg, "targetList");
  EXPECT_EQ(Items(list), (QStringList{"显示器1", "显示器2"}));
  EXPECT_EQ(dlg.MarkerCount(), 2u);

  ASSERT_EQ(dlg.CopySelections(), 0);
  int32_t w = 0, h = 0, l = 0, t = 0, r = 0, b = 0;
  Cfg()->getOutputSize(&w, &h);
  Cfg()->getCaptureRegion(&l, &t, &r, &b);
  EXPECT_EQ(w, 1920);  // 1921 wide streams 1920 wide
  EXPECT_EQ(h, 1080);
  EXPECT_EQ(l, 0);
  EXPECT_EQ(r, 1920);
  EXPECT_EQ(b, 1080);
  EXPECT_EQ(Cfg()->m_iCaptureMode, kCaptureFullScreen);
  EXPECT_EQ(Cfg()->m_strTargetName, "DISPLAY");

  list->setCurrentIndex(1);
  ASSERT_EQ(dlg.CopySelections(), 0);
  Cfg()->getCaptureRegion(&l, &t, &r, &b);
  EXPECT_EQ(l, 1921);
  EXPECT_EQ(r, 1921 + 1280);
  EXPECT_EQ(Cfg()->m_iMonitorIndex, 1);

  // A monitor unplugged after the list was filled is a vanished target.
  VrFakeMonitorSource one({Monitor(0, 0, 0, 800, 600)});
  m_options.m_pMonitors = &one;
  COstrelDlg single(m_options);
  EXPECT_EQ(Items(Child<QComboBox>(single, "targetList")), QStringList{"显示器1"});
  EXPECT_EQ(single.MarkerCount(), 0u);
  Child<QComboBox>(single, "targetList")->addItem("显示器2");
  Child<QComboBox>(single, "targetList")->setCurrentIndex(1);
  Child<QPushButton>(single, "start")->click();
  EXPECT_FALSE(single.isRunning());
  EXPECT_EQ(m_prompt.messages, std::vector<std::string>{"指定的窗口不存在,请刷新列表"});
}

TEST_F(DialogTest, ModesFillTheListAndWindowModeWithoutCompositeDisablesStart) {
  m_options.m_iWindowCaptureSupported = 0;
  COstrelDlg dlg(m_options);
  auto* list = Child<QComboBox>(dlg, "targetList");
  auto* start = Child<QPushButton>(dlg, "start");
  auto* refresh = Child<QPushButton>(dlg, "refresh");

  Child<QRadioButton>(dlg, "modeWindow")->click();
  EXPECT_EQ(Items(list), QStringList{"系统版本过低，请使用全屏幕或范围截屏"});
  EXPECT_FALSE(list->isEnabled());
  EXPECT_FALSE(start->isEnabled());
  EXPECT_FALSE(refresh->isEnabled());
  EXPECT_EQ(dlg.MarkerCount(), 0u);

  Child<QRadioButton>(dlg, "modeRegion")->click();
  EXPECT_EQ(Items(list), (QStringList{"16 : 9", "4 : 3", "2 : 1", "9 : 16", "4 : 9", "自定义"}));
  EXPECT_TRUE(start->isEnabled());
  EXPECT_TRUE(list->isEnabled());
  EXPECT_TRUE(refresh->isHidden());
  EXPECT_FALSE(Child<QPushButton>(dlg, "restartRegion")->isHidden());
  ASSERT_NE(dlg.RegionWindow(), nullptr);
  EXPECT_TRUE(dlg.RegionWindow()->isVisible());

  Child<QRadioButton>(dlg, "modeScreen")->click();
  EXPECT_EQ(list->count(), 2);
  EXPECT_FALSE(dlg.RegionWindow()->isVisible());
  EXPECT_FALSE(refresh->isHidden());
  EXPECT_TRUE(start->isEnabled());
}

TEST_F(DialogTest, RegionModeCapturesTheFrameInsideAtAnEvenSizeAndFollowsTheRatioList) {
  COstrelDlg dlg(m_options);
  dlg.SetMode(COstrelDlg::kModeRegion);
  ViZaroduDezoDlg* frame = dlg.RegionWindow();
  ASSERT_NE(frame, nullptr);
  frame->move(33, 21);
  QApplication::processEvents();
  const QRect inside = frame->CaptureRect();
  ASSERT_GT(inside.width(), 0);
  ASSERT_EQ(dlg.CopySelections(), 0);
  int32_t w = 0, h = 0, l = 0, t = 0, r = 0, b = 0;
  Cfg()->getOutputSize(&w, &h);
  Cfg()->getCaptureRegion(&l, &t, &r, &b);
  EXPECT_EQ(Cfg()->m_iCaptureMode, kCaptureRegion);
  EXPECT_EQ(l, inside.x());
  EXPECT_EQ(t, inside.y());
  EXPECT_EQ(w, inside.width() & ~1);
  EXPECT_EQ(h, inside.height() & ~1);
  EXPECT_EQ(r - l, w);
  EXPECT_EQ(b - t, h);
  // The ratio list reshapes the frame: 9 : 16 stands upright.
  Child<QComboBox>(dlg, "targetList")->setCurrentIndex(3);
  QApplication::processEvents();
  EXPECT_GT(frame->CaptureRect().height(), frame->CaptureRect().width());
}

TEST_F(DialogTest, StartAndStopToggleTheTenControlsAndTheCaption) {
  VrFakeMonitorSource small({Monitor(0, 0, 0, 64, 48)});
  m_options.m_pMonitors = &small;
  Cfg()->m_iPushFlowType = kPushNDI;
  COstrelDlg dlg(m_options);
  auto* start = Child<QPushButton>(dlg, "start");
  auto* status = Child<QLabel>(dlg, "status");
  const std::vector<QWidget*> locked = dlg.RunLockedControls();
  ASSERT_EQ(locked.size(), 10u);
  for (QWidget* w : locked) EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();

  start->click();
  ASSERT_TRUE(dlg.isRunning()) << (m_prompt.messages.empty() ? "" : m_prompt.messages[0]);
  EXPECT_EQ(start->text(), "停止");
  EXPECT_TRUE(start->isEnabled());
  for (QWidget* w : locked) EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
  EXPECT_TRUE(Child<QPushButton>(dlg, "restartAnnotation")->isEnabled());  // not one of the ten
  EXPECT_TRUE(status->text().startsWith("NDI")) << status->text().toStdString();

  start->click();
  EXPECT_FALSE(dlg.isRunning());
  EXPECT_EQ(start->text(), "开始");
  for (QWidget* w : locked) EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
  EXPECT_TRUE(status->text().isEmpty());
  EXPECT_TRUE(m_prompt.messages.empty());

  // A failed start tells the operator and leaves the dialog idle.
  m_sources.videoStart = -1;
  start->click();
  EXPECT_FALSE(dlg.isRunning());
  EXPECT_EQ(m_prompt.messages, std::vector<std::string>{"视频采集失败！"});
  EXPECT_EQ(start->text(), "开始");
  for (QWidget* w : locked) EXPECT_TRUE(w->isEnabled());
}

TEST_F(DialogTest, StatusLineCountsWhatTheRunSends) {
  VrFakeMonitorSource small({Monitor(0, 0, 0, 64, 48)});
  m_options.m_pMonitors = &small;
  Cfg()->m_iPushFlowType = kPushPrivate;
  Cfg()->m_iPrivatePort = FreeLoopbackPort();
  COstrelDlg dlg(m_options);
  Child<QPushButton>(dlg, "start")->click();
  ASSERT_TRUE(dlg.isRunning());
  auto* status = Child<QLabel>(dlg, "status");
  EXPECT_TRUE(status->text().startsWith("客户端 0 · ")) << status->text().toStdString();
  // Pictures come every 40 ms; after a few refreshes the rate is well above zero.
  QRegularExpression fps(QStringLiteral("· ([0-9.]+) 帧/秒 · ([0-9]+) kbit/s"));
  double rate = 0;
  for (int i = 0; i < 8 && rate <= 0; ++i) {
    QTest::qWait(COstrelDlg::kStatusPeriodMs);
    QRegularExpressionMatch m = fps.match(status->text());
    ASSERT_TRUE(m.hasMatch()) << status->text().toStdString();
    rate = m.captured(1).toDouble();
  }
  EXPECT_GT(rate, 5) << status->text().toStdString();
  EXPECT_LT(rate, 40) << status->text().toStdString();
  EXPECT_GT(dlg.Run().counters().m_ullBytes, 0u);
  dlg.Shutdown();
}

TEST_F(DialogTest, ShutdownStopsTheRunThenSavesTheSelectionsIntoConfigIni) {
  VrFakeMonitorSource small({Monitor(0, 0, 0, 64, 48)});
  m_options.m_pMonitors = &small;
  ASSERT_FALSE(std::ifstream(m_dir.file("config.ini")).good());
  {
    COstrelDlg dlg(m_options);
    Child<QCheckBox>(dlg, "soundOn")->setChecked(false);
    Child<QComboBox>(dlg, "pushList")->setCurrentIndex(0);
    Child<QPushButton>(dlg, "start")->click();
    ASSERT_TRUE(dlg.isRunning());
    // Selections changed while running are read by the shutdown copy.
    Child<QCheckBox>(dlg, "syncRecord")->setChecked(true);
    dlg.Shutdown();
    EXPECT_FALSE(dlg.isRunning());
    EXPECT_FALSE(dlg.Run().hasSession());
    dlg.Shutdown();  // once only
  }
  const std::string text = m_dir.read("config.ini");
  EXPECT_NE(text.find("SyncRecord=1"), std::string::npos) << text;
  EXPECT_NE(text.find("PushFlowType=0"), std::string::npos) << text;
  EXPECT_NE(text.find("AudioEnable=0"), std::string::npos) << text;

  // The next dialog starts from what was saved.
  Cfg()->resetToDefaults();
  ASSERT_EQ(Cfg()->loadNormalConfig(), 0);
  Cfg()->m_iPushFlowType = kPushPrivate;
  Cfg()->m_bAudioEnable = true;
  COstrelDlg again(m_options);
  EXPECT_TRUE(Child<QCheckBox>(again, "syncRecord")->isChecked());
  EXPECT_TRUE(Child<QCheckBox>(again, "soundOn")->isChecked());
  EXPECT_EQ(Child<QComboBox>(again, "pushList")->currentIndex(), 1);
  again.Shutdown();
  EXPECT_NE(m_dir.read("config.ini").find("PushFlowType=1"), std::string::npos);
}

TEST_F(DialogTest, AnnotationToolIsStartedAskedAboutAndEndedAtShutdown) {
  const std::string tool = m_dir.path() + "/gInk/gInk";
  ASSERT_EQ(HX_MakeDirectories(m_dir.path() + "/gInk"), 0);
  m_dir.write("gInk/gInk", "#!/bin/sh\nwhile :; do sleep 1; done\n");
  ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
  auto waitFor = [](bool wanted) {
    for (int i = 0; i < 300; ++i) {
      if (!HX_FindProcesses("gInk").empty() == wanted) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  {
    COstrelDlg dlg(m_options);
    ASSERT_TRUE(waitFor(true));
    const std::vector<pid_t> first = HX_FindProcesses("gInk");
    ASSERT_EQ(first.size(), 1u);
    auto* restart = Child<QPushButton>(dlg, "restartAnnotation");
    m_prompt.answerOk = false;
    restart->click();
    EXPECT_EQ(m_prompt.questions, std::vector<std::string>{"画笔正在运行，是否重启？"});
    EXPECT_EQ(HX_FindProcesses("gInk"), first);  // Cancel leaves it alone
    m_prompt.answerOk = true;
    restart->click();
    std::vector<pid_t> now;
    for (int i = 0; i < 300; ++i) {
      now = HX_FindProcesses("gInk");
      if (now.size() == 1 && now != first) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(now.size(), 1u);
    EXPECT_NE(now, first);
    dlg.Shutdown();
    EXPECT_TRUE(waitFor(false));
  }
  // A missing tool is no error and asks nothing.
  m_prompt.questions.clear();
  std::remove(tool.c_str());
  COstrelDlg dlg(m_options);
  Child<QPushButton>(dlg, "restartAnnotation")->click();
  EXPECT_TRUE(m_prompt.questions.empty());
  EXPECT_TRUE(m_prompt.messages.empty());
}

TEST_F(DialogTest, MinimisingWithoutANotificationAreaKeepsTheWindowReachable) {
  COstrelDlg dlg(m_options);
  dlg.show();
  dlg.showMinimized();
  QApplication::processEvents();
  QTest::qWait(20);
  EXPECT_TRUE(dlg.isVisible());
  dlg.ShowFromOutside();
  EXPECT_FALSE(dlg.isMinimized());
  EXPECT_TRUE(dlg.isVisible());
}

// Window mode on a real display: the list is "title:::class", and a window
// closed after the list was filled stops the start with the operator text.
TEST(DialogOnDisplay, VanishedWindowIsReportedAtStart) {
  TestApp();
  XvfbServer::Options xo;
  xo.windowManager = true;
  XvfbServer x(xo);
  ASSERT_TRUE(x.ok()) << x.error();
  x.exportDisplay();
  TempDir dir;
  HX_SetBaseDirectory(dir.path());
  Cfg()->resetToDefaults();
  pid_t xmessage = fork();
  if (xmessage == 0) {
    execlp("xmessage", "xmessage", "-title", "vanishing-target", "hello", static_cast<char*>(nullptr));
    _exit(127);
  }
  ScriptedPrompt prompt;
  ScriptedSources sources{/*soundStart=*/0};
  COstrelDlgOptions options;
  options.m_pPrompt = &prompt;
  options.m_pSources = &sources;
  options.m_iWindowCaptureSupported = 1;
  options.m_bTray = false;
  options.m_strAnnotationTool = dir.path() + "/none";
  COstrelDlg dlg(options);
  auto* list = dlg.findChild<QComboBox*>("targetList");
  int index = -1;
  for (int i = 0; i < 200 && index < 0; ++i) {
    dlg.SetMode(COstrelDlg::kModeWindow);
    for (int i = 0; i < list->count() && index < 0; ++i) {
      if (list->itemText(i).startsWith("vanishing-target:::")) index = i;
    }
    if (index < 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_GE(index, 0) << list->itemText(0).toStdString();
  list->setCurrentIndex(index);
  kill(xmessage, SIGTERM);
  waitpid(xmessage, nullptr, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  dlg.findChild<QPushButton*>("start")->click();
  EXPECT_FALSE(dlg.isRunning());
  EXPECT_EQ(prompt.messages, std::vector<std::string>{"指定的窗口不存在,请刷新列表"});
  dlg.Shutdown();
  unsetenv("DISPLAY");
}
