#pragma once
// The system-sound source: captures what the computer is playing through the
// platform's loopback device, converts it to interleaved signed 16-bit stereo
// at the configured rate and hands it on as 4096-byte blocks (1024 samples per
// channel), each stamped with the clock time of its first sample
// (VrCaptureClock: lost samples leave a gap in the stamps, a backlog read at
// once keeps its spacing). start and stop run on the capture session's thread; the capture
// thread does all reading, converting and delivering and is the only one that
// touches the resampler, the accumulator and the timing fields.
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "capture/VrCaptureClock.h"
#include "core/VrCapturer.h"
#include "media/VrAVHandle.h"
#include "platform/pulse/HX_ILoopbackDevice.h"

class SystemSoundCapturer : public VrCapturer {
 public:
  static constexpr int32_t kBlockBytes = 4096;
  static constexpr int32_t kBlockSamples = 1024;
  static constexpr int32_t kAccumulatorCapacity = 0x100000;
  // The loopback buffer is never shorter than this.
  static constexpr int32_t kMinBufferMs = 30;

  using ClockFunction = int64_t (*)();

  // Captures the platform's default output.
  explicit SystemSoundCapturer(int32_t outputSampleRate);
  // Captures from |device|, stamping blocks with |clock| (tests script both).
  SystemSoundCapturer(int32_t outputSampleRate, std::unique_ptr<HX_ILoopbackDevice> device,
                      ClockFunction clock);
  ~SystemSoundCapturer() override;
  SystemSoundCapturer(const SystemSoundCapturer&) = delete;
  SystemSoundCapturer& operator=(const SystemSoundCapturer&) = delete;

  // 0, or -201 ... -211 for the failing opening step (see the .cpp), -212
  // when the capture thread cannot start; a source starts once (a second
  // start, or one after stop, fails with -201). Objects obtained before a
  // failure stay until stop or destruction.
  int start() override;
  // Joins the capture thread and releases the device; a second call does nothing.
  void stop() override;

  // True when the channel mask is one whose speaker bits equal FFmpeg's layout
  // bits (stereo, mono, quad, 5.1 back, 7.1 wide-back, 4.0, 5.1 side, 7.1).
  static bool AcceptedChannelMask(uint32_t mask);

 private:
  // Sample format and channel layout of the mix format; false when unusable.
  bool DetermineInputFormat();
  // Converts |inBytes| of mix-format PCM to S16 stereo at |outRate|. The
  // caller owns |*out| on success (0); -1 on failure.
  int ResamplePCM(const uint8_t* in, int32_t inBytes, int32_t inRate, int32_t outRate,
                  std::unique_ptr<uint8_t[]>* out, int32_t* outBytes);
  // Converts one packet read at |nowMs|, accumulates it and emits every
  // complete block.
  void OnNewFrameCaptured(const uint8_t* data, int32_t bytes, int64_t nowMs);
  void CaptureLoop();

  const int32_t m_iOutputSampleRate;
  int32_t m_iInputSampleRate = 0;
  int32_t m_iInputSampleFormat = -1;     // AVSampleFormat
  uint64_t m_ullInputChannelLayout = 0;  // FFmpeg channel-layout mask
  HX_LoopbackFormat m_stMixFormat;
  bool m_bHaveMixFormat = false;
  int32_t m_iBufferMs = 0;

  std::unique_ptr<HX_ILoopbackDevice> m_pDevice;
  ClockFunction m_pfnClock;
  std::thread m_thread;
  std::atomic<bool> m_bStop{false};
  bool m_bStarted = false;

  VrSwrContextPtr m_pResampler;
  int32_t m_iResamplerInRate = 0;
  int32_t m_iResamplerOutRate = 0;
  std::unique_ptr<uint8_t[]> m_pAccumulator;
  int32_t m_iAccumulated = 0;
  VrCaptureClock m_clock;  // output samples on the clock
  int64_t m_llAccumulatorEnd = 0;  // stream position just after the accumulated samples
  static constexpr int64_t kGapEpisodeMs = 1000;
  int64_t m_llLastGapMs = -1;  // when the capture clock last moved over lost sound
};
