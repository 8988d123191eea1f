#include "config/HX_ServerConfiguration.h"

#include <gtest/gtest.h>

#include "platform/HX_Paths.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HX_SetBaseDirectory(m_dir.path());
    cfg()->resetToDefaults();
  }
  static HX_ServerConfiguration* cfg() { return HX_ServerConfiguration::instance(); }
  void writeIni(const std::string& body) { m_dir.write("config.ini", "[config]\n" + body); }
  TempDir m_dir;
};
}  // namespace

TEST_F(ConfigTest, MissingFileKeepsDefaultsAndReportsOnStderr) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(cfg()->loadNormalConfig(), -1);
  EXPECT_EQ(cfg()->loadLoggerConfig(true), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("HX_ServerConfiguration, reader.ParseError!\n"), std::string::npos);
  EXPECT_EQ(cfg()->m_iFps, 25);
  EXPECT_EQ(cfg()->m_iEncodeSample, 3000000);
  EXPECT_EQ(cfg()->m_iEncodeType, 1);
  EXPECT_FALSE(cfg()->m_bAudioEnable);
  EXPECT_EQ(cfg()->m_iAudioSample, 44100);
  EXPECT_EQ(cfg()->m_iAudioBitRate, 96000);
  EXPECT_EQ(cfg()->m_iRecordSplitType, 0);
  EXPECT_FALSE(cfg()->m_bSyncRecord);
  EXPECT_EQ(cfg()->m_iPushFlowType, 0);
  EXPECT_EQ(cfg()->m_iPrivatePort, 6000);
  EXPECT_TRUE(cfg()->m_bCaptureCursor);
  EXPECT_EQ(cfg()->m_iSplitSize, 536870912);
  EXPECT_EQ(cfg()->m_iSplitTime, 3600000);
  int32_t w = 0, h = 0;
  cfg()->getOutputSize(&w, &h);
  EXPECT_EQ(w, 1920);
  EXPECT_EQ(h, 1080);
}

TEST_F(ConfigTest, DefaultRecordPathIsVideosUnderHome) {
  setenv("HOME", "/home/op", 1);
  EXPECT_EQ(HX_ServerConfiguration::DefaultRecordPath(), "/home/op/Videos");
  unsetenv("HOME");
  EXPECT_EQ(HX_ServerConfiguration::DefaultRecordPath(), m_dir.path());
}

TEST_F(ConfigTest, IntegersUseAutomaticBaseAndNumericPrefixes) {
  writeIni("FPS=0x1e\nEncodeCache=012\nEncodeSample=2500000bps\nEncodeType=abc\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_iFps, 30);
  EXPECT_EQ(cfg()->m_iEncodeCache, 10);
  EXPECT_EQ(cfg()->m_iEncodeSample, 2500000);
  EXPECT_EQ(cfg()->m_iEncodeType, 1);  // "abc" keeps the previous value
}

TEST_F(ConfigTest, BooleansKeysCaseAndMalformedLines) {
  writeIni("AudioEnable=yes\nSyncRecord=maybe\nthis line is malformed\nfps=012\nPRIVATEPORT=7000\n");
  cfg()->m_bSyncRecord = true;
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_TRUE(cfg()->m_bAudioEnable);
  EXPECT_TRUE(cfg()->m_bSyncRecord);  // "maybe" keeps the previous value
  EXPECT_EQ(cfg()->m_iFps, 10);       // keys are case-insensitive, later keys still load
  EXPECT_EQ(cfg()->m_iPrivatePort, 7000);

  writeIni("AudioEnable=OFF\nSyncRecord=On\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_FALSE(cfg()->m_bAudioEnable);
  EXPECT_TRUE(cfg()->m_bSyncRecord);
}

TEST_F(ConfigTest, SaveWritesTheFifteenKeysInOrderAndRoundTrips) {
  cfg()->m_strRecordPath = "/data/rec";
  ASSERT_TRUE(cfg()->saveNormalConfig());
  EXPECT_EQ(m_dir.read("config.ini"),
            "[config]\n"
            "min_log_level=debug\n"
            "enable_console_log=true\n"
            "FPS=25\n"
            "EncodeSample=3000000\n"
            "EncodeCache=1000\n"
            "EncodeType=1\n"
            "AudioEnable=0\n"
            "AudioSample=44100\n"
            "AudioBitRate=96000\n"
            "RecordPath=/data/rec\n"
            "RecordSplitType=0\n"
            "SyncRecord=0\n"
            "PushFlowType=0\n"
            "PrivatePort=6000\n"
            "CaptureCursor=1\n");
  EXPECT_FALSE(std::ifstream(m_dir.file("config.ini.tmp")).good());

  cfg()->m_iFps = 50;
  cfg()->m_bAudioEnable = true;
  cfg()->m_iPushFlowType = 1;
  cfg()->m_bCaptureCursor = false;
  cfg()->m_strMinLogLevelText = "error";
  cfg()->m_strEnableConsoleLogText = "false";
  ASSERT_TRUE(cfg()->saveNormalConfig());
  cfg()->resetToDefaults();
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_iFps, 50);
  EXPECT_TRUE(cfg()->m_bAudioEnable);
  EXPECT_EQ(cfg()->m_iPushFlowType, 1);
  EXPECT_EQ(cfg()->m_strRecordPath, "/data/rec");
  EXPECT_FALSE(cfg()->m_bCaptureCursor);
  // The logging settings survive a save and are seen by the logger loader.
  EXPECT_EQ(cfg()->m_strMinLogLevelText, "error");
  testing::internal::CaptureStderr();
  EXPECT_EQ(cfg()->loadLoggerConfig(true), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(cfg()->m_strMinLogLevel, "error");
  EXPECT_FALSE(cfg()->m_bEnableConsoleLog);
  EXPECT_NE(err.find("load config ====================> min_log_level: error \n"), std::string::npos);
  EXPECT_NE(err.find("load config ====================> enable_console_log: 0 \n"), std::string::npos);
}

TEST_F(ConfigTest, PublishUrlIsSavedOnlyWhenSetAndCountsAsAChange) {
  writeIni("PublishUrl=srt://10.0.0.5:9000?passphrase=abc#def&latency=200\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  // '#' does not start a comment for inih, so a fragment-like value survives.
  EXPECT_EQ(cfg()->m_strPublishUrl, "srt://10.0.0.5:9000?passphrase=abc#def&latency=200");
  EXPECT_FALSE(cfg()->isConfigChanged());
  cfg()->m_strPublishUrl = "rtmp://127.0.0.1/live/s";
  EXPECT_TRUE(cfg()->isConfigChanged());
  ASSERT_TRUE(cfg()->saveNormalConfig());
  EXPECT_NE(m_dir.read("config.ini").find("\nPublishUrl=rtmp://127.0.0.1/live/s\n"), std::string::npos);
  cfg()->m_strPublishUrl.clear();
  ASSERT_TRUE(cfg()->saveNormalConfig());
  EXPECT_EQ(m_dir.read("config.ini").find("PublishUrl"), std::string::npos);
}

TEST_F(ConfigTest, CaptureBackendRoundTripsAndStaysOutOfTheFileAtItsDefault) {
  // A file written before the key existed is saved back byte for byte.
  ASSERT_TRUE(cfg()->saveNormalConfig());
  const std::string defaults = m_dir.read("config.ini");
  EXPECT_EQ(defaults.find("CaptureBackend"), std::string::npos);
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  ASSERT_TRUE(cfg()->saveNormalConfig());
  EXPECT_EQ(m_dir.read("config.ini"), defaults);

  for (const char* value : {"portal", "x11"}) {
    SCOPED_TRACE(value);
    cfg()->m_strCaptureBackend = value;
    EXPECT_TRUE(cfg()->isConfigChanged());
    ASSERT_TRUE(cfg()->saveNormalConfig());
    EXPECT_NE(m_dir.read("config.ini").find(std::string("\nCaptureBackend=") + value + "\n"), std::string::npos);
    cfg()->resetToDefaults();
    ASSERT_EQ(cfg()->loadNormalConfig(), 0);
    EXPECT_EQ(cfg()->m_strCaptureBackend, value);
    EXPECT_TRUE(cfg()->loadProblems().empty());
    ASSERT_EQ(cfg()->loadNormalConfig(), 0);  // back to a clean snapshot for the next value
  }
  // "auto" written by hand is the default again: it leaves the file.
  writeIni("CaptureBackend=auto\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_EQ(cfg()->m_strCaptureBackend, "auto");
  ASSERT_TRUE(cfg()->saveNormalConfig());
  EXPECT_EQ(m_dir.read("config.ini").find("CaptureBackend"), std::string::npos);
}

TEST_F(ConfigTest, AnUnknownCaptureBackendKeepsTheValueInForceWithAWarning) {
  writeIni("CaptureBackend=portal\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  for (const char* bad : {"wayland", "Portal", "x11,portal", ""}) {
    SCOPED_TRACE(bad);
    writeIni(std::string("CaptureBackend=") + bad + "\n");
    LogCapture log;
    ASSERT_EQ(cfg()->loadNormalConfig(), 0);
    EXPECT_EQ(cfg()->m_strCaptureBackend, "portal");
    ASSERT_EQ(cfg()->loadProblems().size(), 1u);
    EXPECT_EQ(cfg()->loadProblems()[0], std::string("config.ini: CaptureBackend=") + bad +
                                            " is not auto, x11 or portal; portal is used instead");
    EXPECT_EQ(log.count("CaptureBackend="), 1);
  }
}

TEST_F(ConfigTest, SaveFailsCleanlyWhenTheDirectoryIsGone) {
  HX_SetBaseDirectory(m_dir.path() + "/missing");
  LogCapture log;
  EXPECT_FALSE(cfg()->saveNormalConfig());
  EXPECT_TRUE(log.contains("cannot create"));
}

TEST_F(ConfigTest, ChangeDetectionCoversTheSavedSettingsOnly) {
  writeIni("FPS=25\n");
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  EXPECT_FALSE(cfg()->isConfigChanged());
  cfg()->m_iPrivatePort = 7001;  // not compared
  cfg()->m_iCaptureMode = 3;     // run-time only
  EXPECT_FALSE(cfg()->isConfigChanged());
  cfg()->m_strRecordPath += "/x";
  EXPECT_TRUE(cfg()->isConfigChanged());
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);  // reload re-snapshots
  cfg()->m_bSyncRecord = !cfg()->m_bSyncRecord;
  EXPECT_TRUE(cfg()->isConfigChanged());
  ASSERT_EQ(cfg()->loadNormalConfig(), 0);
  cfg()->m_bCaptureCursor = !cfg()->m_bCaptureCursor;  // a dialog setting, saved
  EXPECT_TRUE(cfg()->isConfigChanged());
}

TEST_F(ConfigTest, RegionAndOutputSizeAreGuardedCopies) {
  cfg()->setCaptureRegion(10, 20, 330, 260);
  cfg()->setOutputSize(640, 360);
  int32_t l, t, r, b, w, h;
  cfg()->getCaptureRegion(&l, &t, &r, &b);
  cfg()->getOutputSize(&w, &h);
  EXPECT_EQ(l, 10);
  EXPECT_EQ(t, 20);
  EXPECT_EQ(r, 330);
  EXPECT_EQ(b, 260);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 360);
}
