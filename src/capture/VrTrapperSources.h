#pragma once
// Makes the sources of a capture session: the video source of a given kind and
// the system-sound source. Default() makes the real screen and sound sources;
// tests hand the session scripted ones. Called on the thread that starts the
// session; the caller owns what it gets.
#include <cstdint>
#include <memory>

#include "capture/VrPipeWireCapture.h"
#include "config/HX_ServerConfiguration.h"
#include "core/VrCapturer.h"

class VrTrapperSources {
 public:
  enum VideoKind : int32_t {
    kVideoGDI = 1,    // region, window or monitor grabbed each tick
    kVideoDXGI = 2,   // changed images of one monitor
    kVideoWinRT = 3,  // one window's own pixels
    // The desktop's screen-cast portal: the monitor or window its chooser
    // grants (a region is cropped from the monitor's stream).
    kVideoPortal = 4,
  };

  virtual ~VrTrapperSources() = default;
  // Null when the source cannot be made.
  virtual std::unique_ptr<VrCapturer> MakeVideoSource(VideoKind kind) = 0;
  // Whether single windows can be captured by their own pixels here.
  virtual bool WinRTCaptureSupported() = 0;
  virtual std::unique_ptr<VrCapturer> MakeSoundSource(int32_t sampleRate) = 0;

  // Before a run whose picture size only its video source can tell (a monitor
  // or window the portal's chooser picks): opens that source's grant ahead so
  // the outputs can be sized to it; the source of |kind| made next takes it.
  // 0 with |*width| x |*height| the size (0 x 0 when not told), or a negative
  // code, logged where it failed. Sources of fixed size have nothing to open.
  virtual int PrepareVideoSource(VideoKind kind, int32_t* width, int32_t* height) {
    (void)kind;
    *width = *height = 0;
    return 0;
  }
  // Ends what PrepareVideoSource opened when no source took it; idempotent.
  virtual void ReleasePreparedVideoSource() {}

  // The process-wide maker of the real sources.
  static VrTrapperSources& Default();
};

// What the portal source asks for in the configured capture mode: a window in
// window mode, else a monitor (cropped to the capture region in region mode),
// and the pointer as CaptureCursor says. The restore token is the caller's.
VrPipeWireCapture::Options VrPortalCaptureOptions(const HX_ServerConfiguration& cfg);
