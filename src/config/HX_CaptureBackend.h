#pragma once
// Which screen-capture back-end a process uses: the X server's sources, or the
// desktop's screen-cast portal, which is the only way to see a Wayland
// desktop. A pure decision from the command line, config.ini's CaptureBackend
// and the session's environment, so it is the same on every machine that
// tests it. Any thread may call these; they touch no global state.
#include <cstdint>
#include <string>

#include "config/HX_ServerConfiguration.h"

// "auto", "x11" or "portal": the values of CaptureBackend.
bool HX_IsCaptureBackendName(const std::string& text);

struct HX_CaptureBackendChoice {
  HX_CaptureBackend m_eBackend = kBackendX11;
  std::string m_strReason;  // why, for the log and the console
};

// The first of these that names a back-end wins: |commandLine| (--capture,
// "x11" or "portal"; empty when not given), |configured| (CaptureBackend;
// "auto" defers), then the session: a Wayland session (WAYLAND_DISPLAY set and
// XDG_SESSION_TYPE "wayland") uses the portal, anything else the X server.
// |waylandDisplay| and |sessionType| are the variables' values, null when unset.
HX_CaptureBackendChoice HX_ChooseCaptureBackend(const std::string& commandLine,
                                                const std::string& configured,
                                                const char* waylandDisplay,
                                                const char* sessionType);

// "x11" or "portal".
const char* HX_CaptureBackendName(int32_t backend);
