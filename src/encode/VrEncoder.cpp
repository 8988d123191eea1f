#include "encode/VrEncoder.h"

int VrEncoder::Deliver(VrMediaFramePtr packet) {
  if (m_pCallback == nullptr || m_pContext == nullptr) return 0;
  return m_pCallback(std::move(packet), m_pContext);
}
