#include "encode/VrUnavailableEncodeContext.h"

#include "log/HX_Log.h"

bool VrUnavailableEncodeContext::Init(const VrEncodeParams* params) {
  if (params != nullptr) {
    m_iWidth = params->m_iWidth;
    m_iHeight = params->m_iHeight;
  }
  HX_LOG_WARNING("%s encoder is not available on this system.", m_strName.c_str());
  return false;
}
