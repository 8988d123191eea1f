#pragma once
// Plain value types shared by the X11 screen layer and the capture sources.
// None of them carries an X11 type, so capture code can use them without any
// X11 header.
#include <cstdint>
#include <cstring>
#include <string>

// A top-level window handle: the X window id (0 = none).
using HX_WindowId = uint32_t;

// A rectangle in root-window (desktop) coordinates; right and bottom exclusive.
struct HX_ScreenRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  int32_t width() const { return right - left; }
  int32_t height() const { return bottom - top; }
};

// Top-down BGRA rows owned by someone else; valid until that owner's next call.
struct HX_ImageView {
  const uint8_t* data = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t pitch = 0;  // bytes from one row to the next, at least width * 4
};

// Copies |image| as top-down BGRA rows of |dstPitch| bytes into |dst|; one
// block copy when both pitches agree.
inline void HX_CopyImageRows(const HX_ImageView& image, uint8_t* dst, int32_t dstPitch) {
  const size_t rowBytes = static_cast<size_t>(image.width) * 4;
  if (dstPitch == image.pitch) {
    std::memcpy(dst, image.data, rowBytes * static_cast<size_t>(image.height));
    return;
  }
  for (int32_t row = 0; row < image.height; ++row) {
    std::memcpy(dst + static_cast<size_t>(row) * dstPitch, image.data + static_cast<size_t>(row) * image.pitch,
                rowBytes);
  }
}

// One monitor as the display reports it: the output's name, its desktop
// position, the size of its current mode before rotation, and the rotation in
// degrees (0, 90, 180 or 270; any other value means unknown).
struct HX_MonitorDesc {
  int32_t index = 0;  // position within the screen's list of active outputs
  std::string name;
  int32_t x = 0;
  int32_t y = 0;
  int32_t modeWidth = 0;
  int32_t modeHeight = 0;
  int32_t rotation = 0;
};

// What the window list needs to know of one top-level window.
struct HX_TopLevelWindow {
  HX_WindowId id = 0;
  std::string title;      // UTF-8
  std::string className;  // UTF-8
  bool isShellWindow = false;  // the desktop or a panel of the desktop shell
  bool visible = false;        // mapped, or minimised by the window manager
  bool ownRoot = true;         // false for transient and override-redirect pop-ups
  bool disabled = false;       // X11 has no disabled windows; kept for fakes
  // -1 when the workspace cannot be read, 2 when the window lives on another
  // workspace than the current one, else 0.
  int32_t cloaked = -1;
  int32_t outerWidth = 0;
  int32_t outerHeight = 0;
};
