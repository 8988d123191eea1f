#pragma once
// The screen-cast portal's restore tokens kept between runs: one per capture
// kind (monitor, window) in one small file of the base directory, so a later
// run — a headless one included — starts without asking the user again.
// The file is private to the user (mode 0600) and replaced atomically.
// Not synchronised: use from one thread at a time (the capture session's).
#include <string>

#include "platform/pipewire/HX_ScreenCastGrant.h"

class HX_ScreenCastTokenStore {
 public:
  static constexpr int kBadToken = -1;    // the token has characters the file cannot keep
  static constexpr int kWriteFailed = -2; // the file could not be written or replaced

  // Keeps the tokens in |path|.
  explicit HX_ScreenCastTokenStore(std::string path);
  // The store in the base directory: <base>/screencast-token.ini.
  static HX_ScreenCastTokenStore InBaseDirectory();

  // The token saved for |kind|, or empty (no file, no entry, unreadable file).
  std::string Load(HX_ScreenCastRequest::Kind kind) const;
  // Saves |token| for |kind|, keeping the other kind's token; an empty token
  // forgets the saved one. 0 or one of the codes above (logged).
  int Save(HX_ScreenCastRequest::Kind kind, const std::string& token) const;

  const std::string& path() const { return m_strPath; }

 private:
  std::string m_strPath;
};
