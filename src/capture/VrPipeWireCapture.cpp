#include "capture/VrPipeWireCapture.h"

#include <libyuv/planar_functions.h>

#include <algorithm>

#include "log/HX_Log.h"
#include "platform/pipewire/HX_PipeWireStream.h"

VrPipeWireCapture::VrPipeWireCapture(std::unique_ptr<HX_IScreenCastPortal> portal, Options options)
    : m_pPortal(std::move(portal)), m_stOptions(std::move(options)) {}

VrPipeWireCapture::~VrPipeWireCapture() { stop(); }

int VrPipeWireCapture::start() {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  m_iCaptureMode = cfg->m_iCaptureMode;
  m_iCaptureMethod = cfg->m_iFullScreenMethod;
  if (SetFrameRate(cfg->m_iFps) != 0) return kBadSetup;
  const HX_Rect& crop = m_stOptions.m_stCrop;
  if (m_stOptions.m_bCrop && (crop.right - crop.left < 2 || crop.bottom - crop.top < 2)) {
    HX_LOG_ERROR("the capture region (%d,%d)-(%d,%d) is empty: choose a region of at least 2 x 2 pixels",
                 crop.left, crop.top, crop.right, crop.bottom);
    return kBadSetup;
  }
  if (!m_pPortal) {
    HX_LOG_ERROR("the Wayland screen source has no screen-cast portal to ask");
    return HX_IScreenCastPortal::kNoPortal;
  }
  m_bRetryFailing = m_bOutsideSaid = false;
  std::string error;
  const int rc = Open(false, &error);
  if (rc != 0) {
    Close();
    return rc;
  }
  m_bRunning = true;
  if (StartTicks() != 0) {
    m_bRunning = false;
    Close();
    return kBadSetup;
  }
  return 0;
}

void VrPipeWireCapture::stop() {
  StopTicks();
  m_bRunning = false;
  Close();
}

int VrPipeWireCapture::Open(bool quiet, std::string* error) {
  HX_ScreenCastGrant grant;
  if (m_stOptions.m_pGranted) {
    grant = std::move(*m_stOptions.m_pGranted);
    m_stOptions.m_pGranted.reset();
  } else {
    const int rc = m_pPortal->Open(m_stOptions.m_stRequest, &grant, error);
    if (rc != 0) return rc;  // the portal said why
  }
  std::string& token = m_stOptions.m_stRequest.m_strRestoreToken;
  if (!grant.m_strRestoreToken.empty() && grant.m_strRestoreToken != token) {
    token = grant.m_strRestoreToken;
    if (m_stOptions.m_fnSaveToken) m_stOptions.m_fnSaveToken(token);
  }
  m_iStreamX = grant.m_iX;
  m_iStreamY = grant.m_iY;
  if (!m_pStream) m_pStream = std::make_unique<HX_PipeWireStream>();
  const uint32_t node = grant.m_uiNodeId;
  if (m_pStream->Connect(std::move(grant.m_fdRemote), node) != 0) {
    *error = "the PipeWire stream of node " + std::to_string(node) + " " + m_pStream->ending();
    if (!quiet) HX_LOG_ERROR("the screen cannot be received: %s", error->c_str());
    return kNoStream;
  }
  // The new stream numbers its pictures from 1.
  m_stPicture.m_ullSequence = 0;
  return 0;
}

void VrPipeWireCapture::Close() {
  if (m_pStream) m_pStream->Disconnect();
  if (m_pPortal) m_pPortal->Close();
}

int VrPipeWireCapture::GrabNext(int64_t now, VrMediaFramePtr* picture) {
  if (!m_bRunning) return kNoChange;
  if (m_pStream->ended() || m_pStream->state() == HX_PipeWireStream::State::kUnconnected) {
    if (!lost()) {
      m_bRetryFailing = false;
      m_llNextReopen = 0;
      m_llReopenDelay = kLostRetryMs;
      MarkLost(now, "the screen cast (the PipeWire stream of node " + std::to_string(m_pStream->node()) +
                        " " + m_pStream->ending() + ")");
    }
    if (now < m_llNextReopen || !RetryDue(now)) return kNoChange;
    Close();
    std::string error;
    if (Open(true, &error) == 0) {
      m_llReopenDelay = kLostRetryMs;
      return kNoChange;
    }
    // Each reopening may put the system's chooser in front of the user (a
    // refused token asks again) and makes the portal log its failure, so
    // failed reopenings back off instead of repeating every second.
    m_llNextReopen = now + m_llReopenDelay;
    if (!m_bRetryFailing) {
      m_bRetryFailing = true;
      HX_LOG_WARNING("the screen cast cannot be opened again yet (%s); trying again after %lld ms, "
                     "then less and less often, up to every %lld ms",
                     error.c_str(), static_cast<long long>(m_llReopenDelay),
                     static_cast<long long>(kMaxReopenDelayMs));
    }
    m_llReopenDelay = std::min(m_llReopenDelay * 2, kMaxReopenDelayMs);
    return kNoChange;
  }
  if (!m_pStream->TakeLatest(&m_stPicture)) return kNoChange;
  MarkFound();
  return Deliverable(now, picture);
}

int VrPipeWireCapture::Deliverable(int64_t now, VrMediaFramePtr* picture) {
  const int32_t pw = m_stPicture.m_iWidth;
  const int32_t ph = m_stPicture.m_iHeight;
  int64_t x = 0;
  int64_t y = 0;
  int64_t w = pw;
  int64_t h = ph;
  if (m_stOptions.m_bCrop) {
    // The region is in desktop coordinates; the stream starts at its grant's position.
    const HX_Rect& crop = m_stOptions.m_stCrop;
    x = std::clamp<int64_t>(int64_t{crop.left} - m_iStreamX, 0, pw);
    y = std::clamp<int64_t>(int64_t{crop.top} - m_iStreamY, 0, ph);
    w = std::clamp<int64_t>(int64_t{crop.right} - m_iStreamX, 0, pw) - x;
    h = std::clamp<int64_t>(int64_t{crop.bottom} - m_iStreamY, 0, ph) - y;
  }
  w = Even(static_cast<int32_t>(w));
  h = Even(static_cast<int32_t>(h));
  if (w <= 0 || h <= 0) {
    if (!m_bOutsideSaid) {
      const HX_Rect& crop = m_stOptions.m_stCrop;
      HX_LOG_ERROR("the capture region (%d,%d)-(%d,%d) lies outside the screen cast's %dx%d picture "
                   "at (%d,%d); the last picture is sent on",
                   crop.left, crop.top, crop.right, crop.bottom, pw, ph, m_iStreamX, m_iStreamY);
    }
    m_bOutsideSaid = true;
    return kNoChange;
  }
  m_bOutsideSaid = false;
  VrMediaFramePtr frame = NewPicture(static_cast<int32_t>(w), static_cast<int32_t>(h), m_iCaptureMode,
                                     m_iCaptureMethod, now);
  if (!frame) {
    HX_LOG_WARNING("malloc failed");
    return kNoChange;
  }
  const uint8_t* src = m_stPicture.m_vPixels.data() + (y * pw + x) * 4;
  libyuv::ARGBCopy(src, pw * 4, frame->m_pData, static_cast<int>(w) * 4, static_cast<int>(w),
                   static_cast<int>(h));
  *picture = std::move(frame);
  return kNewPicture;
}
