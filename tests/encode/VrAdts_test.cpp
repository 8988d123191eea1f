#include "encode/VrAdts.h"

#include <gtest/gtest.h>

#include <vector>

TEST(VrAdts, ParsesTheConfigurationsTheEncoderWrites) {
  VrAacConfig c;
  const uint8_t lc44100Stereo[] = {0x12, 0x10, 0x56, 0xE5, 0x00};
  ASSERT_TRUE(VrParseAacConfig(lc44100Stereo, sizeof lc44100Stereo, &c));
  EXPECT_EQ(c.m_iObjectType, 2);
  EXPECT_EQ(c.m_iFrequencyIndex, 4);
  EXPECT_EQ(c.m_iChannelConfig, 2);

  const uint8_t lc48000Stereo[] = {0x11, 0x90};
  ASSERT_TRUE(VrParseAacConfig(lc48000Stereo, 2, &c));
  EXPECT_EQ(c.m_iObjectType, 2);
  EXPECT_EQ(c.m_iFrequencyIndex, 3);
  EXPECT_EQ(c.m_iChannelConfig, 2);
}

TEST(VrAdts, RefusesWhatAnAdtsHeaderCannotCarry) {
  VrAacConfig c;
  const uint8_t escapedObjectType[] = {0xF8, 0xE8, 0x10};  // 31 -> escape (ELD is 39)
  EXPECT_FALSE(VrParseAacConfig(escapedObjectType, 3, &c));
  const uint8_t explicitFrequency[] = {0x17, 0x80, 0x00, 0x00, 0x00};  // index 15
  EXPECT_FALSE(VrParseAacConfig(explicitFrequency, 5, &c));
  const uint8_t objectTypeZero[] = {0x02, 0x10};
  EXPECT_FALSE(VrParseAacConfig(objectTypeZero, 2, &c));
  const uint8_t oneByte[] = {0x12};
  EXPECT_FALSE(VrParseAacConfig(oneByte, 1, &c));
  EXPECT_FALSE(VrParseAacConfig(nullptr, 2, &c));
}

TEST(VrAdts, HeaderBytesForLowComplexityStereo) {
  VrAacConfig c;
  c.m_iObjectType = 2;
  c.m_iFrequencyIndex = 4;
  c.m_iChannelConfig = 2;
  uint8_t h[kVrAdtsHeaderSize] = {0};
  ASSERT_TRUE(VrWriteAdtsHeader(c, 100, h));  // frame length 107
  const std::vector<uint8_t> expected = {0xFF, 0xF1, 0x50, 0x80, 0x0D, 0x7F, 0xFC};
  EXPECT_EQ(std::vector<uint8_t>(h, h + 7), expected);

  c.m_iFrequencyIndex = 3;
  ASSERT_TRUE(VrWriteAdtsHeader(c, 8184, h));  // the largest frame: length 8191
  const std::vector<uint8_t> largest = {0xFF, 0xF1, 0x4C, 0x83, 0xFF, 0xFF, 0xFC};
  EXPECT_EQ(std::vector<uint8_t>(h, h + 7), largest);
  EXPECT_FALSE(VrWriteAdtsHeader(c, 8185, h));
  EXPECT_FALSE(VrWriteAdtsHeader(c, -1, h));
}

TEST(VrAdts, SyncWordDetection) {
  const uint8_t adts[] = {0xFF, 0xF1, 0x50, 0x80, 0x0D, 0x7F, 0xFC};
  EXPECT_TRUE(VrHasAdtsSync(adts, 7));
  EXPECT_FALSE(VrHasAdtsSync(adts, 6));
  const uint8_t raw[] = {0x21, 0x1B, 0x80, 0x00, 0x00, 0x00, 0x00};
  EXPECT_FALSE(VrHasAdtsSync(raw, 7));
  const uint8_t mp3Layer3[] = {0xFF, 0xFB, 0x90, 0x00, 0x00, 0x00, 0x00};
  EXPECT_FALSE(VrHasAdtsSync(mp3Layer3, 7));
}
