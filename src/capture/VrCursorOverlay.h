#pragma once
// The pointer in a screen source's pictures: asks the display where the
// pointer is (its image only when it changed) and draws it into each picture
// the source makes, so a pointer moving over a still desktop still yields new
// pictures. Owned by one screen source; Start/Stop on the source's start and
// stop, the rest on its ticks.
#include <cstdint>
#include <memory>

#include "capture/VrCursorPainter.h"
#include "core/VrMediaFrame.h"
#include "platform/x11/HX_ICursorSource.h"

class VrCursorOverlay {
 public:
  // Null: the X11 pointer.
  explicit VrCursorOverlay(std::unique_ptr<HX_ICursorSource> source = nullptr);
  ~VrCursorOverlay();
  VrCursorOverlay(const VrCursorOverlay&) = delete;
  VrCursorOverlay& operator=(const VrCursorOverlay&) = delete;

  // On when the configuration's CaptureCursor is set and the pointer can be
  // read (otherwise one WARNING and pictures without it).
  void Start();
  void Stop();
  bool enabled() const { return m_bEnabled; }

  // Asks where the pointer is now. True when it moved, changed its image,
  // appeared or vanished since the last picture drawn.
  bool Poll();
  // Draws the pointer (as of the last Poll) into a freshly captured BGRA
  // picture whose top-left pixel is desktop (originX, originY).
  void Draw(VrMediaFrame& picture, int32_t originX, int32_t originY);
  // The same into a copy of the last picture drawn: first puts back what the
  // pointer covered there.
  void Redraw(VrMediaFrame& copy, int32_t originX, int32_t originY);

 private:
  std::unique_ptr<HX_ICursorSource> m_pSource;
  bool m_bEnabled = false;
  bool m_bPollFailed = false;  // one log line per episode
  HX_CursorState m_stNow;
  HX_CursorState m_stDrawn;  // what the last picture shows
  VrCursorPainter m_painter;
};
