#include "config/HX_ConfigKey.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "config/HX_CaptureBackend.h"

namespace {
// The sampling frequencies an AAC stream can signal (and FFmpeg's AAC encoder
// opens); any other rate fails the encoder and the clients.
const std::vector<int32_t> kAacSampleRates = {7350,  8000,  11025, 12000, 16000, 22050, 24000,
                                              32000, 44100, 48000, 64000, 88200, 96000};

// The encoder and the capture timer take frames per second up to this many.
constexpr int64_t kMaxFps = 60;
// The settings dialog edits the video bit rate in whole kbit/s.
constexpr int64_t kMinVideoBitRate = 1000;
constexpr int64_t kMaxVideoBitRate = 2147483000;
// What FFmpeg's AAC encoder opens for stereo at the rates above.
constexpr int64_t kMinAudioBitRate = 8000;
constexpr int64_t kMaxAudioBitRate = 320000;
// The settings dialog's port edit takes 1..65534.
constexpr int64_t kMaxPort = 65534;

// A key given twice reads as both values joined by a newline: no path.
bool IsAbsolutePath(const std::string& text) {
  return !text.empty() && text[0] == '/' && text.find('\n') == std::string::npos;
}

// Empty (no publishing) or an address of a protocol the publisher speaks;
// the rest of the address is checked when a run starts.
bool IsPublishAddress(const std::string& text) {
  if (text.empty()) return true;
  if (text.find('\n') != std::string::npos) return false;
  for (const char* scheme : {"srt://", "rist://", "rtmp://", "rtmps://"}) {
    if (text.rfind(scheme, 0) == 0) return true;
  }
  return false;
}

// The text to int64 rule of the INI reader: automatic base, numeric prefix.
bool ParseInteger(const std::string& text, int64_t* value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(begin, &end, 0);
  if (end == begin || errno == ERANGE) return false;
  *value = v;
  return true;
}

bool ParseBoolean(const std::string& text, bool* value) {
  for (const char* t : {"true", "yes", "on", "1"}) {
    if (strcasecmp(text.c_str(), t) == 0) return *value = true, true;
  }
  for (const char* f : {"false", "no", "off", "0"}) {
    if (strcasecmp(text.c_str(), f) == 0) return *value = false, true;
  }
  return false;
}
}  // namespace

HX_ConfigKey HX_ConfigKey::Int(const char* name, int32_t HX_ServerSettings::*field, int64_t min,
                               int64_t max) {
  HX_ConfigKey key(name, kInt);
  key.m_pInt = field;
  key.m_llMin = min;
  key.m_llMax = max;
  return key;
}

HX_ConfigKey HX_ConfigKey::OneOf(const char* name, int32_t HX_ServerSettings::*field,
                                 std::vector<int32_t> allowed) {
  HX_ConfigKey key(name, kInt);
  key.m_pInt = field;
  key.m_vecAllowed = std::move(allowed);
  return key;
}

HX_ConfigKey HX_ConfigKey::Bool(const char* name, bool HX_ServerSettings::*field) {
  HX_ConfigKey key(name, kBool);
  key.m_pBool = field;
  return key;
}

HX_ConfigKey HX_ConfigKey::Text(const char* name, std::string HX_ServerSettings::*field,
                                bool (*accept)(const std::string&), const char* expected) {
  HX_ConfigKey key(name, kText);
  key.m_pText = field;
  key.m_pfnAccept = accept;
  key.m_pszExpected = expected;
  return key;
}

HX_ConfigKey HX_ConfigKey::NotCompared() const {
  HX_ConfigKey key = *this;
  key.m_bCompared = false;
  return key;
}

HX_ConfigKey HX_ConfigKey::OmittedWhenDefault() const {
  HX_ConfigKey key = *this;
  key.m_bOmittedWhenDefault = true;
  return key;
}

bool HX_ConfigKey::Accepts(int64_t value) const {
  if (!m_vecAllowed.empty()) {
    return std::find(m_vecAllowed.begin(), m_vecAllowed.end(), value) != m_vecAllowed.end();
  }
  return value >= m_llMin && value <= m_llMax;
}

std::string HX_ConfigKey::Range() const {
  switch (m_eKind) {
    case kBool:
      return "1 or 0, true or false, yes or no, on or off";
    case kText:
      return m_pszExpected;
    case kInt:
      break;
  }
  if (m_vecAllowed.empty()) return std::to_string(m_llMin) + ".." + std::to_string(m_llMax);
  std::string list = "one of ";
  for (size_t i = 0; i < m_vecAllowed.size(); ++i) {
    list += (i == 0 ? "" : ", ") + std::to_string(m_vecAllowed[i]);
  }
  return list;
}

std::string HX_ConfigKey::Apply(const std::string& text, HX_ServerSettings* settings) const {
  bool taken = false;
  switch (m_eKind) {
    case kInt: {
      int64_t value = 0;
      taken = ParseInteger(text, &value) && Accepts(value);
      if (taken) settings->*m_pInt = static_cast<int32_t>(value);
      break;
    }
    case kBool:
      taken = ParseBoolean(text, &(settings->*m_pBool));
      break;
    case kText:
      taken = m_pfnAccept == nullptr || m_pfnAccept(text);
      if (taken) settings->*m_pText = text;
      break;
  }
  if (taken) return std::string();
  return std::string("config.ini: ") + m_pszName + "=" + text + " is not " + Range() + "; " +
         Render(*settings) + " is used instead";
}

std::string HX_ConfigKey::Render(const HX_ServerSettings& settings) const {
  switch (m_eKind) {
    case kInt:
      return std::to_string(settings.*m_pInt);
    case kBool:
      return settings.*m_pBool ? "1" : "0";
    case kText:
      return settings.*m_pText;
  }
  return std::string();
}

bool HX_ConfigKey::Changed(const HX_ServerSettings& now, const HX_ServerSettings& before) const {
  return m_bCompared && Render(now) != Render(before);
}

const std::vector<HX_ConfigKey>& HX_ConfigKeys() {
  using S = HX_ServerSettings;
  static const std::vector<HX_ConfigKey> keys = {
      HX_ConfigKey::Int("FPS", &S::m_iFps, 1, kMaxFps),
      HX_ConfigKey::Int("EncodeSample", &S::m_iEncodeSample, kMinVideoBitRate, kMaxVideoBitRate),
      HX_ConfigKey::Int("EncodeCache", &S::m_iEncodeCache, 0, INT32_MAX),
      HX_ConfigKey::Int("EncodeType", &S::m_iEncodeType, 1, 5),
      HX_ConfigKey::Bool("AudioEnable", &S::m_bAudioEnable),
      HX_ConfigKey::OneOf("AudioSample", &S::m_iAudioSample, kAacSampleRates),
      HX_ConfigKey::Int("AudioBitRate", &S::m_iAudioBitRate, kMinAudioBitRate, kMaxAudioBitRate),
      HX_ConfigKey::Text("RecordPath", &S::m_strRecordPath, &IsAbsolutePath, "an absolute path"),
      HX_ConfigKey::Int("RecordSplitType", &S::m_iRecordSplitType, kSplitNone, kSplitBySize),
      HX_ConfigKey::Bool("SyncRecord", &S::m_bSyncRecord),
      HX_ConfigKey::Int("PushFlowType", &S::m_iPushFlowType, kPushNDI, kPushPrivate).NotCompared(),
      HX_ConfigKey::Int("PrivatePort", &S::m_iPrivatePort, 1, kMaxPort).NotCompared(),
      HX_ConfigKey::Bool("CaptureCursor", &S::m_bCaptureCursor),
      HX_ConfigKey::Text("PublishUrl", &S::m_strPublishUrl, &IsPublishAddress,
                         "empty or an srt://, rist://, rtmp:// or rtmps:// address")
          .OmittedWhenDefault(),
      HX_ConfigKey::Text("CaptureBackend", &S::m_strCaptureBackend, &HX_IsCaptureBackendName,
                         "auto, x11 or portal")
          .OmittedWhenDefault(),
  };
  return keys;
}
