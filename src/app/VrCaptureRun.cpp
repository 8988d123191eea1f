#include "app/VrCaptureRun.h"

#include "app/HX_IOperatorPrompt.h"
#include "capture/VrTrapper.h"
#include "capture/VrTrapperSources.h"
#include "config/HX_ServerConfiguration.h"
#include "encode/VrAVEncoder.h"
#include "log/HX_Log.h"
#include "ndi/VrNDISend.h"
#include "platform/HX_Disk.h"
#include "protocol/HX_ClientList.h"
#include "protocol/VrTransServer.h"
#include "publish/VrPublisher.h"
#include "record/VrRecordFilter.h"

VrCaptureRun::VrCaptureRun(HX_IOperatorPrompt* prompt)
    : m_pPrompt(prompt), m_fnFreeSpace(&HX_FreeDiskBytes) {}

VrCaptureRun::~VrCaptureRun() { stop(); }

int64_t VrCaptureRun::displayLostSince() const {
  return m_pTrapper ? m_pTrapper->videoLostSince() : -1;
}

int VrCaptureRun::serverPort() const { return m_pServer ? m_pServer->listeningPort() : -1; }

int VrCaptureRun::Fail(int code, const char* text) {
  HX_LOG_ERROR("capture run not started: %s", text);
  if (m_pPrompt != nullptr) m_pPrompt->showMessage(text);
  stop();
  return code;
}

int VrCaptureRun::start() {
  if (m_bRunning) return kStarted;
  m_ullVideoFrames = 0;
  m_ullBytes = 0;
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  if (PrepareVideoSource() != 0) return Fail(kVideoFailed, HX_RunText::kVideoCaptureFailed);
  int32_t width = 0, height = 0;
  cfg->getOutputSize(&width, &height);
  if (width <= 0 || height <= 0) {
    HX_LOG_ERROR("output size %dx%d is not positive", width, height);
    if (m_pPrompt != nullptr) m_pPrompt->showMessage(HX_RunText::kWindowMissing);
    return kNoOutputSize;
  }
  m_bWithoutSound = false;
  const bool push = cfg->m_iPushFlowType == kPushPrivate;
  const bool ndi = cfg->m_iPushFlowType == kPushNDI;
  const bool record = cfg->m_bSyncRecord;
  const bool publish = !cfg->m_strPublishUrl.empty();

  if (publish && !m_pPublisher && CreatePublisher() != kStarted) return kPublishFailed;
  if (push || record || publish) {
    if (!m_pEncoder) {
      m_pEncoder = std::make_unique<VrAVEncoder>();
      if (m_pEncoder->InitFromConfiguration() < 0) return Fail(kEncoderFailed, HX_RunText::kEncoderInitFailed);
    }
    m_pEncoder->SetOutput(&VrCaptureRun::EncodeCallBack, this);
    if (m_pEncoder->Start() != 0) return Fail(kEncoderFailed, HX_RunText::kEncoderInitFailed);
    if (record && !m_pRecorder) {
      std::atomic_store(&m_pRecorder, std::make_shared<VrRecordFilter>(VrRecordParams::FromConfiguration()));
      m_bDiskWatch = true;
    }
  }
  if (push && !m_pServer) {
    m_pServer = std::make_unique<VrTransServer>();
    if (m_pServer->start() != 1) return Fail(kServerFailed, HX_RunText::kNetworkInitFailed);
  } else if (ndi && !m_pNdi) {
    m_pNdi = std::make_unique<VrNDISend>();
    if (m_pNdi->start() != 0) return Fail(kNdiFailed, HX_RunText::kNetworkInitFailed);
  }

  if (!m_pTrapper) {
    m_pTrapper = std::make_unique<VrTrapper>(nullptr, m_pSources);
    m_pTrapper->m_pOutputCallback = &VrCaptureRun::OnSessionFrame;
    m_pTrapper->m_pOutputContext = this;
    int rc = m_pTrapper->start();
    if (rc == -1) return Fail(kVideoFailed, HX_RunText::kVideoCaptureFailed);
    if (rc == -2) {
      HX_LOG_WARNING("system sound capture failed; asking the operator");
      bool stopRun = m_pPrompt == nullptr || m_pPrompt->askOkCancel(HX_RunText::kAudioCaptureFailed);
      if (stopRun) {
        stop();
        return kAudioStopped;
      }
      m_bWithoutSound = true;
    } else if (rc < 0) {
      return Fail(kCaptureFailed, HX_RunText::kCaptureInitFailed);
    }
  }
  m_bRunning = true;
  return kStarted;
}

int VrCaptureRun::PrepareVideoSource() {
  HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  // Through the portal, the chooser picks the monitor or window: its size is
  // known once the grant is given, and the outputs are sized to it (a region
  // keeps its own size).
  if (cfg->m_iCaptureBackend != kBackendPortal || cfg->m_iCaptureMode == kCaptureRegion) return 0;
  int32_t width = 0, height = 0;
  const int rc = Sources().PrepareVideoSource(VrTrapperSources::kVideoPortal, &width, &height);
  if (rc != 0) return rc;
  width &= ~1;
  height &= ~1;
  if (width >= 2 && height >= 2) {
    cfg->setOutputSize(width, height);
    HX_LOG_INFO("the screen cast is %dx%d; the run is sized to it", width, height);
  }
  return 0;
}

VrTrapperSources& VrCaptureRun::Sources() const {
  return m_pSources != nullptr ? *m_pSources : VrTrapperSources::Default();
}

void VrCaptureRun::stop() {
  // No raw frame flows once the session is gone, and no packet once the pair is.
  if (m_pTrapper) {
    m_pTrapper->stop();
    m_pTrapper.reset();
  }
  // A session opened ahead for a run that never started its source.
  Sources().ReleasePreparedVideoSource();
  if (m_pNdi) {
    m_pNdi->stop();
    m_pNdi.reset();
  }
  if (m_pEncoder) {
    m_pEncoder->Stop();
    m_pEncoder.reset();
  }
  if (m_pServer) {
    m_pServer->stop();
    m_pServer.reset();
  }
  StopRecorder();
  if (m_pPublisher) {
    m_pPublisher->stop();
    m_pPublisher.reset();
  }
  m_bRunning = false;
}

int VrCaptureRun::CreatePublisher() {
  const HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
  const VrPublishParams params = VrPublishParams::FromConfiguration();
  VrPublishTarget target;
  std::string error;
  if (VrParsePublishUrl(cfg->m_strPublishUrl, &target, &error) != 0) {
    HX_LOG_ERROR("%s", error.c_str());
    return Fail(kPublishFailed, HX_RunText::kPublishUrlInvalid);
  }
  if (params.m_stVideo.m_iCodecId != AV_CODEC_ID_H264) {
    HX_LOG_ERROR("PublishUrl is set but EncodeType %d does not encode H.264", cfg->m_iEncodeType);
    return Fail(kPublishFailed, HX_RunText::kPublishNeedsH264);
  }
  m_pPublisher = std::make_unique<VrPublisher>(target, params);
  if (m_pPublisher->start() != 0) return Fail(kPublishFailed, HX_RunText::kPublishUrlInvalid);
  return kStarted;
}

void VrCaptureRun::StopRecorder() {
  m_bDiskWatch = false;
  std::shared_ptr<VrRecordFilter> recorder = std::atomic_exchange(&m_pRecorder, std::shared_ptr<VrRecordFilter>());
  if (recorder) recorder->stop();
}

void VrCaptureRun::checkDiskSpace() {
  if (!m_bDiskWatch || !std::atomic_load(&m_pRecorder)) return;
  // The filesystem the recorder writes to; when the directory cannot even be
  // made the recorder has reported that itself.
  const std::string dir = VrRecordDirectory();
  if (dir.empty()) return;
  int64_t freeBytes = m_fnFreeSpace ? m_fnFreeSpace(dir) : -1;
  if (freeBytes < 0 || freeBytes >= kLowDiskBytes) return;
  m_bDiskWatch = false;
  HX_LOG_WARNING("free space of %s is %lld bytes", dir.c_str(), static_cast<long long>(freeBytes));
  if (m_pPrompt != nullptr && m_pPrompt->askOkCancel(HX_RunText::kLowDisk)) {
    // The encoder pair keeps running for the other outputs: the recorder is
    // taken out of the fan-out first, and a packet being handed over keeps it
    // alive until that call returns.
    HX_LOG_WARNING("recording stopped: low disk space");
    StopRecorder();
  }
}

VrRunCounters VrCaptureRun::counters() const {
  VrRunCounters c;
  c.m_ullVideoFrames = m_ullVideoFrames.load(std::memory_order_relaxed);
  c.m_ullBytes = m_ullBytes.load(std::memory_order_relaxed);
  if (m_pServer) {
    std::shared_ptr<HX_ClientList> list = HX_ClientList::existingInstance();
    if (list) c.m_iClients = static_cast<int>(list->clients().size());
  }
  std::shared_ptr<VrRecordFilter> recorder = std::atomic_load(&m_pRecorder);
  if (recorder) c.m_strRecordFile = recorder->currentFile();
  if (m_pPublisher) {
    const VrPublisher::Stats p = m_pPublisher->stats();
    c.m_bPublishing = true;
    c.m_bPublishConnected = p.m_bConnected;
    c.m_ullPublishBytes = p.m_ullBytesSent;
    c.m_ullPublishDropped = p.m_ullDropped;
  }
  return c;
}

int VrCaptureRun::OnSessionFrame(VrMediaFramePtr frame, void* context) {
  auto* run = static_cast<VrCaptureRun*>(context);
  if (run == nullptr) return 0;
  int result = 0;
  if (run->m_pNdi && frame && frame->m_iMediaType == VR_MEDIA_VIDEO) {
    run->m_ullVideoFrames.fetch_add(1, std::memory_order_relaxed);
    run->m_ullBytes.fetch_add(static_cast<uint64_t>(frame->m_iSize), std::memory_order_relaxed);
  }
  if (run->m_pNdi) result = run->m_pNdi->PushFrame(frame);
  if (run->m_pEncoder) result = run->m_pEncoder->Input(frame);
  return result;
}

int VrCaptureRun::EncodeCallBack(VrMediaFramePtr packet, void* context) {
  auto* run = static_cast<VrCaptureRun*>(context);
  if (run == nullptr) return 0;
  if (packet && run->m_pServer) {
    if (packet->m_iMediaType == VR_MEDIA_VIDEO) run->m_ullVideoFrames.fetch_add(1, std::memory_order_relaxed);
    run->m_ullBytes.fetch_add(static_cast<uint64_t>(packet->m_iSize > 0 ? packet->m_iSize : 0),
                              std::memory_order_relaxed);
  }
  if (run->m_pServer) {
    VrMediaFramePtr copy = CloneMediaFrame(packet);
    if (copy && copy->m_pData != nullptr && copy->m_iSize > 0) {
      HX_ClientList::instance()->EnqueuePacket(copy);
    } else {
      HX_LOG_WARNING("Send Private Protocol Frame Loss!");
    }
  }
  std::shared_ptr<VrRecordFilter> recorder = std::atomic_load(&run->m_pRecorder);
  if (recorder) recorder->PushPacket(packet);
  if (run->m_pPublisher) run->m_pPublisher->PushPacket(packet);
  return 0;
}
