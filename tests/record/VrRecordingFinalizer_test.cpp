#include "record/VrRecordingFinalizer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <tuple>

#include "config/HX_ServerConfiguration.h"
#include "core/HX_Handle.h"
#include "platform/HX_Paths.h"
#include "record/RecordProbe.h"
#include "record/RecordTestEncoder.h"
#include "record/VrRecordFilter.h"
#include "support/TempDir.h"

namespace {
using Finalizer = VrRecordingFinalizer;

// One recording of the real recorder, made once: 6 s of H.264 (a key frame
// each second) and AAC in fragments of about a second, stopped cleanly.
class FinalizeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_home = new TempDir;
    HX_SetBaseDirectory(s_home->path());
    HX_ServerConfiguration* cfg = HX_ServerConfiguration::instance();
    cfg->resetToDefaults();
    cfg->m_iFps = 25;
    cfg->setOutputSize(320, 240);
    cfg->m_iAudioSample = 44100;
    cfg->m_strRecordPath = s_home->file("rec");
    RecordTestEncoder enc(320, 240, 25, 25, 44100);
    {
      VrRecordFilter rec(VrRecordParams::FromConfiguration());
      for (const VrMediaFramePtr& p : RecordTestEncoder::Interleave(enc.EncodeVideo(150, 0), enc.EncodeAudio(258, 0))) {
        while (rec.VideoQueueSize() > 6 || rec.AudioQueueSize() > 60) usleep(1000);
        rec.PushPacket(p);
      }
      rec.stop();
    }
    cfg->resetToDefaults();
    for (const auto& entry : std::filesystem::directory_iterator(s_home->file("rec"))) {
      s_recording = entry.path().string();
    }
  }
  static void TearDownTestSuite() {
    delete s_home;
    s_home = nullptr;
  }

  // The names in |dir|, to show that a failure leaves nothing behind.
  static std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
  }

  static TempDir* s_home;
  static std::string s_recording;
  TempDir m_dir;
};
TempDir* FinalizeTest::s_home = nullptr;
std::string FinalizeTest::s_recording;

// A stream's packets as a player sees them: time and size, in order.
std::vector<std::pair<double, int>> Timeline(const std::vector<PlacedPacket>& packets, const std::string& stream,
                                             uint64_t before = UINT64_MAX) {
  std::vector<std::pair<double, int>> out;
  for (const PlacedPacket& p : packets) {
    if (p.stream == stream && p.pos + p.size <= before) out.emplace_back(p.pts, p.size);
  }
  return out;
}

void ExpectSameTimeline(const std::vector<std::pair<double, int>>& got,
                        const std::vector<std::pair<double, int>>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i].first, want[i].first, 1e-5) << "packet " << i;
    EXPECT_EQ(got[i].second, want[i].second) << "packet " << i;
  }
}

// A file of top-level boxes for the walker; each is (type, payload size,
// how its size is written: 4-byte, 64-bit largesize, or 0 = to the end).
enum SizeForm { kPlain, kLarge, kToEnd };
std::string Boxes(const std::vector<std::tuple<std::string, int, SizeForm>>& boxes) {
  std::string data;
  auto be = [&](uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) data.push_back(static_cast<char>(v >> (8 * i)));
  };
  for (const auto& [type, payload, form] : boxes) {
    if (form == kLarge) {
      be(1, 4);
      data += type;
      be(16 + payload, 8);
    } else {
      be(form == kToEnd ? 0 : 8 + payload, 4);
      data += type;
    }
    data += std::string(payload, '\x5a');
  }
  return data;
}
}  // namespace

TEST_F(FinalizeTest, CutCopiesKeepExactlyTheirCompleteFragmentsInAPlainMp4WithTheIndexFirst) {
  ASSERT_FALSE(s_recording.empty());
  const std::vector<Box> boxes = TopLevelBoxes(s_recording);
  const std::vector<PlacedPacket> full = ProbePlacedPackets(s_recording);
  const uint64_t size = std::filesystem::file_size(s_recording);
  ASSERT_GE(boxes.size(), 12u);
  ASSERT_EQ(boxes[4].type, "moof");
  ASSERT_EQ(boxes.back().type, "mfra");
  struct Cut {
    const char* where;
    uint64_t at;
  };
  // A moof's mfhd takes its first 24 bytes; 40 bytes in is inside its traf.
  const std::vector<Cut> cuts = {{"inside an mdat", boxes[5].offset + boxes[5].size / 2},
                                 {"inside a moof's traf", boxes[6].offset + 40},
                                 {"inside a box header", boxes[8].offset + 5},
                                 {"at two thirds", size * 2 / 3},
                                 {"a finished file", size}};
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.where);
    const std::string file = Copy(s_recording, m_dir.file("cut.mp4"), cut.at);
    int fragments = 0;
    uint64_t complete = 0;
    for (const Box& b : boxes) {
      if (b.type != "mdat" || b.offset + b.size > cut.at) continue;
      ++fragments;
      complete = b.offset + b.size;
    }
    if (cut.at == size) complete = size;  // the seek index at the end is kept too
    VrFinalizeReport report;
    ASSERT_EQ(Finalizer::Finalize(file, &report), 0) << report.m_strReason;
    EXPECT_EQ(report.m_stLayout.m_iFragments, fragments);
    EXPECT_EQ(report.m_stLayout.m_llUsableSize, static_cast<int64_t>(complete));
    EXPECT_EQ(report.m_stLayout.m_llFileSize - report.m_stLayout.m_llUsableSize,
              static_cast<int64_t>(cut.at - complete));

    std::vector<std::string> types;
    for (const Box& b : TopLevelBoxes(file)) types.push_back(b.type);
    const auto moov = std::find(types.begin(), types.end(), "moov");
    EXPECT_LT(moov - types.begin(), std::find(types.begin(), types.end(), "mdat") - types.begin());
    EXPECT_EQ(std::count(types.begin(), types.end(), "moof"), 0);
    // Exactly the packets of the complete fragments, at their own times.
    const std::vector<PlacedPacket> got = ProbePlacedPackets(file);
    ExpectSameTimeline(Timeline(got, "v"), Timeline(full, "v", complete));
    ExpectSameTimeline(Timeline(got, "a"), Timeline(full, "a", complete));
    EXPECT_EQ(report.m_llPackets, static_cast<int64_t>(got.size()));
    EXPECT_EQ(DecodeErrors(file), "");
    EXPECT_EQ(Names(m_dir.path()), std::set<std::string>{"cut.mp4"});

    if (cut.at == size) {
      EXPECT_EQ(got.size(), full.size());
      EXPECT_NEAR(report.m_dSeconds, 6.0, 0.1);
      // A second pass finds a plain MP4 and keeps every packet of it.
      VrFinalizeReport again;
      ASSERT_EQ(Finalizer::Finalize(file, &again), 0) << again.m_strReason;
      EXPECT_EQ(again.m_stLayout.m_iFragments, 0);
      EXPECT_EQ(again.m_stLayout.m_llUsableSize, again.m_stLayout.m_llFileSize);
      ExpectSameTimeline(Timeline(ProbePlacedPackets(file), "v"), Timeline(full, "v"));
      ExpectSameTimeline(Timeline(ProbePlacedPackets(file), "a"), Timeline(full, "a"));
    }
  }

  // The header alone (a cut right after ftyp and moov): nothing to keep, and
  // the file stays exactly as it was.
  const std::string header = Copy(s_recording, m_dir.file("header.mp4"), boxes[2].offset);
  const std::string before = m_dir.read("header.mp4");
  VrFinalizeReport report;
  EXPECT_EQ(Finalizer::Finalize(header, &report), Finalizer::kNothingPlayable);
  EXPECT_FALSE(report.m_strReason.empty());
  EXPECT_EQ(m_dir.read("header.mp4"), before);
  EXPECT_EQ(Names(m_dir.path()), (std::set<std::string>{"cut.mp4", "header.mp4"}));

  // Through a symbolic link the file it names is rewritten; the link stays.
  Copy(s_recording, m_dir.file("cut.mp4"), boxes[6].offset + 40);
  std::filesystem::create_symlink("cut.mp4", m_dir.file("link.mp4"));
  ASSERT_EQ(Finalizer::Finalize(m_dir.file("link.mp4"), &report), 0) << report.m_strReason;
  EXPECT_TRUE(std::filesystem::is_symlink(m_dir.file("link.mp4")));
  EXPECT_EQ(TopLevelBoxes(m_dir.file("cut.mp4"))[1].type, "moov");
  EXPECT_EQ(DecodeErrors(m_dir.file("cut.mp4")), "");
}

TEST_F(FinalizeTest, BoxWalkerTakesLargeAndOpenEndedBoxesAndStopsAtTheFirstBrokenOne) {
  const auto ftyp = std::make_tuple(std::string("ftyp"), 8, kPlain);
  const auto moov = std::make_tuple(std::string("moov"), 30, kPlain);
  const auto moof = std::make_tuple(std::string("moof"), 20, kPlain);
  const std::string head = Boxes({ftyp, moov});
  const std::string first = Boxes({moof, {"mdat", 40, kLarge}});
  struct Case {
    const char* what;
    std::string data;
    int fragments;
    size_t usable;
  };
  const std::vector<Case> cases = {
      {"64-bit and open-ended mdat", head + first + Boxes({moof, {"mdat", 25, kToEnd}}), 2, SIZE_MAX},
      {"a size below its header", head + first + Boxes({moof}) + std::string("\0\0\0\3mdat", 8), 1,
       head.size() + first.size()},
      {"a moof without its mdat", head + first + Boxes({moof, moof, {"mdat", 4, kPlain}}), 1,
       head.size() + first.size()},
      {"a box past the end", head + first + Boxes({moof, {"mdat", 40, kPlain}}).substr(0, 60), 1,
       head.size() + first.size()},
      {"a cut 64-bit size", head + first + Boxes({moof, {"mdat", 40, kLarge}}).substr(0, 28 + 12), 1,
       head.size() + first.size()},
      {"garbage bytes for a type", head + first + std::string("\0\0\0\x10\x01\x02\x03\x04", 8) + std::string(8, 'x'),
       1, head.size() + first.size()},
      {"an index after the fragments", head + first + Boxes({{"mfra", 16, kPlain}}), 1, SIZE_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m_dir.write("boxes.mp4", c.data);
    HX_UniqueFd fd(::open(m_dir.file("boxes.mp4").c_str(), O_RDONLY));
    VrRecordingLayout layout;
    std::string reason;
    ASSERT_EQ(Finalizer::Scan(fd.get(), static_cast<int64_t>(c.data.size()), &layout, &reason), 0) << reason;
    EXPECT_EQ(layout.m_iFragments, c.fragments);
    EXPECT_EQ(layout.m_llUsableSize, static_cast<int64_t>(c.usable == SIZE_MAX ? c.data.size() : c.usable));
    EXPECT_TRUE(layout.m_bHasMoov);
    EXPECT_FALSE(layout.m_bHasPlainMdat);
  }
}

TEST_F(FinalizeTest, WhatIsNoRecordingGetsItsOwnCodeAndStaysAsItWas) {
  std::mt19937 random(7);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  m_dir.write("noise.mp4", noise);
  m_dir.write("notes.txt", "recorded on Tuesday\nsee the log for details\n");
  m_dir.write("run.mkv", std::string("\x1a\x45\xdf\xa3\x01\x00\x00\x00\x00\x00\x00\x23", 12) + std::string(64, 'm'));
  m_dir.write("empty.mp4", "");
  std::filesystem::create_directory(m_dir.file("folder.mp4"));
  Copy(s_recording, m_dir.file("recording.mp4"), UINT64_MAX);
  // Still open for writing, as the recorder holds its current file.
  HX_UniqueFd writer(::open(m_dir.file("recording.mp4").c_str(), O_WRONLY | O_APPEND));
  ASSERT_TRUE(writer.valid());

  const std::set<std::string> names = Names(m_dir.path());
  struct Case {
    const char* name;
    int code;
    const char* reason;
  };
  for (const Case& c : std::vector<Case>{{"noise.mp4", Finalizer::kNotMp4, "not an MP4 recording"},
                                         {"notes.txt", Finalizer::kNotMp4, "not an MP4 recording"},
                                         {"run.mkv", Finalizer::kNotMp4, "Matroska"},
                                         {"missing.mp4", Finalizer::kCannotRead, "No such file"},
                                         {"folder.mp4", Finalizer::kCannotRead, "not a regular file"},
                                         {"empty.mp4", Finalizer::kNothingPlayable, "empty"},
                                         {"recording.mp4", Finalizer::kInUse, "being written"}}) {
    SCOPED_TRACE(c.name);
    const std::string before = m_dir.read(c.name);
    VrFinalizeReport report;
    EXPECT_EQ(Finalizer::Finalize(m_dir.file(c.name), &report), c.code);
    EXPECT_NE(report.m_strReason.find(c.reason), std::string::npos) << report.m_strReason;
    EXPECT_EQ(m_dir.read(c.name), before);
  }
  EXPECT_EQ(Names(m_dir.path()), names);
}

// A directory the temporary file cannot go into: read-only for a user, a
// full disk for root (who writes into read-only directories).
TEST_F(FinalizeTest, WriteFailureLeavesTheFileAsItWasAndNoTemporaryFile) {
  const std::string dir = m_dir.file("target");
  std::filesystem::create_directory(dir);
  const uint64_t size = std::filesystem::file_size(s_recording);
  const bool root = geteuid() == 0;
  struct Unmount {
    std::string dir;
    ~Unmount() { ::Run("umount '" + dir + "' 2>/dev/null"); }
  } unmount{dir};
  if (root && ::Run("mount -t tmpfs -o size=1m ostrel-test '" + dir + "'") != "") {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  Copy(s_recording, dir + "/rec.mp4", size);
  if (root) {
    ASSERT_LT(size, 700u * 1024);  // it fits, a second copy does not
    std::ofstream(dir + "/filler", std::ios::binary) << std::string(1024 * 1024 - size - 64 * 1024, 'x');
  } else {
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
  }
  const std::set<std::string> names = Names(dir);
  const std::string before = m_dir.read("target/rec.mp4");
  ASSERT_EQ(before.size(), size);
  VrFinalizeReport report;
  EXPECT_EQ(Finalizer::Finalize(dir + "/rec.mp4", &report), Finalizer::kWriteFailed);
  EXPECT_NE(report.m_strReason.find(root ? "No space left on device" : "Permission denied"), std::string::npos)
      << report.m_strReason;
  if (!root) ::chmod(dir.c_str(), 0755);
  EXPECT_EQ(m_dir.read("target/rec.mp4"), before);
  EXPECT_EQ(Names(dir), names);
}
