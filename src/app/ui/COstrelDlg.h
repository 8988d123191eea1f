#pragma once
// The main window: the operator picks what to capture (a monitor, a window or
// a screen region), sound, push mode and recording, and starts and stops a
// capture run (VrCaptureRun, the same run object the headless runner drives).
// Owns the run, the tray icon, the region frame and the monitor markers, and
// performs the shutdown steps (stop the run, end the annotation tool, copy the
// selections into the configuration and save it). UI thread only; the run's
// own threads never touch a widget.
#include <QDialog>
#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "app/VrCaptureRun.h"
#include "app/ui/ViZaroduDezoDlg.h"
#include "app/ui/VrAnnotationTool.h"
#include "app/ui/VrRunStatus.h"
#include "app/ui/VrScreenFalgDlg.h"
#include "capture/VrMonitorList.h"
#include "capture/VrWindowList.h"

class HX_IMonitorSource;
class HX_IOperatorPrompt;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QTimer;
class VrTrapperSources;
class VrTrayIcon;

// What the dialog uses instead of the real thing (tests and screenshots).
struct COstrelDlgOptions {
  HX_IOperatorPrompt* m_pPrompt = nullptr;        // null: message boxes
  HX_IMonitorSource* m_pMonitors = nullptr;       // null: OSTREL_FAKE_MONITORS, else the display
  int m_iWindowCaptureSupported = -1;             // -1: ask the display (Composite)
  VrTrapperSources* m_pSources = nullptr;         // null: the real screen and sound sources
  std::string m_strAnnotationTool;                // empty: <base dir>/gInk/gInk
  bool m_bTray = true;                            // add the notification-area icon
};

class COstrelDlg : public QDialog {
  Q_OBJECT

 public:
  enum Mode { kModeScreen = 0, kModeWindow = 1, kModeRegion = 2 };

  explicit COstrelDlg(const COstrelDlgOptions& options = COstrelDlgOptions(), QWidget* parent = nullptr);
  ~COstrelDlg() override;

  // Copies the controls into the configuration (run start and shutdown).
  // 0, or negative when the chosen target no longer exists (-2 for a window).
  int CopySelections();
  // The start button: starts a run when idle, stops it when running.
  void OnStart();
  bool isRunning() const { return m_run.isRunning(); }
  // Refills the target list for the current mode.
  void FillTargetList();
  void SetMode(Mode mode);
  // The shutdown steps; runs once (later calls do nothing).
  void Shutdown();
  // Shows the window from the tray or from a second start: restores it when
  // minimised, raises and activates it.
  void ShowFromOutside();

  // The ten controls disabled while a run is up.
  std::vector<QWidget*> RunLockedControls() const;
  // The marker windows now shown (two or more monitors only).
  size_t MarkerCount() const { return m_vecMarkers.size(); }
  ViZaroduDezoDlg* RegionWindow() const { return m_pRegion; }
  VrCaptureRun& Run() { return m_run; }

  static constexpr int kStatusPeriodMs = 1000;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void BuildControls();
  void ApplyLayoutSize();
  void LoadFromConfiguration();
  void OnModeClicked(int mode);
  void OnTargetChanged(int index);
  void OnRestartRegion();
  void OnRestartAnnotation();
  void OnMoreSettings();
  void OnDiskTimer();
  void OnStatusTimer();
  void StartRun();
  void StopRun();
  void SetRunning(bool running);
  void EnsureRegionWindow();
  void DestroyMarkers();
  void CopyCommonSelections();

  std::unique_ptr<HX_IOperatorPrompt> m_pOwnPrompt;  // when none was given
  HX_IOperatorPrompt* m_pPrompt = nullptr;
  std::unique_ptr<HX_IMonitorSource> m_pOwnMonitors;
  HX_IMonitorSource* m_pMonitors = nullptr;  // null: the display
  bool m_bWindowCaptureSupported = false;
  VrCaptureRun m_run;
  VrRunStatus m_status;
  VrAnnotationTool m_annotation;
  bool m_bShutDown = false;

  std::vector<VrMonitorInfo> m_vecMonitors;
  std::vector<VrWindowEntry> m_vecWindows;
  QPointer<ViZaroduDezoDlg> m_pRegion;
  std::vector<QPointer<VrScreenFalgDlg>> m_vecMarkers;
  VrTrayIcon* m_pTray = nullptr;

  QGroupBox* m_pVideoGroup = nullptr;
  QButtonGroup* m_pModeGroup = nullptr;
  QRadioButton* m_pModeRadio[3] = {nullptr, nullptr, nullptr};
  QLabel* m_pTargetLabel = nullptr;
  QComboBox* m_pTargetList = nullptr;
  QPushButton* m_pRefresh = nullptr;
  QPushButton* m_pRestart = nullptr;
  QGroupBox* m_pSoundGroup = nullptr;
  QCheckBox* m_pSoundCheck = nullptr;
  QComboBox* m_pSoundList = nullptr;
  QGroupBox* m_pOtherGroup = nullptr;
  QLabel* m_pPushLabel = nullptr;
  QComboBox* m_pPushList = nullptr;
  QPushButton* m_pRestartAnnotation = nullptr;
  QPushButton* m_pMoreSettings = nullptr;
  QCheckBox* m_pSyncRecord = nullptr;
  QPushButton* m_pStart = nullptr;
  QLabel* m_pStatus = nullptr;
  QTimer* m_pDiskTimer = nullptr;
  QTimer* m_pStatusTimer = nullptr;
};
