#include "protocol/HX_NetCmd_Header.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ProtocolTestUtil.h"
#include "support/LogCapture.h"

namespace {
std::string Readable(const ACE_Message_Block& mb) { return std::string(mb.rd_ptr(), mb.length()); }

void Put(ACE_Message_Block* mb, const std::string& bytes) {
  std::memcpy(mb->wr_ptr(), bytes.data(), bytes.size());
  mb->wr_ptr(bytes.size());
}

std::string HeaderWithLength(uint32_t len) { return BigEndian(len, 4) + Frame(3002, 7, 0).substr(4); }
}  // namespace

TEST(HX_NetCmd_HeaderEncode, WritesTheExampleBytesBigEndian) {
  HX_NetCmd_Header h;
  EXPECT_EQ(h.m_uiPacketLen, 20u);
  EXPECT_EQ(h.m_uiMagicNumber, 0xCAFEDEADu);
  h.m_uiCmdId = 3002;
  h.m_uiSequenceNo = 7;
  ACE_Message_Block mb(24);
  ASSERT_EQ(h.Encode(&mb), 0);
  const unsigned char expected[24] = {0x00, 0x00, 0x00, 0x14, 0xCA, 0xFE, 0xDE, 0xAD, 0x00, 0x00, 0x0B, 0xBA,
                                      0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Readable(mb), std::string(reinterpret_cast<const char*>(expected), 24));

  // Every byte of the 64-bit requester id lands in order; the members are
  // written as they are (no length computed, no magic forced).
  HX_NetCmd_Header odd;
  odd.m_uiPacketLen = 0x01020304;
  odd.m_uiMagicNumber = 0x11223344;
  odd.m_uiCmdId = 0xA0B0C0D0;
  odd.m_uiSequenceNo = 0xFFFFFFFE;
  odd.m_ullRequesterId = 0x0102030405060708ull;
  ACE_Message_Block mb2(24);
  ASSERT_EQ(odd.Encode(&mb2), 0);
  EXPECT_EQ(Readable(mb2), BigEndian(0x01020304, 4) + BigEndian(0x11223344, 4) + BigEndian(0xA0B0C0D0, 4) +
                               BigEndian(0xFFFFFFFE, 4) + BigEndian(0x0102030405060708ull, 8));
}

TEST(HX_NetCmd_HeaderEncode, ABlockWithoutRoomFailsAtTheFirstFieldThatDoesNotFit) {
  LogCapture log;
  HX_NetCmd_Header h;
  ACE_Message_Block mb(10);
  EXPECT_EQ(h.Encode(&mb), -2);
  EXPECT_EQ(mb.length(), 0u);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "HX_NetCmd_Header::Encode: encode m_usCmdId failed");
  ACE_Message_Block mb23(23);
  EXPECT_EQ(h.Encode(&mb23), -2);
  EXPECT_TRUE(log.contains("encode m_ullRequesterId failed"));
}

TEST(HX_NetCmd_HeaderDecode, RoundTripsAndLeavesTheBodyReadable) {
  HX_NetCmd_Header out;
  out.m_uiCmdId = 3003;
  out.m_uiSequenceNo = 123456;
  out.m_ullRequesterId = 0xFEDCBA9876543210ull;
  out.m_uiPacketLen = 23;
  // The read position may lie anywhere, aligned or not.
  ACE_Message_Block mb(64);
  Put(&mb, "x");
  mb.rd_ptr(1);
  ASSERT_EQ(out.Encode(&mb), 0);
  Put(&mb, "abc");
  HX_NetCmd_Header in;
  ASSERT_EQ(in.Decode(&mb), 0);
  EXPECT_EQ(in.m_uiPacketLen, 23u);
  EXPECT_EQ(in.m_uiMagicNumber, HX_NetCmd_Header::MAGIC_NUMBER);
  EXPECT_EQ(in.m_uiCmdId, 3003u);
  EXPECT_EQ(in.m_uiSequenceNo, 123456u);
  EXPECT_EQ(in.m_ullRequesterId, 0xFEDCBA9876543210ull);
  EXPECT_EQ(Readable(mb), "abc");
}

TEST(HX_NetCmd_HeaderDecode, RefusesShortBlocksLargeLengthsAndForeignMagic) {
  LogCapture log;
  HX_NetCmd_Header h;
  ACE_Message_Block mb(64);
  Put(&mb, Frame(3002, 1, 2).substr(0, 23));
  EXPECT_EQ(h.Decode(&mb), -3);
  EXPECT_TRUE(log.contains("HX_NetCmd_Header::Decode: mb->length() is too small, len=23"));
  EXPECT_EQ(mb.length(), 23u);

  ACE_Message_Block big(64);
  Put(&big, HeaderWithLength(1048597));
  EXPECT_EQ(h.Decode(&big), -3);
  EXPECT_TRUE(log.contains("HX_NetCmd_Header::Decode: m_uiPacketLen too large, m_uiPacketLen=1048597"));
  EXPECT_EQ(big.length(), 24u);

  ACE_Message_Block magic(64);
  Put(&magic, Frame(3002, 1, 2, "", 0xDEADBEEF));
  EXPECT_EQ(h.Decode(&magic), -3);
  EXPECT_TRUE(log.contains("magic number not match, uiMagicNumber=deadbeef, MAGIC_NUMBER=cafedead"));
  EXPECT_EQ(magic.length(), 24u);
  EXPECT_EQ(h.m_uiCmdId, 0u);  // a failed decode leaves the header as it was

  // The maximum length itself decodes; Decode does not check the minimum.
  ACE_Message_Block max(64);
  Put(&max, HeaderWithLength(1048596));
  EXPECT_EQ(h.Decode(&max), 0);
  ACE_Message_Block tiny(64);
  Put(&tiny, HeaderWithLength(3));
  EXPECT_EQ(h.Decode(&tiny), 0);
}

TEST(HX_NetCmd_HeaderPeek, LengthLimitsAndTheirLines) {
  struct Case {
    uint32_t len;
    int rc;
    const char* line;
  } cases[] = {
      {19, -1, "HX_NetCmd_Header::peekPakcetLen: ERROR, uiPacketLen too small, uiPacketLen=19"},
      {20, 0, nullptr},
      {21, 0, nullptr},
      {1048596, 0, nullptr},
      {1048597, -1, "HX_NetCmd_Header::peekPakcetLen: ERROR, uiPacketLen too large, uiPacketLen=1048597"},
      // A little-endian sender's 20 reads as a huge length.
      {0x14000000, -1, "HX_NetCmd_Header::peekPakcetLen: ERROR, uiPacketLen too large, uiPacketLen=335544320"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    ACE_Message_Block mb(64);
    Put(&mb, HeaderWithLength(c.len));
    uint32_t len = 0;
    EXPECT_EQ(HX_NetCmd_Header::peekPakcetLen(&mb, len), c.rc) << c.len;
    EXPECT_EQ(len, c.len);
    EXPECT_EQ(mb.length(), 24u);  // nothing consumed
    if (c.line != nullptr) {
      auto lines = log.lines();
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].text, c.line);
      EXPECT_EQ(lines[0].severity, google::GLOG_WARNING);
    } else {
      EXPECT_TRUE(log.lines().empty());
    }
  }
}

TEST(HX_NetCmd_HeaderPeek, FewerThanFourBytesIsAnErrorWithATrace) {
  LogCapture log;
  ACE_Message_Block mb(8);
  Put(&mb, std::string("\0\0\0", 3));
  uint32_t len = 99;
  EXPECT_EQ(HX_NetCmd_Header::peekPakcetLen(&mb, len), -1);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, google::GLOG_ERROR);
  EXPECT_EQ(lines[0].text.rfind("HX_NetCmd_Header::peekPakcetLen: stInputCDR.read_ulong failed\n", 0), 0u);
  EXPECT_GT(lines[0].text.size(), 70u);  // the stack trace follows
}
