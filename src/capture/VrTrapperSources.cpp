#include "capture/VrTrapperSources.h"

#include <new>
#include <string>
#include <utility>

#include "capture/SystemSoundCapturer.h"
#include "capture/VrVideoCapture.h"
#include "capture/VrVideoDXGICapture.h"
#include "capture/VrVideoWinRTCapture.h"
#include "core/HX_Mutex.h"
#include "platform/portal/HX_ScreenCastTokenStore.h"
#include "platform/portal/HX_SdBusScreenCastPortal.h"
#include "platform/x11/HX_WinRTCapture.h"

namespace {
// The real screen sources (X11, or the screen-cast portal's PipeWire stream)
// and the PulseAudio system-sound source. Threads: the thread that starts runs
// (prepare, make and release run there, one run at a time); the mutex keeps the
// prepared session consistent should a caller break that rule.
class VrPlatformTrapperSources : public VrTrapperSources {
 public:
  std::unique_ptr<VrCapturer> MakeVideoSource(VideoKind kind) override {
    switch (kind) {
      case kVideoGDI: return std::unique_ptr<VrCapturer>(new (std::nothrow) VrVideoCapture());
      case kVideoDXGI: return std::unique_ptr<VrCapturer>(new (std::nothrow) VrVideoDXGICapture());
      case kVideoWinRT:
        return std::unique_ptr<VrCapturer>(new (std::nothrow) VrVideoWinRTCapture());
      case kVideoPortal:
        return MakePortalSource();
    }
    return nullptr;
  }
  bool WinRTCaptureSupported() override { return winrt_capture_supported(); }
  std::unique_ptr<VrCapturer> MakeSoundSource(int32_t sampleRate) override {
    return std::unique_ptr<VrCapturer>(new (std::nothrow) SystemSoundCapturer(sampleRate));
  }

  int PrepareVideoSource(VideoKind kind, int32_t* width, int32_t* height) override {
    *width = *height = 0;
    ReleasePreparedVideoSource();
    if (kind != kVideoPortal) return 0;
    const HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
    Prepared prepared;
    prepared.m_stRequest = PortalRequest(*cfg);
    auto portal = std::make_unique<HX_SdBusScreenCastPortal>();
    std::string error;
    auto grant = std::make_shared<HX_ScreenCastGrant>();
    const int rc = portal->Open(prepared.m_stRequest, grant.get(), &error);
    if (rc != 0) return rc;  // the portal said why
    SaveToken(prepared.m_stRequest.m_eKind, grant->m_strRestoreToken);
    prepared.m_stRequest.m_strRestoreToken = grant->m_strRestoreToken;
    *width = grant->m_iWidth;
    *height = grant->m_iHeight;
    prepared.m_pPortal = std::move(portal);
    prepared.m_pGrant = std::move(grant);
    HX_LockGuard lock(m_mutex);
    m_stPrepared = std::move(prepared);
    return 0;
  }
  void ReleasePreparedVideoSource() override {
    Prepared dropped;
    {
      HX_LockGuard lock(m_mutex);
      std::swap(dropped, m_stPrepared);
    }
    if (dropped.m_pPortal) dropped.m_pPortal->Close();
  }

 private:
  // A portal session opened ahead of its run, until the run's source takes it.
  struct Prepared {
    HX_ScreenCastRequest m_stRequest;
    std::unique_ptr<HX_IScreenCastPortal> m_pPortal;
    std::shared_ptr<HX_ScreenCastGrant> m_pGrant;
  };

  static HX_ScreenCastRequest PortalRequest(const HX_ServerConfiguration& cfg) {
    HX_ScreenCastRequest request = VrPortalCaptureOptions(cfg).m_stRequest;
    request.m_strRestoreToken = HX_ScreenCastTokenStore::InBaseDirectory().Load(request.m_eKind);
    return request;
  }
  static void SaveToken(HX_ScreenCastRequest::Kind kind, const std::string& token) {
    HX_ScreenCastTokenStore::InBaseDirectory().Save(kind, token);
  }

  // The screen-cast portal on the session bus, starting from the session
  // opened ahead for this request when there is one, else from the token the
  // last run of this kind kept; each new token is kept.
  std::unique_ptr<VrCapturer> MakePortalSource() {
    const HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
    VrPipeWireCapture::Options options = VrPortalCaptureOptions(*cfg);
    const HX_ScreenCastRequest::Kind kind = options.m_stRequest.m_eKind;
    options.m_fnSaveToken = [kind](const std::string& token) { SaveToken(kind, token); };
    std::unique_ptr<HX_IScreenCastPortal> portal;
    {
      HX_LockGuard lock(m_mutex);
      if (m_stPrepared.m_pPortal && m_stPrepared.m_stRequest.m_eKind == kind &&
          m_stPrepared.m_stRequest.m_bCursor == options.m_stRequest.m_bCursor && !options.m_bCrop) {
        portal = std::move(m_stPrepared.m_pPortal);
        options.m_pGranted = std::move(m_stPrepared.m_pGrant);
        options.m_stRequest.m_strRestoreToken = m_stPrepared.m_stRequest.m_strRestoreToken;
      }
    }
    ReleasePreparedVideoSource();  // one prepared for another request
    if (!portal) {
      portal = std::make_unique<HX_SdBusScreenCastPortal>();
      options.m_stRequest.m_strRestoreToken = HX_ScreenCastTokenStore::InBaseDirectory().Load(kind);
    }
    return std::unique_ptr<VrCapturer>(new (std::nothrow) VrPipeWireCapture(std::move(portal), std::move(options)));
  }

  HX_Mutex m_mutex;
  Prepared m_stPrepared HX_GUARDED_BY(m_mutex);
};
}  // namespace

VrPipeWireCapture::Options VrPortalCaptureOptions(const HX_ServerConfiguration& cfg) {
  VrPipeWireCapture::Options options;
  options.m_stRequest.m_eKind =
      cfg.m_iCaptureMode == kCaptureWindow ? HX_ScreenCastRequest::kWindow : HX_ScreenCastRequest::kMonitor;
  options.m_stRequest.m_bCursor = cfg.m_bCaptureCursor;
  if (cfg.m_iCaptureMode == kCaptureRegion) {
    options.m_bCrop = true;
    cfg.getCaptureRegion(&options.m_stCrop.left, &options.m_stCrop.top, &options.m_stCrop.right,
                         &options.m_stCrop.bottom);
  }
  return options;
}

VrTrapperSources& VrTrapperSources::Default() {
  static VrPlatformTrapperSources sources;
  return sources;
}
