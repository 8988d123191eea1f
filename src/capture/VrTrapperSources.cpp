#include "capture/VrTrapperSources.h"

#include <new>

#include "capture/SystemSoundCapturer.h"
#include "capture/VrVideoCapture.h"
#include "capture/VrVideoDXGICapture.h"
#include "capture/VrVideoWinRTCapture.h"
#include "platform/portal/HX_ScreenCastTokenStore.h"
#include "platform/portal/HX_SdBusScreenCastPortal.h"
#include "platform/x11/HX_WinRTCapture.h"

namespace {
// The real screen sources on X11 and the PulseAudio system-sound source.
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

 private:
  // The screen-cast portal on the session bus, starting from the token the
  // last run of this kind kept and keeping each new one.
  static std::unique_ptr<VrCapturer> MakePortalSource() {
    const HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
    const HX_ScreenCastTokenStore store = HX_ScreenCastTokenStore::InBaseDirectory();
    VrPipeWireCapture::Options options = VrPortalCaptureOptions(*cfg);
    const HX_ScreenCastRequest::Kind kind = options.m_stRequest.m_eKind;
    options.m_stRequest.m_strRestoreToken = store.Load(kind);
    options.m_fnSaveToken = [store, kind](const std::string& token) { store.Save(kind, token); };
    return std::unique_ptr<VrCapturer>(new (std::nothrow) VrPipeWireCapture(
        std::make_unique<HX_SdBusScreenCastPortal>(), std::move(options)));
  }
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
