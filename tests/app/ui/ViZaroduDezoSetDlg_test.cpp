// The settings dialog on the offscreen platform: value mappings both ways, the port check, the
// split controls, the hidden encoder choices and the folder and help buttons.
#include "app/ui/ViZaroduDezoSetDlg.h"

#include <gtest/gtest.h>

#include <QtWidgets>

#include <functional>
#include <tuple>

#include "config/HX_ServerConfiguration.h"

// Records the URLs that QDesktopServices would open.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> m_urls;
 public slots:
  void handle(const QUrl& url) { m_urls.append(url); }
};

namespace {

int Usable() { return 0; }
int NoDriver() { return kVrNvencNoDriver; }
int OldDevice() { return kVrNvencOldDevice; }
int Absent() { return kVrHwEncoderAbsent; }

// Answers the next modal dialog with |act| once it is up and keeps what it showed.
struct ModalAnswer {
  explicit ModalAnswer(std::function<void(QDialog*)> act) {
    QObject::connect(&m_timer, &QTimer::timeout, [this, act]() {
      auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (dlg == nullptr || !dlg->isVisible()) return;
      m_timer.stop();
      auto* box = qobject_cast<QMessageBox*>(dlg);
      m_strShown = dlg->windowTitle() + "|" + (box != nullptr ? box->text() : QString());
      act(dlg);
    });
    m_timer.start(10);
  }
  QTimer m_timer;
  QString m_strShown;  // "title|text"; empty while no dialog came up
};

class SettingsDialog : public ::testing::Test {
 protected:
  void SetUp() override { m_config.resetToDefaults(); }
  void TearDown() override { m_config.resetToDefaults(); }

  // A new dialog on the current configuration, shown (which loads the controls).
  void Open(const VrEncoderChecks& checks = {&Usable, &Usable, &Usable}) {
    m_pDlg = std::make_unique<ViZaroduDezoSetDlg>(m_config, checks);
    m_pDlg->show();
    QApplication::processEvents();
  }
  template <typename T = QComboBox>
  T* Get(const QString& name) const {
    T* w = m_pDlg->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name.toStdString();
    return w;
  }
  QRadioButton* Radio(const QString& name) const { return Get<QRadioButton>(name); }
  // FPS, EncodeSample, EncodeType, port, AudioSample, AudioBitRate, RecordSplitType.
  std::tuple<int, int, int, int, int, int, int> Stored() const {
    const HX_ServerConfiguration& c = m_config;
    return {c.m_iFps,        c.m_iEncodeSample, c.m_iEncodeType,      c.m_iPrivatePort,
            c.m_iAudioSample, c.m_iAudioBitRate, c.m_iRecordSplitType};
  }
  void Apply() {
    Get<QPushButton>("applyButton")->click();
    QApplication::processEvents();
  }

  HX_ServerConfiguration& m_config = *HX_ServerConfiguration::instance();
  std::unique_ptr<ViZaroduDezoSetDlg> m_pDlg;
};

}  // namespace

TEST_F(SettingsDialog, EncodeTypeSelectsItsEncoderAndApplyingStoresTheRadiosChoice) {
  const struct {
    int type, radio, codecIndex, click, stored;  // click -1: the operator leaves the radios
  } cases[] = {
      {1, 0, 0, -1, 1}, {5, 1, 0, -1, 5}, {3, 2, 0, -1, 3}, {4, 3, 0, -1, 4},
      {9, 0, 0, -1, 1},                     // unknown: software H.264
      {2, 0, -1, -1, 1}, {2, 0, -1, 3, 4},  // MJPEG has no codec entry: the radio decides
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " click " << c.click);
    m_config.m_iEncodeType = c.type;
    Open();
    EXPECT_TRUE(Radio(QString("encoderRadio%1").arg(c.radio))->isChecked());
    EXPECT_EQ(Get("codecList")->currentIndex(), c.codecIndex);
    if (c.click >= 0) Radio(QString("encoderRadio%1").arg(c.click))->click();
    m_config.m_iEncodeType = 0;
    Apply();
    EXPECT_EQ(m_config.m_iEncodeType, c.stored);
  }
}

TEST_F(SettingsDialog, ApplyingWritesTheEncodingValuesThenRefusesAPortOutside1To65534) {
  m_config.m_iFps = 30;
  m_config.m_iEncodeSample = 3000000;
  m_config.m_iPrivatePort = 6000;
  m_config.m_iAudioSample = 48000;
  m_config.m_iAudioBitRate = 128000;
  Open();
  EXPECT_EQ(Get("fpsList")->currentText(), "30");
  EXPECT_EQ(Get<QSpinBox>("kbpsEdit")->value(), 3000);
  EXPECT_EQ(Get("sampleRateList")->currentText(), "48000");
  emit Get("codecList")->activated(0);  // choosing "H264" proposes 1500 kbps
  EXPECT_EQ(Get<QSpinBox>("kbpsEdit")->value(), 1500);
  Get("fpsList")->setCurrentText("50");
  Get<QSpinBox>("kbpsEdit")->setValue(2500);
  Radio("encoderRadio2")->click();
  Get("sampleRateList")->setCurrentText("44100");
  Get<QCheckBox>("splitCheck")->setChecked(true);
  for (const char* bad : {"0", "65535"}) {
    Get<QLineEdit>("portEdit")->setText(bad);
    ModalAnswer answer([](QDialog* box) { box->accept(); });
    Apply();
    EXPECT_EQ(answer.m_strShown, "提示|端口号无效！") << bad;
    EXPECT_TRUE(m_pDlg->isVisible());
    // The encoding values are written before the check, nothing after it.
    EXPECT_EQ(Stored(), std::make_tuple(50, 2500000, 3, 6000, 48000, 128000, kSplitNone));
  }
  Get<QLineEdit>("portEdit")->setText("1");
  Apply();
  EXPECT_EQ(m_pDlg->result(), QDialog::Accepted);
  EXPECT_EQ(Stored(), std::make_tuple(50, 2500000, 3, 1, 44100, 96000, kSplitByTime));  // always 96 kbps

  // Unlisted rates show no selection and survive applying.
  m_config.m_iFps = 60;
  m_config.m_iAudioSample = 22050;
  Open();
  EXPECT_EQ(Get("fpsList")->currentIndex(), -1);
  EXPECT_EQ(Get("sampleRateList")->currentIndex(), -1);
  Get<QLineEdit>("portEdit")->setText("65534");
  Apply();
  EXPECT_EQ(m_pDlg->result(), QDialog::Accepted);
  EXPECT_EQ(Stored(), std::make_tuple(60, 2500000, 3, 65534, 22050, 96000, kSplitByTime));
}

TEST_F(SettingsDialog, SplitRadiosFollowTheCheckAndMapToTheSplitTypeBothWays) {
  for (int from : {kSplitNone, kSplitByTime, kSplitBySize}) {
    for (int to : {kSplitNone, kSplitByTime, kSplitBySize}) {
      SCOPED_TRACE(testing::Message() << from << " -> " << to);
      m_config.m_iRecordSplitType = from;
      Open();
      auto* check = Get<QCheckBox>("splitCheck");
      QRadioButton* radios[] = {Radio("splitTimeRadio"), Radio("splitSizeRadio")};
      EXPECT_EQ(check->isChecked(), from != kSplitNone);
      EXPECT_EQ(radios[1]->isChecked(), from == kSplitBySize);
      for (auto* r : radios) EXPECT_EQ(r->isEnabled(), from != kSplitNone);
      if (check->isChecked() != (to != kSplitNone)) check->click();
      if (to != kSplitNone) radios[to == kSplitBySize ? 1 : 0]->click();
      for (auto* r : radios) EXPECT_EQ(r->isEnabled(), to != kSplitNone);
      Apply();
      EXPECT_EQ(m_config.m_iRecordSplitType, to);
    }
  }
}

TEST_F(SettingsDialog, PointerCheckShowsAndStoresCaptureCursor) {
  for (bool from : {true, false}) {
    SCOPED_TRACE(from);
    m_config.m_bCaptureCursor = from;
    Open();
    auto* check = Get<QCheckBox>("cursorCheck");
    EXPECT_EQ(check->isChecked(), from);
    check->click();
    EXPECT_EQ(m_config.m_bCaptureCursor, from);  // only applying stores it
    m_pDlg->reject();
    Open();  // showing again loads the stored value, not the unapplied click
    EXPECT_EQ(Get<QCheckBox>("cursorCheck")->isChecked(), from);
    Get<QCheckBox>("cursorCheck")->click();
    Apply();
    EXPECT_EQ(m_config.m_bCaptureCursor, !from);
  }
}

TEST_F(SettingsDialog, EncoderChoicesAreHiddenWhenTheirChecksFail) {
  const struct {
    VrEncoderChecks checks;  // NVENC, QuickSync, AMD
    bool visible[4];         // H264, NVENC, AMD, QuickSync
  } cases[] = {
      {VrEncoderChecks(), {true, false, false, false}},  // this build's own probes
      {{&Usable, &Usable, &Usable}, {true, true, true, true}},
      {{&OldDevice, &Usable, &Absent}, {true, false, false, true}},
      {{&NoDriver, &Absent, &Usable}, {true, false, true, false}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    Open(cases[i].checks);
    for (int r = 0; r < 4; ++r) {
      EXPECT_EQ(Radio(QString("encoderRadio%1").arg(r))->isVisible(), cases[i].visible[r]) << i << " " << r;
    }
  }
}

TEST_F(SettingsDialog, RecordDirectoryIsBrowsedOpenedAndStoredAsUtf8) {
  QTemporaryDir tmp;
  const QString chinese = tmp.path() + "/录像";
  ASSERT_TRUE(QDir().mkpath(chinese));
  m_config.m_strRecordPath = chinese.toStdString();
  Open();
  auto* dir = Get<QLineEdit>("dirEdit");
  EXPECT_EQ(dir->text(), chinese);
  // A cancelled folder browser keeps the directory; an accepted one puts its folder in.
  for (const char* slot : {"reject", "accept"}) {
    ModalAnswer answer([&](QDialog* fd) {
      static_cast<QFileDialog*>(fd)->setDirectory(tmp.path());
      QMetaObject::invokeMethod(fd, slot);
    });
    Get<QPushButton>("chooseDirButton")->click();
    EXPECT_EQ(QDir(dir->text()), QDir(slot[0] == 'r' ? chinese : tmp.path())) << slot;
  }

  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("file", &catcher, "handle");
  QDesktopServices::setUrlHandler("https", &catcher, "handle");
  dir->setText(chinese);
  Get<QPushButton>("openDirButton")->click();
  Get<QPushButton>("helpButton")->click();
  QDesktopServices::unsetUrlHandler("file");
  QDesktopServices::unsetUrlHandler("https");
  const QUrl help(QString(ViZaroduDezoSetDlg::kHelpHost) + ViZaroduDezoSetDlg::kHelpPath);
  EXPECT_EQ(catcher.m_urls, (QList<QUrl>{QUrl::fromLocalFile(chinese), help}));
  Apply();
  EXPECT_EQ(m_config.m_strRecordPath, chinese.toStdString());
}

#include "ViZaroduDezoSetDlg_test.moc"
