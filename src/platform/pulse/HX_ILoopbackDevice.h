#pragma once
// A loopback capture device: the sound the computer is playing on its default
// output, delivered as packets of interleaved frames. The steps follow the
// order in which the system-sound source opens it; each returns 0 or the
// platform's (negative) error number. Not thread-safe: one thread opens and
// closes it, and while it runs exactly one capture thread reads packets.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/pulse/HX_LoopbackFormat.h"

class HX_ILoopbackDevice {
 public:
  virtual ~HX_ILoopbackDevice() = default;

  // Reaches the sound server.
  virtual int connect() = 0;
  // Finds the default output device.
  virtual int findDefaultOutput() = 0;
  // Opens the default output device for inspection.
  virtual int openOutput() = 0;
  // The device's packet period in 100-ns units.
  virtual int getDevicePeriod(int64_t* period100ns) = 0;
  // The format in which the output mixes (and loopback delivers) sound.
  virtual int getMixFormat(HX_LoopbackFormat* format) = 0;
  // Prepares a capture stream of the output's mix in |format| with a buffer of
  // at least |bufferDuration100ns| (an implementation may keep more, so that a
  // reader held up for a while loses nothing).
  virtual int initialize(int64_t bufferDuration100ns, const HX_LoopbackFormat& format) = 0;
  // Attaches the reading side of the prepared stream.
  virtual int openCaptureSide() = 0;
  // Starts the flow of packets.
  virtual int startStream() = 0;

  // Capture thread: frames in the next packet (0 when none is ready).
  virtual int nextPacketFrames(uint32_t* frames) = 0;
  // Capture thread: the next packet; valid until releaseBuffer.
  virtual int getBuffer(const uint8_t** data, uint32_t* frames) = 0;
  virtual int releaseBuffer(uint32_t frames) = 0;

  // Releases everything obtained so far; safe at any stage and twice.
  virtual void close() = 0;

  // The platform's text for an error number returned above.
  virtual std::string errorText(int error) const = 0;
};

// The loopback device of this platform (the PulseAudio default sink's monitor).
std::unique_ptr<HX_ILoopbackDevice> HX_CreateLoopbackDevice();
