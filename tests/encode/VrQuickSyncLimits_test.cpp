#include "encode/VrQuickSyncLimits.h"

#include <gtest/gtest.h>

namespace {
// Leaf 1's EAX for a processor of |family| (base + extended) and |model|
// (base + extended x 16), laid out as CPUID reports it.
uint32_t Leaf1(uint32_t family, uint32_t model) {
  const uint32_t baseFamily = family < 15 ? family : 15;
  const uint32_t extFamily = family - baseFamily;
  return ((model & 0xF) << 4) | (baseFamily << 8) | ((model >> 4) << 16) | (extFamily << 20) | 0x7;
}
}  // namespace

TEST(VrQuickSyncLimits, ProcessorClassFromCpuid) {
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 42)), 2);   // Sandy Bridge
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 45)), 2);
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 58)), 3);   // Ivy Bridge
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 62)), 3);
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 28)), 1);
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 77)), 4);
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 76)), 5);
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 60)), 6);   // Haswell
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 158)), 7);  // a later model
  // The extended model counts sixteen: model 42 is base 10 + extended 2.
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(6, 10)), 7);
  EXPECT_EQ(VrProcessorClass("GenuineIntel", Leaf1(15, 42)), 0);  // not family 6
  EXPECT_EQ(VrProcessorClass("AuthenticAMD", Leaf1(6, 42)), 0);
  EXPECT_EQ(VrProcessorClass("", 0), 0);
  const int here = VrCurrentProcessorClass();
  EXPECT_GE(here, 0);
  EXPECT_LE(here, 7);
}

TEST(VrQuickSyncLimits, OldGenerationsTakeAtMost1920By1200) {
  for (int cls : {0, 1, 2, 3}) {
    SCOPED_TRACE(cls);
    EXPECT_EQ(VrQuickSyncSizeRefusal(cls, 1920, 1200), "");
    EXPECT_EQ(VrQuickSyncSizeRefusal(cls, 1280, 720), "");
    EXPECT_EQ(VrQuickSyncSizeRefusal(cls, 1921, 1080),
              "QSV: Output resolution width of 1921 exceeds the maximum of 1920 supported by "
              "QuickSync on Sandy Bridge and Ivy Bridge based processors");
    EXPECT_EQ(VrQuickSyncSizeRefusal(cls, 1280, 1201),
              "QSV: Output resolution height of 1201 exceeds the maximum of 1200 supported by "
              "QuickSync on Sandy Bridge and Ivy Bridge based processors");
    EXPECT_EQ(VrQuickSyncSizeRefusal(cls, 2560, 1440),
              "QSV: Output resolution of 2560x1440 exceeds the maximum of 1920x1200 supported by "
              "QuickSync on Sandy Bridge and Ivy Bridge based processors");
  }
  for (int cls : {4, 5, 6, 7}) EXPECT_EQ(VrQuickSyncSizeRefusal(cls, 3840, 2160), "") << cls;
}
