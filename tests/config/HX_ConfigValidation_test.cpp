// config.ini files an operator (or a careless script) can write: values out
// of range, lines longer than the INI reader takes, files that are no INI.
#include <gtest/gtest.h>

#include "config/HX_ServerConfiguration.h"
#include "platform/HX_Paths.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {
class ConfigValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FLAGS_minloglevel = 0;
    HX_SetBaseDirectory(m_dir.path());
    cfg()->resetToDefaults();
  }
  static HX_ServerConfiguration* cfg() { return HX_ServerConfiguration::instance(); }
  void writeFile(const std::string& bytes) { m_dir.write("config.ini", bytes); }
  int warningsNaming(const LogCapture& log, const std::string& text) const {
    int n = 0;
    for (const LogCapture::Line& l : log.lines()) {
      n += l.severity == google::GLOG_WARNING && l.text.find(text) != std::string::npos;
    }
    return n;
  }
  TempDir m_dir;
};
}  // namespace

TEST_F(ConfigValidationTest, ValuesOutsideTheirRangeKeepTheDefaultWithOneWarningEach) {
  writeFile(
      "[config]\n"
      "FPS=2147483647\n"
      "EncodeSample=-1\n"
      "EncodeCache=-5\n"
      "EncodeType=9\n"
      "AudioEnable=maybe\n"
      "AudioSample=12345\n"
      "AudioBitRate=-1\n"
      "RecordPath=relative/dir\n"
      "RecordSplitType=3\n"
      "SyncRecord=2\n"
      "PushFlowType=7\n"
      "PrivatePort=99999999999\n");
  const std::string defaultPath = cfg()->m_strRecordPath;
  LogCapture log;
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_iFps, 25);
  EXPECT_EQ(cfg()->m_iEncodeSample, 3000000);
  EXPECT_EQ(cfg()->m_iEncodeCache, 1000);
  EXPECT_EQ(cfg()->m_iEncodeType, 1);
  EXPECT_FALSE(cfg()->m_bAudioEnable);
  EXPECT_EQ(cfg()->m_iAudioSample, 44100);
  EXPECT_EQ(cfg()->m_iAudioBitRate, 96000);
  EXPECT_EQ(cfg()->m_strRecordPath, defaultPath);
  EXPECT_EQ(cfg()->m_iRecordSplitType, 0);
  EXPECT_FALSE(cfg()->m_bSyncRecord);
  EXPECT_EQ(cfg()->m_iPushFlowType, 0);
  EXPECT_EQ(cfg()->m_iPrivatePort, 6000);

  // One warning per key, naming the key, the refused value and the value used,
  // and the same texts for the operator.
  EXPECT_EQ(warningsNaming(log, "config.ini: FPS=2147483647 is not 1..60; 25 is used instead"), 1);
  EXPECT_EQ(warningsNaming(log, "PrivatePort=99999999999 is not 1..65534; 6000 is used instead"), 1);
  EXPECT_EQ(warningsNaming(log, "AudioSample=12345 is not one of 7350, 8000,"), 1);
  EXPECT_EQ(warningsNaming(log, "AudioBitRate=-1 is not"), 1);
  EXPECT_EQ(warningsNaming(log, "EncodeSample=-1 is not"), 1);
  EXPECT_EQ(warningsNaming(log, "RecordPath=relative/dir is not an absolute path; " + defaultPath), 1);
  EXPECT_EQ(warningsNaming(log, "AudioEnable=maybe"), 1);
  EXPECT_EQ(warningsNaming(log, "config.ini: "), 12);
  ASSERT_EQ(cfg()->loadProblems().size(), 12u);
  EXPECT_EQ(cfg()->loadProblems()[0], "config.ini: FPS=2147483647 is not 1..60; 25 is used instead");

  // A later load of a good file forgets the earlier problems.
  writeFile("[config]\nFPS=30\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_TRUE(cfg()->loadProblems().empty());
}

TEST_F(ConfigValidationTest, EdgesOfEachRangeAreTakenAndOneBeyondIsNot) {
  writeFile(
      "[config]\nFPS=60\nEncodeSample=1000\nEncodeType=5\nAudioSample=48000\nAudioBitRate=320000\n"
      "RecordSplitType=2\nPushFlowType=1\nPrivatePort=65534\nRecordPath=/srv/rec\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_TRUE(cfg()->loadProblems().empty());
  EXPECT_EQ(cfg()->m_iFps, 60);
  EXPECT_EQ(cfg()->m_iEncodeSample, 1000);
  EXPECT_EQ(cfg()->m_iEncodeType, 5);
  EXPECT_EQ(cfg()->m_iAudioSample, 48000);
  EXPECT_EQ(cfg()->m_iAudioBitRate, 320000);
  EXPECT_EQ(cfg()->m_iPrivatePort, 65534);
  EXPECT_EQ(cfg()->m_strRecordPath, "/srv/rec");

  // A refused value keeps what was in force before the load.
  writeFile("[config]\nFPS=100000\nFPS2=1\nPrivatePort=65535\nAudioSample=0x3e80\nEncodeType=0\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_iFps, 60);
  EXPECT_EQ(cfg()->m_iPrivatePort, 65534);
  EXPECT_EQ(cfg()->m_iAudioSample, 16000);  // 0x3e80 is a rate AAC signals
  EXPECT_EQ(cfg()->m_iEncodeType, 5);
  EXPECT_EQ(cfg()->loadProblems().size(), 3u);
}

TEST_F(ConfigValidationTest, ALineLongerThanTheReaderTakesIsAnErrorNamingItsKeyNeverACut) {
  // The reader would cut this line after 199 characters and read the rest as
  // a line of its own: "PushFlowType=1" would switch the push mode.
  std::string path = "/" + std::string(199 - std::string("RecordPath=/").size(), 'r');
  std::string tail = "PushFlowType=1";
  writeFile("[config]\nRecordPath=" + path + tail + "\nFPS=30\n");
  const std::string defaultPath = cfg()->m_strRecordPath;
  LogCapture log;
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_strRecordPath, defaultPath);
  EXPECT_EQ(cfg()->m_iPushFlowType, 0);
  EXPECT_EQ(cfg()->m_iFps, 30);  // the next line still loads
  ASSERT_EQ(cfg()->loadProblems().size(), 1u);
  EXPECT_EQ(cfg()->loadProblems()[0], "config.ini: the RecordPath line is longer than 199 characters and was not read; " +
                                          defaultPath + " is used instead");
  int errors = 0;
  for (const LogCapture::Line& l : log.lines()) {
    errors += l.severity == google::GLOG_ERROR && l.text.find("the RecordPath line is longer") != std::string::npos;
  }
  EXPECT_EQ(errors, 1);

  // 5,000 characters, an unknown key and a long comment: the comment reads
  // as nothing, the others are named.
  writeFile("[config]\nrecordpath=/" + std::string(5000, 'x') + "\nWhatever=" + std::string(300, 'w') + "\n;" +
            std::string(400, 'c') + "\n" + std::string(250, '=') + "\nFPS=50\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_strRecordPath, defaultPath);
  EXPECT_EQ(cfg()->m_iFps, 50);
  ASSERT_EQ(cfg()->loadProblems().size(), 3u);
  EXPECT_NE(cfg()->loadProblems()[0].find("the recordpath line is longer"), std::string::npos);
  EXPECT_EQ(cfg()->loadProblems()[1], "config.ini: the Whatever line is longer than 199 characters and was not read");
  EXPECT_EQ(cfg()->loadProblems()[2], "config.ini: line 5 is longer than 199 characters and was not read");

  // The longest line the reader takes whole is taken whole.
  std::string longest = "/" + std::string(199 - std::string("RecordPath=/").size(), 'p');
  writeFile("[config]\nRecordPath=" + longest + "\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_strRecordPath, longest);
  EXPECT_TRUE(cfg()->loadProblems().empty());
}

TEST_F(ConfigValidationTest, SavingAPathTooLongToReadBackWarns) {
  cfg()->m_strRecordPath = "/" + std::string(300, 'd');
  LogCapture log;
  ASSERT_TRUE(cfg()->saveNormalConfig());
  EXPECT_EQ(warningsNaming(log, "the RecordPath line has 312 characters"), 1);
}

TEST_F(ConfigValidationTest, AFileThatIsNoIniFileIsAFailureAndChangesNothing) {
  cfg()->m_iFps = 15;
  // Binary data: NUL bytes and lines without '='.
  std::string garbage = std::string("\x7f" "ELF\x02\x01\x01") + std::string(9, '\0') + "\x03>\x01\x10\n\xff\xfe\n";
  writeFile(garbage);
  LogCapture log;
  EXPECT_EQ(cfg()->loadNormalConfig(), HX_ServerConfiguration::kUnparsable);
  EXPECT_EQ(cfg()->m_iFps, 15);
  EXPECT_TRUE(log.contains("is not an INI file with a [config] section"));

  // Text, but every line malformed.
  writeFile("PushFlowType 1\nthis is not an ini file\n");
  EXPECT_EQ(cfg()->loadNormalConfig(), HX_ServerConfiguration::kUnparsable);
  // Keys without the section header.
  writeFile("PushFlowType=1\nFPS=30\n");
  EXPECT_EQ(cfg()->loadNormalConfig(), HX_ServerConfiguration::kUnparsable);
  EXPECT_EQ(cfg()->m_iPushFlowType, 0);
  // An empty file and a file of comments are a configuration without keys.
  writeFile("");
  EXPECT_EQ(cfg()->loadNormalConfig(), 0);
  writeFile("; nothing set yet\n[config]\n");
  EXPECT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_iFps, 15);
}
