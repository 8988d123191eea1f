#include "ndi/VrNDISend.h"

#include <chrono>

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "platform/HX_Clock.h"
#include "platform/HX_Thread.h"
#include "platform/HX_ThreadName.h"

namespace {
void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Bytes the runtime reads for one picture at the default stride.
int64_t PictureBytes(int32_t pixelFormat, int32_t width, int32_t height) {
  const int64_t w = width;
  const int64_t h = height;
  if (pixelFormat == kVrPixFmtBGRA) return w * h * 4;
  // NV12: the luma plane, then (h + 1) / 2 interleaved chroma rows of w bytes.
  return w * h + w * ((h + 1) / 2);
}
}  // namespace

VrNDISend::VrNDISend(const std::vector<std::string>& runtimeCandidates) {
  if (m_runtime.Load(runtimeCandidates) != 0) return;  // Load logged the reason
  // A runtime that refuses to initialise (unsupported CPU) also refuses to
  // create a sender, so its result is not checked separately.
  m_runtime.m_pfnInitialize();
  NDIlib_send_create_t create{};
  create.p_ndi_name = kSourceName;
  create.p_groups = nullptr;
  create.clock_video = false;
  create.clock_audio = false;
  m_pSendInstance = m_runtime.m_pfnSendCreate(&create);
  if (m_pSendInstance == nullptr) {
    HX_LOG_WARNING("NDI sender \"%s\" could not be created by %s, NDI output is unavailable",
                   kSourceName, m_runtime.LoadedName().c_str());
  } else {
    HX_LOG_INFO("NDI sender \"%s\" created with %s", kSourceName,
                m_runtime.LoadedName().c_str());
  }
}

VrNDISend::~VrNDISend() {
  stop();
  if (m_runtime.IsLoaded()) {
    if (m_pSendInstance != nullptr) m_runtime.m_pfnSendDestroy(m_pSendInstance);
    m_pSendInstance = nullptr;
    m_runtime.m_pfnDestroy();
  }
}

int VrNDISend::start() {
  if (m_videoThread.joinable() || m_audioThread.joinable()) {
    HX_LOG_ERROR_TRACE("NDI sender threads are already running");
    return -1;
  }
  m_bStop = false;
  std::string error;
  if (HX_StartThread(&m_videoThread, [this] { SendVideo(); }, &error) != 0 ||
      HX_StartThread(&m_audioThread, [this] { SendAudio(); }, &error) != 0) {
    HX_LOG_ERROR("cannot start an NDI sender thread: %s", error.c_str());
    stop();
    return -2;
  }
  return 0;
}

void VrNDISend::stop() {
  m_bStop = true;
  if (m_videoThread.joinable()) m_videoThread.join();
  if (m_audioThread.joinable()) m_audioThread.join();
  m_videoQueue.clear();
  m_audioQueue.clear();
}

int VrNDISend::PushFrame(VrMediaFramePtr frame) {
  if (!frame) return 0;
  if (frame->m_iMediaType == VR_MEDIA_VIDEO) {
    EnqueueVideo(std::move(frame));
  } else if (frame->m_iMediaType == VR_MEDIA_AUDIO) {
    EnqueueAudio(std::move(frame));
  }
  return 0;
}

void VrNDISend::EnqueueVideo(VrMediaFramePtr frame) {
  if (m_videoQueue.push(std::move(frame)).dropped > 0) HX_LOG_WARNING("Video Frame Loss.");
}

void VrNDISend::EnqueueAudio(VrMediaFramePtr block) {
  if (m_audioQueue.push(std::move(block)).dropped > 0) HX_LOG_WARNING("Audio Frame Loss.");
}

VrMediaFramePtr VrNDISend::DequeueVideo() { return m_videoQueue.pop(); }

VrMediaFramePtr VrNDISend::DequeueAudio() { return m_audioQueue.pop(); }

void VrNDISend::RequeueAudio(VrMediaFramePtr block) { m_audioQueue.pushFront(std::move(block)); }

size_t VrNDISend::VideoQueueSize() const { return m_videoQueue.size(); }

size_t VrNDISend::AudioQueueSize() const { return m_audioQueue.size(); }

bool VrNDISend::IsAudioDue(int64_t nowMs, int64_t wallOriginMs, int64_t timestampMs,
                           int64_t firstTimestampMs) {
  if (timestampMs <= firstTimestampMs) return true;
  return nowMs - wallOriginMs >= timestampMs - firstTimestampMs;
}

void VrNDISend::SendVideo() {
  HX_SetThreadName("ostrel-ndi-v");
  HX_ServerConfiguration* config = HX_ServerConfiguration::instance();
  const int32_t fps = config->m_iFps;
  int32_t width = 0;
  int32_t height = 0;
  config->getOutputSize(&width, &height);
  while (!m_bStop) {
    VrMediaFramePtr frame = m_videoQueue.popFor(std::chrono::milliseconds(kIdleWaitMs));
    if (!frame || frame->m_pData == nullptr || frame->m_iSize <= 0) continue;
    Publish(frame, width, height, fps);
  }
}

void VrNDISend::Publish(const VrMediaFramePtr& frame, int32_t width, int32_t height,
                        int32_t fps) {
  if (frame->m_iWidth != width || frame->m_iHeight != height) {
    HX_LOG_WARNING("NDI Send Data Resolution is different from output resolution");
    return;
  }
  NDIlib_video_frame_v2_t video = VrNDIDefaultVideoFrame();
  if (frame->m_iPixelFormat == kVrPixFmtBGRA) {
    video.FourCC = NDIlib_FourCC_type_BGRA;
  } else if (frame->m_iPixelFormat == kVrPixFmtNV12) {
    video.FourCC = NDIlib_FourCC_type_NV12;
  } else {
    HX_LOG_WARNING("Unsupported NDI send format");
    return;
  }
  // The runtime reads a whole picture from the payload: a short one would be
  // read past its end.
  if (frame->m_iSize < PictureBytes(frame->m_iPixelFormat, width, height)) {
    HX_LOG_WARNING("NDI Send Data holds %d bytes, too few for a %dx%d picture", frame->m_iSize,
                   width, height);
    return;
  }
  if (m_pSendInstance == nullptr) return;
  video.xres = width;
  video.yres = height;
  video.frame_rate_N = fps * 100;
  video.frame_rate_D = 100;
  video.picture_aspect_ratio = 0.0f;
  video.frame_format_type = NDIlib_frame_format_type_progressive;
  video.timecode = NDIlib_send_timecode_synthesize;
  video.p_data = frame->m_pData;
  video.line_stride_in_bytes = 0;
  video.p_metadata = nullptr;
  video.timestamp = 0;
  // Synchronous: the runtime is done with the payload when the call returns.
  m_runtime.m_pfnSendVideoV2(m_pSendInstance, &video);
}

void VrNDISend::SendAudio() {
  HX_SetThreadName("ostrel-ndi-a");
  bool haveFirst = false;
  int64_t firstAudioTime = 0;
  int64_t wallOrigin = 0;
  while (!m_bStop) {
    VrMediaFramePtr block = m_audioQueue.popFor(std::chrono::milliseconds(kIdleWaitMs));
    if (!block) continue;
    const int64_t now = HX_GetTickMs();
    if (!haveFirst) {
      haveFirst = true;
      firstAudioTime = block->m_llTimestamp;
      wallOrigin = now;
    }
    if (!IsAudioDue(now, wallOrigin, block->m_llTimestamp, firstAudioTime)) {
      RequeueAudio(std::move(block));
      SleepMs(kEarlyAudioSleepMs);
      continue;
    }
    const int64_t needed = int64_t{block->m_iSamples} * block->m_iChannels * 2;
    if (block->m_pData == nullptr || block->m_iChannels <= 0 || block->m_iSamples <= 0 ||
        block->m_iSampleRate <= 0 || block->m_iSize < needed) {
      HX_LOG_WARNING("NDI Send Audio block dropped: %d bytes for %d samples x %d channels",
                     block->m_iSize, block->m_iSamples, block->m_iChannels);
      continue;
    }
    if (m_pSendInstance == nullptr) continue;
    NDIlib_audio_frame_interleaved_16s_t audio{};
    audio.sample_rate = block->m_iSampleRate;
    audio.no_channels = block->m_iChannels;
    audio.no_samples = block->m_iSamples;
    audio.timecode = NDIlib_send_timecode_synthesize;
    audio.reference_level = 0;
    audio.p_data = reinterpret_cast<int16_t*>(block->m_pData);
    m_runtime.m_pfnSendAudioInterleaved16s(m_pSendInstance, &audio);
  }
}
