#include "publish/VrPublishParams.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavformat/avio.h>
}

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "config/HX_ServerConfiguration.h"
#include "encode/VrEncodeParams.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsRtmp(const std::string& scheme) { return scheme == "rtmp" || scheme == "rtmps"; }

bool WritableByLibavformat(const std::string& scheme) {
  void* opaque = nullptr;
  while (const char* name = avio_enum_protocols(&opaque, 1)) {
    if (scheme == name) return true;
  }
  return false;
}

// The parts of scheme://authority/path?query that the checks and the mask
// look at; |authority| includes any user:password@.
struct UrlParts {
  std::string scheme;
  std::string authority;
  std::string path;   // from the first '/' after the authority, without the query
  std::string query;  // after '?', may be empty
  bool hasScheme = false;
};

UrlParts Split(const std::string& url) {
  UrlParts p;
  const size_t sep = url.find("://");
  if (sep == std::string::npos) {
    p.path = url;
    return p;
  }
  p.hasScheme = true;
  p.scheme = url.substr(0, sep);
  const size_t begin = sep + 3;
  const size_t end = std::min(url.find_first_of("/?", begin), url.size());
  p.authority = url.substr(begin, end - begin);
  const size_t q = url.find('?', end);
  p.path = url.substr(end, (q == std::string::npos ? url.size() : q) - end);
  if (q != std::string::npos) p.query = url.substr(q + 1);
  return p;
}

// Splits "user:pass@host:port" into host and port text; false when the host
// part is empty or the port is not a number in 1..65535.
bool ParseAuthority(const std::string& authority, std::string* host, int* port, std::string* error) {
  const size_t at = authority.rfind('@');
  std::string hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
  std::string portText;
  if (!hostPort.empty() && hostPort[0] == '[') {
    const size_t close = hostPort.find(']');
    if (close == std::string::npos) {
      *error = "the IPv6 address has no closing ']'";
      return false;
    }
    *host = hostPort.substr(1, close - 1);
    const std::string rest = hostPort.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') {
        *error = "unexpected text after the IPv6 address";
        return false;
      }
      portText = rest.substr(1);
      if (portText.empty()) portText = "-";
    }
  } else {
    const size_t colon = hostPort.rfind(':');
    *host = hostPort.substr(0, colon);
    if (colon != std::string::npos) {
      portText = hostPort.substr(colon + 1);
      if (portText.empty()) portText = "-";
    }
  }
  if (host->empty()) {
    *error = "no host";
    return false;
  }
  *port = -1;
  if (!portText.empty()) {
    const bool digits = std::all_of(portText.begin(), portText.end(),
                                    [](unsigned char c) { return std::isdigit(c) != 0; });
    const long value = digits && portText.size() <= 5 ? std::strtol(portText.c_str(), nullptr, 10) : 0;
    if (value < 1 || value > 65535) {
      *error = "bad port '" + portText + "' (1 to 65535)";
      return false;
    }
    *port = static_cast<int>(value);
  }
  return true;
}

bool IsSecretKey(const std::string& key) {
  static const char* const kSecretParts[] = {"pass", "key", "token", "secret", "streamid", "auth", "sign"};
  const std::string lower = Lower(key);
  return std::any_of(std::begin(kSecretParts), std::end(kSecretParts),
                     [&](const char* part) { return lower.find(part) != std::string::npos; });
}
}  // namespace

int VrParsePublishUrl(const std::string& url, VrPublishTarget* target, std::string* error) {
  const std::string masked = VrMaskPublishUrl(url);
  auto fail = [&](int code, const std::string& why) {
    *error = "PublishUrl '" + masked + "': " + why;
    return code;
  };
  if (url.empty()) return fail(kVrPublishUrlMalformed, "empty");
  if (std::any_of(url.begin(), url.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; })) {
    return fail(kVrPublishUrlMalformed, "blanks or control characters in the address");
  }
  const UrlParts parts = Split(url);
  if (!parts.hasScheme || parts.scheme.empty()) {
    return fail(kVrPublishUrlMalformed, "expected scheme://host:port/... (srt, rist, rtmp or rtmps)");
  }
  const std::string scheme = Lower(parts.scheme);
  if (scheme != "srt" && scheme != "rist" && !IsRtmp(scheme)) {
    return fail(kVrPublishSchemeUnknown,
                "unknown scheme '" + parts.scheme + "' (srt, rist, rtmp or rtmps)");
  }
  std::string host, why;
  int port = -1;
  if (!ParseAuthority(parts.authority, &host, &port, &why)) return fail(kVrPublishUrlMalformed, why);
  if (!IsRtmp(scheme) && port < 0) return fail(kVrPublishUrlMalformed, scheme + " needs a port");
  if (IsRtmp(scheme)) {
    // rtmp://host/application/stream: nginx and most services need both.
    const size_t slash = parts.path.find('/', 1);
    if (parts.path.size() < 2 || slash == std::string::npos || slash + 1 >= parts.path.size() ||
        slash == 1) {
      return fail(kVrPublishUrlMalformed, "expected rtmp://host[:port]/application/stream");
    }
  }
  if (!WritableByLibavformat(scheme)) {
    return fail(kVrPublishSchemeUnavailable, "this FFmpeg cannot write " + scheme);
  }
  target->m_strUrl = url;
  target->m_strScheme = scheme;
  target->m_strFormat = IsRtmp(scheme) ? "flv" : "mpegts";
  target->m_strMasked = masked;
  return 0;
}

std::string VrMaskPublishUrl(const std::string& url) {
  const UrlParts parts = Split(url);
  if (!parts.hasScheme) return url;
  std::string authority = parts.authority;
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const size_t colon = authority.find(':');
    if (colon != std::string::npos && colon < at) authority = authority.substr(0, colon + 1) + "***" + authority.substr(at);
  }
  std::string path = parts.path;
  if (IsRtmp(Lower(parts.scheme))) {
    const size_t last = path.rfind('/');
    if (last != std::string::npos && last > 0 && last + 1 < path.size()) path = path.substr(0, last + 1) + "***";
  }
  std::string out = parts.scheme + "://" + authority + path;
  if (url.find('?', parts.scheme.size() + 3 + parts.authority.size()) == std::string::npos) return out;
  out += '?';
  size_t begin = 0;
  for (;;) {
    const size_t amp = parts.query.find('&', begin);
    const std::string item = parts.query.substr(begin, amp == std::string::npos ? std::string::npos : amp - begin);
    const size_t eq = item.find('=');
    if (eq != std::string::npos && IsSecretKey(item.substr(0, eq))) {
      out += item.substr(0, eq + 1) + "***";
    } else {
      out += item;
    }
    if (amp == std::string::npos) break;
    out += '&';
    begin = amp + 1;
  }
  return out;
}

VrPublishParams VrPublishParams::FromConfiguration() {
  const HX_ServerConfiguration* config = HX_ServerConfiguration::instance();
  VrPublishParams params;
  params.m_stVideo.m_iCodecId = VrSelectEncoder(config->m_iEncodeType).m_iCodecId;
  params.m_stVideo.m_iFrameRate = config->m_iFps;
  config->getOutputSize(&params.m_stVideo.m_iWidth, &params.m_stVideo.m_iHeight);
  params.m_stVideo.m_iBitRate = config->m_iEncodeSample;
  params.m_bAudio = config->m_bAudioEnable;
  params.m_iAudioSampleRate = config->m_iAudioSample;
  params.m_iAudioBitRate = config->m_iAudioBitRate;
  return params;
}
