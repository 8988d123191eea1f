#include "config/HX_CaptureBackend.h"

namespace {
bool Named(const std::string& text, HX_CaptureBackend* backend) {
  if (text == "x11") *backend = kBackendX11;
  else if (text == "portal") *backend = kBackendPortal;
  else return false;
  return true;
}

std::string Shown(const char* value) { return value == nullptr ? "unset" : "\"" + std::string(value) + "\""; }
}  // namespace

bool HX_IsCaptureBackendName(const std::string& text) {
  HX_CaptureBackend ignored;
  return text == "auto" || Named(text, &ignored);
}

HX_CaptureBackendChoice HX_ChooseCaptureBackend(const std::string& commandLine,
                                                const std::string& configured,
                                                const char* waylandDisplay,
                                                const char* sessionType) {
  HX_CaptureBackendChoice choice;
  if (Named(commandLine, &choice.m_eBackend)) {
    choice.m_strReason = "--capture " + commandLine + " on the command line";
    return choice;
  }
  if (Named(configured, &choice.m_eBackend)) {
    choice.m_strReason = "CaptureBackend=" + configured + " in config.ini";
    return choice;
  }
  const bool wayland = waylandDisplay != nullptr && waylandDisplay[0] != '\0' && sessionType != nullptr &&
                       std::string(sessionType) == "wayland";
  choice.m_eBackend = wayland ? kBackendPortal : kBackendX11;
  choice.m_strReason = std::string(wayland ? "a Wayland session" : "not a Wayland session") +
                       " (WAYLAND_DISPLAY " + Shown(waylandDisplay) + ", XDG_SESSION_TYPE " +
                       Shown(sessionType) + ")";
  return choice;
}

const char* HX_CaptureBackendName(int32_t backend) { return backend == kBackendPortal ? "portal" : "x11"; }
