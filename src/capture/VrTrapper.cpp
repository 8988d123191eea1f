#include "capture/VrTrapper.h"

#include <algorithm>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "capture/VrScreenSource.h"
#include "config/HX_ServerConfiguration.h"
#include "core/VrStageTiming.h"
#include "log/HX_Log.h"
#include "platform/HX_Clock.h"
#include "platform/HX_ThreadName.h"

namespace {
constexpr auto kVideoIdleSleep = std::chrono::milliseconds(5);
constexpr auto kAudioPollSleep = std::chrono::milliseconds(1);
constexpr auto kAudioMaxSleep = std::chrono::milliseconds(10);
// A sample rate that cannot be paced by is replaced with this one.
constexpr int32_t kFallbackSampleRate = 44100;
}  // namespace

VrTrapper::VrTrapper(void* deviceWindow, VrTrapperSources* sources)
    : m_pDeviceWindow(deviceWindow),
      m_pSources(sources != nullptr ? sources : &VrTrapperSources::Default()) {
  HX_ServerConfiguration::instance()->getOutputSize(&m_iOutputWidth, &m_iOutputHeight);
}

VrTrapper::~VrTrapper() { stop(); }

std::unique_ptr<VrCapturer> VrTrapper::MakeVideoSource() {
  const HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  std::unique_ptr<VrCapturer> source;
  const int32_t mode = cfg->m_iCaptureMode;
  if (cfg->m_iCaptureBackend == kBackendPortal) {
    // The portal serves every capture mode: its chooser picks the monitor or
    // window, and a region is cropped from the monitor's stream.
    if (mode == kCaptureFullScreen || mode == kCaptureWindow || mode == kCaptureRegion) {
      source = m_pSources->MakeVideoSource(VrTrapperSources::kVideoPortal);
    }
  } else {
    switch (mode) {
      case kCaptureFullScreen:
        if (cfg->m_iFullScreenMethod == kMethodGDI) {
          source = m_pSources->MakeVideoSource(VrTrapperSources::kVideoGDI);
        } else if (cfg->m_iFullScreenMethod == kMethodDXGI) {
          source = m_pSources->MakeVideoSource(VrTrapperSources::kVideoDXGI);
        }
        break;
      case kCaptureWindow:
        source = m_pSources->MakeVideoSource(VrTrapperSources::kVideoWinRT);
        if (!m_pSources->WinRTCaptureSupported()) {
          HX_LOG_WARNING("This X display cannot capture a single window (no Composite 0.2 or DAMAGE); "
                         "its screen area is grabbed instead.");
          source.reset();
          source = m_pSources->MakeVideoSource(VrTrapperSources::kVideoGDI);
        }
        break;
      case kCaptureRegion:
        source = m_pSources->MakeVideoSource(VrTrapperSources::kVideoGDI);
        break;
      default:
        break;
    }
  }
  if (!source) HX_LOG_ERROR("This system version is not supported!!!");
  return source;
}

int VrTrapper::start() {
  m_bStop = false;
  // Both workers run before any source exists: SendVideo idles until frames
  // come, SendAudio starts sending silent blocks at once.
  try {
    if (!m_videoThread.joinable()) m_videoThread = std::thread(&VrTrapper::SendVideo, this);
    if (!m_audioThread.joinable()) m_audioThread = std::thread(&VrTrapper::SendAudio, this);
  } catch (const std::system_error& e) {
    HX_LOG_ERROR("cannot start a session worker: %s", e.what());
    return -1;
  }

  if (!m_pVideoSource) {
    m_pVideoSource = MakeVideoSource();
    if (!m_pVideoSource) return -1;
  }
  if (!m_bVideoSourceStarted) {
    m_pVideoSource->m_pCallback = &VrTrapper::OnFrame;
    m_pVideoSource->m_pContext = this;
    if (m_pVideoSource->start() != 0) return -1;
    m_bVideoSourceStarted = true;
  }

  const HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  // Device index 0 is the system-sound entry; others capture nothing here.
  if (cfg->m_bAudioEnable && !m_pAudioSource && cfg->m_iSoundDeviceIndex == 0) {
    m_pAudioSource = m_pSources->MakeSoundSource(cfg->m_iAudioSample);
    if (!m_pAudioSource) {
      HX_LOG_ERROR("the system-sound source cannot be made.");
      return -2;
    }
    m_pAudioSource->m_pCallback = &VrTrapper::OnFrame;
    m_pAudioSource->m_pContext = this;
    if (m_pAudioSource->start() != 0) return -2;
  }
  return 0;
}

void VrTrapper::stop() {
  // Sources first, so no frame arrives while the workers wind down.
  if (m_pVideoSource) {
    m_pVideoSource->stop();
    m_pVideoSource.reset();
  }
  m_bVideoSourceStarted = false;
  if (m_pAudioSource) {
    m_pAudioSource->stop();
    m_pAudioSource.reset();
  }
  m_bStop = true;
  if (m_videoThread.joinable()) m_videoThread.join();
  if (m_audioThread.joinable()) m_audioThread.join();
  m_pScaler.reset();
  // A later start paces from its own start instead of catching up, in one
  // burst, on every block of the stopped time.
  m_llAudioStartTime = -1;
  m_videoQueue.clear();
  m_audioQueue.clear();
}

int VrTrapper::OnFrame(VrMediaFramePtr frame, void* context) {
  if (context == nullptr || !frame) return 0;
  auto* self = static_cast<VrTrapper*>(context);
  if (frame->m_iMediaType == VR_MEDIA_VIDEO) {
    VrMarkStage(VrStage::kGrabbed, frame->m_llTimestamp);
    self->EnqueueVideo(std::move(frame));
  } else if (frame->m_iMediaType == VR_MEDIA_AUDIO) {
    self->EnqueueAudio(std::move(frame));
  }
  return 0;
}

int64_t VrTrapper::videoLostSince() const {
  const auto* screen = dynamic_cast<const VrScreenSource*>(m_pVideoSource.get());
  return screen != nullptr ? screen->lostSince() : -1;
}

int VrTrapper::EnqueueVideo(VrMediaFramePtr frame) { return m_videoQueue.push(std::move(frame)); }

int VrTrapper::EnqueueAudio(VrMediaFramePtr frame) {
  const size_t dropped = m_audioQueue.push(std::move(frame)).dropped;
  if (dropped == 0) {
    m_bAudioQueueFull = false;
  } else if (!m_bAudioQueueFull.exchange(true)) {
    HX_LOG_WARNING("captured sound runs ahead of the paced output: more than %zu blocks (about 200 ms) "
                   "waiting, the oldest are dropped",
                   kMaxAudioQueue);
  }
  return 0;
}

VrMediaFramePtr VrTrapper::DequeueVideo() { return m_videoQueue.pop(); }

VrMediaFramePtr VrTrapper::DequeueAudio() {
  // Now and then the backlog of captured sound goes to the log.
  if (std::rand() % 1000 == 0) HX_LOG_ERROR("%zu", m_audioQueue.size());
  return m_audioQueue.pop();
}

int VrTrapper::DeliverFrame(const VrMediaFramePtr& frame) {
  VrFrameCallback callback = m_pOutputCallback;
  void* context = m_pOutputContext;
  if (callback == nullptr || context == nullptr) return 0;
  return callback(frame, context);
}

void VrTrapper::SendVideo() {
  HX_SetThreadName("ostrel-video");
  int32_t lastWidth = 0;
  int32_t lastHeight = 0;
  const int32_t outputBytes = VrVideoScaler::NV12Size(m_iOutputWidth, m_iOutputHeight);
  while (!m_bStop) {
    VrMediaFramePtr frame = DequeueVideo();
    if (!frame) {
      m_videoQueue.waitForData(kVideoIdleSleep);
      continue;
    }
    if (frame->m_pData == nullptr) continue;
    if (frame->m_iWidth != lastWidth || frame->m_iHeight != lastHeight) {
      m_pLastSource.reset();
      m_pLastNV12.reset();
      m_pScaler.reset();
      m_pScaler.reset(new (std::nothrow) VrVideoScaler(m_pDeviceWindow, m_iOutputWidth,
                                                       m_iOutputHeight));
      lastWidth = frame->m_iWidth;
      lastHeight = frame->m_iHeight;
      HX_LOG_INFO("video input %dx%d, scaled to %dx%d NV12.", lastWidth, lastHeight,
                  m_iOutputWidth, m_iOutputHeight);
    }
    if (frame->m_iWidth == m_iOutputWidth && frame->m_iHeight == m_iOutputHeight &&
        frame->m_iPixelFormat == kVrPixFmtNV12) {
      DeliverFrame(frame);
      continue;
    }
    if (VrMediaFramePtr repeat = RepeatLastPicture(frame)) {
      VrMarkStage(VrStage::kNV12, repeat->m_llTimestamp);
      DeliverFrame(repeat);
      continue;
    }
    VrMediaFramePtr scaled = VrCreateMediaFrame();
    if (!scaled || !scaled->AllocData(outputBytes)) {
      HX_LOG_WARNING("memory alloc failed.");
      continue;
    }
    scaled->m_iMediaType = VR_MEDIA_VIDEO;
    scaled->m_iWidth = m_iOutputWidth;
    scaled->m_iHeight = m_iOutputHeight;
    scaled->m_llTimestamp = frame->m_llTimestamp;
    scaled->m_llReserved[0] = scaled->m_llReserved[1] = scaled->m_llReserved[2] = 0;
    scaled->m_iKeyFrame = 0;
    scaled->m_iPixelFormat = kVrPixFmtNV12;
    scaled->m_iCaptureMode = frame->m_iCaptureMode;
    scaled->m_iCaptureMethod = frame->m_iCaptureMethod;
    VrMediaFramePtr result = m_pScaler ? m_pScaler->Scale(frame, scaled) : nullptr;
    if (result) {
      m_pLastSource = frame;
      m_pLastNV12 = result;
      VrMarkStage(VrStage::kNV12, result->m_llTimestamp);
      DeliverFrame(result);
    } else {
      m_pLastSource.reset();
      m_pLastNV12.reset();
      HX_LOG_ERROR("libyuv Scale Video Frame Error.");
    }
  }
  m_pLastSource.reset();
  m_pLastNV12.reset();
}

VrMediaFramePtr VrTrapper::RepeatLastPicture(const VrMediaFramePtr& frame) const {
  // The source repeats a still screen by handing the same pixels on again;
  // holding the last source frame keeps its payload's address from being
  // reused by another picture, so an equal address means equal pixels.
  if (!m_pLastSource || !m_pLastNV12 || frame->m_pData != m_pLastSource->m_pData ||
      frame->m_iSize != m_pLastSource->m_iSize || frame->m_iPixelFormat != m_pLastSource->m_iPixelFormat) {
    return nullptr;
  }
  VrMediaFramePtr repeat = ShareMediaFrame(m_pLastNV12);
  if (!repeat) return nullptr;
  repeat->m_llTimestamp = frame->m_llTimestamp;
  repeat->m_iCaptureMode = frame->m_iCaptureMode;
  repeat->m_iCaptureMethod = frame->m_iCaptureMethod;
  return repeat;
}

int64_t VrTrapper::SlotOf(const VrMediaFrame& block, int32_t rate) const {
  // In units of 1/(1000 * rate) s, so that a block is a whole number.
  const int64_t blockUnits = int64_t{kAudioBlockSamples} * 1000;
  if (m_bAudioPlaced) {
    // The block after the last one placed goes into the next slot even when
    // its stamp, rounded to whole milliseconds, would round to another.
    const int64_t step = (block.m_llTimestamp - m_llLastPlacedStamp) * rate;
    if (2 * std::abs(step - blockUnits) < blockUnits) return m_llLastPlacedSlot + 1;
  }
  const int64_t sinceStart = (block.m_llTimestamp - m_llAudioStartTime) * rate;
  const int64_t twice = 2 * sinceStart + blockUnits;
  const int64_t den = 2 * blockUnits;
  return twice >= 0 ? twice / den : -((-twice + den - 1) / den);
}

VrMediaFramePtr VrTrapper::TakeCapturedFor(int64_t slot, int32_t rate) {
  bool dropped = false;
  VrMediaFramePtr found;
  while (VrMediaFramePtr head = DequeueAudio()) {
    const int64_t wanted = SlotOf(*head, rate);
    if (wanted < slot) {
      dropped = true;  // its time was paced out as silence already
      continue;
    }
    if (wanted > slot) {
      m_audioQueue.pushFront(std::move(head));  // a gap: silence until its time
      break;
    }
    m_bAudioPlaced = true;
    m_llLastPlacedSlot = slot;
    m_llLastPlacedStamp = head->m_llTimestamp;
    found = std::move(head);
    break;
  }
  if (dropped && !m_bAudioCatchingUp) {
    const size_t hold = m_uiAudioHold.load();
    HX_LOG_WARNING("captured sound is more than %zu blocks behind the clock; dropping the oldest", hold);
    if (hold < kMaxAudioHold) m_uiAudioHold.store(hold + 1);
  }
  m_bAudioCatchingUp = dropped;
  return found;
}

void VrTrapper::SendAudio() {
  HX_SetThreadName("ostrel-audio");
  int32_t rate = HX_ServerConfiguration::instance()->m_iAudioSample;
  if (rate < kAudioBlockSamples) {
    HX_LOG_ERROR("audio sample rate %d cannot be paced; %d is used.", rate, kFallbackSampleRate);
    rate = kFallbackSampleRate;
  }
  while (!m_bStop) {
    if (m_llAudioStartTime == -1) {
      m_llAudioStartTime = HX_GetTickMs();
      m_ullAudioSamplesSent = 0;
      m_bAudioPlaced = false;
      m_uiAudioHold.store(kMaxAudioBacklog);
    }
    // A block's slot is sent this long after it ends, so that the sound
    // captured in it has arrived.
    const int64_t holdMs =
        static_cast<int64_t>(m_uiAudioHold.load()) * kAudioBlockSamples * 1000 / rate;
    const int64_t elapsed = HX_GetTickMs() - m_llAudioStartTime - holdMs;
    const int64_t due = elapsed * rate / 1000;
    int64_t deficit = due - static_cast<int64_t>(m_ullAudioSamplesSent);
    if (deficit < kAudioBlockSamples) {
      // Sleep until the next block is due rather than polling every
      // millisecond; at most kAudioMaxSleep so that stop stays prompt.
      const int64_t waitMs = ((kAudioBlockSamples - deficit) * 1000 + rate - 1) / rate;
      std::this_thread::sleep_for(std::clamp(std::chrono::milliseconds(waitMs), kAudioPollSleep, kAudioMaxSleep));
      continue;
    }
    while (deficit >= kAudioBlockSamples && !m_bStop) {
      const int64_t slot = static_cast<int64_t>(m_ullAudioSamplesSent / kAudioBlockSamples);
      const int64_t timestamp =
          m_llAudioStartTime + static_cast<int64_t>(m_ullAudioSamplesSent * 1000 / rate);
      m_ullAudioSamplesSent += kAudioBlockSamples;
      deficit -= kAudioBlockSamples;

      VrMediaFramePtr block = VrCreateMediaFrame();
      if (!block || !block->AllocData(kAudioBlockBytes)) {
        // The timeline moves on; captured sound waits in the queue.
        HX_LOG_WARNING("memory alloc failed.");
        continue;
      }
      std::memset(block->m_pData, 0, kAudioBlockBytes);
      block->m_iMediaType = VR_MEDIA_AUDIO;
      block->m_iChannels = 2;
      block->m_iBitsPerSample = 16;
      block->m_iSampleRate = rate;
      block->m_iSamples = kAudioBlockSamples;
      // Captured sound goes into the slot of its own time: a lost block
      // leaves silence, a burst is spread over its own slots, and sound that
      // arrives after its slot was sent is dropped rather than delaying all
      // later sound.
      VrMediaFramePtr captured = TakeCapturedFor(slot, rate);
      if (captured && captured->m_pData != nullptr && captured->m_iSize > 0) {
        // A short block leaves silence behind it; a long one is cut.
        const int32_t n = captured->m_iSize < kAudioBlockBytes ? captured->m_iSize
                                                                : kAudioBlockBytes;
        std::memcpy(block->m_pData, captured->m_pData, n);
      }
      block->m_llTimestamp = timestamp;
      DeliverFrame(block);
    }
  }
}
