#include "platform/pipewire/HX_PipeWireStream.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "log/HX_Log.h"
#include "platform/pipewire/HX_PipeWireHandle.h"

namespace {

void InitPipeWireOnce() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

bool PixelsOf(uint32_t format, HX_PipeWirePixels* pixels) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx: *pixels = HX_PipeWirePixels::kBGRx; return true;
    case SPA_VIDEO_FORMAT_BGRA: *pixels = HX_PipeWirePixels::kBGRA; return true;
    case SPA_VIDEO_FORMAT_RGBx: *pixels = HX_PipeWirePixels::kRGBx; return true;
    case SPA_VIDEO_FORMAT_RGBA: *pixels = HX_PipeWirePixels::kRGBA; return true;
    default: return false;
  }
}

// Raw video in one of the four 32-bit layouts, any size and rate; the
// compositor's own format (BGRx) comes first as the preferred one.
const spa_pod* BuildFormat(spa_pod_builder* b) {
  const spa_rectangle defSize = SPA_RECTANGLE(1280, 720);
  const spa_rectangle minSize = SPA_RECTANGLE(1, 1);
  const spa_rectangle maxSize = SPA_RECTANGLE(16384, 16384);
  const spa_fraction defRate = SPA_FRACTION(30, 1);
  const spa_fraction minRate = SPA_FRACTION(0, 1);
  const spa_fraction maxRate = SPA_FRACTION(1000, 1);
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
}

}  // namespace

struct HX_PipeWireStream::Impl {
  static void OnCoreDone(void* user, uint32_t id, int seq);
  static void OnCoreError(void* user, uint32_t id, int seq, int res, const char* message);
  static void OnGlobal(void* user, uint32_t id, uint32_t permissions, const char* type,
                       uint32_t version, const spa_dict* props);
  static void OnGlobalRemove(void* user, uint32_t id);
  static void OnStreamState(void* user, pw_stream_state old, pw_stream_state state,
                            const char* error);
  static void OnParamChanged(void* user, uint32_t id, const spa_pod* param);
  static void OnProcess(void* user);
  // The newest buffer as plain numbers; false when it carries no data at all.
  static bool ViewOf(const HX_PipeWireStream& self, pw_buffer* buffer, HX_PipeWireBufferView* out);

  HX_PipeWireLoopPtr m_pLoop;
  HX_PipeWireContextPtr m_pContext;
  HX_PipeWireCorePtr m_pCore;
  HX_PipeWireRegistryPtr m_pRegistry;
  HX_PipeWireStreamPtr m_pStream;
  spa_hook m_stCoreListener{};
  spa_hook m_stRegistryListener{};
  spa_hook m_stStreamListener{};
};

HX_PipeWireStream::HX_PipeWireStream() : m_pImpl(std::make_unique<Impl>()) {}

HX_PipeWireStream::~HX_PipeWireStream() { Disconnect(); }

bool HX_PipeWireStream::ended() const {
  const State state = m_eState.load();
  return state == State::kEnded || state == State::kFailed;
}

std::string HX_PipeWireStream::ending() const {
  HX_LockGuard lock(m_mutex);
  return m_strEnding;
}

void HX_PipeWireStream::End(State state, const std::string& why) {
  {
    HX_LockGuard lock(m_mutex);
    if (!m_strEnding.empty()) return;
    m_strEnding = why;
  }
  m_eState = state;
  if (m_pImpl->m_pLoop) pw_thread_loop_signal(m_pImpl->m_pLoop.get(), false);
}

int HX_PipeWireStream::Connect(HX_UniqueFd remote, uint32_t nodeId) {
  Impl& p = *m_pImpl;
  Disconnect();
  InitPipeWireOnce();
  m_uiNode = nodeId;
  {
    HX_LockGuard lock(m_mutex);
    m_strEnding.clear();
    m_stReady.m_ullSequence = 0;
  }
  m_ullCount = 0;
  m_bFormat = m_bBadLayoutSaid = false;
  m_bSynced = m_bNodeSeen = false;

  p.m_pLoop.reset(pw_thread_loop_new("ostrel-pipewire", nullptr));
  if (p.m_pLoop) p.m_pContext.reset(pw_context_new(pw_thread_loop_get_loop(p.m_pLoop.get()), nullptr, 0));
  if (!p.m_pContext) {
    End(State::kFailed, "could not be set up: PipeWire has no thread loop or context");
    return kNoLoop;
  }
  // The context takes the descriptor over, also when the connection fails.
  const bool portal = remote.valid();
  p.m_pCore.reset(portal ? pw_context_connect_fd(p.m_pContext.get(), remote.release(), nullptr, 0)
                         : pw_context_connect(p.m_pContext.get(), nullptr, 0));
  if (!p.m_pCore) {
    End(State::kFailed, std::string("could not be reached: ") +
                            (portal ? "the portal's PipeWire remote" : "the session's PipeWire daemon") +
                            " refused the connection (" + std::strerror(errno) + ")");
    return kNoDaemon;
  }
  static const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = &Impl::OnCoreDone;
    e.error = &Impl::OnCoreError;
    return e;
  }();
  pw_core_add_listener(p.m_pCore.get(), &p.m_stCoreListener, &coreEvents, this);
  m_eState = State::kConnecting;
  if (pw_thread_loop_start(p.m_pLoop.get()) < 0) {
    End(State::kFailed, "could not be set up: the PipeWire thread loop did not start");
    return kNoLoop;
  }

  HX_PipeWireLoopLock lock(p.m_pLoop.get());
  const int found = WaitForNode();
  if (found != 0) return found;

  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                           "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr);
  p.m_pStream.reset(pw_stream_new(p.m_pCore.get(), "Ostrel screen capture", props));
  if (!p.m_pStream) {
    End(State::kFailed, "could not be made (" + std::string(std::strerror(errno)) + ")");
    return kNoStream;
  }
  static const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &Impl::OnStreamState;
    e.param_changed = &Impl::OnParamChanged;
    e.process = &Impl::OnProcess;
    return e;
  }();
  pw_stream_add_listener(p.m_pStream.get(), &p.m_stStreamListener, &streamEvents, this);

  uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[] = {BuildFormat(&builder)};
  // The session manager links the stream to the node; it must not move the
  // stream to another node when this one goes away: that ends the stream.
  const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                  PW_STREAM_FLAG_MAP_BUFFERS |
                                                  PW_STREAM_FLAG_DONT_RECONNECT);
  const int rc = pw_stream_connect(p.m_pStream.get(), PW_DIRECTION_INPUT, nodeId, flags, params, 1);
  if (rc < 0) {
    End(State::kFailed, "could not be connected (" + std::string(std::strerror(-rc)) + ")");
    return kNoStream;
  }
  return 0;
}

int HX_PipeWireStream::WaitForNode() {
  Impl& p = *m_pImpl;
  static const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = &Impl::OnGlobal;
    e.global_remove = &Impl::OnGlobalRemove;
    return e;
  }();
  p.m_pRegistry.reset(pw_core_get_registry(p.m_pCore.get(), PW_VERSION_REGISTRY, 0));
  if (!p.m_pRegistry) {
    End(State::kFailed, "could not be set up: the PipeWire registry is not available");
    return kNoDaemon;
  }
  pw_registry_add_listener(p.m_pRegistry.get(), &p.m_stRegistryListener, &registryEvents, this);
  // The registry announces every object before the answer to this sync.
  m_iSyncSeq = pw_core_sync(p.m_pCore.get(), PW_ID_CORE, 0);
  timespec deadline{};
  pw_thread_loop_get_time(p.m_pLoop.get(), &deadline, int64_t{kSyncTimeoutMs} * SPA_NSEC_PER_MSEC);
  while (!m_bSynced && !ended()) {
    if (pw_thread_loop_timed_wait_full(p.m_pLoop.get(), &deadline) != 0) {
      End(State::kFailed, "could not be reached: the PipeWire daemon did not answer within " +
                              std::to_string(kSyncTimeoutMs) + " ms");
      return kNoDaemon;
    }
  }
  if (ended()) return kNoDaemon;
  if (!m_bNodeSeen) {
    End(State::kEnded, "does not exist: the PipeWire remote has no such node");
    return kNoNode;
  }
  return 0;
}

void HX_PipeWireStream::Disconnect() {
  Impl& p = *m_pImpl;
  // With the loop's thread stopped no callback runs any more; everything
  // below is then released from this thread alone, newest first.
  if (p.m_pLoop) pw_thread_loop_stop(p.m_pLoop.get());
  if (p.m_pStream) spa_hook_remove(&p.m_stStreamListener);
  p.m_pStream.reset();
  if (p.m_pRegistry) spa_hook_remove(&p.m_stRegistryListener);
  p.m_pRegistry.reset();
  if (p.m_pCore) spa_hook_remove(&p.m_stCoreListener);
  p.m_pCore.reset();
  p.m_pContext.reset();
  p.m_pLoop.reset();
  m_eState = State::kUnconnected;
}

bool HX_PipeWireStream::TakeLatest(HX_PipeWirePicture* picture) {
  HX_LockGuard lock(m_mutex);
  if (m_stReady.m_ullSequence <= picture->m_ullSequence || m_stReady.m_vPixels.empty()) return false;
  std::swap(m_stReady, *picture);
  return true;
}

void HX_PipeWireStream::Impl::OnCoreDone(void* user, uint32_t id, int seq) {
  auto* self = static_cast<HX_PipeWireStream*>(user);
  if (id != PW_ID_CORE || seq != self->m_iSyncSeq) return;
  self->m_bSynced = true;
  pw_thread_loop_signal(self->m_pImpl->m_pLoop.get(), false);
}

void HX_PipeWireStream::Impl::OnCoreError(void* user, uint32_t id, int, int res, const char* message) {
  auto* self = static_cast<HX_PipeWireStream*>(user);
  // Errors about other objects reach the stream's own state callback; only
  // the connection itself matters here.
  if (id != PW_ID_CORE) return;
  const std::string why = res == -EPIPE ? "the PipeWire daemon closed the connection"
                                        : std::string("the PipeWire connection failed: ") +
                                              (message != nullptr ? message : std::strerror(-res));
  self->End(State::kFailed, "failed: " + why);
}

void HX_PipeWireStream::Impl::OnGlobal(void* user, uint32_t id, uint32_t, const char* type, uint32_t,
                                 const spa_dict*) {
  auto* self = static_cast<HX_PipeWireStream*>(user);
  if (id == self->m_uiNode && type != nullptr && std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    self->m_bNodeSeen = true;
  }
}

void HX_PipeWireStream::Impl::OnGlobalRemove(void* user, uint32_t id) {
  auto* self = static_cast<HX_PipeWireStream*>(user);
  if (id == self->m_uiNode && self->m_bNodeSeen) self->End(State::kEnded, "ended: its producer went away");
}

void HX_PipeWireStream::Impl::OnStreamState(void* user, pw_stream_state old, pw_stream_state state,
                                      const char* error) {
  auto* self = static_cast<HX_PipeWireStream*>(user);
  if (self->ended()) return;
  switch (state) {
    case PW_STREAM_STATE_ERROR:
      self->End(State::kFailed, std::string("failed: ") + (error != nullptr ? error : "unknown error"));
      break;
    case PW_STREAM_STATE_UNCONNECTED:
      // Only the daemon's side can unconnect a stream that was connecting or linked.
      if (old != PW_STREAM_STATE_UNCONNECTED) self->End(State::kEnded, "ended: PipeWire unlinked it");
      break;
    case PW_STREAM_STATE_CONNECTING:
      self->m_eState = State::kConnecting;
      break;
    case PW_STREAM_STATE_PAUSED:
      self->m_eState = State::kPaused;
      break;
    case PW_STREAM_STATE_STREAMING:
      self->m_eState = State::kStreaming;
      HX_LOG_INFO("the PipeWire stream of node %u is streaming %dx%d %s", self->m_uiNode,
                  self->m_iWidth, self->m_iHeight, HX_PipeWirePixelsName(self->m_ePixels));
      break;
  }
}

void HX_PipeWireStream::Impl::OnParamChanged(void* user, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<HX_PipeWireStream*>(user);
  if (id != SPA_PARAM_Format || param == nullptr) return;
  uint32_t mediaType = 0;
  uint32_t mediaSubtype = 0;
  spa_video_info_raw info{};
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0 ||
      !PixelsOf(info.format, &self->m_ePixels) || info.size.width == 0 || info.size.height == 0) {
    self->m_bFormat = false;
    self->End(State::kFailed, "failed: the producer chose a format other than 32-bit RGB");
    return;
  }
  self->m_iWidth = static_cast<int32_t>(info.size.width);
  self->m_iHeight = static_cast<int32_t>(info.size.height);
  self->m_bFormat = true;

  // Buffers in shared memory only (mapped by the stream), plus the crop meta
  // a compositor uses to send a part of a larger buffer.
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
      SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
      SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
  pw_stream_update_params(self->m_pImpl->m_pStream.get(), params, 2);
}

void HX_PipeWireStream::Impl::OnProcess(void* user) {
  auto* self = static_cast<HX_PipeWireStream*>(user);
  // Only the newest buffer counts: older ones go straight back.
  pw_buffer* newest = nullptr;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->m_pImpl->m_pStream.get())) {
    if (newest != nullptr) pw_stream_queue_buffer(self->m_pImpl->m_pStream.get(), newest);
    newest = buffer;
  }
  if (newest == nullptr) return;
  HX_PipeWireBufferView view;
  if (ViewOf(*self, newest, &view)) self->Receive(view);
  pw_stream_queue_buffer(self->m_pImpl->m_pStream.get(), newest);
}

bool HX_PipeWireStream::Impl::ViewOf(const HX_PipeWireStream& self, pw_buffer* buffer,
                                     HX_PipeWireBufferView* out) {
  spa_buffer* b = buffer->buffer;
  if (!self.m_bFormat || b == nullptr || b->n_datas < 1 || b->datas[0].chunk == nullptr) return false;
  const spa_data& data = b->datas[0];
  HX_PipeWireBufferView& view = *out;
  view.m_ePixels = self.m_ePixels;
  view.m_iWidth = self.m_iWidth;
  view.m_iHeight = self.m_iHeight;
  view.m_pData = static_cast<const uint8_t*>(data.data);
  view.m_uiMaxSize = data.maxsize;
  view.m_uiChunkOffset = data.chunk->offset;
  view.m_uiChunkSize = (data.chunk->flags & SPA_CHUNK_FLAG_EMPTY) != 0 ? 0 : data.chunk->size;
  view.m_iChunkStride = data.chunk->stride;
  view.m_bCorrupted = (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0;
  const auto* crop = static_cast<const spa_meta_region*>(
      spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof(spa_meta_region)));
  if (crop != nullptr && spa_meta_region_is_valid(crop)) {
    view.m_bCrop = true;
    view.m_iCropX = crop->region.position.x;
    view.m_iCropY = crop->region.position.y;
    view.m_iCropWidth = static_cast<int32_t>(crop->region.size.width);
    view.m_iCropHeight = static_cast<int32_t>(crop->region.size.height);
  }
  return true;
}

void HX_PipeWireStream::Receive(const HX_PipeWireBufferView& view) {
  const int rc = HX_ConvertBuffer(view, &m_stBack);
  if (rc == kPipeWireBadLayout && !m_bBadLayoutSaid) {
    m_bBadLayoutSaid = true;
    HX_LOG_WARNING("the PipeWire stream of node %u sent a buffer whose rows do not fit it "
                   "(%dx%d %s, stride %d, offset %u, %u bytes); such buffers are skipped",
                   m_uiNode, m_iWidth, m_iHeight, HX_PipeWirePixelsName(m_ePixels),
                   view.m_iChunkStride, view.m_uiChunkOffset, view.m_uiMaxSize);
  }
  if (rc != 0) return;
  m_stBack.m_ullSequence = ++m_ullCount;
  HX_LockGuard lock(m_mutex);
  std::swap(m_stBack, m_stReady);
}
