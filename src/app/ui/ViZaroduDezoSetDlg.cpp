#include "app/ui/ViZaroduDezoSetDlg.h"

#include <QButtonGroup>
#include <QShowEvent>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"

namespace {

// Encoder radios in the order the dialog shows them; each one's EncodeType.
enum EncoderRadio { kRadioH264 = 0, kRadioNvenc = 1, kRadioAmd = 2, kRadioQuickSync = 3 };
constexpr int kEncodeTypeForRadio[] = {1, 5, 3, 4};
constexpr int kEncodeTypeMjpeg = 2;

int RadioForEncodeType(int encodeType) {
  switch (encodeType) {
    case 5: return kRadioNvenc;
    case 3: return kRadioAmd;
    case 4: return kRadioQuickSync;
    default: return kRadioH264;
  }
}

constexpr int kKbpsAfterCodecChoice = 1500;
// The largest rate whose bits per second still fit the configuration's int32.
constexpr int kMaxKbps = 2147483;
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65534;
constexpr int kAudioKbps = 96;

constexpr QSize kDialogSize(440, 540);
constexpr QSize kLargeDialogSize(680, 840);
constexpr QSize kLargeScreen(3840, 2160);

// Selects the entry whose text is |value|; none when there is no such entry.
void SelectNumber(QComboBox* list, int value) {
  list->setCurrentIndex(list->findText(QString::number(value)));
}

}  // namespace

ViZaroduDezoSetDlg::ViZaroduDezoSetDlg(HX_ServerConfiguration& config, QWidget* parent)
    : ViZaroduDezoSetDlg(config, VrEncoderChecks(), parent) {}

ViZaroduDezoSetDlg::ViZaroduDezoSetDlg(HX_ServerConfiguration& config, const VrEncoderChecks& checks,
                                       QWidget* parent)
    : QDialog(parent), m_config(config) {
  setWindowTitle(tr("设置"));
  BuildControls();
  HideUnusableEncoders(checks);
  LoadFromConfig();
}

void ViZaroduDezoSetDlg::BuildControls() {
  m_pMainLayout = new QVBoxLayout(this);

  auto* video = new QGroupBox(tr("视频编码"), this);
  auto* vg = new QGridLayout(video);
  m_pFpsList = new QComboBox(video);
  m_pFpsList->setObjectName("fpsList");
  m_pFpsList->addItems({"15", "25", "30", "50"});
  vg->addWidget(new QLabel(tr("采集帧率："), video), 0, 0);
  vg->addWidget(m_pFpsList, 0, 1);

  m_pCodecList = new QComboBox(video);
  m_pCodecList->setObjectName("codecList");
  m_pCodecList->addItem("H264");
  connect(m_pCodecList, QOverload<int>::of(&QComboBox::activated), this,
          &ViZaroduDezoSetDlg::OnCodecActivated);
  vg->addWidget(new QLabel(tr("编码格式："), video), 1, 0);
  vg->addWidget(m_pCodecList, 1, 1);

  m_pKbpsEdit = new QSpinBox(video);
  m_pKbpsEdit->setObjectName("kbpsEdit");
  m_pKbpsEdit->setRange(1, kMaxKbps);
  m_pKbpsEdit->setButtonSymbols(QAbstractSpinBox::NoButtons);
  vg->addWidget(new QLabel(tr("编码码率："), video), 2, 0);
  vg->addWidget(m_pKbpsEdit, 2, 1);
  vg->addWidget(new QLabel("KBPS", video), 2, 2);

  vg->addWidget(new QLabel(tr("编码器选择："), video), 3, 0);
  auto* radios = new QHBoxLayout();
  m_pEncoderGroup = new QButtonGroup(this);
  const char* const encoderNames[] = {"H264", "NVENC", "AMD", "QuickSync"};
  for (int i = 0; i < 4; ++i) {
    m_pEncoderRadios[i] = new QRadioButton(encoderNames[i], video);
    m_pEncoderRadios[i]->setObjectName(QString("encoderRadio%1").arg(i));
    m_pEncoderGroup->addButton(m_pEncoderRadios[i], i);
    radios->addWidget(m_pEncoderRadios[i]);
  }
  radios->addStretch(1);
  vg->addLayout(radios, 3, 1, 1, 2);

  m_pPortEdit = new QLineEdit(video);
  m_pPortEdit->setObjectName("portEdit");
  // Digits only, as a number edit; the range is checked on applying.
  m_pPortEdit->setValidator(
      new QRegularExpressionValidator(QRegularExpression("[0-9]{0,9}"), m_pPortEdit));
  vg->addWidget(new QLabel(tr("端口号设置："), video), 4, 0);
  vg->addWidget(m_pPortEdit, 4, 1);
  m_pCursorCheck = new QCheckBox(tr("显示鼠标指针"), video);
  m_pCursorCheck->setObjectName("cursorCheck");
  vg->addWidget(m_pCursorCheck, 5, 0, 1, 3);
  vg->setColumnStretch(1, 1);
  m_pMainLayout->addWidget(video);

  auto* sound = new QGroupBox(tr("声音"), this);
  auto* sg = new QGridLayout(sound);
  m_pSampleRateList = new QComboBox(sound);
  m_pSampleRateList->setObjectName("sampleRateList");
  m_pSampleRateList->addItems({"44100", "48000"});
  sg->addWidget(new QLabel(tr("采样频率："), sound), 0, 0);
  sg->addWidget(m_pSampleRateList, 0, 1);
  sg->addWidget(new QLabel("HZ", sound), 0, 2);
  m_pAudioRateList = new QComboBox(sound);
  m_pAudioRateList->setObjectName("audioRateList");
  m_pAudioRateList->addItem(QString::number(kAudioKbps));
  sg->addWidget(new QLabel(tr("码率："), sound), 1, 0);
  sg->addWidget(m_pAudioRateList, 1, 1);
  sg->addWidget(new QLabel("KBPS", sound), 1, 2);
  sg->setColumnStretch(1, 1);
  m_pMainLayout->addWidget(sound);

  auto* record = new QGroupBox(tr("录制"), this);
  auto* rg = new QGridLayout(record);
  m_pDirEdit = new QLineEdit(record);
  m_pDirEdit->setObjectName("dirEdit");
  m_pDirEdit->setReadOnly(true);
  rg->addWidget(new QLabel(tr("保存目录："), record), 0, 0);
  rg->addWidget(m_pDirEdit, 0, 1, 1, 2);
  auto* choose = new QPushButton(tr("选择目录"), record);
  choose->setObjectName("chooseDirButton");
  choose->setAutoDefault(false);
  connect(choose, &QPushButton::clicked, this, &ViZaroduDezoSetDlg::OnChooseDirectory);
  auto* open = new QPushButton(tr("打开目录"), record);
  open->setObjectName("openDirButton");
  open->setAutoDefault(false);
  connect(open, &QPushButton::clicked, this, &ViZaroduDezoSetDlg::OnOpenDirectory);
  auto* dirButtons = new QHBoxLayout();
  dirButtons->addStretch(1);
  dirButtons->addWidget(choose);
  dirButtons->addWidget(open);
  rg->addLayout(dirButtons, 1, 1, 1, 2);
  m_pSplitCheck = new QCheckBox(tr("自动分割录制文件："), record);
  m_pSplitCheck->setObjectName("splitCheck");
  connect(m_pSplitCheck, &QCheckBox::toggled, this, &ViZaroduDezoSetDlg::OnSplitToggled);
  rg->addWidget(m_pSplitCheck, 2, 0, 1, 3);
  m_pSplitGroup = new QButtonGroup(this);
  m_pSplitRadios[0] = new QRadioButton(tr("录制时间达到60分钟"), record);
  m_pSplitRadios[0]->setObjectName("splitTimeRadio");
  m_pSplitRadios[1] = new QRadioButton(tr("录制文件达到500MB"), record);
  m_pSplitRadios[1]->setObjectName("splitSizeRadio");
  auto* splitRadios = new QVBoxLayout();
  for (int i = 0; i < 2; ++i) {
    m_pSplitGroup->addButton(m_pSplitRadios[i], i);
    splitRadios->addWidget(m_pSplitRadios[i]);
  }
  rg->addLayout(splitRadios, 3, 1, 1, 2);
  rg->setColumnStretch(1, 1);
  m_pMainLayout->addWidget(record);
  m_pMainLayout->addStretch(1);

  auto* buttons = new QHBoxLayout();
  auto* help = new QPushButton(tr("帮助"), this);
  help->setObjectName("helpButton");
  help->setAutoDefault(false);
  connect(help, &QPushButton::clicked, this, &ViZaroduDezoSetDlg::OnHelp);
  auto* apply = new QPushButton(tr("保存并应用"), this);
  apply->setObjectName("applyButton");
  apply->setDefault(true);
  connect(apply, &QPushButton::clicked, this, &ViZaroduDezoSetDlg::OnApply);
  buttons->addWidget(help);
  buttons->addStretch(1);
  buttons->addWidget(apply);
  m_pMainLayout->addLayout(buttons);
}

void ViZaroduDezoSetDlg::HideUnusableEncoders(const VrEncoderChecks& checks) {
  m_pEncoderRadios[kRadioNvenc]->setVisible(checks.m_pfnNvenc() == kVrNvencUsable);
  m_pEncoderRadios[kRadioAmd]->setVisible(checks.m_pfnAmd() == kVrHwEncoderUsable);
  m_pEncoderRadios[kRadioQuickSync]->setVisible(checks.m_pfnQuickSync() == kVrHwEncoderUsable);
}

void ViZaroduDezoSetDlg::LoadFromConfig() {
  // A rate other than the four listed leaves no selection (applying keeps it).
  SelectNumber(m_pFpsList, m_config.m_iFps);
  // MJPEG has no entry of its own: nothing is selected, and applying stores
  // the encoder radio's choice.
  m_pCodecList->setCurrentIndex(m_config.m_iEncodeType == kEncodeTypeMjpeg ? -1 : 0);
  m_pKbpsEdit->setValue(m_config.m_iEncodeSample / 1000);
  m_pEncoderRadios[RadioForEncodeType(m_config.m_iEncodeType)]->setChecked(true);
  m_pPortEdit->setText(QString::number(m_config.m_iPrivatePort));
  m_pCursorCheck->setChecked(m_config.m_bCaptureCursor);
  SelectNumber(m_pSampleRateList, m_config.m_iAudioSample);
  m_pAudioRateList->setCurrentIndex(0);
  m_pDirEdit->setText(QString::fromStdString(m_config.m_strRecordPath));
  const int split = m_config.m_iRecordSplitType;
  m_pSplitRadios[split == kSplitBySize ? 1 : 0]->setChecked(true);
  m_pSplitCheck->setChecked(split == kSplitByTime || split == kSplitBySize);
  OnSplitToggled(m_pSplitCheck->isChecked());
}

void ViZaroduDezoSetDlg::showEvent(QShowEvent* event) {
  // A window restored by the window manager keeps what the operator typed.
  if (!event->spontaneous()) {
    LoadFromConfig();
    ApplySizeAndCentre();
  }
  QDialog::showEvent(event);
}

void ViZaroduDezoSetDlg::ApplySizeAndCentre() {
  const QScreen* primary = QGuiApplication::primaryScreen();
  const bool large = primary != nullptr && primary->size().width() >= kLargeScreen.width() &&
                     primary->size().height() >= kLargeScreen.height();
  if (large && !property("marginsDoubled").toBool()) {
    setProperty("marginsDoubled", true);
    for (QLayout* layout : findChildren<QLayout*>()) {
      const QMargins m = layout->contentsMargins();
      layout->setContentsMargins(m * 2);
      if (layout->spacing() > 0) layout->setSpacing(layout->spacing() * 2);
    }
  }
  // The layouts keep the dialog at least as large as its contents need.
  resize((large ? kLargeDialogSize : kDialogSize).expandedTo(minimumSizeHint()));
  QRect area;
  if (parentWidget() != nullptr && parentWidget()->isVisible()) {
    area = parentWidget()->window()->frameGeometry();
  } else if (primary != nullptr) {
    area = primary->availableGeometry();
  }
  if (area.isValid()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(area.center());
    move(frame.topLeft());
  }
}

void ViZaroduDezoSetDlg::OnCodecActivated(int index) {
  if (m_pCodecList->itemText(index) == "H264") m_pKbpsEdit->setValue(kKbpsAfterCodecChoice);
}

void ViZaroduDezoSetDlg::OnSplitToggled(bool on) {
  m_pSplitRadios[0]->setEnabled(on);
  m_pSplitRadios[1]->setEnabled(on);
}

void ViZaroduDezoSetDlg::OnChooseDirectory() {
  const QString dir = QFileDialog::getExistingDirectory(this, tr("选择保存目录:"), m_pDirEdit->text(),
                                                        QFileDialog::ShowDirsOnly);
  if (!dir.isEmpty()) m_pDirEdit->setText(dir);
}

void ViZaroduDezoSetDlg::OnOpenDirectory() {
  const QString dir = m_pDirEdit->text();
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(dir))) {
    HX_LOG_WARNING("no file manager opened %s", dir.toStdString().c_str());
  }
}

void ViZaroduDezoSetDlg::OnHelp() {
  const QUrl url(QString(kHelpHost) + kHelpPath);
  if (!QDesktopServices::openUrl(url)) {
    HX_LOG_WARNING("no browser opened %s", url.toString().toStdString().c_str());
  }
}

void ViZaroduDezoSetDlg::OnApply() {
  // The encoding values are written before the port is checked and stay
  // written when the port is refused.
  if (m_pFpsList->currentIndex() >= 0) m_config.m_iFps = m_pFpsList->currentText().toInt();
  m_config.m_iEncodeSample = m_pKbpsEdit->value() * 1000;
  const int radio = std::max(0, m_pEncoderGroup->checkedId());
  m_config.m_iEncodeType =
      m_pCodecList->currentText() == "MJPEG" ? kEncodeTypeMjpeg : kEncodeTypeForRadio[radio];

  bool ok = false;
  const qlonglong port = m_pPortEdit->text().toLongLong(&ok);
  if (!ok || port < kMinPort || port > kMaxPort) {
    QMessageBox::warning(this, tr("提示"), tr("端口号无效！"));
    return;
  }
  m_config.m_iPrivatePort = static_cast<int32_t>(port);
  m_config.m_bCaptureCursor = m_pCursorCheck->isChecked();
  if (m_pSampleRateList->currentIndex() >= 0) {
    m_config.m_iAudioSample = m_pSampleRateList->currentText().toInt();
  }
  m_config.m_iAudioBitRate = m_pAudioRateList->currentText().toInt() * 1000;
  m_config.m_strRecordPath = m_pDirEdit->text().toStdString();
  m_config.m_iRecordSplitType = !m_pSplitCheck->isChecked() ? kSplitNone
                                : m_pSplitGroup->checkedId() == 1 ? kSplitBySize
                                                                  : kSplitByTime;
  accept();
}
