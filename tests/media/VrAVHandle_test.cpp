#include "media/VrAVHandle.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>

#include "support/TempDir.h"

namespace {
// How many descriptors the process holds: an owner that forgets the file of a
// format context leaves one more behind.
int OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count;
}
}  // namespace

// Each context closes the file it opened; a muxer's without a trailer, and one
// whose file was never opened is freed as well (the leak checker watches).
TEST(VrAVHandle, FormatContextsCloseTheFilesTheyOpened) {
  TempDir dir;
  const std::string path = dir.file("a.wav");
  const int before = OpenDescriptors();
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "wav", path.c_str()), 0);
  VrOutputContextPtr out(raw);
  AVStream* st = avformat_new_stream(raw, nullptr);
  ASSERT_NE(st, nullptr);
  st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
  st->codecpar->sample_rate = 8000;
  av_channel_layout_default(&st->codecpar->ch_layout, 1);
  ASSERT_GE(avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(raw, nullptr), 0);
  EXPECT_EQ(OpenDescriptors(), before + 1);
  out.reset();
  EXPECT_EQ(OpenDescriptors(), before);

  raw = nullptr;
  ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
  VrInputContextPtr in(raw);
  EXPECT_EQ(OpenDescriptors(), before + 1);
  in.reset();
  EXPECT_EQ(OpenDescriptors(), before);

  raw = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "wav", path.c_str()), 0);
  VrOutputContextPtr unopened(raw);
}

TEST(VrAVHandle, ErrorTextIsFfmpegsOwn) { EXPECT_EQ(VrAVErrorText(AVERROR(ENOENT)), "No such file or directory"); }
