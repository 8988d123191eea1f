#include "capture/VrTrapperSources.h"

#include <new>

#include "capture/SystemSoundCapturer.h"
#include "capture/VrVideoCapture.h"
#include "capture/VrVideoDXGICapture.h"
#include "capture/VrVideoWinRTCapture.h"
#include "log/HX_Log.h"
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
        HX_LOG_ERROR("Wayland capture is not built yet: there is no screen-cast portal source");
        return nullptr;
    }
    return nullptr;
  }
  bool WinRTCaptureSupported() override { return winrt_capture_supported(); }
  std::unique_ptr<VrCapturer> MakeSoundSource(int32_t sampleRate) override {
    return std::unique_ptr<VrCapturer>(new (std::nothrow) SystemSoundCapturer(sampleRate));
  }
};
}  // namespace

VrTrapperSources& VrTrapperSources::Default() {
  static VrPlatformTrapperSources sources;
  return sources;
}
