#include "capture/VrWindowList.h"

#include <memory>

#include "log/HX_Log.h"

namespace {
HX_Mutex g_instanceMutex;
VrWindowList* g_pInstance HX_GUARDED_BY(g_instanceMutex) = nullptr;
}  // namespace

VrWindowList* VrWindowList::instance() {
  HX_LockGuard lock(g_instanceMutex);
  if (g_pInstance == nullptr) g_pInstance = new VrWindowList();
  return g_pInstance;
}

void VrWindowList::release() {
  HX_LockGuard lock(g_instanceMutex);
  delete g_pInstance;
  g_pInstance = nullptr;
}

std::string VrWindowList::Truncate(const std::string& text) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // Count lead bytes only, so a character is never cut in half.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++chars > kMaxTextChars) {
      return text.substr(0, i);
    }
  }
  return text;
}

bool VrWindowList::Capturable(const HX_TopLevelWindow& w) {
  // The order of the tests matters only for readability; all must hold.
  if (w.isShellWindow) return false;
  if (w.title.empty()) return false;
  if (!w.visible) return false;
  if (!w.ownRoot) return false;
  if (w.disabled) return false;
  if (w.cloaked == 2) return false;
  return w.outerWidth > 0 && w.outerHeight > 0;
}

int VrWindowList::refill() {
  std::unique_ptr<HX_IWindowInfo> source = HX_CreateWindowInfo();
  if (source->open() != 0) {
    HX_LockGuard lock(m_mutex);
    m_iSelectedIndex = -1;
    m_entries.clear();
    HX_LOG_ERROR("the window list cannot be filled: no display");
    return -1;
  }
  return refill(*source);
}

int VrWindowList::refill(HX_IWindowInfo& source) {
  std::vector<HX_TopLevelWindow> windows;
  const int rc = source.listTopLevel(&windows);
  std::vector<VrWindowEntry> entries;
  for (const HX_TopLevelWindow& w : windows) {
    if (!Capturable(w)) continue;
    if (w.title.empty() || w.className.empty() || w.id == 0) continue;
    entries.push_back(VrWindowEntry{Truncate(w.title), Truncate(w.className), w.id});
  }
  HX_LockGuard lock(m_mutex);
  m_iSelectedIndex = -1;
  m_entries = std::move(entries);
  if (rc != 0) {
    HX_LOG_ERROR("the top-level windows cannot be listed (%d)", rc);
    return -1;
  }
  return 0;
}

void VrWindowList::setSelectedIndex(int32_t index) {
  HX_LockGuard lock(m_mutex);
  m_iSelectedIndex = index;
}

HX_WindowId VrWindowList::getSelectedWindow() const {
  HX_LockGuard lock(m_mutex);
  if (m_iSelectedIndex < 0 || m_iSelectedIndex >= static_cast<int32_t>(m_entries.size())) return 0;
  return m_entries[m_iSelectedIndex].m_uiWindow;
}

int VrWindowList::copyEntries(std::vector<VrWindowEntry>* entries) const {
  HX_LockGuard lock(m_mutex);
  if (m_entries.empty()) return -1;
  *entries = m_entries;
  return 0;
}
