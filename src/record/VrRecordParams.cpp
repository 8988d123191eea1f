#include "record/VrRecordParams.h"

#include <cerrno>
#include <cstring>

#include "config/HX_ServerConfiguration.h"
#include "encode/VrEncodeParams.h"
#include "platform/HX_Paths.h"

VrRecordParams VrRecordParams::FromConfiguration() {
  const HX_ServerConfiguration* config = HX_ServerConfiguration::instance();
  VrRecordParams params;
  params.m_iVideoCodecId = VrSelectEncoder(config->m_iEncodeType).m_iCodecId;
  params.m_iFrameRate = config->m_iFps;
  config->getOutputSize(&params.m_iWidth, &params.m_iHeight);
  params.m_iVideoBitRate = config->m_iEncodeSample;
  params.m_iKeyFrameIntervalMs = 2000;
  params.m_iAudioBitRate = config->m_iAudioBitRate;
  params.m_iAudioSampleRate = config->m_iAudioSample;
  return params;
}

std::string VrRecordDirectory(std::string* reason) {
  std::string dir = HX_ServerConfiguration::instance()->getRecordPath();
  if (dir.empty()) dir = HX_ServerConfiguration::DefaultRecordPath();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (HX_MakeDirectories(dir) != 0) {
    if (reason != nullptr) {
      *reason = "cannot create the record directory " + dir + ": " + std::strerror(errno);
    }
    return std::string();
  }
  return dir;
}
