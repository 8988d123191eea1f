#include "platform/pulse/HX_PulseLoopback.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>

#include <algorithm>
#include <cstring>

// How the opening steps map onto PulseAudio (the system-sound source turns a
// failure of each into its own code):
//   connect            context connected to the server (no autospawn)  -201
//   findDefaultOutput  server info: the default sink's name            -202
//   openOutput         sink info of that sink: format, map, monitor    -203
//   getDevicePeriod    source info of the sink's monitor               -204
//   getMixFormat       the sink's format and map as a mix format       -205
//   initialize         record stream on the monitor, corked, ready     -209
//   openCaptureSide    the stream's negotiated format and buffer       -210
//   startStream        uncork the stream                               -211

std::unique_ptr<HX_ILoopbackDevice> HX_CreateLoopbackDevice() {
  return std::make_unique<HX_PulseLoopback>();
}

HX_PulseLoopback::HX_PulseLoopback() = default;

HX_PulseLoopback::~HX_PulseLoopback() { close(); }

std::string HX_PulseLoopback::errorText(int error) const { return pa_strerror(-error); }

int HX_PulseLoopback::ContextError() const {
  int error = m_pContext ? pa_context_errno(m_pContext.get()) : PA_ERR_BADSTATE;
  return -(error != 0 ? error : PA_ERR_UNKNOWN);
}

void HX_PulseLoopback::OnContextState(pa_context*, void* user) {
  pa_threaded_mainloop_signal(static_cast<HX_PulseLoopback*>(user)->m_pLoop.get(), 0);
}

void HX_PulseLoopback::OnStreamState(pa_stream*, void* user) {
  pa_threaded_mainloop_signal(static_cast<HX_PulseLoopback*>(user)->m_pLoop.get(), 0);
}

void HX_PulseLoopback::OnServerInfo(pa_context*, const pa_server_info* info, void* user) {
  auto* self = static_cast<HX_PulseLoopback*>(user);
  if (info != nullptr && info->default_sink_name != nullptr) {
    self->m_strSinkName = info->default_sink_name;
    self->m_bLookupFound = !self->m_strSinkName.empty();
  }
  pa_threaded_mainloop_signal(self->m_pLoop.get(), 0);
}

void HX_PulseLoopback::OnSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                  void* user) {
  auto* self = static_cast<HX_PulseLoopback*>(user);
  if (eol < 0) {
    self->m_iLookupError = pa_context_errno(context);
  } else if (eol == 0 && info != nullptr) {
    self->m_stSinkSpec = info->sample_spec;
    self->m_stSinkMap = info->channel_map;
    self->m_strMonitorName = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
    self->m_bLookupFound = !self->m_strMonitorName.empty();
  }
  pa_threaded_mainloop_signal(self->m_pLoop.get(), 0);
}

void HX_PulseLoopback::OnSourceInfo(pa_context* context, const pa_source_info* info, int eol,
                                    void* user) {
  auto* self = static_cast<HX_PulseLoopback*>(user);
  if (eol < 0) {
    self->m_iLookupError = pa_context_errno(context);
  } else if (eol == 0 && info != nullptr) {
    self->m_bLookupFound = true;
  }
  pa_threaded_mainloop_signal(self->m_pLoop.get(), 0);
}

void HX_PulseLoopback::OnOperationState(pa_operation*, void* user) {
  pa_threaded_mainloop_signal(static_cast<HX_PulseLoopback*>(user)->m_pLoop.get(), 0);
}

void HX_PulseLoopback::OnSuccess(pa_stream*, int success, void* user) {
  auto* self = static_cast<HX_PulseLoopback*>(user);
  self->m_bOperationSucceeded = success != 0;
  pa_threaded_mainloop_signal(self->m_pLoop.get(), 0);
}

int HX_PulseLoopback::WaitOperation(HX_PulseOperationPtr operation) {
  if (!operation) return ContextError();
  // A dying connection cancels the operation; its state callback wakes us then.
  pa_operation_set_state_callback(operation.get(), &OnOperationState, this);
  while (pa_operation_get_state(operation.get()) == PA_OPERATION_RUNNING) {
    pa_threaded_mainloop_wait(m_pLoop.get());
  }
  return pa_operation_get_state(operation.get()) == PA_OPERATION_DONE ? 0 : ContextError();
}

int HX_PulseLoopback::connect() {
  if (m_pContext) return -PA_ERR_BADSTATE;
  m_pLoop.reset(pa_threaded_mainloop_new());
  if (!m_pLoop) return -PA_ERR_INTERNAL;
  m_pContext.reset(pa_context_new(pa_threaded_mainloop_get_api(m_pLoop.get()), "Ostrel"));
  if (!m_pContext) return -PA_ERR_INTERNAL;
  pa_context_set_state_callback(m_pContext.get(), &OnContextState, this);
  // No autospawn: a missing server is reported, not started behind our back.
  if (pa_context_connect(m_pContext.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return ContextError();
  }
  if (pa_threaded_mainloop_start(m_pLoop.get()) < 0) return -PA_ERR_INTERNAL;
  m_bLoopRunning = true;
  HX_PulseLoopLock lock(m_pLoop.get());
  int result = 0;
  for (;;) {
    pa_context_state_t state = pa_context_get_state(m_pContext.get());
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) {
      result = ContextError();
      break;
    }
    pa_threaded_mainloop_wait(m_pLoop.get());
  }
  return result;
}

int HX_PulseLoopback::findDefaultOutput() {
  if (!m_bLoopRunning) return -PA_ERR_BADSTATE;
  HX_PulseLoopLock lock(m_pLoop.get());
  m_bLookupFound = false;
  m_strSinkName.clear();
  int result = WaitOperation(
      HX_PulseOperationPtr(pa_context_get_server_info(m_pContext.get(), &OnServerInfo, this)));
  if (result == 0 && !m_bLookupFound) result = -PA_ERR_NOENTITY;
  return result;
}

int HX_PulseLoopback::openOutput() {
  if (!m_bLoopRunning || m_strSinkName.empty()) return -PA_ERR_BADSTATE;
  HX_PulseLoopLock lock(m_pLoop.get());
  m_bLookupFound = false;
  m_iLookupError = 0;
  int result = WaitOperation(HX_PulseOperationPtr(pa_context_get_sink_info_by_name(
      m_pContext.get(), m_strSinkName.c_str(), &OnSinkInfo, this)));
  if (result == 0 && m_iLookupError != 0) result = -m_iLookupError;
  if (result == 0 && !m_bLookupFound) result = -PA_ERR_NOENTITY;
  return result;
}

int HX_PulseLoopback::getDevicePeriod(int64_t* period100ns) {
  if (!m_bLoopRunning || m_strMonitorName.empty()) return -PA_ERR_BADSTATE;
  int result = 0;
  {
    HX_PulseLoopLock lock(m_pLoop.get());
    m_bLookupFound = false;
    m_iLookupError = 0;
    result = WaitOperation(HX_PulseOperationPtr(pa_context_get_source_info_by_name(
        m_pContext.get(), m_strMonitorName.c_str(), &OnSourceInfo, this)));
    if (result == 0 && m_iLookupError != 0) result = -m_iLookupError;
    if (result == 0 && !m_bLookupFound) result = -PA_ERR_NOENTITY;
  }
  // The monitor delivers what the stream's fragment asks for.
  if (result == 0 && period100ns != nullptr) *period100ns = int64_t{kPacketMs} * 10000;
  return result;
}

int HX_PulseLoopback::getMixFormat(HX_LoopbackFormat* format) {
  if (m_strMonitorName.empty() || format == nullptr) return -PA_ERR_BADSTATE;
  return FormatFromSpec(m_stSinkSpec, m_stSinkMap, format);
}

int HX_PulseLoopback::initialize(int64_t bufferDuration100ns, const HX_LoopbackFormat& format) {
  if (!m_bLoopRunning || m_strMonitorName.empty() || m_pStream) return -PA_ERR_BADSTATE;
  HX_LoopbackFormat sinkFormat;
  if (FormatFromSpec(m_stSinkSpec, m_stSinkMap, &sinkFormat) != 0 ||
      format.m_uiSampleRate != sinkFormat.m_uiSampleRate ||
      format.m_usChannels != sinkFormat.m_usChannels ||
      format.m_usBlockAlign != sinkFormat.m_usBlockAlign || bufferDuration100ns <= 0) {
    return -PA_ERR_INVALID;
  }
  HX_PulseLoopLock lock(m_pLoop.get());
  int result = 0;
  m_pStream.reset(pa_stream_new(m_pContext.get(), "Ostrel system sound", &m_stSinkSpec,
                                &m_stSinkMap));
  if (!m_pStream) {
    result = ContextError();
  } else {
    pa_stream_set_state_callback(m_pStream.get(), &OnStreamState, this);
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);  // every field "server default" ...
    const uint32_t fragment = static_cast<uint32_t>(pa_usec_to_bytes(kPacketMs * 1000, &m_stSinkSpec));
    const uint32_t buffer = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(bufferDuration100ns / 10), &m_stSinkSpec));
    const uint32_t heldUp = static_cast<uint32_t>(pa_usec_to_bytes(kHeldUpMs * 1000, &m_stSinkSpec));
    attr.fragsize = fragment;  // ... but packets of about 10 ms
    // Room for a backlog: sound the server drops for want of room leaves no
    // trace, and the sound after it would be placed too early.
    attr.maxlength = std::max({buffer, fragment * 2, heldUp});
    // Corked until startStream; ADJUST_LATENCY makes the monitor itself run
    // at the fragment's latency so packets really come every 10 ms.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED |
                                                      PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(m_pStream.get(), m_strMonitorName.c_str(), &attr, flags) < 0) {
      result = ContextError();
    } else {
      for (;;) {
        pa_stream_state_t state = pa_stream_get_state(m_pStream.get());
        if (state == PA_STREAM_READY) break;
        if (!PA_STREAM_IS_GOOD(state)) {
          result = ContextError();
          break;
        }
        pa_threaded_mainloop_wait(m_pLoop.get());
      }
    }
  }
  return result;
}

int HX_PulseLoopback::openCaptureSide() {
  if (!m_pStream) return -PA_ERR_BADSTATE;
  HX_PulseLoopLock lock(m_pLoop.get());
  int result = 0;
  const pa_sample_spec* sampleSpec = pa_stream_get_sample_spec(m_pStream.get());
  const pa_buffer_attr* attr = pa_stream_get_buffer_attr(m_pStream.get());
  if (pa_stream_get_state(m_pStream.get()) != PA_STREAM_READY || sampleSpec == nullptr ||
      attr == nullptr) {
    result = ContextError();
  } else if (!pa_sample_spec_equal(sampleSpec, &m_stSinkSpec)) {
    // Packets must be in the mix format the caller has set up to convert.
    result = -PA_ERR_NOTSUPPORTED;
  } else {
    m_uiFrameBytes = static_cast<uint32_t>(pa_frame_size(sampleSpec));
    m_vPacket.clear();
    m_vPacket.reserve(attr->fragsize != static_cast<uint32_t>(-1) ? attr->fragsize * 2 : 8192);
  }
  return result;
}

int HX_PulseLoopback::startStream() {
  if (!m_pStream || m_uiFrameBytes == 0) return -PA_ERR_BADSTATE;
  HX_PulseLoopLock lock(m_pLoop.get());
  m_bOperationSucceeded = false;
  int result =
      WaitOperation(HX_PulseOperationPtr(pa_stream_cork(m_pStream.get(), 0, &OnSuccess, this)));
  if (result == 0 && !m_bOperationSucceeded) result = ContextError();
  return result;
}

int HX_PulseLoopback::nextPacketFrames(uint32_t* frames) {
  if (frames == nullptr) return -PA_ERR_INVALID;
  *frames = 0;
  if (!m_pStream || m_uiFrameBytes == 0) return -PA_ERR_BADSTATE;
  int result = 0;
  if (m_vPacket.size() < m_uiFrameBytes) {
    HX_PulseLoopLock lock(m_pLoop.get());
    if (pa_stream_get_state(m_pStream.get()) != PA_STREAM_READY) {
      result = ContextError();
    } else {
      // Take whole chunks until one frame is there.
      while (m_vPacket.size() < m_uiFrameBytes) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(m_pStream.get(), &data, &bytes) < 0) {
          result = ContextError();
          break;
        }
        if (bytes == 0) break;
        if (data != nullptr) {
          const auto* p = static_cast<const uint8_t*>(data);
          m_vPacket.insert(m_vPacket.end(), p, p + bytes);
        } else {
          // A hole is sound that never reached the stream: silence keeps
          // what follows at its own time.
          m_vPacket.insert(m_vPacket.end(), bytes, m_stSinkSpec.format == PA_SAMPLE_U8 ? 0x80 : 0);
        }
        pa_stream_drop(m_pStream.get());
      }
    }
  }
  if (result == 0) *frames = static_cast<uint32_t>(m_vPacket.size() / m_uiFrameBytes);
  return result;
}

int HX_PulseLoopback::getBuffer(const uint8_t** data, uint32_t* frames) {
  if (data == nullptr || frames == nullptr) return -PA_ERR_INVALID;
  if (m_uiFrameBytes == 0) return -PA_ERR_BADSTATE;
  *frames = static_cast<uint32_t>(m_vPacket.size() / m_uiFrameBytes);
  *data = *frames > 0 ? m_vPacket.data() : nullptr;
  return *frames > 0 ? 0 : -PA_ERR_NODATA;
}

int HX_PulseLoopback::releaseBuffer(uint32_t frames) {
  if (m_uiFrameBytes == 0) return -PA_ERR_BADSTATE;
  size_t bytes = std::min<size_t>(size_t{frames} * m_uiFrameBytes, m_vPacket.size());
  m_vPacket.erase(m_vPacket.begin(), m_vPacket.begin() + static_cast<std::ptrdiff_t>(bytes));
  return 0;
}

void HX_PulseLoopback::close() {
  if (m_pLoop && m_bLoopRunning) {
    // Stream and context go with the loop locked, so no callback of theirs
    // runs half-way through; then the loop's thread is stopped and freed.
    {
      HX_PulseLoopLock lock(m_pLoop.get());
      m_pStream.reset();
      m_pContext.reset();
    }
    pa_threaded_mainloop_stop(m_pLoop.get());
    m_bLoopRunning = false;
  }
  m_pStream.reset();
  m_pContext.reset();
  m_pLoop.reset();
  m_vPacket.clear();
  m_uiFrameBytes = 0;
}

uint32_t HX_PulseLoopback::ChannelMaskFromMap(const pa_channel_map& map) {
  uint32_t mask = 0;
  for (unsigned i = 0; i < map.channels && i < PA_CHANNELS_MAX; ++i) {
    uint32_t bit = 0;
    switch (map.map[i]) {
      case PA_CHANNEL_POSITION_MONO: bit = kSpeakerFrontCenter; break;
      case PA_CHANNEL_POSITION_FRONT_LEFT: bit = kSpeakerFrontLeft; break;
      case PA_CHANNEL_POSITION_FRONT_RIGHT: bit = kSpeakerFrontRight; break;
      case PA_CHANNEL_POSITION_FRONT_CENTER: bit = kSpeakerFrontCenter; break;
      case PA_CHANNEL_POSITION_LFE: bit = kSpeakerLowFrequency; break;
      case PA_CHANNEL_POSITION_REAR_LEFT: bit = kSpeakerBackLeft; break;
      case PA_CHANNEL_POSITION_REAR_RIGHT: bit = kSpeakerBackRight; break;
      case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER: bit = kSpeakerFrontLeftOfCenter; break;
      case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER: bit = kSpeakerFrontRightOfCenter; break;
      case PA_CHANNEL_POSITION_REAR_CENTER: bit = kSpeakerBackCenter; break;
      case PA_CHANNEL_POSITION_SIDE_LEFT: bit = kSpeakerSideLeft; break;
      case PA_CHANNEL_POSITION_SIDE_RIGHT: bit = kSpeakerSideRight; break;
      case PA_CHANNEL_POSITION_TOP_CENTER: bit = kSpeakerTopCenter; break;
      case PA_CHANNEL_POSITION_TOP_FRONT_LEFT: bit = kSpeakerTopFrontLeft; break;
      case PA_CHANNEL_POSITION_TOP_FRONT_CENTER: bit = kSpeakerTopFrontCenter; break;
      case PA_CHANNEL_POSITION_TOP_FRONT_RIGHT: bit = kSpeakerTopFrontRight; break;
      case PA_CHANNEL_POSITION_TOP_REAR_LEFT: bit = kSpeakerTopBackLeft; break;
      case PA_CHANNEL_POSITION_TOP_REAR_CENTER: bit = kSpeakerTopBackCenter; break;
      case PA_CHANNEL_POSITION_TOP_REAR_RIGHT: bit = kSpeakerTopBackRight; break;
      default: return 0;  // aux and other positions have no speaker bit
    }
    if ((mask & bit) != 0) return 0;
    mask |= bit;
  }
  return mask;
}

int HX_PulseLoopback::FormatFromSpec(const pa_sample_spec& sampleSpec, const pa_channel_map& map,
                                     HX_LoopbackFormat* format) {
  if (format == nullptr || !pa_sample_spec_valid(&sampleSpec) || !pa_channel_map_valid(&map) ||
      map.channels != sampleSpec.channels) {
    return -PA_ERR_INVALID;
  }
  HX_LoopbackFormat f;
  f.m_uiSampleRate = sampleSpec.rate;
  f.m_usChannels = sampleSpec.channels;
  f.m_usBlockAlign = static_cast<uint16_t>(pa_frame_size(&sampleSpec));
  f.m_usBitsPerSample = static_cast<uint16_t>(pa_sample_size(&sampleSpec) * 8);
  f.m_uiChannelMask = ChannelMaskFromMap(map);
  switch (sampleSpec.format) {
    case PA_SAMPLE_U8:
    case PA_SAMPLE_S16LE:
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S32LE:
      f.m_usFormatTag = kWaveFormatPcm;
      break;
    case PA_SAMPLE_FLOAT32LE:
      f.m_usFormatTag = kWaveFormatExtensible;
      f.m_bSubFormatFloat = true;
      break;
    case PA_SAMPLE_S24_32LE:
      // 24 valid bits in a 32-bit container: extensible integer PCM.
      f.m_usFormatTag = kWaveFormatExtensible;
      f.m_bSubFormatFloat = false;
      break;
    case PA_SAMPLE_ALAW:
      f.m_usFormatTag = kWaveFormatALaw;
      break;
    case PA_SAMPLE_ULAW:
      f.m_usFormatTag = kWaveFormatMuLaw;
      break;
    default:
      // Big-endian samples have no wave-format tag.
      f.m_usFormatTag = kWaveFormatUnknown;
      break;
  }
  *format = f;
  return 0;
}
