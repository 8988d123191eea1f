#pragma once
// Where and what a run publishes: the media server's URL checked and split
// into what libavformat needs (the container for the scheme), the masked form
// shown to operators, and the stream settings taken from the run's encoder
// parameters. Plain values and pure functions; any thread.
#include <cstdint>
#include <string>

#include "encode/VrMuxStreams.h"

struct VrPublishTarget {
  std::string m_strUrl;     // as configured, handed to libavformat unchanged
  std::string m_strScheme;  // srt, rist, rtmp or rtmps
  std::string m_strFormat;  // the muxer: mpegts for srt and rist, flv for rtmp
  std::string m_strMasked;  // for logs and the console: secrets replaced by ***
};

// Checks |url| and fills |target|. 0, or a negative code with |error| saying
// what is wrong in words an operator can act on:
constexpr int kVrPublishUrlMalformed = -1;      // no scheme://host, bad port, blanks
constexpr int kVrPublishSchemeUnknown = -2;     // not srt, rist, rtmp or rtmps
constexpr int kVrPublishSchemeUnavailable = -3; // this libavformat cannot write it
int VrParsePublishUrl(const std::string& url, VrPublishTarget* target, std::string* error);

// |url| with the password of user:password@, the values of query keys that
// carry secrets (passphrase, key, password, token, secret, streamid, auth...)
// and, for RTMP, the stream name (the last path element, which is the stream
// key on most services) replaced by ***. Works on malformed input too.
std::string VrMaskPublishUrl(const std::string& url);

struct VrPublishParams {
  VrMuxVideoParams m_stVideo;
  bool m_bAudio = false;  // the run captures sound, so AAC packets come
  int32_t m_iAudioSampleRate = 44100;
  int32_t m_iAudioBitRate = 0;

  // The values the run's encoders are configured with (EncodeType, FPS, the
  // output size, EncodeSample, AudioEnable, AudioSample, AudioBitRate).
  static VrPublishParams FromConfiguration();
};
