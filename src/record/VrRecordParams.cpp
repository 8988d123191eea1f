#include "record/VrRecordParams.h"

#include "config/HX_ServerConfiguration.h"

VrRecordParams VrRecordParams::FromConfiguration() {
  const HX_ServerConfiguration* config = HX_ServerConfiguration::instance();
  VrRecordParams params;
  params.m_iFrameRate = config->m_iFps;
  config->getOutputSize(&params.m_iWidth, &params.m_iHeight);
  params.m_iVideoBitRate = config->m_iEncodeSample;
  params.m_iKeyFrameIntervalMs = 2000;
  params.m_iAudioBitRate = config->m_iAudioBitRate;
  params.m_iAudioSampleRate = config->m_iAudioSample;
  return params;
}
