#include "platform/x11/HX_X11ShmSegment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

#include "log/HX_Log.h"
#include "platform/x11/HX_X11Connection.h"

std::unique_ptr<HX_X11ShmSegment> HX_X11ShmSegment::Create(HX_X11Connection* conn, size_t size) {
  int shmId = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmId < 0) {
    HX_LOG_WARNING("shmget of %zu bytes failed: %s", size, std::strerror(errno));
    return nullptr;
  }
  void* addr = shmat(shmId, nullptr, 0);
  if (addr == reinterpret_cast<void*>(-1)) {
    HX_LOG_WARNING("shmat failed: %s", std::strerror(errno));
    shmctl(shmId, IPC_RMID, nullptr);
    return nullptr;
  }
  std::unique_ptr<HX_X11ShmSegment> self(new HX_X11ShmSegment());
  self->m_pConn = conn;
  self->m_pData = static_cast<uint8_t*>(addr);
  self->m_ullSize = size;
  self->m_uiSeg = xcb_generate_id(conn->get());
  HX_XcbError error(
      xcb_request_check(conn->get(), xcb_shm_attach_checked(conn->get(), self->m_uiSeg, shmId, 0)));
  // Marked for removal now: the segment goes away once both sides detach,
  // even if this process dies.
  shmctl(shmId, IPC_RMID, nullptr);
  if (error || conn->broken()) {
    HX_LOG_WARNING("the X server cannot attach a shared-memory segment");
    return nullptr;
  }
  self->m_bAttached = true;
  return self;
}

HX_X11ShmSegment::~HX_X11ShmSegment() {
  if (m_bAttached && !m_pConn->broken()) {
    xcb_shm_detach(m_pConn->get(), m_uiSeg);
    xcb_flush(m_pConn->get());
  }
  if (m_pData != nullptr) shmdt(m_pData);
}
