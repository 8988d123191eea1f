#include "config/HX_CaptureBackend.h"

#include <gtest/gtest.h>

TEST(HX_CaptureBackend, CommandLineThenConfigThenTheSessionDecide) {
  struct Case {
    const char* commandLine;
    const char* configured;
    const char* waylandDisplay;  // null: unset
    const char* sessionType;
    HX_CaptureBackend expected;
    const char* reason;
  };
  const Case cases[] = {
      // The session decides when nothing is forced.
      {"", "auto", "wayland-0", "wayland", kBackendPortal,
       "a Wayland session (WAYLAND_DISPLAY \"wayland-0\", XDG_SESSION_TYPE \"wayland\")"},
      {"", "auto", nullptr, "x11", kBackendX11, "not a Wayland session (WAYLAND_DISPLAY unset, XDG_SESSION_TYPE \"x11\")"},
      {"", "auto", nullptr, nullptr, kBackendX11, "not a Wayland session (WAYLAND_DISPLAY unset, XDG_SESSION_TYPE unset)"},
      // Half a Wayland session is none: a compositor nested in an X11 session,
      // or a Wayland login reached over ssh without its display.
      {"", "auto", "wayland-1", "x11", kBackendX11, nullptr},
      {"", "auto", "wayland-1", nullptr, kBackendX11, nullptr},
      {"", "auto", "", "wayland", kBackendX11, nullptr},
      {"", "auto", nullptr, "wayland", kBackendX11, nullptr},
      {"", "auto", "wayland-1", "Wayland", kBackendX11, nullptr},
      // config.ini forces one either way.
      {"", "x11", "wayland-0", "wayland", kBackendX11, "CaptureBackend=x11 in config.ini"},
      {"", "portal", nullptr, "x11", kBackendPortal, "CaptureBackend=portal in config.ini"},
      // The command line beats both.
      {"x11", "portal", "wayland-0", "wayland", kBackendX11, "--capture x11 on the command line"},
      {"portal", "x11", nullptr, nullptr, kBackendPortal, "--capture portal on the command line"},
      {"portal", "auto", nullptr, "x11", kBackendPortal, nullptr},
      // Text that names no back-end forces nothing.
      {"auto", "bogus", "wayland-0", "wayland", kBackendPortal, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "'" << c.commandLine << "' '" << c.configured << "' "
                                      << (c.waylandDisplay ? c.waylandDisplay : "(unset)") << " "
                                      << (c.sessionType ? c.sessionType : "(unset)"));
    const HX_CaptureBackendChoice choice =
        HX_ChooseCaptureBackend(c.commandLine, c.configured, c.waylandDisplay, c.sessionType);
    EXPECT_EQ(choice.m_eBackend, c.expected);
    if (c.reason != nullptr) {
      EXPECT_EQ(choice.m_strReason, c.reason);
    }
    EXPECT_FALSE(choice.m_strReason.empty());
  }
}

TEST(HX_CaptureBackend, OnlyTheThreeNamesAreValues) {
  for (const char* good : {"auto", "x11", "portal"}) EXPECT_TRUE(HX_IsCaptureBackendName(good)) << good;
  for (const char* bad : {"", "X11", "wayland", "portal ", "pipewire", "autox"}) {
    EXPECT_FALSE(HX_IsCaptureBackendName(bad)) << bad;
  }
  EXPECT_STREQ(HX_CaptureBackendName(kBackendPortal), "portal");
  EXPECT_STREQ(HX_CaptureBackendName(kBackendX11), "x11");
}
