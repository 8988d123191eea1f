#pragma once
// On Wayland desktops: the screen source fed by the desktop's screen-cast
// portal. start opens a portal session for a monitor or a window, connects to
// the PipeWire stream it grants and ticks at the configured frame rate. Each
// tick takes the newest picture the stream received — cropped to the region in
// region mode — or, when the compositor sent nothing since (it sends only on
// change), lets the base repeat the last one. A stream that ends or fails
// (compositor gone, cast stopped by the user) is a loss: one ERROR, then the
// portal session and the stream are opened again once a second with the
// newest restore token, and the loss ends with the first picture after that.
// Threads: construction, start and stop on the capture session's thread.
// Ticks (see VrScreenSource) take pictures and, during a loss, close and open
// the portal session and the stream on the tick's thread; the two never
// overlap, since start opens before the ticks start and stop stops them
// before it closes.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/VrScreenSource.h"
#include "config/HX_ServerConfiguration.h"
#include "platform/pipewire/HX_PipeWirePicture.h"
#include "platform/pipewire/HX_ScreenCastGrant.h"

class HX_PipeWireStream;

class VrPipeWireCapture : public VrScreenSource {
 public:
  struct Options {
    // Monitor or window, cursor in the picture or not, and the token of an
    // earlier run (empty: the portal asks the user).
    HX_ScreenCastRequest m_stRequest;
    // Region mode: the desktop rectangle to capture. The grant's desktop
    // position is subtracted; what lies outside the stream's picture is cut.
    bool m_bCrop = false;
    HX_Rect m_stCrop;
    // Called with each new restore token a grant carries, on the thread that
    // opened the session (start's, or a tick's during a loss). May be empty.
    std::function<void(const std::string& token)> m_fnSaveToken;
    // A grant the portal already gave for this request, its session open in
    // the portal handed to the constructor: the first opening uses it instead
    // of asking again (the run was sized to it). Null: ask at start.
    std::shared_ptr<HX_ScreenCastGrant> m_pGranted;
  };

  // start's failures besides the portal's own codes (HX_IScreenCastPortal::kNoPortal ...).
  static constexpr int kNoStream = -5;  // the granted PipeWire stream could not be connected
  static constexpr int kBadSetup = -6;  // frame rate not positive, empty region, or no timer

  VrPipeWireCapture(std::unique_ptr<HX_IScreenCastPortal> portal, Options options);
  ~VrPipeWireCapture() override;

  // 0, a portal code (logged by the portal), kNoStream or kBadSetup (logged);
  // nothing stays open after a failure.
  int start() override;
  // Stops the ticks, the stream and the portal session; idempotent.
  void stop() override;

 private:
  int GrabNext(int64_t now, VrMediaFramePtr* picture) override;
  // Opens the portal session and connects its stream: 0, a portal code or
  // kNoStream, with the reason in |*error|. The stream's failure is logged
  // unless |quiet| (retries, which say it once per loss).
  int Open(bool quiet, std::string* error);
  // Disconnects the stream and ends the portal session; idempotent.
  void Close();
  // Copies the newest picture (the crop of it in region mode) into a new record.
  int Deliverable(int64_t now, VrMediaFramePtr* picture);

  std::unique_ptr<HX_IScreenCastPortal> m_pPortal;
  std::unique_ptr<HX_PipeWireStream> m_pStream;
  Options m_stOptions;
  // Between a successful start and stop: only then do ticks look at the
  // stream (set before the ticks start, cleared after they stop).
  bool m_bRunning = false;
  int32_t m_iCaptureMode = 0;
  int32_t m_iCaptureMethod = 0;
  int32_t m_iStreamX = 0;  // the stream's desktop position, from the grant
  int32_t m_iStreamY = 0;
  // Tick only: the newest picture taken from the stream, and the loss state.
  HX_PipeWirePicture m_stPicture;
  bool m_bRetryFailing = false;    // one line per loss for failed reopenings
  // Failed reopenings wait 1 s, 2 s, 4 s ... up to kMaxReopenDelayMs (tick only).
  static constexpr int64_t kMaxReopenDelayMs = 30000;
  int64_t m_llReopenDelay = kLostRetryMs;
  int64_t m_llNextReopen = 0;
  bool m_bOutsideSaid = false;     // one line per episode of a region off the picture
};
