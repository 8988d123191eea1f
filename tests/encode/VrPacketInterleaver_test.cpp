#include "encode/VrPacketInterleaver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

VrMediaFramePtr Packet(int32_t type, int64_t ts) {
  VrMediaFramePtr p = VrCreateMediaFrame();
  p->m_iMediaType = type;
  p->m_llTimestamp = ts;
  p->AllocData(1);
  return p;
}

struct Out {
  std::mutex mutex;
  std::vector<std::string> seq;  // "V35", "A40" ...
  static int Take(VrMediaFramePtr p, void* ctx) {
    Out* o = static_cast<Out*>(ctx);
    std::lock_guard<std::mutex> lock(o->mutex);
    o->seq.push_back((p->m_iMediaType == VR_MEDIA_VIDEO ? "V" : "A") + std::to_string(p->m_llTimestamp));
    return 0;
  }
};

void PushAll(VrPacketInterleaver* il, int32_t type, std::initializer_list<int64_t> stamps) {
  for (int64_t ts : stamps) {
    if (type == VR_MEDIA_VIDEO) il->PushVideo(Packet(type, ts));
    else il->PushAudio(Packet(type, ts));
  }
}

using Seq = std::vector<std::string>;

}  // namespace

TEST(VrPacketInterleaver, EachPictureGoesBetweenOlderSoundAndSoundOfItsOwnTime) {
  VrPacketInterleaver il;
  Out out;
  il.SetOutput(&Out::Take, &out);
  PushAll(&il, VR_MEDIA_AUDIO, {10, 20, 30, 35, 40, 50, 55, 60, 70, 90});
  PushAll(&il, VR_MEDIA_VIDEO, {35, 55, 80});
  EXPECT_FALSE(il.Started());
  while (il.Pass(true, 10)) {
  }
  EXPECT_TRUE(il.Started());
  // Sound up to and including the first picture's time is dropped; sound
  // older than a picture goes before it, sound of the same time right after
  // it (ties go to the picture), and sound later than the last picture waits
  // for the next one.
  EXPECT_EQ(out.seq, (Seq{"V35", "A40", "A50", "V55", "A55", "A60", "A70", "V80"}));
  EXPECT_EQ(il.PendingAudio(), 1u);
  EXPECT_EQ(il.PendingVideo(), 0u);
  il.PushVideo(Packet(VR_MEDIA_VIDEO, 100));
  EXPECT_TRUE(il.Pass(true, 10));
  EXPECT_EQ(out.seq.back(), "V100");
  EXPECT_EQ(out.seq[out.seq.size() - 2], "A90");
  EXPECT_EQ(il.PendingAudio(), 0u);
}

TEST(VrPacketInterleaver, PicturesOlderThanTheFirstSoundAreDropped) {
  VrPacketInterleaver il;
  Out out;
  il.SetOutput(&Out::Take, &out);
  PushAll(&il, VR_MEDIA_VIDEO, {50, 99, 100, 140});
  PushAll(&il, VR_MEDIA_AUDIO, {100, 120, 130});
  while (il.Pass(true, 100)) {
  }
  // 50 and 99 predate the sound and are dropped, yet they open the stream:
  // the sound at 100 goes out right after the first picture delivered.
  EXPECT_EQ(out.seq, (Seq{"V100", "A100", "A120", "A130", "V140"}));
}

TEST(VrPacketInterleaver, WithoutSoundYetEveryPicturePasses) {
  VrPacketInterleaver il;
  Out out;
  il.SetOutput(&Out::Take, &out);
  PushAll(&il, VR_MEDIA_VIDEO, {1, 2, 3});
  while (il.Pass(true, 0)) {
  }
  EXPECT_EQ(out.seq, (Seq{"V1", "V2", "V3"}));
}

TEST(VrPacketInterleaver, WithoutAnAudioEncoderPicturesAreDroppedAndNothingStarts) {
  VrPacketInterleaver il;
  Out out;
  il.SetOutput(&Out::Take, &out);
  PushAll(&il, VR_MEDIA_VIDEO, {10, 20});
  PushAll(&il, VR_MEDIA_AUDIO, {5});
  EXPECT_TRUE(il.Pass(false, 0));
  EXPECT_TRUE(il.Pass(false, 0));
  EXPECT_FALSE(il.Pass(false, 0));
  EXPECT_TRUE(out.seq.empty());
  EXPECT_FALSE(il.Started());
  EXPECT_EQ(il.PendingAudio(), 1u);
}

TEST(VrPacketInterleaver, SoundWaitsForPicturesAndNoOutputIsHarmless) {
  VrPacketInterleaver il;
  PushAll(&il, VR_MEDIA_AUDIO, {1, 2, 3});
  EXPECT_FALSE(il.Pass(true, 1));
  EXPECT_EQ(il.PendingAudio(), 3u);
  il.PushVideo(nullptr);
  il.PushAudio(nullptr);
  EXPECT_EQ(il.PendingVideo(), 0u);
  PushAll(&il, VR_MEDIA_VIDEO, {5});
  EXPECT_TRUE(il.Pass(true, 1));  // no output set: packets are consumed and released
  EXPECT_EQ(il.PendingAudio(), 0u);
  PushAll(&il, VR_MEDIA_AUDIO, {6});
  il.Clear();
  EXPECT_EQ(il.PendingAudio(), 0u);
}

TEST(VrPacketInterleaver, OrderHoldsWhileEncodersPushFromTheirOwnThreads) {
  VrPacketInterleaver il;
  Out out;
  il.SetOutput(&Out::Take, &out);
  constexpr int kPictures = 2000;
  constexpr int kBlocks = 2000;
  std::atomic<bool> videoDone{false};
  std::atomic<int> blocksPushed{0};
  // Like real encoders, the picture thread never runs far ahead of the sound:
  // picture i waits until sound up to its time has been pushed.
  std::thread video([&] {
    for (int i = 1; i <= kPictures; ++i) {
      while (blocksPushed.load() < kBlocks && blocksPushed.load() * 23 < i * 40 - 40) std::this_thread::yield();
      il.PushVideo(Packet(VR_MEDIA_VIDEO, i * 40));
    }
    videoDone = true;
  });
  std::thread audio([&] {
    for (int i = 1; i <= kBlocks; ++i) {
      il.PushAudio(Packet(VR_MEDIA_AUDIO, i * 23));
      blocksPushed = i;
    }
  });
  int taken = 0;
  while (taken < kPictures) {
    if (il.Pass(true, 23)) ++taken;
    else std::this_thread::yield();
  }
  video.join();
  audio.join();
  // Every sound packet is released with a picture not earlier than it: either
  // right before a later picture or after one of its time or later. Sound and
  // pictures each stay in order.
  int64_t lastVideo = -1;
  int64_t lastAudio = -1;
  int pictures = 0;
  std::vector<int64_t> beforeNextPicture;
  for (const std::string& s : out.seq) {
    const int64_t ts = std::stoll(s.substr(1));
    if (s[0] == 'V') {
      EXPECT_GT(ts, lastVideo);
      for (int64_t a : beforeNextPicture) EXPECT_LT(a, ts) << "sound went out before an older picture";
      beforeNextPicture.clear();
      lastVideo = ts;
      ++pictures;
    } else {
      if (ts > lastVideo) beforeNextPicture.push_back(ts);
      EXPECT_GT(ts, lastAudio);
      lastAudio = ts;
    }
  }
  EXPECT_TRUE(beforeNextPicture.empty()) << "sound ran ahead of the pictures";
  EXPECT_EQ(pictures, kPictures);
  EXPECT_GT(lastAudio, 40);
}
