#pragma once
// The settings dialog: encoding, sound, port, pointer and recording settings. It loads
// the configuration each time it is shown; "保存并应用" copies the controls
// back into the configuration in memory (the file is saved when the
// application closes) and closes the dialog, unless the port is invalid.
// Run modally between runs; UI thread only.
#include <QDialog>

#include "encode/VrEncoderSupport.h"

class HX_ServerConfiguration;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLineEdit;
class QRadioButton;
class QSpinBox;
class QVBoxLayout;

// The hardware checks that decide which encoder choices are offered
// (replaceable in tests).
struct VrEncoderChecks {
  int (*m_pfnNvenc)() = &VrCheckNvencSupport;
  int (*m_pfnQuickSync)() = &VrCheckQuickSyncSupport;
  int (*m_pfnAmd)() = &VrCheckAmdSupport;
};

class ViZaroduDezoSetDlg : public QDialog {
  Q_OBJECT

 public:
  // The page "帮助" opens: this host plus the help path.
  static constexpr const char* kHelpHost = "https://ostrel.example.org";
  static constexpr const char* kHelpPath = "/cloud/link/127";

  ViZaroduDezoSetDlg(HX_ServerConfiguration& config, QWidget* parent = nullptr);
  ViZaroduDezoSetDlg(HX_ServerConfiguration& config, const VrEncoderChecks& checks,
                     QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void HideUnusableEncoders(const VrEncoderChecks& checks);
  void LoadFromConfig();
  void ApplySizeAndCentre();
  void OnCodecActivated(int index);
  void OnSplitToggled(bool on);
  void OnChooseDirectory();
  void OnOpenDirectory();
  void OnHelp();
  void OnApply();

  HX_ServerConfiguration& m_config;
  QVBoxLayout* m_pMainLayout = nullptr;
  QComboBox* m_pFpsList = nullptr;
  QComboBox* m_pCodecList = nullptr;
  QSpinBox* m_pKbpsEdit = nullptr;
  QButtonGroup* m_pEncoderGroup = nullptr;
  QRadioButton* m_pEncoderRadios[4] = {};
  QLineEdit* m_pPortEdit = nullptr;
  QCheckBox* m_pCursorCheck = nullptr;
  QComboBox* m_pSampleRateList = nullptr;
  QComboBox* m_pAudioRateList = nullptr;
  QLineEdit* m_pDirEdit = nullptr;
  QCheckBox* m_pSplitCheck = nullptr;
  QButtonGroup* m_pSplitGroup = nullptr;
  QRadioButton* m_pSplitRadios[2] = {};
};
