#include "capture/SystemSoundCapturer.h"

#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "log/HX_Log.h"
#include "platform/HX_Clock.h"
#include "platform/HX_ThreadName.h"

namespace {
// Speaker masks that are also FFmpeg channel-layout masks, bit for bit.
constexpr uint32_t kAcceptedMasks[] = {0x3, 0x4, 0x33, 0x3F, 0xFF, 0x107, 0x60F, 0x63F};

// Bytes of one output frame: two 16-bit samples.
constexpr int32_t kOutFrameBytes = 4;

uint64_t DefaultLayoutMask(int channels) {
  AVChannelLayout layout;
  av_channel_layout_default(&layout, channels);
  uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
  av_channel_layout_uninit(&layout);
  return mask;
}

void SleepOneMs() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
}  // namespace

SystemSoundCapturer::SystemSoundCapturer(int32_t outputSampleRate)
    : SystemSoundCapturer(outputSampleRate, nullptr, &HX_GetTickMs) {}

SystemSoundCapturer::SystemSoundCapturer(int32_t outputSampleRate,
                                         std::unique_ptr<HX_ILoopbackDevice> device,
                                         ClockFunction clock)
    : m_iOutputSampleRate(outputSampleRate),
      m_pDevice(std::move(device)),
      m_pfnClock(clock != nullptr ? clock : &HX_GetTickMs),
      m_clock(outputSampleRate, kBlockSamples) {}

SystemSoundCapturer::~SystemSoundCapturer() { stop(); }

bool SystemSoundCapturer::AcceptedChannelMask(uint32_t mask) {
  for (uint32_t accepted : kAcceptedMasks) {
    if (mask == accepted) return true;
  }
  return false;
}

// The opening steps and their codes, with the PulseAudio step behind each:
//   -201 reach the sound server (context connected)
//   -202 the default output (server info: default sink)
//   -203 open that output (sink info: sample format, channel map, monitor)
//   -204 device period (the monitor source exists; 10 ms packets)
//   -205 mix format (the sink's sample format and map described as a wave format)
//   -206 extensible format whose samples are not float
//   -207 format tag other than PCM, IEEE float or extensible
//   -208 no sample format or channel layout for the mix format
//   -209 initialise the capture stream (record stream on the monitor, ready)
//   -210 the capture side (the stream's negotiated sample format and buffer)
//   -211 start the stream (uncork)
int SystemSoundCapturer::start() {
  if (m_bStarted || m_bStop.load()) {
    HX_LOG_ERROR_TRACE("a system-sound source starts once, before stop.");
    return -201;
  }
  m_bStarted = true;
  if (!m_pDevice) m_pDevice = HX_CreateLoopbackDevice();
  HX_ILoopbackDevice& dev = *m_pDevice;

  int rc = dev.connect();
  if (rc != 0) {
    HX_LOG_ERROR("Failed to connect the Pulse context to the sound server. Error %d (%s)", rc,
                 dev.errorText(rc).c_str());
    return -201;
  }
  rc = dev.findDefaultOutput();
  if (rc != 0) {
    HX_LOG_ERROR("Failed to get the default sink from the Pulse server. Error %d (%s)", rc,
                 dev.errorText(rc).c_str());
    return -202;
  }
  rc = dev.openOutput();
  if (rc != 0) {
    HX_LOG_ERROR("Failed to get the default sink's info from Pulse. Error %d (%s)", rc,
                 dev.errorText(rc).c_str());
    return -203;
  }
  int64_t period = 0;
  rc = dev.getDevicePeriod(&period);
  if (rc != 0) {
    HX_LOG_ERROR("Failed to get the monitor source's info from Pulse. Error %d (%s)", rc,
                 dev.errorText(rc).c_str());
    return -204;
  }
  // The period rounded up to whole milliseconds, and never under 30 ms.
  const int64_t periodMs = (period - 1) / 10000 + 1;
  m_iBufferMs = periodMs >= kMinBufferMs ? static_cast<int32_t>(periodMs) : kMinBufferMs;

  rc = dev.getMixFormat(&m_stMixFormat);
  if (rc != 0) {
    HX_LOG_ERROR("Failed to get the sink's sample format from Pulse. Error %d (%s)", rc,
                 dev.errorText(rc).c_str());
    return -205;
  }
  m_bHaveMixFormat = true;
  if (m_stMixFormat.m_usFormatTag == kWaveFormatExtensible) {
    if (!m_stMixFormat.m_bSubFormatFloat) {
      HX_LOG_ERROR("Unsupported format.");
      return -206;
    }
  } else if (m_stMixFormat.m_usFormatTag != kWaveFormatPcm &&
             m_stMixFormat.m_usFormatTag != kWaveFormatIeeeFloat) {
    HX_LOG_ERROR("Failed to force 16-bit PCM");
    return -207;
  }
  m_iInputSampleRate = static_cast<int32_t>(m_stMixFormat.m_uiSampleRate);
  if (!DetermineInputFormat()) {
    HX_LOG_ERROR("Could not determine channel layerout");
    return -208;
  }

  rc = dev.initialize((int64_t{m_iBufferMs} + kMinBufferMs) * 10000, m_stMixFormat);
  if (rc != 0) {
    HX_LOG_ERROR("Failed to initialize the Pulse record stream. Error %d (%s)", rc,
                 dev.errorText(rc).c_str());
    return -209;
  }
  rc = dev.openCaptureSide();
  if (rc != 0) {
    HX_LOG_ERROR("Failed to get the Pulse record stream's format and buffer. Error %d (%s)", rc,
                 dev.errorText(rc).c_str());
    return -210;
  }
  rc = dev.startStream();
  if (rc != 0) {
    HX_LOG_ERROR("Failed to start the Pulse record stream. Error %d (%s)", rc,
                 dev.errorText(rc).c_str());
    return -211;
  }
  try {
    m_thread = std::thread(&SystemSoundCapturer::CaptureLoop, this);
  } catch (const std::system_error& e) {
    HX_LOG_ERROR("Failed to start the capture thread: %s", e.what());
    return -212;
  }
  return 0;
}

void SystemSoundCapturer::stop() {
  if (m_bStop.exchange(true)) return;
  // The thread is joined before the device goes, so it never reads a closed one.
  if (m_thread.joinable()) m_thread.join();
  if (m_pDevice) m_pDevice->close();
}

bool SystemSoundCapturer::DetermineInputFormat() {
  const HX_LoopbackFormat& f = m_stMixFormat;
  if (f.m_usChannels == 0 || f.m_usBlockAlign == 0 || f.m_uiSampleRate == 0 ||
      f.m_usBlockAlign != f.m_usChannels * (f.m_usBitsPerSample / 8)) {
    HX_LOG_ERROR("inconsistent mix format: %u channels, %u bits, %u bytes per frame, %u Hz.",
                 f.m_usChannels, f.m_usBitsPerSample, f.m_usBlockAlign, f.m_uiSampleRate);
    return false;
  }
  switch (f.m_usFormatTag) {
    case kWaveFormatExtensible:
      if (f.m_usBitsPerSample != 32 || !AcceptedChannelMask(f.m_uiChannelMask)) return false;
      m_iInputSampleFormat = AV_SAMPLE_FMT_FLT;
      m_ullInputChannelLayout = f.m_uiChannelMask;
      break;
    case kWaveFormatIeeeFloat:
      if (f.m_usBitsPerSample != 32) {
        HX_LOG_ERROR("unsupported bits per sample.");
        return false;
      }
      m_iInputSampleFormat = AV_SAMPLE_FMT_FLT;
      m_ullInputChannelLayout = DefaultLayoutMask(f.m_usChannels);
      break;
    case kWaveFormatPcm:
      switch (f.m_usBitsPerSample) {
        case 8: m_iInputSampleFormat = AV_SAMPLE_FMT_U8; break;
        case 16: m_iInputSampleFormat = AV_SAMPLE_FMT_S16; break;
        case 32: m_iInputSampleFormat = AV_SAMPLE_FMT_S32; break;
        default:
          HX_LOG_ERROR("unsupported bits per sample.");
          return false;
      }
      m_ullInputChannelLayout = DefaultLayoutMask(f.m_usChannels);
      break;
    default:
      HX_LOG_ERROR("unsupported sample format tag.");
      return false;
  }
  return m_ullInputChannelLayout != 0;
}

void SystemSoundCapturer::CaptureLoop() {
  HX_SetThreadName("ostrel-sound");
  HX_ILoopbackDevice& dev = *m_pDevice;
  const int32_t blockAlign = m_stMixFormat.m_usBlockAlign;
  // A device that fails keeps being polled (it may come back), but at the
  // idle pace and with one line per outage instead of a spinning core.
  bool failing = false;
  while (!m_bStop.load()) {
    uint32_t frames = 0;
    int rc = dev.nextPacketFrames(&frames);
    const uint8_t* data = nullptr;
    if (rc == 0 && frames > 0) rc = dev.getBuffer(&data, &frames);
    if (rc != 0) {
      if (!failing) {
        HX_LOG_WARNING("the sound device stopped delivering packets. Error %d (%s)", rc,
                       dev.errorText(rc).c_str());
      }
      failing = true;
      SleepOneMs();
      continue;
    }
    failing = false;
    if (frames == 0 || data == nullptr) {
      SleepOneMs();
      continue;
    }
    const int64_t bytes = int64_t{frames} * blockAlign;
    if (bytes <= kAccumulatorCapacity * 16) {
      OnNewFrameCaptured(data, static_cast<int32_t>(bytes), m_pfnClock());
    } else {
      HX_LOG_WARNING("a sound packet of %lld bytes is too large and was dropped.",
                     static_cast<long long>(bytes));
    }
    dev.releaseBuffer(frames);
  }
}

void SystemSoundCapturer::OnNewFrameCaptured(const uint8_t* data, int32_t bytes, int64_t nowMs) {
  std::unique_ptr<uint8_t[]> converted;
  int32_t convertedBytes = 0;
  if (ResamplePCM(data, bytes, m_iInputSampleRate, m_iOutputSampleRate, &converted,
                  &convertedBytes) != 0) {
    HX_LOG_ERROR("ResamplePCM failed");
    return;
  }
  if (!m_pAccumulator) {
    m_pAccumulator.reset(new (std::nothrow) uint8_t[kAccumulatorCapacity]());
    if (!m_pAccumulator) {
      HX_LOG_WARNING("malloc failed.");
      return;
    }
  }
  // Sound that does not fit is counted all the same: the sound after it
  // comes later by its length.
  const uint64_t gaps = m_clock.Gaps();
  m_clock.OnRead(convertedBytes / kOutFrameBytes, nowMs);
  if (m_clock.Gaps() != gaps) {
    // Gaps less than a second apart are one episode and one line.
    if (m_llLastGapMs < 0 || nowMs - m_llLastGapMs > kGapEpisodeMs) {
      HX_LOG_WARNING("sound arrived later than its sample count allows (lost on the way, or the sound "
                     "stopped); the sound from here on is stamped with its own time.");
    }
    m_llLastGapMs = nowMs;
  }
  if (convertedBytes <= kAccumulatorCapacity - m_iAccumulated) {
    if (convertedBytes > 0) {
      std::memcpy(m_pAccumulator.get() + m_iAccumulated, converted.get(), convertedBytes);
    }
    m_iAccumulated += convertedBytes;
    m_llAccumulatorEnd = m_clock.Position();
  } else {
    HX_LOG_WARNING("sound accumulator full: %d converted bytes dropped.", convertedBytes);
  }
  converted.reset();

  // Every complete block goes out now: with one block per packet, packets
  // that convert to more than a block would build a backlog until the
  // accumulator overflowed and sound was lost.
  while (m_iAccumulated >= kBlockBytes) {
    VrMediaFramePtr block = VrCreateMediaFrame();
    if (!block || !block->AllocData(kBlockBytes)) {
      // The data stays for the next packet.
      HX_LOG_WARNING("malloc failed.");
      return;
    }
    const int64_t first = m_llAccumulatorEnd - m_iAccumulated / kOutFrameBytes;
    std::memcpy(block->m_pData, m_pAccumulator.get(), kBlockBytes);
    m_iAccumulated -= kBlockBytes;
    std::memmove(m_pAccumulator.get(), m_pAccumulator.get() + kBlockBytes, m_iAccumulated);
    std::memset(m_pAccumulator.get() + m_iAccumulated, 0, kBlockBytes);

    block->m_iMediaType = VR_MEDIA_AUDIO;
    block->m_iChannels = 2;
    block->m_iSampleRate = m_iOutputSampleRate;
    block->m_iBitsPerSample = 16;
    block->m_iRateBits = 16 * m_iOutputSampleRate;
    block->m_iSamples = kBlockSamples;
    block->m_llTimestamp = m_clock.TimeOf(first);
    if (m_pCallback != nullptr && m_pContext != nullptr) m_pCallback(block, m_pContext);
  }
}

int SystemSoundCapturer::ResamplePCM(const uint8_t* in, int32_t inBytes, int32_t inRate,
                                     int32_t outRate, std::unique_ptr<uint8_t[]>* out,
                                     int32_t* outBytes) {
  *outBytes = 0;
  if (m_pResampler && (m_iResamplerInRate != inRate || m_iResamplerOutRate != outRate)) {
    m_pResampler.reset();
  }
  if (!m_pResampler) {
    AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_STEREO;
    AVChannelLayout inLayout;
    av_channel_layout_from_mask(&inLayout, m_ullInputChannelLayout);
    SwrContext* swr = nullptr;
    int err = swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_S16, outRate, &inLayout,
                                  static_cast<AVSampleFormat>(m_iInputSampleFormat), inRate, 0,
                                  nullptr);
    VrSwrContextPtr resampler(swr);
    av_channel_layout_uninit(&inLayout);
    if (err < 0 || !resampler) {
      HX_LOG_ERROR("swr_alloc_set_opts failed. %s", VrAVErrorText(err).c_str());
      return -1;
    }
    err = swr_init(resampler.get());
    if (err < 0) {
      HX_LOG_ERROR("swr_init failed. %s", VrAVErrorText(err).c_str());
      return -1;
    }
    m_pResampler = std::move(resampler);
    m_iResamplerInRate = inRate;
    m_iResamplerOutRate = outRate;
  }

  const int64_t inSamples = inBytes / m_stMixFormat.m_usBlockAlign;
  if (inSamples <= 0) return 0;  // nothing to convert
  const int64_t outCapacity = inSamples * outRate / inRate + 256;
  out->reset(new (std::nothrow) uint8_t[outCapacity * kOutFrameBytes]);
  if (!*out) {
    HX_LOG_ERROR("no memory for %lld converted samples.", static_cast<long long>(outCapacity));
    return -1;
  }
  uint8_t* outPlanes[1] = {out->get()};
  const uint8_t* inPlanes[1] = {in};
  int n = swr_convert(m_pResampler.get(), outPlanes, static_cast<int>(outCapacity), inPlanes,
                      static_cast<int>(inSamples));
  if (n < 0) {
    // Made again on the next packet.
    m_pResampler.reset();
    out->reset();
    return -1;
  }
  // Zero samples is not a failure: a resampler may hold a short packet back.
  *outBytes = n * kOutFrameBytes;
  return 0;
}
