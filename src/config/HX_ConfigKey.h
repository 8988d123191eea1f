#pragma once
// The config.ini keys that fill the settings block: each row names its field,
// how its text is read and which values are accepted. Loading, saving and
// change detection all walk HX_ConfigKeys(), so a new key is one new row.
// The table is built once and only read afterwards; any thread may read it.
#include <cstdint>
#include <string>
#include <vector>

#include "config/HX_ServerConfiguration.h"

class HX_ConfigKey {
 public:
  // A whole number from |min| to |max| (integers use automatic base detection
  // and a numeric prefix, "0x1e" and "30fps" both read as 30).
  static HX_ConfigKey Int(const char* name, int32_t HX_ServerSettings::*field, int64_t min,
                          int64_t max);
  // A whole number from the list |allowed| only.
  static HX_ConfigKey OneOf(const char* name, int32_t HX_ServerSettings::*field,
                            std::vector<int32_t> allowed);
  // true/yes/on/1 or false/no/off/0, in any case.
  static HX_ConfigKey Bool(const char* name, bool HX_ServerSettings::*field);
  // Text that |accept| takes; |expected| says what that is, for the warning.
  static HX_ConfigKey Text(const char* name, std::string HX_ServerSettings::*field,
                           bool (*accept)(const std::string&), const char* expected);
  // Leaves the key out of isConfigChanged (the value only matters at run start).
  HX_ConfigKey NotCompared() const;
  // Leaves the key out of the saved file while it holds its default value.
  HX_ConfigKey OmittedWhenDefault() const;
  bool omittedWhenDefault() const { return m_bOmittedWhenDefault; }

  const char* name() const { return m_pszName; }
  // Reads |text| (the key's value in the file) into |settings|. Empty when the
  // value was taken; otherwise the field keeps its value and the result is the
  // operator text naming the key, the refused value and the value kept.
  std::string Apply(const std::string& text, HX_ServerSettings* settings) const;
  // The field's value as saved in config.ini.
  std::string Render(const HX_ServerSettings& settings) const;
  // True when the field differs and the key counts as a change.
  bool Changed(const HX_ServerSettings& now, const HX_ServerSettings& before) const;

 private:
  enum Kind { kInt, kBool, kText };
  HX_ConfigKey(const char* name, Kind kind) : m_pszName(name), m_eKind(kind) {}
  bool Accepts(int64_t value) const;
  std::string Range() const;

  const char* m_pszName;
  Kind m_eKind;
  int32_t HX_ServerSettings::*m_pInt = nullptr;
  bool HX_ServerSettings::*m_pBool = nullptr;
  std::string HX_ServerSettings::*m_pText = nullptr;
  int64_t m_llMin = 0;
  int64_t m_llMax = 0;
  std::vector<int32_t> m_vecAllowed;  // non-empty: only these numbers
  bool (*m_pfnAccept)(const std::string&) = nullptr;
  const char* m_pszExpected = "";
  bool m_bCompared = true;
  bool m_bOmittedWhenDefault = false;
};

// The keys after min_log_level and enable_console_log, in the order
// saveNormalConfig writes them.
const std::vector<HX_ConfigKey>& HX_ConfigKeys();
