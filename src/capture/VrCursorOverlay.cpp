#include "capture/VrCursorOverlay.h"

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"

VrCursorOverlay::VrCursorOverlay(std::unique_ptr<HX_ICursorSource> source)
    : m_pSource(std::move(source)) {}

VrCursorOverlay::~VrCursorOverlay() { Stop(); }

void VrCursorOverlay::Start() {
  m_bEnabled = false;
  if (!HX_ServerConfiguration::instance()->m_bCaptureCursor) return;
  if (!m_pSource) m_pSource = HX_CreateCursorSource();
  if (m_pSource->open() != 0) {
    HX_LOG_WARNING("the mouse pointer cannot be read; pictures are taken without it");
    return;
  }
  m_stNow = m_stDrawn = HX_CursorState();
  m_bPollFailed = false;
  m_bEnabled = true;
}

void VrCursorOverlay::Stop() {
  if (m_pSource) m_pSource->close();
  m_bEnabled = false;
}

bool VrCursorOverlay::Poll() {
  if (!m_bEnabled) return false;
  HX_CursorState state;
  if (m_pSource->poll(&state) != 0) {
    // A lost display is the source's to report; the pointer just stays out.
    if (!m_bPollFailed) HX_LOG_WARNING("the mouse pointer cannot be read now");
    m_bPollFailed = true;
    state = HX_CursorState();
    if (m_pSource->open() == 0) m_bPollFailed = false;
  } else {
    m_bPollFailed = false;
  }
  m_stNow = state;
  const bool shown = m_stNow.visible && m_stNow.image;
  const bool wasShown = m_stDrawn.visible && m_stDrawn.image;
  if (shown != wasShown) return true;
  if (!shown) return false;
  return m_stNow.x != m_stDrawn.x || m_stNow.y != m_stDrawn.y ||
         m_stNow.image->serial != m_stDrawn.image->serial;
}

void VrCursorOverlay::Draw(VrMediaFrame& picture, int32_t originX, int32_t originY) {
  m_stDrawn = m_stNow;
  if (!m_bEnabled || picture.m_pData == nullptr || !m_stNow.visible || !m_stNow.image) {
    m_painter.Forget();
    return;
  }
  m_painter.Paint(picture.m_pData, picture.m_iWidth * 4, picture.m_iWidth, picture.m_iHeight,
                  *m_stNow.image, m_stNow.x - originX, m_stNow.y - originY);
}

void VrCursorOverlay::Redraw(VrMediaFrame& copy, int32_t originX, int32_t originY) {
  m_painter.Restore(copy.m_pData, copy.m_iWidth * 4, copy.m_iWidth, copy.m_iHeight);
  Draw(copy, originX, originY);
}
