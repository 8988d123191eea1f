#include "protocol/HX_ClientList.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/VrStageTiming.h"
#include "log/HX_Log.h"
#include "net/HX_EventLoop.h"
#include "protocol/VrTransClient.h"

namespace {
HX_Mutex g_instanceMutex;
std::shared_ptr<HX_ClientList> g_instance HX_GUARDED_BY(g_instanceMutex);
}  // namespace

std::shared_ptr<HX_ClientList> HX_ClientList::instance() {
  HX_LockGuard lock(g_instanceMutex);
  if (!g_instance) g_instance.reset(new HX_ClientList());
  return g_instance;
}

std::shared_ptr<HX_ClientList> HX_ClientList::existingInstance() {
  HX_LockGuard lock(g_instanceMutex);
  return g_instance;
}

void HX_ClientList::destroyInstance() {
  std::shared_ptr<HX_ClientList> last;
  {
    HX_LockGuard lock(g_instanceMutex);
    last.swap(g_instance);
  }
  // Released outside the instance mutex: the destructor may free many packets.
}

HX_ClientList::HX_ClientList() : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!m_wakeFd) HX_LOG_WARNING("eventfd failed (%s); packets wait for the 10 ms timer.", std::strerror(errno));
}

HX_ClientList::~HX_ClientList() {
  // Destroyed after the network thread ended (the server's stop) or by a
  // list that was never stopped: the loop must not keep the descriptor.
  if (m_bWakeRegistered) HX_EventLoop::instance()->unregisterNetEvent(m_wakeFd.get());
}

int HX_ClientList::start() {
  HX_EventLoop* loop = HX_EventLoop::instance();
  int rc = loop->registerTimer(this, kTimerDelayMs, kTimerIntervalMs, m_ullTimerId);
  if (rc != 0) HX_LOG_WARNING("registerTimer failed.");
  if (m_wakeFd && !m_bWakeRegistered) {
    m_bWakeRegistered = loop->registerNetEvent(m_wakeFd.get(), kReadEvent, this) == 0;
    if (!m_bWakeRegistered)
      HX_LOG_WARNING("the wake-up descriptor cannot be registered; packets wait for the timer.");
  }
  return rc;
}

void HX_ClientList::stop() {
  if (HX_EventLoop::instance()->unregisterTimer(m_ullTimerId) != 0) HX_LOG_WARNING("unregisterTimer failed.");
  m_ullTimerId = kInvalidTimerId;
  if (m_bWakeRegistered) {
    HX_EventLoop::instance()->unregisterNetEvent(m_wakeFd.get());
    m_bWakeRegistered = false;
  }
  HX_LockGuard lock(m_mtxClients);
  for (VrTransClient* session : m_vecClients) session->requestShutdownAfterSend();
}

void HX_ClientList::EnqueuePacket(VrMediaFramePtr packet) {
  if (!packet || packet->m_iSize < 0 || (packet->m_iSize > 0 && packet->m_pData == nullptr)) return;
  if (packet->m_iMediaType == VR_MEDIA_VIDEO)
    EnqueueVideo(std::move(packet));
  else
    EnqueueAudio(std::move(packet));
}

void HX_ClientList::EnqueueVideo(VrMediaFramePtr packet) {
  if (m_stVideoQueue.push(std::move(packet)).dropped > 0) HX_LOG_WARNING("NetWork Send : Video Frame Loss.");
  wake();
}

void HX_ClientList::EnqueueAudio(VrMediaFramePtr packet) {
  if (m_stAudioQueue.push(std::move(packet)).dropped > 0) HX_LOG_WARNING("NetWork Send : Audio Frame Loss.");
  wake();
}

void HX_ClientList::wake() {
  if (!m_wakeFd) return;
  const uint64_t one = 1;
  // A full counter (EAGAIN) is readable already; nothing else can fail here.
  const ssize_t n = ::write(m_wakeFd.get(), &one, sizeof one);
  static_cast<void>(n);
}

int HX_ClientList::handleRead() {
  uint64_t count = 0;
  const ssize_t n = ::read(m_wakeFd.get(), &count, sizeof count);
  static_cast<void>(n);  // EAGAIN: another pass drained it already
  sendQueued();
  return 0;
}

VrMediaFramePtr HX_ClientList::DequeueVideoPacket() { return m_stVideoQueue.pop(); }

VrMediaFramePtr HX_ClientList::DequeueAudioPacket() { return m_stAudioQueue.pop(); }

size_t HX_ClientList::videoQueueSize() const { return m_stVideoQueue.size(); }

size_t HX_ClientList::audioQueueSize() const { return m_stAudioQueue.size(); }

int HX_ClientList::onTimer(uint64_t timerId) {
  if (timerId == m_ullTimerId) sendQueued();
  return 0;
}

void HX_ClientList::sendQueued() {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  // Bounded so that an encoder producing faster than the sessions can take
  // packets never keeps the network thread in this step; whatever is left
  // goes out at the next expiry.
  size_t budget = videoQueueSize() + audioQueueSize() + 2;
  while (budget-- > 0) {
    if (!m_pPendingVideo) m_pPendingVideo = DequeueVideoPacket();
    if (!m_pPendingAudio) m_pPendingAudio = DequeueAudioPacket();
    if (!m_pPendingVideo) {
      // No video: only audio that is not newer than the video already sent
      // may go; newer audio waits for the next picture.
      if (!m_pPendingAudio || !m_bVideoSent || m_pPendingAudio->m_llTimestamp > m_llLastVideoTime) break;
      broadcastPacket(m_pPendingAudio);
      m_pPendingAudio.reset();
    } else if (m_pPendingAudio && m_pPendingAudio->m_llTimestamp < m_pPendingVideo->m_llTimestamp) {
      broadcastPacket(m_pPendingAudio);
      m_pPendingAudio.reset();
    } else {
      m_llLastVideoTime = m_pPendingVideo->m_llTimestamp;
      m_bVideoSent = true;
      broadcastPacket(m_pPendingVideo);
      m_pPendingVideo.reset();
    }
  }
}

void HX_ClientList::broadcastPacket(const VrMediaFramePtr& packet) {
  HX_LockGuard lock(m_mtxClients);
  if (m_vecClients.empty()) return;
  std::string body;
  if (!VrTransClient::BuildPacketResponse(*packet, &body)) {
    HX_LOG_WARNING("serialize packet_response failed");
    return;
  }
  if (packet->m_iMediaType == VR_MEDIA_VIDEO) VrMarkStage(VrStage::kSent, packet->m_llTimestamp);
  for (VrTransClient* session : m_vecClients) session->sendPacket(packet, body);
}

void HX_ClientList::addClient(VrTransClient* session) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  HX_LockGuard lock(m_mtxClients);
  if (std::find(m_vecClients.begin(), m_vecClients.end(), session) == m_vecClients.end())
    m_vecClients.push_back(session);
}

void HX_ClientList::removeClient(VrTransClient* session) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  HX_LockGuard lock(m_mtxClients);
  m_vecClients.erase(std::remove(m_vecClients.begin(), m_vecClients.end(), session), m_vecClients.end());
}

std::vector<VrTransClient*> HX_ClientList::clients() const {
  HX_LockGuard lock(m_mtxClients);
  return m_vecClients;
}
