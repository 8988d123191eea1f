#pragma once
// The X11 pointer: its position by QueryPointer on every poll, its image by
// XFixes GetCursorImage only after an XFixes cursor-notify event (or a serial
// that differs from the one held). Own connection; one thread at a time.
#include <memory>

#include "platform/x11/HX_ICursorSource.h"

class HX_X11Connection;

class HX_X11CursorSource : public HX_ICursorSource {
 public:
  HX_X11CursorSource();
  ~HX_X11CursorSource() override;

  int open() override;
  void close() override;
  int poll(HX_CursorState* state) override;

  // Images fetched since open (benchmarks and tests check that a still pointer costs none).
  int imageFetches() const { return m_iFetches; }

 private:
  // Reads queued events; true when one announced another cursor.
  bool DrainEvents();
  int FetchImage(HX_CursorState* state);

  std::unique_ptr<HX_X11Connection> m_pConn;
  uint8_t m_uiXfixesEventBase = 0;
  bool m_bImageStale = true;
  std::shared_ptr<const HX_CursorImage> m_pImage;
  int m_iFetches = 0;
};
