#include "app/ui/COstrelDlg.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "app/HX_IOperatorPrompt.h"
#include "app/VrRunTarget.h"
#include "app/ui/VrFakeMonitorSource.h"
#include "app/ui/VrMessageBoxPrompt.h"
#include "app/ui/VrTrayIcon.h"
#include "app/ui/ViZaroduDezoDlg.h"
#include "app/ui/ViZaroduDezoSetDlg.h"
#include "app/ui/VrScreenFalgDlg.h"
#include "capture/VrTrapperSources.h"
#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "platform/HX_Clock.h"

namespace {
constexpr int kSmallWidth = 440, kSmallHeight = 350;
constexpr int kLargeWidth = 720, kLargeHeight = 580;
constexpr int kMarkerOffset = 10, kMarkerWidth = 300, kMarkerHeight = 200;

HX_ServerConfiguration* Cfg() { return HX_ServerConfiguration::instance(); }

// With the portal back-end the desktop picks the monitor or window.
bool PortalChooses(int mode) {
  return Cfg()->m_iCaptureBackend == kBackendPortal &&
         (mode == COstrelDlg::kModeScreen || mode == COstrelDlg::kModeWindow);
}
}  // namespace

COstrelDlg::COstrelDlg(const COstrelDlgOptions& options, QWidget* parent)
    : QDialog(parent),
      m_pOwnPrompt(options.m_pPrompt != nullptr ? nullptr : std::make_unique<VrMessageBoxPrompt>(this)),
      m_pPrompt(options.m_pPrompt != nullptr ? options.m_pPrompt : m_pOwnPrompt.get()),
      m_run(m_pPrompt),
      m_annotation(options.m_strAnnotationTool) {
  if (options.m_pSources != nullptr) m_run.setSources(options.m_pSources);

  m_pMonitors = options.m_pMonitors;
  if (m_pMonitors == nullptr) {
    m_pOwnMonitors = VrFakeMonitorSource::FromEnvironment();
    m_pMonitors = m_pOwnMonitors.get();
  }
  VrTrapperSources& sources = options.m_pSources != nullptr ? *options.m_pSources : VrTrapperSources::Default();
  m_bWindowCaptureSupported = options.m_iWindowCaptureSupported >= 0 ? options.m_iWindowCaptureSupported != 0
                                                                     : sources.WinRTCaptureSupported();

  setWindowTitle(tr("澄影dozi（多屏使用时，保证缩放一致）"));
  setWindowIcon(QIcon(":/icons/ostrel.png"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  if (options.m_bTray) {
    m_pTray = new VrTrayIcon(windowIcon(), this);
    connect(m_pTray, &VrTrayIcon::openRequested, this, &COstrelDlg::ShowFromOutside);
    connect(m_pTray, &VrTrayIcon::quitRequested, this, &QDialog::reject);
    m_pTray->show();
  }

  const int launched = m_annotation.launch();
  if (launched == VrAnnotationTool::kMissing) {
    HX_LOG_INFO("no annotation tool at %s", m_annotation.path().c_str());
  }

  BuildControls();
  ApplyLayoutSize();

  m_pDiskTimer = new QTimer(this);
  m_pDiskTimer->setInterval(VrCaptureRun::kDiskCheckPeriodMs);
  connect(m_pDiskTimer, &QTimer::timeout, this, &COstrelDlg::OnDiskTimer);
  m_pStatusTimer = new QTimer(this);
  m_pStatusTimer->setInterval(kStatusPeriodMs);
  connect(m_pStatusTimer, &QTimer::timeout, this, &COstrelDlg::OnStatusTimer);

  m_pStart->setText(tr("开始"));
  m_pModeRadio[kModeScreen]->setChecked(true);
  m_pTargetLabel->setText(tr("桌面选择"));
  m_pRefresh->show();
  m_pRestart->hide();
  FillTargetList();
  LoadFromConfiguration();
}

COstrelDlg::~COstrelDlg() { Shutdown(); }

void COstrelDlg::BuildControls() {
  m_pVideoGroup = new QGroupBox(tr("画面采集"), this);
  m_pModeGroup = new QButtonGroup(this);
  const char* names[] = {"modeScreen", "modeWindow", "modeRegion"};
  const QString captions[] = {tr("全屏幕"), tr("单个窗口"), tr("屏幕范围")};
  auto* radios = new QHBoxLayout();
  for (int i = 0; i < 3; ++i) {
    m_pModeRadio[i] = new QRadioButton(captions[i], m_pVideoGroup);
    m_pModeRadio[i]->setObjectName(names[i]);
    m_pModeGroup->addButton(m_pModeRadio[i], i);
    radios->addWidget(m_pModeRadio[i]);
  }
  radios->addStretch(1);
  connect(m_pModeGroup, &QButtonGroup::idClicked, this, &COstrelDlg::OnModeClicked);

  m_pTargetLabel = new QLabel(tr("窗口列表"), m_pVideoGroup);
  m_pTargetList = new QComboBox(m_pVideoGroup);
  m_pTargetList->setObjectName("targetList");
  m_pTargetList->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  m_pTargetList->setMinimumContentsLength(8);
  connect(m_pTargetList, qOverload<int>(&QComboBox::currentIndexChanged), this, &COstrelDlg::OnTargetChanged);
  m_pRefresh = new QPushButton(tr("刷新"), m_pVideoGroup);
  m_pRefresh->setObjectName("refresh");
  connect(m_pRefresh, &QPushButton::clicked, this, &COstrelDlg::FillTargetList);
  m_pRestart = new QPushButton(tr("重启"), m_pVideoGroup);
  m_pRestart->setObjectName("restartRegion");
  connect(m_pRestart, &QPushButton::clicked, this, &COstrelDlg::OnRestartRegion);
  auto* targetRow = new QHBoxLayout();
  targetRow->addWidget(m_pTargetLabel);
  targetRow->addWidget(m_pTargetList, 1);
  targetRow->addWidget(m_pRefresh);
  targetRow->addWidget(m_pRestart);
  auto* videoLayout = new QVBoxLayout(m_pVideoGroup);
  videoLayout->addLayout(radios);
  videoLayout->addLayout(targetRow);

  m_pSoundGroup = new QGroupBox(tr("声音采集"), this);
  m_pSoundCheck = new QCheckBox(tr("开启"), m_pSoundGroup);
  m_pSoundCheck->setObjectName("soundOn");
  m_pSoundList = new QComboBox(m_pSoundGroup);
  m_pSoundList->setObjectName("soundList");
  m_pSoundList->addItem(tr("系统声音"));
  m_pSoundList->setCurrentIndex(0);
  auto* soundLayout = new QHBoxLayout(m_pSoundGroup);
  soundLayout->addWidget(m_pSoundCheck);
  soundLayout->addWidget(m_pSoundList, 1);

  m_pOtherGroup = new QGroupBox(tr("其他"), this);
  m_pPushLabel = new QLabel(tr("推流方式"), m_pOtherGroup);
  m_pPushList = new QComboBox(m_pOtherGroup);
  m_pPushList->setObjectName("pushList");
  m_pPushList->addItem(tr("NDI推流"));
  m_pPushList->addItem(tr("澄影推流"));
  m_pSyncRecord = new QCheckBox(tr("同步录制"), m_pOtherGroup);
  m_pSyncRecord->setObjectName("syncRecord");
  m_pRestartAnnotation = new QPushButton(tr("重启画笔"), m_pOtherGroup);
  m_pRestartAnnotation->setObjectName("restartAnnotation");
  connect(m_pRestartAnnotation, &QPushButton::clicked, this, &COstrelDlg::OnRestartAnnotation);
  m_pMoreSettings = new QPushButton(tr("更多设置"), m_pOtherGroup);
  m_pMoreSettings->setObjectName("moreSettings");
  connect(m_pMoreSettings, &QPushButton::clicked, this, &COstrelDlg::OnMoreSettings);
  auto* otherLayout = new QGridLayout(m_pOtherGroup);
  otherLayout->addWidget(m_pPushLabel, 0, 0);
  otherLayout->addWidget(m_pPushList, 0, 1);
  otherLayout->addWidget(m_pSyncRecord, 0, 2);
  otherLayout->addWidget(m_pRestartAnnotation, 1, 1);
  otherLayout->addWidget(m_pMoreSettings, 1, 2);
  otherLayout->setColumnStretch(1, 1);

  m_pStart = new QPushButton(tr("开始"), this);
  m_pStart->setObjectName("start");
  m_pStart->setDefault(true);
  connect(m_pStart, &QPushButton::clicked, this, &COstrelDlg::OnStart);
  m_pStatus = new QLabel(this);
  m_pStatus->setObjectName("status");
  m_pStatus->setAlignment(Qt::AlignCenter);
  m_pStatus->setTextFormat(Qt::PlainText);

  auto* main = new QVBoxLayout(this);
  main->addWidget(m_pVideoGroup);
  main->addWidget(m_pSoundGroup);
  main->addWidget(m_pOtherGroup);
  main->addStretch(1);
  main->addWidget(m_pStart);
  main->addWidget(m_pStatus);
}

void COstrelDlg::ApplyLayoutSize() {
  bool large = false;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QSize px = screen->size() * screen->devicePixelRatio();
    large = px.width() >= 3840 && px.height() >= 2160;
  }
  if (large) {
    // The application's font, so that the settings dialog and message boxes
    // (windows of their own, which a widget's font does not reach) match.
    QFont f = QApplication::font();
    f.setPointSizeF(f.pointSizeF() * 1.6);
    QApplication::setFont(f);
    for (QLayout* l : findChildren<QLayout*>()) {
      l->setContentsMargins(l->contentsMargins() * 2);
      if (l->spacing() > 0) l->setSpacing(l->spacing() * 2);
    }
    for (QPushButton* b : findChildren<QPushButton*>()) {
      b->setMinimumSize(b->sizeHint().width() + b->sizeHint().height() / 2, b->sizeHint().height() * 5 / 4);
    }
    m_pStart->setMinimumHeight(m_pStart->sizeHint().height() * 3 / 2);
  }
  setFixedSize(large ? kLargeWidth : kSmallWidth, large ? kLargeHeight : kSmallHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect avail = screen->availableGeometry();
    move(avail.center() - QPoint(width() / 2, height() / 2));
  }
}

void COstrelDlg::LoadFromConfiguration() {
  HX_ServerConfiguration* cfg = Cfg();
  m_pSoundCheck->setChecked(cfg->m_bAudioEnable);
  m_pSyncRecord->setChecked(cfg->m_bSyncRecord);
  m_pPushList->setCurrentIndex(cfg->m_iPushFlowType == kPushPrivate ? 1 : 0);
}

void COstrelDlg::SetMode(Mode mode) {
  m_pModeRadio[mode]->setChecked(true);
  OnModeClicked(mode);
}

void COstrelDlg::OnModeClicked(int mode) {
  switch (mode) {
    case kModeScreen:
    case kModeWindow:
      m_pTargetLabel->setText(mode == kModeScreen ? tr("桌面选择") : tr("窗口列表"));
      m_pTargetList->show();
      m_pRefresh->show();
      m_pRestart->hide();
      if (m_pRegion) m_pRegion->hide();
      FillTargetList();
      break;
    case kModeRegion:
      DestroyMarkers();
      m_pTargetList->setEnabled(true);
      m_pStart->setEnabled(true);
      m_pTargetLabel->setText(tr("比例选择"));
      m_pRefresh->hide();
      m_pRestart->show();
      EnsureRegionWindow();
      FillTargetList();
      break;
  }
}

void COstrelDlg::FillTargetList() {
  const int mode = m_pModeGroup->checkedId();
  const QSignalBlocker block(m_pTargetList);
  m_pTargetList->clear();
  m_pTargetList->setEnabled(true);
  m_pStart->setEnabled(true);
  m_pRefresh->setEnabled(true);
  // Monitor numbers belong to the monitor list only.
  DestroyMarkers();
  if (PortalChooses(mode)) {
    // The portal's own chooser asks when the run starts; there is no list
    // to refresh and no monitor to mark.
    m_pTargetList->addItem(tr("由系统选择"));
    m_pRefresh->setEnabled(false);
  } else if (mode == kModeScreen) {
    if (m_pMonitors != nullptr) VrMonitorList::rebuild(*m_pMonitors, &m_vecMonitors);
    else VrMonitorList::rebuild(&m_vecMonitors);
    for (size_t i = 0; i < m_vecMonitors.size(); ++i) {
      m_pTargetList->addItem(tr("显示器%1").arg(i + 1));
    }
    if (m_vecMonitors.size() > 1) {
      for (size_t i = 0; i < m_vecMonitors.size(); ++i) {
        auto* marker = new VrScreenFalgDlg(static_cast<int>(i + 1));
        marker->setAttribute(Qt::WA_DeleteOnClose);
        marker->setGeometry(m_vecMonitors[i].m_stRect.left + kMarkerOffset,
                            m_vecMonitors[i].m_stRect.top + kMarkerOffset, kMarkerWidth, kMarkerHeight);
        marker->show();
        m_vecMarkers.emplace_back(marker);
      }
    }
  } else if (mode == kModeWindow) {
    m_vecWindows.clear();
    if (m_bWindowCaptureSupported) {
      VrWindowList* list = VrWindowList::instance();
      list->refill();
      list->copyEntries(&m_vecWindows);
      for (const VrWindowEntry& w : m_vecWindows) {
        m_pTargetList->addItem(QString::fromStdString(w.m_strTitle + ":::" + w.m_strClassName));
      }
    } else {
      m_pTargetList->setEnabled(false);
      m_pStart->setEnabled(false);
      m_pRefresh->setEnabled(false);
      m_pTargetList->addItem(tr("系统版本过低，请使用全屏幕或范围截屏"));
    }
  } else {
    const QString ratios[] = {QStringLiteral("16 : 9"), QStringLiteral("4 : 3"), QStringLiteral("2 : 1"),
                              QStringLiteral("9 : 16"), QStringLiteral("4 : 9"), tr("自定义")};
    for (const QString& r : ratios) m_pTargetList->addItem(r);
  }
  m_pTargetList->setCurrentIndex(0);
  if (mode == kModeRegion && m_pRegion) m_pRegion->SetAspectIndex(0);
}

void COstrelDlg::OnTargetChanged(int index) {
  if (m_pModeGroup->checkedId() == kModeRegion && m_pRegion && index >= 0) m_pRegion->SetAspectIndex(index);
}

void COstrelDlg::EnsureRegionWindow() {
  if (!m_pRegion) m_pRegion = new ViZaroduDezoDlg(*Cfg());
  m_pRegion->show();
}

void COstrelDlg::OnRestartRegion() {
  EnsureRegionWindow();
  m_pRegion->SetAspectIndex(m_pTargetList->currentIndex());
}

void COstrelDlg::DestroyMarkers() {
  for (QPointer<VrScreenFalgDlg>& marker : m_vecMarkers) {
    if (marker) delete marker.data();
  }
  m_vecMarkers.clear();
}

void COstrelDlg::CopyCommonSelections() {
  HX_ServerConfiguration* cfg = Cfg();
  cfg->m_bAudioEnable = m_pSoundCheck->isChecked();
  cfg->m_iSoundDeviceIndex = m_pSoundList->currentIndex() < 0 ? 0 : m_pSoundList->currentIndex();
  cfg->m_bSyncRecord = m_pSyncRecord->isChecked();
  cfg->m_iPushFlowType = m_pPushList->currentIndex() == 1 ? kPushPrivate : kPushNDI;
}

int COstrelDlg::CopySelections() {
  VrRunTarget target;
  int rc = 0;
  std::string error;
  const int index = m_pTargetList->currentIndex();
  const int mode = m_pModeGroup->checkedId();
  if (PortalChooses(mode)) {
    target.m_eMode = mode == kModeScreen ? VrRunTarget::kScreen : VrRunTarget::kWindow;
    rc = VrApplyRunTarget(target, &error);
    CopyCommonSelections();
    return rc;
  }
  switch (mode) {
    case kModeScreen:
      target.m_eMode = VrRunTarget::kScreen;
      target.m_iMonitor = index;
      rc = VrApplyRunTarget(target, &error, m_pMonitors);
      break;
    case kModeWindow:
      if (!m_bWindowCaptureSupported || index < 0 || index >= static_cast<int>(m_vecWindows.size())) {
        rc = -2;
        break;
      }
      target.m_eMode = VrRunTarget::kWindow;
      target.m_uiWindow = m_vecWindows[index].m_uiWindow;
      rc = VrApplyRunTarget(target, &error);
      break;
    case kModeRegion: {
      if (!m_pRegion) {
        rc = -4;
        break;
      }
      const QRect r = m_pRegion->CaptureRect();
      target.m_eMode = VrRunTarget::kRegion;
      target.m_iX = r.x();
      target.m_iY = r.y();
      target.m_iWidth = r.width();
      target.m_iHeight = r.height();
      rc = VrApplyRunTarget(target, &error);
      break;
    }
  }
  CopyCommonSelections();
  return rc;
}

std::vector<QWidget*> COstrelDlg::RunLockedControls() const {
  return {m_pModeRadio[0], m_pModeRadio[1], m_pModeRadio[2], m_pTargetList, m_pRefresh,
          m_pSoundCheck,   m_pSoundList,    m_pSyncRecord,   m_pMoreSettings, m_pPushList};
}

void COstrelDlg::OnStart() {
  m_pStart->setEnabled(false);
  if (m_run.isRunning()) StopRun();
  else StartRun();
  m_pStart->setEnabled(true);
}

void COstrelDlg::StartRun() {
  if (CopySelections() < 0) {
    m_pPrompt->showMessage(HX_RunText::kWindowMissing);
    return;
  }
  if (m_run.start() != VrCaptureRun::kStarted) return;  // the operator has been told
  SetRunning(true);
}

void COstrelDlg::StopRun() {
  m_run.stop();
  SetRunning(false);
}

void COstrelDlg::SetRunning(bool running) {
  for (QWidget* w : RunLockedControls()) w->setEnabled(!running);
  m_pStart->setText(running ? tr("停止") : tr("开始"));
  if (m_pRegion) m_pRegion->SetRunLocked(running);
  if (running) {
    m_status.reset();
    OnStatusTimer();
    m_pStatusTimer->start();
    m_pDiskTimer->start();
  } else {
    m_pStatusTimer->stop();
    m_pDiskTimer->stop();
    m_pStatus->clear();
  }
}

void COstrelDlg::OnDiskTimer() {
  if (m_run.isRunning()) m_run.checkDiskSpace();
}

void COstrelDlg::OnStatusTimer() {
  if (!m_run.isRunning()) return;
  m_pStatus->setText(m_status.update(m_run.counters(), HX_GetTickMs(), Cfg()->m_iPushFlowType == kPushPrivate));
}

void COstrelDlg::OnRestartAnnotation() {
  if (m_annotation.isRunning() && !m_pPrompt->askOkCancel(tr("画笔正在运行，是否重启？").toStdString())) return;
  m_annotation.launch();
}

void COstrelDlg::OnMoreSettings() {
  ViZaroduDezoSetDlg settings(*Cfg(), this);
  settings.exec();
}

void COstrelDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
  // Without a notification area a hidden window could never be reached again.
  if (m_pTray != nullptr && VrTrayIcon::available()) QTimer::singleShot(0, this, &QWidget::hide);
}

void COstrelDlg::ShowFromOutside() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void COstrelDlg::Shutdown() {
  if (m_bShutDown) return;
  m_bShutDown = true;
  if (m_run.isRunning()) StopRun();
  m_run.stop();
  m_annotation.terminate();
  CopySelections();
  HX_ServerConfiguration* cfg = Cfg();
  if (!cfg->saveNormalConfig()) HX_LOG_ERROR("cannot save %s", cfg->configFilePath().c_str());
  if (m_pTray != nullptr) m_pTray->hide();
  VrWindowList::release();
  if (m_pRegion) delete m_pRegion.data();
  DestroyMarkers();
}
