#pragma once
// The process-wide settings, loaded from and saved to config.ini. The UI thread
// writes settings only while no capture run is active; every thread may read
// them. Only the capture region and the output size are guarded by the mutex.
#include <cstdint>
#include <string>

#include "config/HX_BaseConfiguration.h"
#include "core/HX_Mutex.h"

struct HX_Rect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

enum HX_CaptureMode : int32_t { kCaptureFullScreen = 1, kCaptureWindow = 2, kCaptureRegion = 3 };
enum HX_FullScreenMethod : int32_t { kMethodGDI = 1, kMethodDXGI = 2 };
enum HX_RecordSplit : int32_t { kSplitNone = 0, kSplitByTime = 1, kSplitBySize = 2 };
enum HX_PushFlow : int32_t { kPushNDI = 0, kPushPrivate = 1 };

// The settings block: the values compared by isConfigChanged are a snapshot of it.
struct HX_ServerSettings {
  int32_t m_iFps = 25;
  int32_t m_iEncodeSample = 3000000;  // video bits per second
  int32_t m_iEncodeCache = 1000;
  int32_t m_iEncodeType = 1;  // 1 H264, 2 MJPEG, 3 AMD, 4 QuickSync, 5 NVENC
  bool m_bAudioEnable = false;
  int32_t m_iSoundDeviceIndex = 0;  // 0 = system sound
  int32_t m_iAudioSample = 44100;
  int32_t m_iAudioBitRate = 96000;
  std::string m_strRecordPath;  // UTF-8
  int32_t m_iRecordSplitType = kSplitNone;
  int32_t m_iSplitSize = 536870912;  // bytes per file
  int32_t m_iSplitTime = 3600000;    // milliseconds per file
  bool m_bSyncRecord = false;
  int32_t m_iCaptureMode = kCaptureFullScreen;
  int32_t m_iMonitorIndex = 0;
  std::string m_strTargetName;  // "DISPLAY" for monitor and region capture
  int32_t m_iSpare = 0;
  int32_t m_iFullScreenMethod = 0;  // 1 GDI, 2 DXGI; set at start-up
  bool m_bFlag1 = false;
  bool m_bFlag2 = false;
  int32_t m_iPushFlowType = kPushNDI;
  int32_t m_iPrivatePort = 6000;
  bool m_bCaptureCursor = true;  // X11 screen sources draw the mouse pointer
};

class HX_ServerConfiguration : public HX_BaseConfiguration, public HX_ServerSettings {
 public:
  static HX_ServerConfiguration* instance();

  int loadNormalConfig() override;
  bool isConfigChanged() override;
  // Writes the fifteen keys to a temporary file renamed over config.ini.
  bool saveNormalConfig() override;

  void getOutputSize(int32_t* width, int32_t* height) const;
  void setOutputSize(int32_t width, int32_t height);
  void getCaptureRegion(int32_t* left, int32_t* top, int32_t* right, int32_t* bottom) const;
  void setCaptureRegion(int32_t left, int32_t top, int32_t right, int32_t bottom);
  std::string getRecordPath() const { return m_strRecordPath; }
  std::string getTargetName() const { return m_strTargetName; }

  // Puts every setting back to its default (tests, and a fresh start).
  void resetToDefaults();
  // The text saveNormalConfig writes.
  std::string renderConfigText() const;
  // $HOME/Videos, or the base directory when HOME is unset.
  static std::string DefaultRecordPath();

  std::string m_strMinLogLevelText = "debug";
  std::string m_strEnableConsoleLogText = "true";

 private:
  HX_ServerConfiguration();
  HX_ServerSettings m_stSnapshot;
  mutable HX_Mutex m_mutex;
  HX_Rect m_stCaptureRegion HX_GUARDED_BY(m_mutex);
  int32_t m_iOutputWidth HX_GUARDED_BY(m_mutex) = 1920;
  int32_t m_iOutputHeight HX_GUARDED_BY(m_mutex) = 1080;
};
