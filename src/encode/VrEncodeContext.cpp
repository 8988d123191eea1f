#include "encode/VrEncodeContext.h"

VrMediaFramePtr VrEncodeContext::OutputEncode() {
  if (m_lstPending.empty()) return nullptr;
  VrMediaFramePtr packet = std::move(m_lstPending.front());
  m_lstPending.pop_front();
  return packet;
}

void VrEncodeContext::SetPending(VrMediaFramePtr packet) {
  if (packet) m_lstPending.push_back(std::move(packet));
}

void VrEncodeContext::ClearPending() { m_lstPending.clear(); }
