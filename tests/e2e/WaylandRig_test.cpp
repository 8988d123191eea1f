// The headless Wayland desktop that the Wayland capture tests run on: it
// comes up with the screen-cast portal on its bus, answers Pulse clients
// through PipeWire, and leaves no process behind.
#include "support/WaylandRig.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/TempDir.h"

namespace {
int PeakOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  int peak = 0;
  int16_t v = 0;
  while (in.read(reinterpret_cast<char*>(&v), 2)) peak = std::max(peak, std::abs(static_cast<int>(v)));
  return peak;
}
}  // namespace

TEST(WaylandRig, ComesUpWithThePortalAndPipeWireSoundAndGoesDownCompletely) {
  OSTREL_SKIP_WITHOUT_WAYLAND_RIG();
  TempDir dir;
  std::vector<pid_t> pids;
  {
    WaylandRig rig(dir.path());
    ASSERT_TRUE(rig.ok()) << rig.error();
    std::printf("%s", rig.upLog().c_str());  // each step, and the time to come up
    EXPECT_EQ(rig.Get("XDG_SESSION_TYPE"), "wayland");
    EXPECT_EQ(rig.Get("XDG_RUNTIME_DIR"), rig.dir() + "/rt");

    std::string out;
    ASSERT_EQ(rig.Run("swaymsg -t get_outputs | tr -d ' \n'", &out), 0);
    EXPECT_NE(out.find("\"name\":\"HEADLESS-1\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"current_mode\":{\"width\":1280,\"height\":720"), std::string::npos) << out;
    // The desktop portal found the wlroots back-end: it offers screen casts.
    ASSERT_EQ(rig.Run("busctl --user get-property org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop "
                      "org.freedesktop.portal.ScreenCast AvailableSourceTypes",
                      &out),
              0);
    EXPECT_EQ(out.rfind("u ", 0), 0u) << out;

    // Pulse clients (the sound capture is one) talk to PipeWire's Pulse
    // server: a tone played into the default sink comes out of its monitor.
    ASSERT_EQ(rig.Run("pactl info", &out), 0);
    EXPECT_NE(out.find("on PipeWire"), std::string::npos) << out;
    EXPECT_NE(out.find("Default Sink: rig_sink"), std::string::npos) << out;
    ASSERT_TRUE(rig.PlayTone(1000, 3));
    // parec's default fragment is two seconds of sound: ask for small ones.
    rig.Run("timeout 2 parec --raw --format=s16le --rate=48000 --channels=2 --latency-msec=20 "
            "-d @DEFAULT_MONITOR@ > '" + dir.file("heard.raw") + "'");
    EXPECT_GT(PeakOf(dir.file("heard.raw")), 4000);  // the tone's amplitude is 8000

    std::ifstream list(rig.dir() + "/pids");
    for (pid_t pid; list >> pid; list.ignore(1 << 10, '\n')) pids.push_back(pid);
    EXPECT_GE(pids.size(), 7u);  // bus, PipeWire, WirePlumber, Pulse server, compositor, portal, back-end
  }
  // Everything 'up' started is gone (the PIDs could be reused only by then).
  for (pid_t pid : pids) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const bool gone = line.empty() || line.find(") Z ") != std::string::npos;
    EXPECT_TRUE(gone) << "pid " << pid << ": " << line;
  }
}
