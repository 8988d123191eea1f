#pragma once
// The X client half of the frame-on-X11 test: shows a region frame at a given
// window position on the display named by DISPLAY (platform xcb), prints
// "READY x y w h" with its capture rectangle once the frame is on screen and
// "REGION l t r b" whenever the configuration's capture region changes, and
// stays until it is killed (or 60 s pass).
constexpr const char* kRegionFrameProbeArg = "--region-frame-probe";

// argv: <binary> --region-frame-probe X Y. Returns the process exit code.
int RunRegionFrameProbe(int argc, char** argv);
