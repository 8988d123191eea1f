#pragma once
// The process-wide settings, loaded from and saved to config.ini. The UI thread
// writes settings only while no capture run is active; every thread may read
// them. Only the capture region and the output size are guarded by the mutex.
#include <cstdint>
#include <string>
#include <vector>

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
// Where pictures come from: the X server, or the desktop's screen-cast portal
// (Wayland desktops). HX_CaptureBackend.h decides which one a process uses.
enum HX_CaptureBackend : int32_t { kBackendX11 = 1, kBackendPortal = 2 };

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
  std::string m_strPublishUrl;  // srt://, rist:// or rtmp:// media server; empty = none
  std::string m_strCaptureBackend = "auto";  // auto, x11 or portal (config.ini)
  int32_t m_iCaptureBackend = kBackendX11;   // the back-end in use; set at start-up
};

class HX_ServerConfiguration : public HX_BaseConfiguration, public HX_ServerSettings {
 public:
  static HX_ServerConfiguration* instance();

  // loadNormalConfig: 0; -1 when the file cannot be read; kUnparsable when
  // it is not an INI file with a [config] section (binary data, no section).
  // Both leave the settings as they were.
  static constexpr int kUnparsable = -2;

  // Reads every key of HX_ConfigKeys. A value the key does not accept, and a
  // line longer than the INI reader takes, leave the field as it was and add
  // one operator text to loadProblems (logged as a WARNING, or an ERROR for
  // the line that would have been cut).
  int loadNormalConfig() override;
  bool isConfigChanged() override;
  // Writes the fifteen keys (and PublishUrl and CaptureBackend when they are
  // not their defaults) to a temporary file renamed over config.ini.
  bool saveNormalConfig() override;

  void getOutputSize(int32_t* width, int32_t* height) const;
  void setOutputSize(int32_t width, int32_t height);
  void getCaptureRegion(int32_t* left, int32_t* top, int32_t* right, int32_t* bottom) const;
  void setCaptureRegion(int32_t left, int32_t top, int32_t right, int32_t bottom);
  std::string getRecordPath() const { return m_strRecordPath; }
  std::string getTargetName() const { return m_strTargetName; }

  // What the last loadNormalConfig refused, one text per key; the dialog and
  // the headless runner show them to the operator.
  const std::vector<std::string>& loadProblems() const { return m_vecLoadProblems; }

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
  std::vector<std::string> m_vecLoadProblems;
  mutable HX_Mutex m_mutex;
  HX_Rect m_stCaptureRegion HX_GUARDED_BY(m_mutex);
  int32_t m_iOutputWidth HX_GUARDED_BY(m_mutex) = 1920;
  int32_t m_iOutputHeight HX_GUARDED_BY(m_mutex) = 1080;
};
