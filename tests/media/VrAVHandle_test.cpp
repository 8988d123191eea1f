#include "media/VrAVHandle.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cerrno>
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

// A WAV muxer on |path| with one mono 16-bit stream and its file opened.
VrOutputContextPtr OpenWavOutput(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "wav", path.c_str()) < 0) return nullptr;
  VrOutputContextPtr ctx(raw);
  AVStream* st = avformat_new_stream(raw, nullptr);
  if (st == nullptr) return nullptr;
  st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
  st->codecpar->sample_rate = 8000;
  av_channel_layout_default(&st->codecpar->ch_layout, 1);
  if (avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return nullptr;
  return ctx;
}
}  // namespace

TEST(VrAVHandle, OutputContextClosesItsFileWithoutATrailer) {
  TempDir dir;
  const int before = OpenDescriptors();
  VrOutputContextPtr ctx = OpenWavOutput(dir.file("a.wav"));
  ASSERT_TRUE(ctx);
  ASSERT_NE(ctx->pb, nullptr);
  EXPECT_EQ(OpenDescriptors(), before + 1);
  ctx.reset();
  EXPECT_EQ(OpenDescriptors(), before);
  // A muxer whose file was never opened is freed as well.
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "wav", dir.file("b.wav").c_str()), 0);
  VrOutputContextPtr unopened(raw);
  unopened.reset();
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(VrAVHandle, InputContextClosesWhatItOpened) {
  TempDir dir;
  const std::string path = dir.file("in.wav");
  {
    VrOutputContextPtr out = OpenWavOutput(path);
    ASSERT_TRUE(out);
    ASSERT_GE(avformat_write_header(out.get(), nullptr), 0);
    ASSERT_GE(av_write_trailer(out.get()), 0);
  }
  const int before = OpenDescriptors();
  AVFormatContext* raw = nullptr;
  ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
  VrInputContextPtr in(raw);
  EXPECT_STREQ(in->iformat->name, "wav");
  EXPECT_EQ(OpenDescriptors(), before + 1);
  in.reset();
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(VrAVHandle, ErrorTextIsFfmpegsOwn) {
  EXPECT_EQ(VrAVErrorText(AVERROR_EOF), "End of file");
  EXPECT_EQ(VrAVErrorText(AVERROR(ENOENT)), "No such file or directory");
  EXPECT_EQ(VrAVErrorText(AVERROR_BSF_NOT_FOUND), "Bitstream filter not found");
}
