#include "publish/VrPublishParams.h"

#include <gtest/gtest.h>

#include <string>

namespace {
struct BadUrl {
  const char* url;
  int code;
  const char* says;
};
}  // namespace

TEST(VrPublishUrl, EachSchemeGetsItsContainer) {
  VrPublishTarget t;
  std::string error;
  ASSERT_EQ(VrParsePublishUrl("srt://127.0.0.1:9000?latency=200", &t, &error), 0) << error;
  EXPECT_EQ(t.m_strScheme, "srt");
  EXPECT_EQ(t.m_strFormat, "mpegts");
  EXPECT_EQ(t.m_strUrl, "srt://127.0.0.1:9000?latency=200");
  ASSERT_EQ(VrParsePublishUrl("rist://[::1]:8000", &t, &error), 0) << error;
  EXPECT_EQ(t.m_strFormat, "mpegts");
  ASSERT_EQ(VrParsePublishUrl("RTMP://media.example.org/live/cam1", &t, &error), 0) << error;
  EXPECT_EQ(t.m_strScheme, "rtmp");
  EXPECT_EQ(t.m_strFormat, "flv");
  EXPECT_EQ(t.m_strMasked, "RTMP://media.example.org/live/***");
  ASSERT_EQ(VrParsePublishUrl("rtmps://u:p@media.example.org:443/app/key", &t, &error), 0) << error;
  EXPECT_EQ(t.m_strFormat, "flv");
}

TEST(VrPublishUrl, UnusableAddressesAreRefusedWithTheReason) {
  const BadUrl cases[] = {
      {"", kVrPublishUrlMalformed, "empty"},
      {"ftp://host/x", kVrPublishSchemeUnknown, "unknown scheme 'ftp'"},
      {"udp://127.0.0.1:1234", kVrPublishSchemeUnknown, "unknown scheme 'udp'"},
      {"rtmp//host/live/x", kVrPublishUrlMalformed, "expected scheme://"},
      {"127.0.0.1:9000", kVrPublishUrlMalformed, "expected scheme://"},
      {"://host:1/a/b", kVrPublishUrlMalformed, "expected scheme://"},
      {"srt://127.0.0.1", kVrPublishUrlMalformed, "srt needs a port"},
      {"rist://:5000", kVrPublishUrlMalformed, "no host"},
      {"srt://host:0", kVrPublishUrlMalformed, "bad port '0'"},
      {"srt://host:65536", kVrPublishUrlMalformed, "bad port '65536'"},
      {"srt://host:12ab", kVrPublishUrlMalformed, "bad port '12ab'"},
      {"srt://host:", kVrPublishUrlMalformed, "bad port"},
      {"srt://[::1:9000", kVrPublishUrlMalformed, "closing ']'"},
      {"rtmp://host", kVrPublishUrlMalformed, "application/stream"},
      {"rtmp://host/live", kVrPublishUrlMalformed, "application/stream"},
      {"rtmp://host/live/", kVrPublishUrlMalformed, "application/stream"},
      {"rtmp://host//x", kVrPublishUrlMalformed, "application/stream"},
      {"rtmp://host/live/a b", kVrPublishUrlMalformed, "blanks"},
      {"rtmp://host/live/a\n", kVrPublishUrlMalformed, "control"},
  };
  for (const BadUrl& c : cases) {
    VrPublishTarget t;
    std::string error;
    EXPECT_EQ(VrParsePublishUrl(c.url, &t, &error), c.code) << c.url;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.url << " -> " << error;
    EXPECT_EQ(error.rfind("PublishUrl '", 0), 0u) << error;  // names the key
    EXPECT_TRUE(t.m_strUrl.empty()) << c.url;
  }
}

TEST(VrPublishUrl, SecretsNeverReachTheConsoleOrTheErrorText) {
  EXPECT_EQ(VrMaskPublishUrl("rtmp://u:hunter2@h:1935/app/abcd-efgh"), "rtmp://u:***@h:1935/app/***");
  EXPECT_EQ(VrMaskPublishUrl("srt://h:9000?mode=caller&passphrase=longsecret&latency=120"),
            "srt://h:9000?mode=caller&passphrase=***&latency=120");
  EXPECT_EQ(VrMaskPublishUrl("srt://h:9000?streamid=#!::r=live/cam,m=publish&pbkeylen=16"),
            "srt://h:9000?streamid=***&pbkeylen=***");
  EXPECT_EQ(VrMaskPublishUrl("rist://h:1?secret=x&aes-type=128"), "rist://h:1?secret=***&aes-type=128");
  // Nothing secret: unchanged; a user without a password stays.
  EXPECT_EQ(VrMaskPublishUrl("srt://h:9000?latency=200"), "srt://h:9000?latency=200");
  EXPECT_EQ(VrMaskPublishUrl("srt://bob@h:9000"), "srt://bob@h:9000");
  EXPECT_EQ(VrMaskPublishUrl("not a url"), "not a url");
  // A refused address is reported masked too.
  VrPublishTarget t;
  std::string error;
  EXPECT_NE(VrParsePublishUrl("srt://u:topsecret@h?passphrase=alsosecret", &t, &error), 0);
  EXPECT_EQ(error.find("secret"), std::string::npos) << error;
}
