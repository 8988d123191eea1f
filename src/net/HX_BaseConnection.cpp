#include "net/HX_BaseConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "config/HX_ServerConfiguration.h"
#include "log/HX_Log.h"
#include "net/HX_EventLoop.h"
#include "platform/HX_Clock.h"

namespace {
uint64_t Now() { return static_cast<uint64_t>(HX_GetTickMs()); }
}  // namespace

HX_BaseConnection::HX_BaseConnection(uint64_t maxQueuedBytes)
    : m_ullLastActiveTick(Now()),
      m_stSendQueue(HX_DropPolicy::kDropToKeyFrame, SendQueue::kNoItemLimit, maxQueuedBytes) {}

HX_BaseConnection::~HX_BaseConnection() {
  HX_LOG_DEBUG("called");
  closeSocket();
  if (m_ullTimerId != kInvalidTimerId) {
    HX_EventLoop::instance()->unregisterTimer(m_ullTimerId);
    m_ullTimerId = kInvalidTimerId;
  }
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
      // MSG_NOSIGNAL: a peer that went away is an error to handle, not a
      // signal that ends the process.
      ssize_t sent = ::send(m_iSocketFd, block->rd_ptr(), block->length(), MSG_NOSIGNAL);
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
  m_stSendQueue.pushUnbounded(HX_OutgoingMessage{std::move(block), false});
  if (HX_EventLoop::instance()->modifyNetEvent(m_iSocketFd, kReadEvent | kWriteEvent) != 0) {
    HX_LOG_WARNING("modifyNetEvent failed!");
    return -1;
  }
  return 0;
}

int HX_BaseConnection::pushMediaToSendQueue(HX_MsgBlockPtr block, bool keyFrame, HX_PushResult* result) {
  HX_ASSERT_IN_LOOP(HX_EventLoop::instance());
  *result = m_stSendQueue.push(HX_OutgoingMessage{std::move(block), keyFrame});
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
  const uint64_t idleLimit = static_cast<uint64_t>(HX_ServerConfiguration::instance()->m_iMonitorPeriod);
  if (Now() - m_ullLastActiveTick > idleLimit) {
    setClosed();
    return -1;
  }
  return 0;
}
