#include "net/HX_UIDUtils.h"

#include <gtest/gtest.h>

#include <ctime>
#include <set>

TEST(HX_UIDUtils, ObjectIdsCarryTheTimeAndAdvancingCounter) {
  const uint64_t before = static_cast<uint32_t>(std::time(nullptr));
  std::set<uint32_t> counters;
  std::set<uint64_t> ids;
  for (int i = 0; i < 1000; ++i) {
    uint64_t id = HX_UIDUtils::MakeObjectId();
    ids.insert(id);
    counters.insert(static_cast<uint32_t>(id) & 0xFFFFFF);
    EXPECT_GE(id >> 32, before);
    EXPECT_LE(id >> 32, before + 2);
  }
  // The 24-bit counter part never repeats within a run of 1000.
  EXPECT_EQ(counters.size(), 1000u);
  EXPECT_EQ(ids.size(), 1000u);
}
