#include "core/VrFrameQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {
VrMediaFramePtr Stamped(int64_t ts) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  f->m_llTimestamp = ts;
  return f;
}
}  // namespace

TEST(VrFrameQueue, EmptyPopReturnsAtOnceAndClearDropsReferences) {
  VrFrameQueue q;
  EXPECT_EQ(q.pop(), nullptr);
  VrMediaFramePtr f = Stamped(1);
  EXPECT_EQ(q.push(f), 0);
  EXPECT_EQ(f.use_count(), 2);
  q.clear();
  EXPECT_EQ(f.use_count(), 1);
  EXPECT_EQ(q.size(), 0u);
}

TEST(VrFrameQueue, FifoOrderHoldsAcrossTwoThreads) {
  VrFrameQueue q;
  constexpr int kCount = 20000;
  std::thread producer([&] {
    for (int i = 0; i < kCount; ++i) q.push(Stamped(i));
  });
  std::vector<int64_t> seen;
  seen.reserve(kCount);
  while (static_cast<int>(seen.size()) < kCount) {
    VrMediaFramePtr f = q.pop();
    if (f) seen.push_back(f->m_llTimestamp);
    else std::this_thread::yield();
  }
  producer.join();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(seen[i], i);
  EXPECT_EQ(q.pop(), nullptr);
}

TEST(VrFrameQueue, WaitForDataWakesOnPushAndTimesOutWhenEmpty) {
  VrFrameQueue q;
  EXPECT_FALSE(q.waitForData(std::chrono::milliseconds(5)));
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    q.push(Stamped(9));
  });
  // A push wakes the waiter long before the limit.
  auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(q.waitForData(std::chrono::seconds(20)));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  producer.join();
  EXPECT_TRUE(q.waitForData(std::chrono::milliseconds(0)));  // still there: waiting never takes
  EXPECT_EQ(q.pop()->m_llTimestamp, 9);
}
