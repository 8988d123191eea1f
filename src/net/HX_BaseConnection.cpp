#include "net/HX_BaseConnection.h"

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "log/HX_Log.h"
#include "net/HX_EventLoop.h"
#include "platform/HX_Clock.h"

namespace {
uint64_t Now() { return static_cast<uint64_t>(HX_GetTickMs()); }

// A connection that held this much gives the freed heap back to the system:
// thousands of small blocks leave the allocator's arenas fragmented, and a
// peer that left must not keep the process large.
constexpr uint64_t kTrimAfterBytes = 1024 * 1024;
// The idle check runs this often relative to its limit (and within bounds).
constexpr uint64_t kIdleChecksPerLimit = 10;
constexpr uint64_t kMinIdleCheckMs = 10;
constexpr uint64_t kMaxIdleCheckMs = 1000;
}  // namespace

HX_BaseConnection::HX_BaseConnection(uint64_t maxQueuedBytes)
    : m_ullLastActiveTick(Now()),
      m_stSendQueue(HX_DropPolicy::kDropToKeyFrame,
                    maxQueuedBytes == SendQueue::kNoByteLimit ? SendQueue::kNoItemLimit : kMaxQueuedBlocks / 2,
                    maxQueuedBytes),
      m_ullMaxQueuedBytes(maxQueuedBytes),
      m_ullSendWaitTick(m_ullLastActiveTick) {}

HX_BaseConnection::~HX_BaseConnection() {
  HX_LOG_DEBUG("called");
  closeSocket();
  if (m_ullTimerId != kInvalidTimerId) {
    HX_EventLoop::instance()->unregisterTimer(m_ullTimerId);
    m_ullTimerId = kInvalidTimerId;
  }
  const uint64_t held = queuedBytes() + (m_pstRecvMsgBlk ? m_pstRecvMsgBlk->size() : 0);
  m_stSendQueue.clear();
  m_pstSendingMsgBlk.reset();
  m_pstRecvMsgBlk.reset();
  if (held >= kTrimAfterBytes) ::malloc_trim(0);
}

bool HX_BaseConnection::sendQueueOverBound() const {
  if (m_ullMaxQueuedBytes == SendQueue::kNoByteLimit) return false;
  return queuedBytes() > m_ullMaxQueuedBytes + kAnswerAllowanceBytes || queuedBlocks() > kMaxQueuedBlocks;
}

int HX_BaseConnection::armIdleCheck(uint64_t idleLimitMs) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  if (m_ullTimerId != kInvalidTimerId) return 0;
  m_ullIdleLimitMs = idleLimitMs;
  const uint64_t period = std::clamp(idleLimitMs / kIdleChecksPerLimit, kMinIdleCheckMs, kMaxIdleCheckMs);
  if (HX_EventLoop::instance()->registerTimer(this, period, period, m_ullTimerId) != 0) {
    HX_LOG_WARNING("cannot arm the idle check");
    return -1;
  }
  return 0;
}

void HX_BaseConnection::noteMessageBegun() {
  if (m_ullMessageBegunTick == 0) m_ullMessageBegunTick = std::max<uint64_t>(Now(), 1);
}

void HX_BaseConnection::closeSocket() {
  if (m_iSocketFd == kInvalidSocketId) return;
  HX_EventLoop::instance()->unregisterNetEvent(m_iSocketFd);
  ::close(m_iSocketFd);
  m_iSocketFd = kInvalidSocketId;
}

int HX_BaseConnection::closeConnection() {
  closeSocket();
  setClosed();
  return -1;
}

int HX_BaseConnection::handleWrite() {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  if (isClosed()) return 0;
  if (m_eConnectionState == kConnecting) {
    // The completion of an outgoing connect.
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_iSocketFd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      HX_LOG_WARNING("HX_GetSockOpt failed.");
      return closeConnection();
    }
    if (error != 0) {
      HX_LOG_WARNING("iValOpt < = 0, peer refused..");
      return closeConnection();
    }
    if (HX_EventLoop::instance()->modifyNetEvent(m_iSocketFd, kReadEvent | kWriteEvent) != 0) {
      HX_LOG_WARNING("modifyNetEvent failed.");
      return closeConnection();
    }
    m_ullLastActiveTick = Now();
    m_eConnectionState = kConnected;
    if (onConnEstablished() != 0) {
      HX_LOG_WARNING("onEstablished failed.");
      return closeConnection();
    }
    return 0;
  }
  if (m_eConnectionState != kConnected) {
    HX_LOG_ERROR_TRACE("kInitial == m_eConnectionState");
    return closeConnection();
  }
  uint64_t budget = kMaxBytesWrittenPerPass;
  for (;;) {
    if (!m_pstSendingMsgBlk) {
      HX_OutgoingMessage next = m_stSendQueue.popHeld();
      if (!next.block) {
        if (m_bShutdownAfterSend && !m_bSendSideShut) {
          ::shutdown(m_iSocketFd, SHUT_WR);
          m_bSendSideShut = true;
          HX_LOG_DEBUG("HX_ShutdownSendSocket called,socket id=%d", m_iSocketFd);
        }
        HX_EventLoop::instance()->modifyNetEvent(m_iSocketFd, kReadEvent);
        return 0;
      }
      m_pstSendingMsgBlk = std::move(next.block);
    }
    ACE_Message_Block* block = m_pstSendingMsgBlk.get();
    if (block->length() > 0) {
      // The rest waits for the next pass; write interest stays on.
      if (budget == 0) return 0;
      // MSG_NOSIGNAL: a peer that went away is an error to handle, not a
      // signal that ends the process.
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(block->length(), budget));
      ssize_t sent = ::send(m_iSocketFd, block->rd_ptr(), chunk, MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        HX_LOG_WARNING("Socket error, HX_Write failed.");
        return closeConnection();
      }
      if (sent == 0) {
        HX_LOG_WARNING("peer closed gracefully.");
        return closeConnection();
      }
      block->rd_ptr(static_cast<size_t>(sent));
      m_stSendQueue.releaseHeld(static_cast<uint64_t>(sent));
      budget -= static_cast<uint64_t>(sent);
      m_ullSendWaitTick = Now();
    }
    if (block->length() == 0) m_pstSendingMsgBlk.reset();
  }
}

int HX_BaseConnection::pushToSendQueue(HX_MsgBlockPtr block) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  if (!block) {
    HX_LOG_ERROR_TRACE("NULL == pstMsgBlk");
    return -1;
  }
  if (queuedBlocks() == 0) m_ullSendWaitTick = Now();
  m_stSendQueue.pushUnbounded(HX_OutgoingMessage{std::move(block), false});
  if (HX_EventLoop::instance()->modifyNetEvent(m_iSocketFd, kReadEvent | kWriteEvent) != 0) {
    HX_LOG_WARNING("modifyNetEvent failed!");
    return -1;
  }
  return 0;
}

int HX_BaseConnection::pushMediaToSendQueue(HX_MsgBlockPtr block, bool keyFrame, HX_PushResult* result) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  const bool wasEmpty = queuedBlocks() == 0;
  *result = m_stSendQueue.push(HX_OutgoingMessage{std::move(block), keyFrame});
  if (wasEmpty && result->queued) m_ullSendWaitTick = Now();
  if (!result->queued) return 0;
  if (HX_EventLoop::instance()->modifyNetEvent(m_iSocketFd, kReadEvent | kWriteEvent) != 0) {
    HX_LOG_WARNING("modifyNetEvent failed!");
    return -1;
  }
  return 0;
}

void HX_BaseConnection::requestShutdownAfterSend() {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  m_bShutdownAfterSend = true;
  if (m_iSocketFd != kInvalidSocketId && m_eConnectionState == kConnected && !m_bSendSideShut)
    HX_EventLoop::instance()->modifyNetEvent(m_iSocketFd, kReadEvent | kWriteEvent);
}

int HX_BaseConnection::onConnEstablished() {
  HX_LOG_DEBUG("connect succ, peer ip=%s,port=%d", m_strPeerIp.c_str(), m_usPeerPort);
  return 0;
}

int HX_BaseConnection::onTimer(uint64_t timerId) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  if (isClosed()) return -1;
  if (timerId != m_ullTimerId) return 0;
  const uint64_t now = Now();
  const char* why = nullptr;
  if (m_ullMessageBegunTick != 0 && now - m_ullMessageBegunTick > m_ullIdleLimitMs)
    why = "a message still incomplete";
  else if (queuedBlocks() > 0 && now - m_ullSendWaitTick > m_ullIdleLimitMs)
    why = "what was sent still unread";
  else if (expectsRequests() && now - m_ullLastActiveTick > m_ullIdleLimitMs)
    why = "no request";
  if (why == nullptr) return 0;
  HX_LOG_INFO("closing socket %d after %llu ms with %s", m_iSocketFd,
              static_cast<unsigned long long>(m_ullIdleLimitMs), why);
  return closeConnection();
}
