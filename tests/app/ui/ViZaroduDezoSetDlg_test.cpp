// The settings dialog on the offscreen platform: every value mapping in both
// directions, the port check and its message, the split controls, the
// hidden encoder choices, the folder and help actions, and the layout.
#include "app/ui/ViZaroduDezoSetDlg.h"

#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <functional>

#include "app/ui/UiTestUtil.h"
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

const VrEncoderChecks kAllUsable{&Usable, &Usable, &Usable};

// Answers the next modal dialog of type T with |act| once it is up; the
// title and the text it showed are kept.
template <typename T>
class ModalAnswer {
 public:
  explicit ModalAnswer(std::function<void(T*)> act) : m_act(std::move(act)) {
    m_timer.setInterval(10);
    QObject::connect(&m_timer, &QTimer::timeout, [this]() {
      T* dlg = qobject_cast<T*>(QApplication::activeModalWidget());
      if (dlg == nullptr || !dlg->isVisible()) return;
      m_timer.stop();
      m_strTitle = dlg->windowTitle();
      if (auto* box = qobject_cast<QMessageBox*>(dlg)) m_strText = box->text();
      m_act(dlg);
    });
    m_timer.start();
  }
  bool answered() const { return !m_timer.isActive(); }

  QString m_strTitle;
  QString m_strText;

 private:
  std::function<void(T*)> m_act;
  QTimer m_timer;
};

class SettingsDialog : public ::testing::Test {
 protected:
  void SetUp() override { m_config.resetToDefaults(); }
  void TearDown() override { m_config.resetToDefaults(); }

  // A dialog on the current configuration, shown (which loads the controls).
  std::unique_ptr<ViZaroduDezoSetDlg> Open(const VrEncoderChecks& checks = kAllUsable) {
    auto dlg = std::make_unique<ViZaroduDezoSetDlg>(m_config, checks);
    dlg->show();
    QApplication::processEvents();
    return dlg;
  }
  template <typename T>
  static T* Find(ViZaroduDezoSetDlg* dlg, const char* name) {
    T* w = dlg->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  static QRadioButton* Encoder(ViZaroduDezoSetDlg* dlg, int i) {
    return Find<QRadioButton>(dlg, QString("encoderRadio%1").arg(i).toUtf8().constData());
  }
  static void Apply(ViZaroduDezoSetDlg* dlg) {
    Find<QPushButton>(dlg, "applyButton")->click();
    QApplication::processEvents();
  }

  HX_ServerConfiguration& m_config = *HX_ServerConfiguration::instance();
};

}  // namespace

TEST_F(SettingsDialog, EncodeTypeSelectsItsEncoderAndApplyingStoresItBack) {
  const struct {
    int type;
    int radio;
  } cases[] = {{1, 0}, {5, 1}, {3, 2}, {4, 3}};
  for (const auto& c : cases) {
    m_config.m_iEncodeType = c.type;
    auto dlg = Open();
    EXPECT_TRUE(Encoder(dlg.get(), c.radio)->isChecked()) << c.type;
    EXPECT_EQ(Find<QComboBox>(dlg.get(), "codecList")->currentText(), "H264");
    m_config.m_iEncodeType = 0;
    Apply(dlg.get());
    EXPECT_EQ(m_config.m_iEncodeType, c.type);
  }
  // Choosing another radio stores that encoder.
  m_config.m_iEncodeType = 1;
  auto dlg = Open();
  Encoder(dlg.get(), 1)->click();
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iEncodeType, 5);
  // An unknown encoder type shows software H.264 and is stored as such.
  m_config.m_iEncodeType = 9;
  dlg = Open();
  EXPECT_TRUE(Encoder(dlg.get(), 0)->isChecked());
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iEncodeType, 1);
}

TEST_F(SettingsDialog, MjpegShowsNoCodecAndApplyingStoresTheRadiosChoice) {
  m_config.m_iEncodeType = 2;
  auto dlg = Open();
  EXPECT_EQ(Find<QComboBox>(dlg.get(), "codecList")->currentIndex(), -1);
  EXPECT_TRUE(Encoder(dlg.get(), 0)->isChecked());
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iEncodeType, 1);

  m_config.m_iEncodeType = 2;
  dlg = Open();
  Encoder(dlg.get(), 3)->click();
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iEncodeType, 4);
}

TEST_F(SettingsDialog, FrameRateBitRateAndSampleRateMappings) {
  m_config.m_iFps = 30;
  m_config.m_iEncodeSample = 3000000;
  m_config.m_iAudioSample = 48000;
  m_config.m_iAudioBitRate = 128000;
  auto dlg = Open();
  auto* fps = Find<QComboBox>(dlg.get(), "fpsList");
  QStringList entries;
  for (int i = 0; i < fps->count(); ++i) entries << fps->itemText(i);
  EXPECT_EQ(entries, QStringList({"15", "25", "30", "50"}));
  EXPECT_EQ(fps->currentText(), "30");
  auto* kbps = Find<QSpinBox>(dlg.get(), "kbpsEdit");
  EXPECT_EQ(kbps->value(), 3000);
  auto* rate = Find<QComboBox>(dlg.get(), "sampleRateList");
  EXPECT_EQ(rate->currentIndex(), 1);
  EXPECT_EQ(Find<QComboBox>(dlg.get(), "audioRateList")->currentText(), "96");

  fps->setCurrentIndex(3);
  kbps->setValue(2500);
  rate->setCurrentIndex(0);
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iFps, 50);
  EXPECT_EQ(m_config.m_iEncodeSample, 2500000);
  EXPECT_EQ(m_config.m_iAudioSample, 44100);
  EXPECT_EQ(m_config.m_iAudioBitRate, 96000);  // whatever it was before

  // Choosing "H264" in the codec list proposes 1500 kbps.
  dlg = Open();
  auto* codec = Find<QComboBox>(dlg.get(), "codecList");
  emit codec->activated(0);
  EXPECT_EQ(Find<QSpinBox>(dlg.get(), "kbpsEdit")->value(), 1500);

  // Unlisted rates show no selection and survive applying unchanged.
  m_config.m_iFps = 60;
  m_config.m_iAudioSample = 22050;
  dlg = Open();
  EXPECT_EQ(Find<QComboBox>(dlg.get(), "fpsList")->currentIndex(), -1);
  EXPECT_EQ(Find<QComboBox>(dlg.get(), "sampleRateList")->currentIndex(), -1);
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iFps, 60);
  EXPECT_EQ(m_config.m_iAudioSample, 22050);
  EXPECT_EQ(m_config.m_iAudioBitRate, 96000);
}

TEST_F(SettingsDialog, PortOutsideTheRangeIsRefusedAfterTheEncodingValues) {
  for (const char* bad : {"0", "65535", "", "99999"}) {
    SCOPED_TRACE(bad);
    m_config.resetToDefaults();
    m_config.m_iPrivatePort = 6000;
    m_config.m_iAudioSample = 44100;
    m_config.m_iRecordSplitType = kSplitNone;
    auto dlg = Open();
    Find<QComboBox>(dlg.get(), "fpsList")->setCurrentIndex(0);
    Find<QSpinBox>(dlg.get(), "kbpsEdit")->setValue(800);
    Encoder(dlg.get(), 2)->click();
    Find<QLineEdit>(dlg.get(), "portEdit")->setText(bad);
    Find<QComboBox>(dlg.get(), "sampleRateList")->setCurrentIndex(1);
    Find<QCheckBox>(dlg.get(), "splitCheck")->setChecked(true);

    ModalAnswer<QMessageBox> answer([](QMessageBox* box) { box->accept(); });
    Apply(dlg.get());
    EXPECT_TRUE(answer.answered());
    EXPECT_EQ(answer.m_strTitle, QString("提示"));
    EXPECT_EQ(answer.m_strText, QString("端口号无效！"));
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_NE(dlg->result(), QDialog::Accepted);
    // Written before the check...
    EXPECT_EQ(m_config.m_iFps, 15);
    EXPECT_EQ(m_config.m_iEncodeSample, 800000);
    EXPECT_EQ(m_config.m_iEncodeType, 3);
    // ...and nothing after it.
    EXPECT_EQ(m_config.m_iPrivatePort, 6000);
    EXPECT_EQ(m_config.m_iAudioSample, 44100);
    EXPECT_EQ(m_config.m_iRecordSplitType, kSplitNone);
  }
  for (int good : {1, 65534}) {
    auto dlg = Open();
    Find<QLineEdit>(dlg.get(), "portEdit")->setText(QString::number(good));
    Apply(dlg.get());
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(m_config.m_iPrivatePort, good);
  }
}

TEST_F(SettingsDialog, SplitRadiosFollowTheCheckAndMapToTheSplitType) {
  m_config.m_iRecordSplitType = kSplitNone;
  auto dlg = Open();
  auto* check = Find<QCheckBox>(dlg.get(), "splitCheck");
  auto* byTime = Find<QRadioButton>(dlg.get(), "splitTimeRadio");
  auto* bySize = Find<QRadioButton>(dlg.get(), "splitSizeRadio");
  EXPECT_FALSE(check->isChecked());
  EXPECT_FALSE(byTime->isEnabled());
  EXPECT_FALSE(bySize->isEnabled());
  check->click();
  EXPECT_TRUE(byTime->isEnabled());
  EXPECT_TRUE(bySize->isEnabled());
  bySize->click();
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iRecordSplitType, kSplitBySize);

  dlg = Open();
  check = Find<QCheckBox>(dlg.get(), "splitCheck");
  EXPECT_TRUE(check->isChecked());
  EXPECT_TRUE(Find<QRadioButton>(dlg.get(), "splitSizeRadio")->isChecked());
  Find<QRadioButton>(dlg.get(), "splitTimeRadio")->click();
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iRecordSplitType, kSplitByTime);

  dlg = Open();
  EXPECT_TRUE(Find<QRadioButton>(dlg.get(), "splitTimeRadio")->isChecked());
  Find<QCheckBox>(dlg.get(), "splitCheck")->click();
  EXPECT_FALSE(Find<QRadioButton>(dlg.get(), "splitTimeRadio")->isEnabled());
  Apply(dlg.get());
  EXPECT_EQ(m_config.m_iRecordSplitType, kSplitNone);
}

TEST_F(SettingsDialog, EncoderChoicesAreHiddenWhenTheirChecksFail) {
  // Today's machine: every hardware check fails.
  auto dlg = Open(VrEncoderChecks());
  EXPECT_TRUE(Encoder(dlg.get(), 0)->isVisible());
  for (int i = 1; i < 4; ++i) EXPECT_FALSE(Encoder(dlg.get(), i)->isVisible()) << i;

  dlg = Open(kAllUsable);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Encoder(dlg.get(), i)->isVisible()) << i;

  // Each check hides its own radio only; both NVENC failures hide it.
  dlg = Open(VrEncoderChecks{&OldDevice, &Usable, &Absent});
  EXPECT_FALSE(Encoder(dlg.get(), 1)->isVisible());
  EXPECT_FALSE(Encoder(dlg.get(), 2)->isVisible());
  EXPECT_TRUE(Encoder(dlg.get(), 3)->isVisible());
  dlg = Open(VrEncoderChecks{&NoDriver, &Absent, &Usable});
  EXPECT_FALSE(Encoder(dlg.get(), 1)->isVisible());
  EXPECT_TRUE(Encoder(dlg.get(), 2)->isVisible());
  EXPECT_FALSE(Encoder(dlg.get(), 3)->isVisible());
}

TEST_F(SettingsDialog, RecordDirectoryIsChosenOpenedAndStoredAsUtf8) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const QString chinese = tmp.path() + "/录像";
  ASSERT_TRUE(QDir().mkpath(chinese));
  m_config.m_strRecordPath = chinese.toStdString();
  auto dlg = Open();
  auto* dir = Find<QLineEdit>(dlg.get(), "dirEdit");
  EXPECT_TRUE(dir->isReadOnly());
  EXPECT_EQ(dir->text(), chinese);

  // A cancelled folder browser changes nothing; an accepted one puts its folder in.
  {
    ModalAnswer<QFileDialog> answer([](QFileDialog* fd) { fd->reject(); });
    Find<QPushButton>(dlg.get(), "chooseDirButton")->click();
    EXPECT_TRUE(answer.answered());
    EXPECT_EQ(answer.m_strTitle, QString("选择保存目录:"));
    EXPECT_EQ(dir->text(), chinese);
  }
  {
    ModalAnswer<QFileDialog> answer([&tmp](QFileDialog* fd) {
      fd->setDirectory(tmp.path());
      QMetaObject::invokeMethod(fd, "accept");
    });
    Find<QPushButton>(dlg.get(), "chooseDirButton")->click();
    EXPECT_TRUE(answer.answered());
    EXPECT_EQ(QDir(dir->text()), QDir(tmp.path()));
  }

  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("file", &catcher, "handle");
  QDesktopServices::setUrlHandler("https", &catcher, "handle");
  dir->setText(chinese);
  Find<QPushButton>(dlg.get(), "openDirButton")->click();
  Find<QPushButton>(dlg.get(), "helpButton")->click();
  QDesktopServices::unsetUrlHandler("file");
  QDesktopServices::unsetUrlHandler("https");
  ASSERT_EQ(catcher.m_urls.size(), 2);
  EXPECT_EQ(catcher.m_urls[0], QUrl::fromLocalFile(chinese));
  EXPECT_EQ(catcher.m_urls[1].path(), QString("/cloud/link/127"));
  EXPECT_EQ(catcher.m_urls[1].scheme(), QString("https"));

  Apply(dlg.get());
  EXPECT_EQ(m_config.m_strRecordPath, chinese.toStdString());
}

TEST_F(SettingsDialog, LayoutHas440x540AndNoTextIsClipped) {
  auto dlg = Open();
  EXPECT_EQ(dlg->windowTitle(), QString("设置"));
  EXPECT_GE(dlg->width(), 440);
  EXPECT_GE(dlg->height(), 540);
  EXPECT_LE(dlg->width(), std::max(440, dlg->minimumSizeHint().width()));
  EXPECT_LE(dlg->height(), std::max(540, dlg->minimumSizeHint().height()));
  auto* apply = Find<QPushButton>(dlg.get(), "applyButton");
  EXPECT_TRUE(apply->isDefault());
  EXPECT_EQ(apply->text(), QString("保存并应用"));
  // Every visible label and button gets at least the room its text asks for.
  for (QWidget* w : dlg->findChildren<QWidget*>()) {
    if (!w->isVisible() || (!qobject_cast<QLabel*>(w) && !qobject_cast<QAbstractButton*>(w))) {
      continue;
    }
    EXPECT_GE(w->width(), w->minimumSizeHint().width()) << w->objectName().toStdString();
    EXPECT_TRUE(dlg->rect().contains(QRect(w->mapTo(dlg.get(), QPoint(0, 0)), w->size())))
        << w->objectName().toStdString();
  }
}

#include "ViZaroduDezoSetDlg_test.moc"
