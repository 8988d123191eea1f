#include "config/HX_ServerConfiguration.h"

#include <INIReader.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/HX_Log.h"
#include "platform/HX_Paths.h"

HX_ServerConfiguration* HX_ServerConfiguration::instance() {
  static HX_ServerConfiguration config;
  return &config;
}

HX_ServerConfiguration::HX_ServerConfiguration() { resetToDefaults(); }

std::string HX_ServerConfiguration::DefaultRecordPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return HX_GetBaseDirectory();
  return std::string(home) + "/Videos";
}

void HX_ServerConfiguration::resetToDefaults() {
  static_cast<HX_ServerSettings&>(*this) = HX_ServerSettings();
  m_strRecordPath = DefaultRecordPath();
  m_stSnapshot = *this;
  m_strMinLogLevelText = "debug";
  m_strEnableConsoleLogText = "true";
  HX_LockGuard lock(m_mutex);
  m_stCaptureRegion = HX_Rect();
  m_iOutputWidth = 1920;
  m_iOutputHeight = 1080;
}

int HX_ServerConfiguration::loadNormalConfig() {
  HX_LOG_ERROR("================ Ostrel server start ================");
  INIReader reader(configFilePath());
  if (reader.ParseError() < 0) {
    std::fputs("HX_ServerConfiguration, reader.ParseError!\n", stderr);
    return -1;
  }
  const char* s = "config";
  m_strMinLogLevelText = reader.Get(s, "min_log_level", "debug");
  m_strEnableConsoleLogText = reader.Get(s, "enable_console_log", "true");
  m_iFps = reader.GetInteger(s, "FPS", m_iFps);
  m_iEncodeSample = reader.GetInteger(s, "EncodeSample", m_iEncodeSample);
  m_iEncodeCache = reader.GetInteger(s, "EncodeCache", m_iEncodeCache);
  m_iEncodeType = reader.GetInteger(s, "EncodeType", m_iEncodeType);
  m_bAudioEnable = reader.GetBoolean(s, "AudioEnable", m_bAudioEnable);
  m_iAudioSample = reader.GetInteger(s, "AudioSample", m_iAudioSample);
  m_iAudioBitRate = reader.GetInteger(s, "AudioBitRate", m_iAudioBitRate);
  m_strRecordPath = reader.Get(s, "RecordPath", m_strRecordPath);
  m_iRecordSplitType = reader.GetInteger(s, "RecordSplitType", m_iRecordSplitType);
  m_bSyncRecord = reader.GetBoolean(s, "SyncRecord", m_bSyncRecord);
  m_iPushFlowType = reader.GetInteger(s, "PushFlowType", m_iPushFlowType);
  m_iPrivatePort = reader.GetInteger(s, "PrivatePort", m_iPrivatePort);
  m_bCaptureCursor = reader.GetBoolean(s, "CaptureCursor", m_bCaptureCursor);
  m_stSnapshot = *this;
  return 0;
}

bool HX_ServerConfiguration::isConfigChanged() {
  const HX_ServerSettings& o = m_stSnapshot;
  return m_iFps != o.m_iFps || m_iEncodeSample != o.m_iEncodeSample ||
         m_iEncodeCache != o.m_iEncodeCache || m_iEncodeType != o.m_iEncodeType ||
         m_bAudioEnable != o.m_bAudioEnable || m_iAudioSample != o.m_iAudioSample ||
         m_iAudioBitRate != o.m_iAudioBitRate || m_strRecordPath != o.m_strRecordPath ||
         m_iRecordSplitType != o.m_iRecordSplitType || m_bSyncRecord != o.m_bSyncRecord ||
         m_bCaptureCursor != o.m_bCaptureCursor;
}

std::string HX_ServerConfiguration::renderConfigText() const {
  // The logging keys are written under the names the loaders read, so a saved
  // file keeps the operator's logging settings.
  std::string text = "[config]\n";
  auto add = [&text](const char* key, const std::string& value) {
    text += key;
    text += '=';
    text += value;
    text += '\n';
  };
  add("min_log_level", m_strMinLogLevelText);
  add("enable_console_log", m_strEnableConsoleLogText);
  add("FPS", std::to_string(m_iFps));
  add("EncodeSample", std::to_string(m_iEncodeSample));
  add("EncodeCache", std::to_string(m_iEncodeCache));
  add("EncodeType", std::to_string(m_iEncodeType));
  add("AudioEnable", m_bAudioEnable ? "1" : "0");
  add("AudioSample", std::to_string(m_iAudioSample));
  add("AudioBitRate", std::to_string(m_iAudioBitRate));
  add("RecordPath", m_strRecordPath);
  add("RecordSplitType", std::to_string(m_iRecordSplitType));
  add("SyncRecord", m_bSyncRecord ? "1" : "0");
  add("PushFlowType", std::to_string(m_iPushFlowType));
  add("PrivatePort", std::to_string(m_iPrivatePort));
  add("CaptureCursor", m_bCaptureCursor ? "1" : "0");
  return text;
}

bool HX_ServerConfiguration::saveNormalConfig() {
  const std::string path = configFilePath();
  const std::string tmp = path + ".tmp";
  const std::string text = renderConfigText();
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    HX_LOG_ERROR("cannot create %s: %s", tmp.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    HX_LOG_ERROR("cannot write %s: %s", tmp.c_str(), std::strerror(errno));
    std::remove(tmp.c_str());
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    HX_LOG_ERROR("cannot replace %s: %s", path.c_str(), std::strerror(errno));
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

void HX_ServerConfiguration::getOutputSize(int32_t* width, int32_t* height) const {
  HX_LockGuard lock(m_mutex);
  *width = m_iOutputWidth;
  *height = m_iOutputHeight;
}

void HX_ServerConfiguration::setOutputSize(int32_t width, int32_t height) {
  HX_LockGuard lock(m_mutex);
  m_iOutputWidth = width;
  m_iOutputHeight = height;
}

void HX_ServerConfiguration::getCaptureRegion(int32_t* left, int32_t* top, int32_t* right,
                                              int32_t* bottom) const {
  HX_LockGuard lock(m_mutex);
  *left = m_stCaptureRegion.left;
  *top = m_stCaptureRegion.top;
  *right = m_stCaptureRegion.right;
  *bottom = m_stCaptureRegion.bottom;
}

void HX_ServerConfiguration::setCaptureRegion(int32_t left, int32_t top, int32_t right,
                                              int32_t bottom) {
  HX_LockGuard lock(m_mutex);
  m_stCaptureRegion = HX_Rect{left, top, right, bottom};
}
