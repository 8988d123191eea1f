#include "encode/VrVideoEncoder.h"

#include <chrono>

#include "core/VrStageTiming.h"
#include "log/HX_Log.h"
#include "platform/HX_Thread.h"
#include "platform/HX_ThreadName.h"

VrVideoEncoder::VrVideoEncoder(VrEncodeContextCreator creator)
    : m_pfnCreateBackend(creator != nullptr ? creator : &VrCreateEncodeContext) {}

VrVideoEncoder::~VrVideoEncoder() {
  // The owner stops first; this only guards against a worker left running.
  if (m_thWorker.joinable()) Stop();
}

int VrVideoEncoder::Init(VrEncodeParams params) {
  if (m_thWorker.joinable()) {
    HX_LOG_ERROR_TRACE("Init called while the encoder runs.");
    return -1;
  }
  m_stParams = params;
  m_pBackend = m_pfnCreateBackend(params.m_iEncoderKind);
  if (!m_pBackend) {
    HX_LOG_WARNING("malloc failed.");
    return -1;
  }
  return m_pBackend->Init(&params) ? 0 : -1;
}

int VrVideoEncoder::Start() {
  if (m_bRunning.load() || m_thWorker.joinable()) return 0;
  m_bRunning.store(true);
  std::string error;
  if (HX_StartThread(&m_thWorker, [this] { Encode(); }, &error) != 0) {
    m_bRunning.store(false);
    HX_LOG_ERROR("cannot start the video encoder thread: %s", error.c_str());
    return -1;
  }
  return 0;
}

void VrVideoEncoder::Stop() {
  m_bRunning.store(false);
  if (m_thWorker.joinable()) m_thWorker.join();
  if (m_pBackend) m_pBackend->Close();
  m_qInput.clear();
}

int VrVideoEncoder::Input(VrMediaFramePtr frame) {
  if (!frame || frame->m_iMediaType != VR_MEDIA_VIDEO) return -1;
  return m_qInput.push(std::move(frame));
}

void VrVideoEncoder::Encode() {
  HX_SetThreadName("ostrel-venc");
  while (m_bRunning.load()) {
    VrMediaFramePtr frame = m_qInput.pop();
    if (!frame) {
      m_qInput.waitForData(std::chrono::milliseconds(kIdleSleepMs));
      continue;
    }
    if (frame->m_pData == nullptr || !m_pBackend) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSleepMs));
      continue;
    }
    m_pBackend->InputEncode(std::move(frame));
    while (VrMediaFramePtr packet = m_pBackend->OutputEncode()) {
      if (packet->m_pData == nullptr || packet->m_iSize <= 0) continue;
      VrMarkStage(VrStage::kEncoded, packet->m_llTimestamp);
      Deliver(std::move(packet));
    }
    if (m_pBackend->Broken() && m_stParams.m_iEncoderKind != kVrEncoderSoftware) ReplaceBrokenBackend();
  }
}

void VrVideoEncoder::ReplaceBrokenBackend() {
  const std::string name = m_pBackend->Name();
  const std::string reason = m_pBackend->FailureReason();
  m_pBackend->Close();
  m_stParams.m_iEncoderKind = kVrEncoderSoftware;
  std::unique_ptr<VrEncodeContext> software = m_pfnCreateBackend(kVrEncoderSoftware);
  if (software && software->Init(&m_stParams)) {
    HX_LOG_WARNING("%s encoder failed while running (%s); continuing with the software encoder.",
                   name.c_str(), reason.c_str());
  } else {
    HX_LOG_WARNING("%s encoder failed while running (%s) and the software encoder did not open; "
                   "no more video.", name.c_str(), reason.c_str());
    software.reset();
  }
  m_pBackend = std::move(software);
}
