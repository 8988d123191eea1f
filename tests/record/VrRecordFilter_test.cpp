#include "record/VrRecordFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "config/HX_ServerConfiguration.h"
#include "encode/VrMuxStreams.h"
#include "platform/HX_Paths.h"
#include "record/RecordProbe.h"
#include "record/RecordTestEncoder.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {
constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFps = 25;
constexpr int kSampleRate = 44100;

// One probed stream: "key=value" pairs of ffprobe's flat output.
using Fields = std::map<std::string, std::string>;

std::vector<Fields> ProbeStreams(const std::string& file) {
  std::string text = Run("ffprobe -v error -count_packets -show_entries "
                         "stream=index,codec_name,width,height,avg_frame_rate,sample_rate,channels,"
                         "nb_read_packets,start_time,duration,extradata_size "
                         "-of default=nw=0 '" + file + "'");
  std::vector<Fields> streams;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "[STREAM]") {
      streams.emplace_back();
    } else if (!streams.empty() && line.find('=') != std::string::npos) {
      streams.back()[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
  }
  return streams;
}

std::vector<std::string> Mp4Files(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().extension() == ".mp4") files.push_back(entry.path().string());
  }
  // In the order they were written: by the second in the name, then "X.mp4"
  // before "X_1.mp4" before "X_2.mp4" ... "X_10.mp4" (plain string order would
  // put "_10" before "_2"; length first would put the next second's first file
  // before this second's "_1").
  auto key = [](const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    const size_t underscore = name.find('_');
    const long suffix = underscore == std::string::npos ? 0 : std::atol(name.c_str() + underscore + 1);
    return std::make_pair(name.substr(0, name.find_first_of("_.")), suffix);
  };
  std::sort(files.begin(), files.end(),
            [&key](const std::string& a, const std::string& b) { return key(a) < key(b); });
  return files;
}

// "<14 digits>.mp4", or "<14 digits>_<n>.mp4"; |suffix| is n (0 when absent),
// -1 when the name has another form.
int StampedNameSuffix(const std::string& fileName) {
  const std::string ext = ".mp4";
  if (fileName.size() < 14 + ext.size() || fileName.compare(fileName.size() - 4, 4, ext) != 0) return -1;
  for (int i = 0; i < 14; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(fileName[i]))) return -1;
  }
  const std::string rest = fileName.substr(14, fileName.size() - 14 - ext.size());
  if (rest.empty()) return 0;
  if (rest.size() < 2 || rest[0] != '_') return -1;
  for (size_t i = 1; i < rest.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return -1;
  }
  return std::stoi(rest.substr(1));
}

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string LocalStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FLAGS_minloglevel = 0;
    HX_SetBaseDirectory(m_home.path());
    cfg()->resetToDefaults();
    cfg()->m_iFps = kFps;
    cfg()->setOutputSize(kWidth, kHeight);
    cfg()->m_iAudioSample = kSampleRate;
    m_strRecordDir = m_home.path() + "/videos/run";  // does not exist yet
    cfg()->m_strRecordPath = m_strRecordDir;
  }
  void TearDown() override { cfg()->resetToDefaults(); }
  static HX_ServerConfiguration* cfg() { return HX_ServerConfiguration::instance(); }

  // Hands the packets over at the pace of a live run: never more than a few
  // waiting, so the queue bounds drop nothing.
  static void Feed(VrRecordFilter& rec, const std::vector<VrMediaFramePtr>& packets) {
    for (const VrMediaFramePtr& p : packets) {
      while (rec.VideoQueueSize() > 6 || rec.AudioQueueSize() > 60) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      rec.PushPacket(p);
    }
  }

  TempDir m_home;
  std::string m_strRecordDir;
};

size_t CountType(const std::vector<VrMediaFramePtr>& packets, int type) {
  return std::count_if(packets.begin(), packets.end(),
                       [type](const VrMediaFramePtr& p) { return p->m_iMediaType == type; });
}
}  // namespace

// ------------------------------------------------------------ parameter sets

TEST(VrRecordFilterParameterSets, KeepsSpsAndPpsWithTheirStartCodesInOrder) {
  const std::vector<uint8_t> au = {
      0, 0, 0, 1, 0x67, 0xAA, 0xBB,  // SPS, four-byte start code
      0, 0, 1, 0x68, 0xCC,           // PPS, three-byte start code
      0, 0, 1, 0x06, 0xDD,           // SEI
      0, 0, 0, 1, 0x65, 0xEE, 0xFF,  // IDR slice
  };
  const std::vector<uint8_t> expected = {0, 0, 0, 1, 0x67, 0xAA, 0xBB, 0, 0, 1, 0x68, 0xCC};
  EXPECT_EQ(VrSplitParameterSets(au.data(), au.size()), expected);
}

TEST(VrRecordFilterParameterSets, UnitEndsWhereTheNextStartCodeWithItsLeadingZeroBegins) {
  // Two zero bytes after the SPS payload: one is trailing data of the SPS, the
  // other the leading zero of the PPS start code. A PPS at the very end runs
  // to the end of the payload.
  const std::vector<uint8_t> au = {0x09, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 0, 1, 0x68, 0x11, 0x22};
  const std::vector<uint8_t> expected = {0, 0, 1, 0x67, 0x42, 0, 0, 0, 0, 1, 0x68, 0x11, 0x22};
  EXPECT_EQ(VrSplitParameterSets(au.data(), au.size()), expected);
}

TEST(VrRecordFilterParameterSets, NothingWithoutStartCodeOrParameterSets) {
  const std::vector<uint8_t> noCode = {0x67, 0x42, 0x00, 0x68, 0x01, 0x02};
  EXPECT_TRUE(VrSplitParameterSets(noCode.data(), noCode.size()).empty());
  const std::vector<uint8_t> slices = {0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x01, 0x02};
  EXPECT_TRUE(VrSplitParameterSets(slices.data(), slices.size()).empty());
  const std::vector<uint8_t> bareCode = {0, 0, 1};  // start code with no unit behind it
  EXPECT_TRUE(VrSplitParameterSets(bareCode.data(), bareCode.size()).empty());
  EXPECT_TRUE(VrSplitParameterSets(nullptr, 0).empty());
}

TEST(VrRecordFilterParameterSets, RealKeyFrameYieldsSpsThenPpsAndDeltaFrameNone) {
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(2, 0);
  ASSERT_EQ(video.size(), 2u);
  ASSERT_EQ(video[0]->m_iKeyFrame, 1);
  std::vector<uint8_t> sets = VrSplitParameterSets(video[0]->m_pData, video[0]->m_iSize);
  ASSERT_GT(sets.size(), 8u);
  EXPECT_EQ(sets[3], 1);
  EXPECT_EQ(sets[4] & 0x1f, 7);
  std::string bytes(sets.begin(), sets.end());
  size_t pps = bytes.find(std::string("\0\0\1\x68", 4));
  ASSERT_NE(pps, std::string::npos);
  EXPECT_EQ(VrSplitParameterSets(video[1]->m_pData, video[1]->m_iSize).size(), 0u);
}

// ------------------------------------------------------------ file names

TEST(VrRecordFilterNames, LocalTimeNameWithOrWithoutTrailingSlashAndSuffixes) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 0;
  t.tm_mday = 5;
  t.tm_hour = 9;
  t.tm_min = 30;
  t.tm_sec = 7;
  EXPECT_EQ(VrRecordFilter::ComposeFileName("/rec", t, 0), "/rec/20240105093007.mp4");
  EXPECT_EQ(VrRecordFilter::ComposeFileName("/rec/", t, 0), "/rec/20240105093007.mp4");
  EXPECT_EQ(VrRecordFilter::ComposeFileName("/rec", t, 2), "/rec/20240105093007_2.mp4");
}

// ------------------------------------------------------------ queues

TEST_F(RecordTest, TwelfthVideoPacketPushesOutTheOldest) {
  LogCapture log;
  VrRecordFilter rec(VrRecordParams::FromConfiguration());
  std::vector<VrMediaFramePtr> packets;
  for (int i = 0; i < 12; ++i) {
    packets.push_back(VrCreateMediaFrame());
    packets.back()->m_llTimestamp = i;
    rec.EnqueueVideo(packets.back());
  }
  EXPECT_EQ(rec.VideoQueueSize(), 11u);
  EXPECT_EQ(log.count("Video Frame Loss."), 1);
  EXPECT_EQ(packets[0].use_count(), 1);  // released by the queue
  for (int i = 1; i < 12; ++i) EXPECT_EQ(rec.DequeueVideo(), packets[i]);
  EXPECT_EQ(rec.DequeueVideo(), nullptr);
}

TEST_F(RecordTest, HundredAndSecondAudioPacketEmptiesTheQueueFirst) {
  LogCapture log;
  VrRecordFilter rec(VrRecordParams::FromConfiguration());
  std::vector<VrMediaFramePtr> packets;
  for (int i = 0; i < 101; ++i) {
    packets.push_back(VrCreateMediaFrame());
    rec.EnqueueAudio(packets.back());
  }
  EXPECT_EQ(rec.AudioQueueSize(), 101u);
  EXPECT_EQ(log.count("Audio Frame Loss."), 0);
  VrMediaFramePtr last = VrCreateMediaFrame();
  rec.EnqueueAudio(last);
  EXPECT_EQ(rec.AudioQueueSize(), 1u);
  EXPECT_EQ(log.count("Audio Frame Loss."), 1);
  EXPECT_EQ(packets[0].use_count(), 1);
  EXPECT_EQ(rec.DequeueAudio(), last);
}

// ------------------------------------------------------------ recordings

TEST_F(RecordTest, RecordsAacAsStreamZeroAndH264AsStreamOneNamedAfterLocalTime) {
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  const int64_t t0 = 5000000;  // a clock value far from zero, as in a live run
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(100, t0);  // 4 s
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(172, t0);  // 3.99 s
  ASSERT_EQ(video.size(), 100u);
  std::vector<VrMediaFramePtr> all = RecordTestEncoder::Interleave(video, audio);
  // The last audio packets are newer than the last video packet; at stop they
  // still go into the file.
  const std::string before = LocalStamp();
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, all);
    rec.stop();
  }
  const std::string after = LocalStamp();

  std::vector<std::string> files = Mp4Files(m_strRecordDir);  // directory was created
  ASSERT_EQ(files.size(), 1u);
  ASSERT_EQ(StampedNameSuffix(FileName(files[0])), 0) << files[0];
  const std::string name = FileName(files[0]).substr(0, 14);
  EXPECT_GE(name, before);
  EXPECT_LE(name, after);

  std::vector<Fields> streams = ProbeStreams(files[0]);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0]["codec_name"], "aac");
  EXPECT_EQ(streams[0]["sample_rate"], "44100");
  EXPECT_EQ(streams[0]["channels"], "2");
  // The audio packet stamped like the first key frame comes before it and is
  // dropped; every later one is in the file.
  EXPECT_EQ(streams[0]["nb_read_packets"], std::to_string(audio.size() - 1));
  EXPECT_EQ(streams[1]["codec_name"], "h264");
  EXPECT_EQ(streams[1]["width"], std::to_string(kWidth));
  EXPECT_EQ(streams[1]["height"], std::to_string(kHeight));
  EXPECT_EQ(streams[1]["avg_frame_rate"], "25/1");
  EXPECT_EQ(streams[1]["nb_read_packets"], "100");
  EXPECT_NEAR(std::stod(streams[1]["duration"]), 4.0, 0.05);
  EXPECT_NEAR(std::stod(streams[0]["duration"]), (audio.size() - 1) * 1024.0 / kSampleRate, 0.05);
  EXPECT_NEAR(std::stod(streams[1]["start_time"]), 0.0, 0.001);
  EXPECT_EQ(DecodeErrors(files[0]), "");

  // Timestamps follow the packets' own clock: frame i at i * 40 ms.
  std::vector<ProbedPacket> vp = ProbePackets(files[0], "v");
  ASSERT_EQ(vp.size(), 100u);
  for (size_t i = 0; i < vp.size(); ++i) EXPECT_NEAR(vp[i].pts, i * 0.04, 0.0005) << i;
  EXPECT_TRUE(vp[0].key);
  EXPECT_TRUE(vp[25].key);
  EXPECT_FALSE(vp[1].key);
}

TEST_F(RecordTest, PacketsBeforeTheFirstKeyFrameAreDropped) {
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(50, 0);
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(86, 0);
  // Begin in the middle of the first GOP: frames 1..24 are not key frames.
  std::vector<VrMediaFramePtr> late(video.begin() + 1, video.end());
  std::vector<VrMediaFramePtr> all = RecordTestEncoder::Interleave(late, audio);
  size_t firstKey = 0;
  while (all[firstKey]->m_iMediaType != VR_MEDIA_VIDEO || all[firstKey]->m_iKeyFrame == 0) ++firstKey;
  std::vector<VrMediaFramePtr> before(all.begin(), all.begin() + firstKey);
  std::vector<VrMediaFramePtr> after(all.begin() + firstKey, all.end());

  VrRecordFilter rec(VrRecordParams::FromConfiguration());
  Feed(rec, before);
  EXPECT_FALSE(rec.IsStarted());
  EXPECT_EQ(rec.VideoQueueSize(), 0u);
  EXPECT_EQ(rec.AudioQueueSize(), 0u);
  EXPECT_TRUE(Mp4Files(m_strRecordDir).empty());
  Feed(rec, after);
  EXPECT_TRUE(rec.IsStarted());
  rec.stop();

  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 1u);
  std::vector<Fields> streams = ProbeStreams(files[0]);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[1]["nb_read_packets"], std::to_string(CountType(after, VR_MEDIA_VIDEO)));
  EXPECT_EQ(streams[0]["nb_read_packets"], std::to_string(CountType(after, VR_MEDIA_AUDIO)));
  std::vector<ProbedPacket> vp = ProbePackets(files[0], "v");
  ASSERT_FALSE(vp.empty());
  EXPECT_TRUE(vp[0].key);
  EXPECT_NEAR(vp[0].pts, 0.0, 0.001);  // the key frame at 1000 ms is time zero
  EXPECT_EQ(DecodeErrors(files[0]), "");
}

TEST_F(RecordTest, RecordingWithoutAudioIsPlayableAndSplitsOnVideoTimeAlone) {
  // A fragmented file declares its tracks before any sample: the audio track
  // is there, empty, and the H.264 track is complete and playable.
  cfg()->m_iRecordSplitType = kSplitByTime;
  cfg()->m_iSplitTime = 1000;
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(50, 777);
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, video);
  }  // destruction stops the recorder
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 2u);
  // Frames 0..25 reach the one-second limit; the second file starts at frame
  // 26, whose time becomes its zero.
  const size_t expected[] = {26, 24};
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    std::vector<Fields> streams = ProbeStreams(files[i]);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_TRUE(ProbePackets(files[i], "a").empty());
    EXPECT_EQ(streams[1]["codec_name"], "h264");
    EXPECT_EQ(DecodeErrors(files[i]), "");
    std::vector<ProbedPacket> vp = ProbePackets(files[i], "v");
    ASSERT_EQ(vp.size(), expected[i]);
    EXPECT_NEAR(vp[0].pts, 0.0, 0.001);
    EXPECT_NEAR(vp.back().pts, (expected[i] - 1) * 0.04, 0.001);
  }
  EXPECT_EQ(DecodeErrors(files[0]), "");
}

TEST_F(RecordTest, SplitBySizeStartsEveryFileAtAKeyFrameAfterTheThreshold) {
  cfg()->m_iRecordSplitType = kSplitBySize;
  cfg()->m_iSplitSize = 60000;
  RecordTestEncoder enc(kWidth, kHeight, kFps, 10, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(100, 1000);
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(172, 1000);
  std::vector<VrMediaFramePtr> all = RecordTestEncoder::Interleave(video, audio);
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, all);
    rec.stop();
  }
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_GE(files.size(), 3u);
  // Several files open within one second: later ones get _1, _2 ...
  std::set<std::string> names;
  for (const std::string& f : files) {
    names.insert(f);
    EXPECT_GE(StampedNameSuffix(FileName(f)), 0) << f;
  }
  EXPECT_EQ(names.size(), files.size());

  size_t videoTotal = 0;
  size_t audioTotal = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    std::vector<ProbedPacket> vp = ProbePackets(files[i], "v");
    std::vector<ProbedPacket> ap = ProbePackets(files[i], "a");
    // Every file carries its own decoder configurations: the AudioSpecificConfig
    // taken from its first ADTS header and the parameter sets of the first key frame.
    std::vector<Fields> streams = ProbeStreams(files[i]);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0]["extradata_size"], "2");
    EXPECT_NE(streams[1]["extradata_size"], "0");
    ASSERT_FALSE(vp.empty());
    EXPECT_TRUE(vp[0].key);
    EXPECT_LT(vp[0].pts, 0.05);
    if (!ap.empty()) {
      EXPECT_LT(ap[0].pts, 0.05);
    }
    EXPECT_EQ(DecodeErrors(files[i]), "");
    // No gap and no overlap: inside a file every picture follows the one
    // before by one frame interval, and (below) every picture is in exactly
    // one file. (A track's first sample is shown from the file's zero: the
    // index of a fragmented file is written before any sample, so a later
    // start cannot be expressed in it.)
    for (size_t k = 2; k < vp.size(); ++k) EXPECT_NEAR(vp[k].pts - vp[k - 1].pts, 0.04, 0.0005) << k;
    videoTotal += vp.size();
    audioTotal += ap.size();
    if (i + 1 < files.size()) {
      // The threshold counts the payloads handed in: the file's samples, plus
      // the ADTS headers the muxer does not store. H.264 samples are at least
      // as large in the file as in Annex B.
      long bytes = 0;
      for (const ProbedPacket& p : vp) bytes += p.size;
      for (const ProbedPacket& p : ap) bytes += p.size + 7;
      EXPECT_GE(bytes, 60000);
      // ... and the split comes at the first key frame once it is reached.
      long withoutLastGop = 0;
      size_t lastKey = 0;
      for (size_t k = 0; k < vp.size(); ++k) {
        if (vp[k].key) lastKey = k;
      }
      for (size_t k = 0; k < lastKey; ++k) withoutLastGop += vp[k].size;
      EXPECT_LT(withoutLastGop, 60000);
    }
  }
  EXPECT_EQ(videoTotal, video.size());
  EXPECT_EQ(audioTotal, audio.size() - 1);  // the one stamped like the first key frame
}

TEST_F(RecordTest, SplitByTimeAfterTheLimitWithTimestampsRestartingNearZero) {
  cfg()->m_iRecordSplitType = kSplitByTime;
  cfg()->m_iSplitTime = 1000;
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(105, 30000);  // 4.2 s
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(180, 30000);
  std::vector<VrMediaFramePtr> all = RecordTestEncoder::Interleave(video, audio);
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, all);
    rec.stop();
  }
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 5u);
  size_t videoTotal = 0;
  size_t audioTotal = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    std::vector<Fields> streams = ProbeStreams(files[i]);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0]["codec_name"], "aac");
    EXPECT_EQ(streams[1]["codec_name"], "h264");
    std::vector<ProbedPacket> vp = ProbePackets(files[i], "v");
    std::vector<ProbedPacket> ap = ProbePackets(files[i], "a");
    ASSERT_FALSE(vp.empty());
    ASSERT_FALSE(ap.empty());
    // The origin is the earlier of the two streams' last packets taken, so the
    // first packet of each stream lies within about one packet interval of it.
    EXPECT_LT(std::min(vp[0].pts, ap[0].pts), 0.045);
    EXPECT_LT(std::max(vp[0].pts, ap[0].pts), 0.1);
    if (i + 1 < files.size()) {
      // The last packet written reached the limit: about one second per file.
      const double last = std::max(vp.back().pts, ap.back().pts);
      EXPECT_GE(last, 0.99);
      EXPECT_LT(last, 1.05);
    }
    // No gap and no overlap: inside a file every picture follows the one
    // before by one frame interval, and (below) every picture is in exactly
    // one file. (A track's first sample is shown from the file's zero: the
    // index of a fragmented file is written before any sample, so a later
    // start cannot be expressed in it.)
    for (size_t k = 2; k < vp.size(); ++k) EXPECT_NEAR(vp[k].pts - vp[k - 1].pts, 0.04, 0.0005) << k;
    videoTotal += vp.size();
    audioTotal += ap.size();
  }
  EXPECT_EQ(DecodeErrors(files[0]), "");
  EXPECT_EQ(videoTotal, video.size());
  EXPECT_EQ(audioTotal, audio.size() - 1);  // the one stamped like the first key frame
}

TEST_F(RecordTest, ExistingFilesOfTheSameSecondAreNeverOverwritten) {
  // Occupy the names of this second and the next few.
  std::filesystem::create_directories(m_strRecordDir);
  std::time_t now = std::time(nullptr);
  std::set<std::string> taken;
  for (int s = 0; s < 5; ++s) {
    std::time_t t = now + s;
    std::tm local{};
    localtime_r(&t, &local);
    std::string path = VrRecordFilter::ComposeFileName(m_strRecordDir, local, 0);
    std::ofstream(path) << "keep me";
    taken.insert(path);
  }
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, RecordTestEncoder::Interleave(enc.EncodeVideo(10, 0), enc.EncodeAudio(20, 0)));
  }
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), taken.size() + 1);
  for (const std::string& f : files) {
    if (taken.count(f) != 0) {
      std::ifstream in(f);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(text, "keep me") << f;
    } else {
      EXPECT_EQ(StampedNameSuffix(FileName(f)), 1) << f;
      EXPECT_EQ(ProbeStreams(f).size(), 2u);
    }
  }
}

TEST_F(RecordTest, FailedWriteDropsThatPacketAndRecordingGoesOn) {
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(30, 0);
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(50, 0);
  // Audio packet 5 has no ADTS header: the filter refuses it, and must not
  // keep the next packets from supplying the stream's configuration.
  std::memset(audio[5]->m_pData, 0x11, audio[5]->m_iSize);
  LogCapture log;
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, RecordTestEncoder::Interleave(video, audio));
    rec.stop();
  }
  EXPECT_EQ(log.count("Recode MP4 Write Audio Failed!!!"), 1);
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ProbePackets(files[0], "v").size(), 30u);
  // All audio but the one before the first key frame and the refused one.
  EXPECT_EQ(ProbePackets(files[0], "a").size(), audio.size() - 2);
  EXPECT_EQ(ProbeStreams(files[0])[0]["extradata_size"], "2");
  EXPECT_EQ(DecodeErrors(files[0]), "");
}

// A capture tick the timer ran late is followed at once by the next one:
// two pictures can share a millisecond, or arrive slightly out of order.
TEST_F(RecordTest, VideoTimeThatDoesNotAdvanceTakesTheNextFrameSlotOrBeyondAFrameIsDroppedOncePerEpisode) {
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(30, 0);
  video[9]->m_llTimestamp = 399;   // 39 ms late...
  video[10]->m_llTimestamp = 399;  // ...and caught up at once, in the same millisecond
  video[15]->m_llTimestamp = 599;  // 1 ms early: slot 14 is taken, slot 15 begins 1 ms later
  video[28]->m_llTimestamp = 200;  // far back, twice: one episode
  video[29]->m_llTimestamp = 201;
  LogCapture log;
  uint64_t late = 0;
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, video);
    rec.stop();
    late = rec.LateVideoDropped();
  }
  EXPECT_EQ(late, 2u);
  EXPECT_EQ(log.count("Recode MP4 Write Video Failed!!!"), 0);
  EXPECT_EQ(log.count("video of the recording: a picture of"), 1);
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 1u);
  std::vector<ProbedPacket> packets = ProbePackets(files[0], "v");
  ASSERT_EQ(packets.size(), 28u);
  // Every picture in a frame slot of its own: a reader at the frame rate
  // sees the time advance.
  for (size_t i = 0; i < packets.size(); ++i) EXPECT_NEAR(packets[i].pts, i * 0.04, 1e-6) << i;
  EXPECT_EQ(DecodeErrors(files[0]), "");
}

TEST_F(RecordTest, PacketsWithoutPayloadOrOfOtherTypesAreIgnored) {
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(3, 0);
  VrRecordFilter rec(VrRecordParams::FromConfiguration());
  VrMediaFramePtr empty = VrCreateMediaFrame();
  empty->m_iKeyFrame = 1;  // a key frame without payload does not start anything
  rec.PushPacket(empty);
  rec.PushPacket(nullptr);
  EXPECT_FALSE(rec.IsStarted());
  rec.PushPacket(video[0]);
  VrMediaFramePtr other = CloneMediaFrame(video[1]);
  other->m_iMediaType = 7;
  rec.PushPacket(other);
  rec.stop();
  rec.PushPacket(video[2]);  // after stop: refused
  EXPECT_EQ(rec.VideoQueueSize(), 0u);
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ProbePackets(files[0], "v").size(), 1u);
}

// ------------------------------------------------------------ crash safety

namespace {
// Waits (at most |limitMs|) until |predicate| holds.
template <typename F>
bool WaitUntil(F predicate, int limitMs) {
  for (int waited = 0; waited < limitMs; waited += 10) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return predicate();
}
}  // namespace

TEST_F(RecordTest, FragmentsEndAtKeyFramesAndAtMostTwoSecondsApartWithTheIndexAtTheEnd) {
  // Key frames every 3 s: the two-second bound cuts the GOPs as well.
  RecordTestEncoder enc(kWidth, kHeight, kFps, 75, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(225, 0);  // 9 s
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(387, 0);
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, RecordTestEncoder::Interleave(video, audio));
    rec.stop();
  }
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 1u);
  std::vector<Box> boxes = TopLevelBoxes(files[0]);
  ASSERT_GE(boxes.size(), 4u);
  EXPECT_EQ(boxes[0].type, "ftyp");
  EXPECT_EQ(boxes[1].type, "moov");
  EXPECT_EQ(boxes.back().type, "mfra");  // the clean stop leaves the seek index
  std::vector<uint64_t> fragmentStarts;
  for (size_t i = 2; i + 1 < boxes.size(); i += 2) {
    EXPECT_EQ(boxes[i].type, "moof") << i;
    EXPECT_EQ(boxes[i + 1].type, "mdat") << i;
    fragmentStarts.push_back(boxes[i].offset);
  }
  // Each fragment's first video packet: a fragment begins at every key frame
  // and none spans more than two seconds of video.
  std::vector<PlacedPacket> packets = ProbePlacedPackets(files[0]);
  std::vector<double> firstVideoPts(fragmentStarts.size(), -1), lastVideoPts(fragmentStarts.size(), -1);
  for (const PlacedPacket& p : packets) {
    if (p.stream != "v") continue;
    size_t f = std::upper_bound(fragmentStarts.begin(), fragmentStarts.end(), p.pos) - fragmentStarts.begin();
    ASSERT_GT(f, 0u);
    --f;
    if (firstVideoPts[f] < 0) firstVideoPts[f] = p.pts;
    lastVideoPts[f] = p.pts;
  }
  std::set<double> starts(firstVideoPts.begin(), firstVideoPts.end());
  for (double keyTime : {0.0, 3.0, 6.0}) {
    EXPECT_EQ(starts.count(keyTime), 1u) << "no fragment starts at the key frame at " << keyTime;
  }
  for (size_t f = 0; f < fragmentStarts.size(); ++f) {
    if (firstVideoPts[f] < 0) continue;
    EXPECT_LE(lastVideoPts[f] - firstVideoPts[f], 2.0 + 1e-6) << "fragment " << f;
  }
  EXPECT_GE(fragmentStarts.size(), 5u);
  EXPECT_EQ(DecodeErrors(files[0]), "");
}

// Sound lost on the way leaves a gap in the audio track at its own time: the
// packets after it keep their stamps in the file, also when the gap falls
// where a fragment starts (the muxer lays fragments end to end by the last
// packet's duration unless it sees the next packet's time).
TEST_F(RecordTest, AudioAfterAGapKeepsItsOwnTimeInTheFileAlsoWhereAFragmentStarts) {
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(175, 0);  // 7 s, a key frame each second
  std::vector<VrMediaFramePtr> all = enc.EncodeAudio(300, 0);
  std::vector<VrMediaFramePtr> audio;
  std::vector<int64_t> kept;
  for (size_t k = 0; k < all.size(); ++k) {
    // One block at 1.16 s; the three up to the key frame at 3 s; 20 (a
    // sound server restart) from 4.9 s.
    if (k == 50 || (k >= 127 && k <= 129) || (k >= 211 && k < 231)) continue;
    audio.push_back(all[k]);
    kept.push_back(all[k]->m_llTimestamp);
  }
  ASSERT_EQ(kept[126], 3018);  // the first one after the gap at the key frame
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, RecordTestEncoder::Interleave(video, audio));
    rec.stop();
  }
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 1u);
  std::vector<ProbedPacket> written = ProbePackets(files[0], "a");
  // The packet stamped 0 came before the first key frame, and nothing before
  // it is kept. The first one written is drawn to the track's zero (a
  // fragmented file has no edit list to start a track later); the rest
  // keep their stamps.
  ASSERT_EQ(written.size(), kept.size() - 1);
  for (size_t i = 1; i < written.size(); ++i) {
    // The packet's own millisecond stamp, after the file's zero (0 here).
    EXPECT_NEAR(written[i].pts * 1000.0, static_cast<double>(kept[i + 1]), 0.5) << "audio packet " << i;
  }
  EXPECT_EQ(DecodeErrors(files[0]), "");
}

TEST_F(RecordTest, FileReadWhileRecordingHoldsEveryFinishedFragment) {
  // What a crash leaves: the file as it is on disk while the writer still runs.
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(130, 0);
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(220, 0);
  VrRecordFilter rec(VrRecordParams::FromConfiguration());
  Feed(rec, RecordTestEncoder::Interleave(video, audio));
  // The key frame at 5 s closes the fifth one-second fragment.
  const std::string snapshot = m_home.file("snapshot.mp4");
  auto fragments = [&]() {
    const std::vector<std::string> files = Mp4Files(m_strRecordDir);
    if (files.size() != 1) return size_t{0};
    size_t n = 0;
    const std::vector<Box> boxes = TopLevelBoxes(Copy(files[0], snapshot, UINT64_MAX));
    const uint64_t size = std::filesystem::file_size(snapshot);
    for (const Box& b : boxes) n += b.type == "mdat" && b.offset + b.size <= size;
    return n;
  };
  ASSERT_TRUE(WaitUntil([&] { return fragments() >= 5; }, 10000));
  const std::vector<ProbedPacket> vp = ProbePackets(snapshot, "v");
  ASSERT_GE(vp.size(), 125u);
  for (size_t i = 0; i < vp.size(); ++i) EXPECT_NEAR(vp[i].pts, i * 0.04, 0.0005) << i;
  EXPECT_GE(ProbePackets(snapshot, "a").size(), 210u);
  EXPECT_EQ(DecodeErrors(snapshot), "");
  rec.stop();
}

TEST_F(RecordTest, FileCutAtAnyByteKeepsEveryCompleteFragment) {
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  {
    VrRecordFilter rec(VrRecordParams::FromConfiguration());
    Feed(rec, RecordTestEncoder::Interleave(enc.EncodeVideo(150, 0), enc.EncodeAudio(258, 0)));
    rec.stop();
  }
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 1u);
  const std::vector<Box> boxes = TopLevelBoxes(files[0]);
  const std::vector<PlacedPacket> full = ProbePlacedPackets(files[0]);
  const uint64_t size = std::filesystem::file_size(files[0]);
  ASSERT_GT(boxes.size(), 8u);
  // Inside the header, inside a moof, inside an mdat, just before the index.
  const std::vector<uint64_t> cuts = {boxes[1].offset + 100, boxes[4].offset + 20,
                                      boxes[5].offset + boxes[5].size / 2, size * 2 / 3,
                                      boxes.back().offset - 1};
  for (uint64_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const std::string truncated = Copy(files[0], m_home.file("cut.mp4"), cut);
    uint64_t complete = 0;  // end of the last fragment wholly before the cut
    for (const Box& b : boxes) {
      if (b.type == "mdat" && b.offset + b.size <= cut) complete = b.offset + b.size;
    }
    size_t expected = 0;
    for (const PlacedPacket& p : full) expected += p.pos + p.size <= complete;
    // Every packet of the complete fragments is read back at its place ...
    const std::vector<PlacedPacket> got = ProbePlacedPackets(truncated);
    size_t found = 0;
    for (const PlacedPacket& p : full) {
      if (p.pos + p.size > complete) continue;
      found += std::count_if(got.begin(), got.end(), [&](const PlacedPacket& g) {
        return g.stream == p.stream && g.pos == p.pos && g.size == p.size && g.pts == p.pts;
      });
    }
    EXPECT_EQ(found, expected);
    // ... and up to there everything decodes.
    if (complete > 0) {
      EXPECT_GT(expected, 0u);
      EXPECT_EQ(DecodeErrors(Copy(files[0], m_home.file("whole.mp4"), complete)), "");
    } else {
      EXPECT_LT(cut, boxes[2].offset);  // only a cut in the header loses everything
    }
  }
}

// ------------------------------------------------------------ MJPEG

TEST_F(RecordTest, MjpegRunRecordsAJpegTrackThatDecodes) {
  cfg()->m_iEncodeType = 2;
  VrRecordParams params = VrRecordParams::FromConfiguration();
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeMjpeg(125, 0);  // 5 s
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(215, 0);
  {
    VrRecordFilter rec(params);
    Feed(rec, RecordTestEncoder::Interleave(video, audio));
    rec.stop();
  }
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 1u);
  std::vector<Fields> streams = ProbeStreams(files[0]);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0]["codec_name"], "aac");
  EXPECT_EQ(streams[1]["codec_name"], "mjpeg");
  // Nothing taken for parameter sets (ffprobe leaves an empty field out).
  EXPECT_TRUE(streams[1].count("extradata_size") == 0 || streams[1]["extradata_size"] == "0");
  EXPECT_EQ(streams[1]["nb_read_packets"], "125");
  EXPECT_EQ(DecodeErrors(files[0]), "");
  // Every picture is a key frame: fragments follow the two-second bound, not
  // one per picture.
  size_t fragments = 0;
  for (const Box& b : TopLevelBoxes(files[0])) fragments += b.type == "moof";
  EXPECT_GE(fragments, 3u);
  EXPECT_LE(fragments, 5u);
}

// ------------------------------------------------------------ failures

TEST_F(RecordTest, FailedFileDropsWithoutQueueingLogsOnceAndRetriesUntilItWorks) {
  // The record "directory" is a regular file: nothing can be created in it.
  m_home.write("blocker", "x");
  cfg()->m_strRecordPath = m_home.file("blocker") + "/sub";
  LogCapture log;
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(75, 0);
  VrRecordFilter rec(VrRecordParams::FromConfiguration());
  rec.setRetryDelays(30, 60);
  rec.PushPacket(video[0]);
  ASSERT_TRUE(WaitUntil([&] { return !rec.IsWriting(); }, 5000));
  for (int i = 1; i < 20; ++i) rec.PushPacket(video[i]);
  EXPECT_EQ(rec.VideoQueueSize(), 0u);
  EXPECT_EQ(video[5].use_count(), 1);
  EXPECT_EQ(log.count("Video Frame Loss."), 0);
  // Attempts go on and are each logged, as warnings: one ERROR per episode.
  ASSERT_TRUE(WaitUntil([&] { return log.count("(attempt 2)") > 0; }, 5000));
  int errors = 0;
  for (const LogCapture::Line& l : log.lines()) {
    if (l.severity != google::GLOG_ERROR) continue;
    ++errors;
    EXPECT_NE(l.text.find(m_home.file("blocker")), std::string::npos) << l.text;
    EXPECT_NE(l.text.find("Not a directory"), std::string::npos) << l.text;
  }
  EXPECT_EQ(errors, 1);
  EXPECT_GE(log.count("attempt 1 failed"), 1);
  // Once the directory can be made, the next attempt opens a file; it starts
  // at the next key frame.
  std::filesystem::remove(m_home.file("blocker"));
  ASSERT_TRUE(WaitUntil([&] { return rec.IsWriting(); }, 5000));
  Feed(rec, std::vector<VrMediaFramePtr>(video.begin() + 20, video.end()));
  rec.stop();
  std::vector<std::string> files = Mp4Files(m_home.file("blocker") + "/sub");
  ASSERT_EQ(files.size(), 1u);
  std::vector<ProbedPacket> vp = ProbePackets(files[0], "v");
  ASSERT_EQ(vp.size(), 50u);  // from the key frame at 25
  EXPECT_TRUE(vp[0].key);
  EXPECT_EQ(DecodeErrors(files[0]), "");
}

TEST_F(RecordTest, FullDiskEndsTheFileCleanlyAndANewOneFollowsWhenSpaceReturns) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  std::filesystem::create_directories(m_strRecordDir);
  if (::Run("mount -t tmpfs -o size=1m ostrel-test '" + m_strRecordDir + "'") != "") {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  struct Unmount {
    std::string dir;
    ~Unmount() { ::Run("umount '" + dir + "'"); }
  } unmount{m_strRecordDir};
  // Leave about 300 KB: a few seconds of this video.
  {
    std::ofstream filler(m_strRecordDir + "/filler", std::ios::binary);
    filler << std::string(700 * 1024, 'x');
  }
  LogCapture log;
  RecordTestEncoder enc(kWidth, kHeight, kFps, 25, kSampleRate);
  std::vector<VrMediaFramePtr> video = enc.EncodeVideo(500, 0);  // 20 s, about 1 MB
  std::vector<VrMediaFramePtr> audio = enc.EncodeAudio(861, 0);
  std::vector<VrMediaFramePtr> all = RecordTestEncoder::Interleave(video, audio);
  VrRecordFilter rec(VrRecordParams::FromConfiguration());
  rec.setRetryDelays(50, 100);
  size_t fed = 0;
  while (fed < all.size() && rec.IsWriting() | !rec.IsStarted()) Feed(rec, {all[fed++]});
  ASSERT_LT(fed, all.size()) << "the disk never filled";
  // Packets keep being handed over, without blocking and without queueing.
  for (size_t i = 0; i < 100 && fed < all.size(); ++i) rec.PushPacket(all[fed++]);
  EXPECT_EQ(rec.VideoQueueSize() + rec.AudioQueueSize(), 0u);
  const std::vector<std::string> first = Mp4Files(m_strRecordDir);
  ASSERT_EQ(first.size(), 1u);
  // The retries fail while the disk is full; each is logged, the ERROR once.
  ASSERT_TRUE(WaitUntil([&] { return log.count("attempt 2 failed") > 0; }, 5000));
  int errors = 0;
  for (const LogCapture::Line& l : log.lines()) {
    if (l.severity != google::GLOG_ERROR) continue;
    ++errors;
    EXPECT_NE(l.text.find("No space left on device"), std::string::npos) << l.text;
    EXPECT_NE(l.text.find(first[0]), std::string::npos) << l.text;
  }
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(Mp4Files(m_strRecordDir).size(), 1u);  // a failed attempt leaves no empty file
  // What was written plays: every fragment on disk is complete.
  std::vector<ProbedPacket> vp = ProbePackets(first[0], "v");
  EXPECT_GE(vp.size(), 25u);
  EXPECT_EQ(DecodeErrors(Copy(first[0], m_home.file("first.mp4"),
                              [&] {
                                uint64_t end = 0;
                                const uint64_t size = std::filesystem::file_size(first[0]);
                                for (const Box& b : TopLevelBoxes(first[0]))
                                  if (b.type == "mdat" && b.offset + b.size <= size) end = b.offset + b.size;
                                return end;
                              }())),
            "");
  // Space comes back: the next attempt opens a new file.
  std::filesystem::remove(m_strRecordDir + "/filler");
  ASSERT_TRUE(WaitUntil([&] { return rec.IsWriting(); }, 5000));
  while (fed < all.size() && fed < 700) Feed(rec, {all[fed++]});
  rec.stop();
  std::vector<std::string> files = Mp4Files(m_strRecordDir);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_FALSE(ProbePackets(files[1], "v").empty());
  EXPECT_EQ(DecodeErrors(files[1]), "");
}
