#include "core/HX_BoundedQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {
struct Item {
  int id;
  uint64_t bytes;
  bool key;
};
using ItemPtr = std::shared_ptr<Item>;
struct ItemTraits {
  static uint64_t Bytes(const ItemPtr& item) { return item->bytes; }
  static bool IsKeyFrame(const ItemPtr& item) { return item->key; }
};
using Queue = HX_BoundedQueue<ItemPtr, ItemTraits>;

ItemPtr Make(int id, uint64_t bytes = 0, bool key = false) { return std::make_shared<Item>(Item{id, bytes, key}); }
std::vector<int> Drain(Queue* q) {
  std::vector<int> ids;
  while (ItemPtr item = q->pop()) ids.push_back(item->id);
  return ids;
}
constexpr std::chrono::milliseconds kLong(20000);

struct BoundCase {
  const char* name;
  HX_DropPolicy policy;
  size_t maxItems;
  uint64_t maxBytes;  // 0: no byte bound
  std::vector<std::pair<uint64_t, size_t>> pushes;  // element bytes, elements that push must drop
  std::vector<int> left;                            // ids still queued, in order
};
constexpr size_t kAny = Queue::kNoItemLimit;
// A flush bound of N + 1 is the "more than N waiting empties the queue" rule;
// the byte bound drops only as many old elements as the new one needs, and an
// element larger than the whole bound still goes in, alone.
const BoundCase kBoundCases[] = {
    {"oldest/items", HX_DropPolicy::kDropOldest, 3, 0, {{0, 0}, {0, 0}, {0, 0}, {0, 1}, {0, 1}}, {2, 3, 4}},
    {"flush/items", HX_DropPolicy::kFlush, 4, 0, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 4}}, {4}},
    {"oldest/bytes", HX_DropPolicy::kDropOldest, kAny, 100, {{40, 0}, {40, 0}, {20, 0}, {70, 2}, {150, 2}}, {4}},
    {"flush/bytes", HX_DropPolicy::kFlush, kAny, 100, {{60, 0}, {30, 0}, {20, 2}}, {2}},
};
}  // namespace

TEST(HX_BoundedQueuePolicy, BoundsDropWhatThePolicySaysCountItLostAndLetItGo) {
  for (const BoundCase& c : kBoundCases) {
    SCOPED_TRACE(c.name);
    Queue q(c.policy, c.maxItems, c.maxBytes);
    std::vector<ItemPtr> pushed;
    size_t lost = 0;
    for (const auto& [bytes, drops] : c.pushes) {
      pushed.push_back(Make(static_cast<int>(pushed.size()), bytes));
      const HX_PushResult r = q.push(pushed.back());
      EXPECT_TRUE(r.queued);
      EXPECT_EQ(r.dropped, drops) << "push " << pushed.size() - 1;
      EXPECT_EQ(r.boundHit, drops > 0);
      lost += drops;
    }
    uint64_t leftBytes = 0;
    for (int id : c.left) leftBytes += pushed[id]->bytes;
    EXPECT_EQ(q.bytes(), leftBytes);
    EXPECT_EQ(q.lost(), lost);
    EXPECT_EQ(Drain(&q), c.left);
    for (const ItemPtr& item : pushed) EXPECT_EQ(item.use_count(), 1) << item->id;  // nothing dropped is kept
    q.push(Make(99, 1));
    EXPECT_EQ(q.clear(), 1u);  // the owner's clear is not a loss
    EXPECT_EQ(q.lost(), lost);
    EXPECT_EQ(q.bytes(), 0u);
  }
}

TEST(HX_BoundedQueuePolicy, DropToKeyFrameRefusesFromTheOverflowToTheNextKeyFrameThatFits) {
  Queue q(HX_DropPolicy::kDropToKeyFrame, Queue::kNoItemLimit, 100);
  q.push(Make(0, 50, true));
  q.push(Make(1, 40));
  HX_PushResult r = q.push(Make(2, 20));  // 110 > 100
  EXPECT_TRUE(!r.queued && r.boundHit && r.dropped == 1);
  EXPECT_EQ(q.pop()->id, 0);
  r = q.push(Make(3, 10));  // room again, but the gap lasts until a key frame
  EXPECT_TRUE(!r.queued && !r.boundHit);
  r = q.push(Make(4, 70, true));  // a key frame that does not fit keeps the gap
  EXPECT_TRUE(!r.queued && r.boundHit);
  r = q.push(Make(5, 60, true));
  EXPECT_TRUE(r.queued && r.resumed);
  EXPECT_FALSE(q.push(Make(6, 0)).resumed);
  EXPECT_EQ(q.lost(), 3u);
  EXPECT_EQ(Drain(&q), (std::vector<int>{1, 5, 6}));

  // A consumer may ask for a fresh start at a key frame; what must not be
  // lost bypasses the rule and still counts towards the bytes.
  q.skipToKeyFrame();
  EXPECT_FALSE(q.push(Make(7, 1)).queued);
  EXPECT_TRUE(q.pushUnbounded(Make(8, 500)));
  EXPECT_FALSE(q.push(Make(9, 1, true)).queued);  // over the bound now
  EXPECT_EQ(Drain(&q), (std::vector<int>{8}));
  EXPECT_TRUE(q.push(Make(10, 1, true)).resumed);

  // An element being sent still counts until released piece by piece.
  Drain(&q);
  q.push(Make(11, 80, true));
  ASSERT_TRUE(q.popHeld());
  EXPECT_EQ(q.size(), 0u);
  EXPECT_FALSE(q.push(Make(12, 30, true)).queued);  // 80 held + 30 > 100
  q.releaseHeld(50);
  EXPECT_EQ(q.bytes(), 30u);
  EXPECT_TRUE(q.push(Make(13, 30, true)).queued);
  q.releaseHeld(30);
  EXPECT_EQ(q.bytes(), 30u);
}

TEST(HX_BoundedQueueOrder, PushFrontAndPopIfServeAPacingConsumer) {
  Queue q(HX_DropPolicy::kFlush, 2);
  q.push(Make(1));
  q.push(Make(2));
  q.pushFront(q.pop());
  q.pushFront(Make(0));  // no bound check for an element put back
  EXPECT_EQ(q.lost(), 0u);
  EXPECT_EQ(q.popIf([](const ItemPtr& i) { return i->id > 0; }), nullptr);  // only the front is looked at
  EXPECT_EQ(q.popIf([](const ItemPtr& i) { return i->id == 0; })->id, 0);
  EXPECT_EQ(Drain(&q), (std::vector<int>{1, 2}));
  EXPECT_EQ(q.popIf([](const ItemPtr&) { return true; }), nullptr);
}

TEST(HX_BoundedQueueWait, TimesOutEmptyAndWakesOnPushOnCloseAndThroughASharedSignal) {
  HX_WakeSignal signal;  // what a consumer of several queues waits on
  Queue q(HX_DropPolicy::kDropOldest, 4, Queue::kNoByteLimit, &signal);
  EXPECT_EQ(q.popFor(std::chrono::milliseconds(5)), nullptr);
  EXPECT_FALSE(q.waitForData(std::chrono::milliseconds(5)));
  EXPECT_FALSE(signal.waitFor(std::chrono::milliseconds(5)));
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.push(Make(7));
  });
  EXPECT_TRUE(q.waitForData(kLong));
  producer.join();
  EXPECT_EQ(q.size(), 1u);             // waiting never takes
  EXPECT_TRUE(signal.waitFor(kLong));  // notified before this wait: kept for it, once
  EXPECT_FALSE(signal.waitFor(std::chrono::milliseconds(0)));
  EXPECT_EQ(q.pop()->id, 7);

  std::thread waiter([&] { EXPECT_EQ(q.popFor(kLong), nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  q.close();
  waiter.join();
  // Closed: pushes are refused without counting as lost; a wait returns at once.
  EXPECT_FALSE(q.push(Make(9)).queued);
  EXPECT_FALSE(q.pushUnbounded(Make(9)));
  EXPECT_FALSE(q.waitForData(kLong));
  EXPECT_EQ(q.lost(), 0u);
  q.reopen();
  EXPECT_TRUE(q.push(Make(10)).queued);
}

TEST(HX_BoundedQueueContention, EveryElementIsTakenOrCountedLostOnceAndInProducerOrder) {
  constexpr int kProducers = 4, kConsumers = 2, kPerProducer = 5000;
  for (HX_DropPolicy policy : {HX_DropPolicy::kDropOldest, HX_DropPolicy::kFlush}) {
    Queue q(policy, 16);
    std::vector<std::vector<int>> taken(kConsumers);
    std::atomic<int> producing{kProducers};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
      threads.emplace_back([&, p] {
        for (int i = 0; i < kPerProducer; ++i) q.push(Make(p * kPerProducer + i));
        if (--producing == 0) q.close();
      });
    }
    for (int c = 0; c < kConsumers; ++c) {
      threads.emplace_back([&, c] {
        while (ItemPtr item = q.popFor(kLong)) taken[c].push_back(item->id);
      });
    }
    for (std::thread& t : threads) t.join();
    std::set<int> seen;
    for (const std::vector<int>& ids : taken) {
      std::vector<int> last(kProducers, -1);  // one consumer sees each producer's elements in push order
      for (int id : ids) {
        ASSERT_TRUE(seen.insert(id).second) << id << " taken twice";
        EXPECT_GT(id, last[id / kPerProducer]);
        last[id / kPerProducer] = id;
      }
    }
    EXPECT_EQ(seen.size() + q.lost(), static_cast<size_t>(kProducers * kPerProducer));
    EXPECT_EQ(q.bytes(), 0u);
  }
}
