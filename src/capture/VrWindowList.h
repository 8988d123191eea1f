#pragma once
// The process-wide list of top-level windows the operator may pick for window
// capture, and the picked one. The UI thread refills it and sets the
// selection; capture sources read the selected window when they start. Every
// access takes the list's own mutex, so any thread may call it.
#include <cstdint>
#include <string>
#include <vector>

#include "core/HX_Mutex.h"
#include "platform/x11/HX_IWindowInfo.h"

struct VrWindowEntry {
  std::string m_strTitle;      // UTF-8, at most kMaxTextChars characters
  std::string m_strClassName;  // UTF-8, at most kMaxTextChars characters
  HX_WindowId m_uiWindow = 0;
};

class VrWindowList {
 public:
  static constexpr size_t kMaxTextChars = 1024;

  // Creates the list on first use.
  static VrWindowList* instance();
  // Destroys the list (shutdown); a later instance() makes a new, empty one.
  static void release();

  // Rebuilds the entries from the display, topmost window first, and clears
  // the selection. 0, or -1 when the display cannot be asked (the list is
  // then empty).
  int refill();
  // The same from |source|, which must be open.
  int refill(HX_IWindowInfo& source);
  void setSelectedIndex(int32_t index);
  // The selected window, or 0 when nothing (or nothing valid) is selected.
  HX_WindowId getSelectedWindow() const;
  // Copies the entries: 0, or -1 when the list is empty.
  int copyEntries(std::vector<VrWindowEntry>* entries) const;

  VrWindowList(const VrWindowList&) = delete;
  VrWindowList& operator=(const VrWindowList&) = delete;

 private:
  VrWindowList() = default;
  // Keeps at most kMaxTextChars UTF-8 characters.
  static std::string Truncate(const std::string& text);
  static bool Capturable(const HX_TopLevelWindow& window);

  mutable HX_Mutex m_mutex;
  std::vector<VrWindowEntry> m_entries HX_GUARDED_BY(m_mutex);
  int32_t m_iSelectedIndex HX_GUARDED_BY(m_mutex) = -1;
};
