#include "core/HX_BoundedQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {
struct Item {
  int id = 0;
  uint64_t bytes = 0;
  bool key = false;
};
using ItemPtr = std::shared_ptr<Item>;

struct ItemTraits {
  static uint64_t Bytes(const ItemPtr& item) { return item->bytes; }
  static bool IsKeyFrame(const ItemPtr& item) { return item->key; }
};
using Queue = HX_BoundedQueue<ItemPtr, ItemTraits>;

ItemPtr Make(int id, uint64_t bytes = 0, bool key = false) {
  return std::make_shared<Item>(Item{id, bytes, key});
}

std::vector<int> Drain(Queue* q) {
  std::vector<int> ids;
  while (ItemPtr item = q->pop()) ids.push_back(item->id);
  return ids;
}

constexpr std::chrono::milliseconds kLong(20000);
}  // namespace

TEST(HX_BoundedQueuePolicy, DropOldestKeepsTheNewestAndCountsTheRest) {
  Queue q(HX_DropPolicy::kDropOldest, 3);
  ItemPtr first = Make(0);
  q.push(first);
  for (int i = 1; i < 3; ++i) EXPECT_EQ(q.push(Make(i)).dropped, 0u);
  HX_PushResult r = q.push(Make(3));
  EXPECT_TRUE(r.queued);
  EXPECT_TRUE(r.boundHit);
  EXPECT_EQ(r.dropped, 1u);
  EXPECT_EQ(first.use_count(), 1);  // the queue let go of the dropped element
  q.push(Make(4));
  EXPECT_EQ(q.lost(), 2u);
  EXPECT_EQ(Drain(&q), (std::vector<int>{2, 3, 4}));
}

TEST(HX_BoundedQueuePolicy, FlushEmptiesAFullQueueBeforeTheNewElement) {
  // A bound of N + 1 is the "more than N waiting empties the queue" rule.
  Queue q(HX_DropPolicy::kFlush, 4);
  for (int i = 0; i < 4; ++i) q.push(Make(i));
  EXPECT_EQ(q.size(), 4u);
  HX_PushResult r = q.push(Make(4));
  EXPECT_TRUE(r.queued);
  EXPECT_EQ(r.dropped, 4u);
  EXPECT_EQ(q.lost(), 4u);
  EXPECT_EQ(Drain(&q), (std::vector<int>{4}));
  // clear is the owner's decision, not a loss.
  q.push(Make(5));
  EXPECT_EQ(q.clear(), 1u);
  EXPECT_EQ(q.lost(), 4u);
  EXPECT_EQ(q.bytes(), 0u);
}

TEST(HX_BoundedQueuePolicy, TheByteBoundDropsAsManyOldElementsAsTheNewOneNeeds) {
  Queue q(HX_DropPolicy::kDropOldest, Queue::kNoItemLimit, 100);
  q.push(Make(0, 40));
  q.push(Make(1, 40));
  q.push(Make(2, 20));
  EXPECT_EQ(q.bytes(), 100u);
  HX_PushResult r = q.push(Make(3, 70));  // needs 70: the 40 and the 40 go
  EXPECT_EQ(r.dropped, 2u);
  EXPECT_EQ(q.bytes(), 90u);
  // An element larger than the whole bound still goes in, alone.
  r = q.push(Make(4, 150));
  EXPECT_TRUE(r.queued);
  EXPECT_EQ(r.dropped, 2u);
  EXPECT_EQ(Drain(&q), (std::vector<int>{4}));
  EXPECT_EQ(q.bytes(), 0u);

  Queue flush(HX_DropPolicy::kFlush, Queue::kNoItemLimit, 100);
  flush.push(Make(0, 60));
  flush.push(Make(1, 30));
  EXPECT_EQ(flush.push(Make(2, 20)).dropped, 2u);
  EXPECT_EQ(flush.bytes(), 20u);
}

TEST(HX_BoundedQueuePolicy, DropToKeyFrameRefusesFromTheOverflowToTheNextKeyFrameThatFits) {
  Queue q(HX_DropPolicy::kDropToKeyFrame, Queue::kNoItemLimit, 100);
  EXPECT_TRUE(q.push(Make(0, 50, true)).queued);
  EXPECT_TRUE(q.push(Make(1, 40)).queued);
  HX_PushResult r = q.push(Make(2, 20));  // 110 > 100
  EXPECT_FALSE(r.queued);
  EXPECT_TRUE(r.boundHit);
  EXPECT_EQ(r.dropped, 1u);
  // Room again, but the gap lasts until a key frame.
  EXPECT_EQ(q.pop()->id, 0);
  r = q.push(Make(3, 10));
  EXPECT_FALSE(r.queued);
  EXPECT_FALSE(r.boundHit);
  r = q.push(Make(4, 70, true));  // a key frame that does not fit keeps the gap
  EXPECT_FALSE(r.queued);
  EXPECT_TRUE(r.boundHit);
  r = q.push(Make(5, 60, true));
  EXPECT_TRUE(r.queued);
  EXPECT_TRUE(r.resumed);
  EXPECT_FALSE(q.push(Make(6, 0)).resumed);
  EXPECT_EQ(q.lost(), 3u);
  EXPECT_EQ(Drain(&q), (std::vector<int>{1, 5, 6}));

  // A consumer can ask for a fresh start at a key frame; what must not be
  // lost bypasses the rule and still counts towards the bytes.
  q.skipToKeyFrame();
  EXPECT_FALSE(q.push(Make(7, 1)).queued);
  EXPECT_TRUE(q.pushUnbounded(Make(8, 500)));
  EXPECT_EQ(q.bytes(), 500u);
  EXPECT_FALSE(q.push(Make(9, 1, true)).queued);  // over the bound now
  EXPECT_EQ(Drain(&q), (std::vector<int>{8}));
  EXPECT_TRUE(q.push(Make(10, 1, true)).resumed);
}

TEST(HX_BoundedQueueBytes, HeldElementsCountUntilReleasedPieceByPiece) {
  Queue q(HX_DropPolicy::kDropToKeyFrame, Queue::kNoItemLimit, 100);
  q.push(Make(0, 80, true));
  ItemPtr sending = q.popHeld();
  ASSERT_TRUE(sending);
  EXPECT_EQ(q.size(), 0u);
  EXPECT_EQ(q.bytes(), 80u);
  EXPECT_FALSE(q.push(Make(1, 30, true)).queued);  // 80 held + 30 > 100
  q.releaseHeld(50);
  EXPECT_EQ(q.bytes(), 30u);
  EXPECT_TRUE(q.push(Make(2, 30, true)).queued);
  q.releaseHeld(30);
  EXPECT_EQ(q.bytes(), 30u);
}

TEST(HX_BoundedQueueOrder, PushFrontAndPopIfServeAPacingConsumer) {
  Queue q(HX_DropPolicy::kFlush, 2);
  q.push(Make(1));
  q.push(Make(2));
  ItemPtr early = q.pop();
  q.pushFront(early);
  q.pushFront(Make(0));  // no bound check for an element put back
  EXPECT_EQ(q.size(), 3u);
  EXPECT_EQ(q.lost(), 0u);
  EXPECT_EQ(q.popIf([](const ItemPtr& i) { return i->id > 0; }), nullptr);
  EXPECT_EQ(q.popIf([](const ItemPtr& i) { return i->id == 0; })->id, 0);
  EXPECT_EQ(Drain(&q), (std::vector<int>{1, 2}));
  EXPECT_EQ(q.popIf([](const ItemPtr&) { return true; }), nullptr);
}

TEST(HX_BoundedQueueWait, TimesOutEmptyWakesOnPushAndOnClose) {
  Queue q(HX_DropPolicy::kDropOldest, 4);
  EXPECT_EQ(q.popFor(std::chrono::milliseconds(5)), nullptr);
  EXPECT_FALSE(q.waitForData(std::chrono::milliseconds(5)));

  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.push(Make(7));
  });
  EXPECT_TRUE(q.waitForData(kLong));
  producer.join();
  EXPECT_EQ(q.size(), 1u);  // waiting never takes
  EXPECT_EQ(q.popFor(kLong)->id, 7);

  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    EXPECT_EQ(q.popFor(kLong), nullptr);
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  q.close();
  waiter.join();
  EXPECT_TRUE(woke);
  // Closed: pushes are refused without counting as lost; a wait returns at once.
  EXPECT_FALSE(q.push(Make(8)).queued);
  EXPECT_FALSE(q.pushUnbounded(Make(8)));
  EXPECT_FALSE(q.waitForData(kLong));
  EXPECT_EQ(q.lost(), 0u);
  q.reopen();
  EXPECT_TRUE(q.push(Make(9)).queued);
}

TEST(HX_BoundedQueueWait, ASharedSignalWakesAConsumerOfTwoQueues) {
  HX_WakeSignal signal;
  Queue video(HX_DropPolicy::kDropOldest, 4, Queue::kNoByteLimit, &signal);
  Queue audio(HX_DropPolicy::kFlush, 4, Queue::kNoByteLimit, &signal);
  EXPECT_FALSE(signal.waitFor(std::chrono::milliseconds(5)));
  // A notification that comes before the wait is kept for it.
  audio.push(Make(1));
  EXPECT_TRUE(signal.waitFor(kLong));
  EXPECT_FALSE(signal.waitFor(std::chrono::milliseconds(0)));
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    video.push(Make(2));
  });
  EXPECT_TRUE(signal.waitFor(kLong));
  producer.join();
  EXPECT_EQ(video.pop()->id, 2);
}

TEST(HX_BoundedQueueContention, EveryElementIsTakenOrCountedLostOnceAndInProducerOrder) {
  constexpr int kProducers = 4;
  constexpr int kConsumers = 2;
  constexpr int kPerProducer = 5000;
  for (HX_DropPolicy policy : {HX_DropPolicy::kDropOldest, HX_DropPolicy::kFlush}) {
    Queue q(policy, 16);
    std::vector<std::vector<ItemPtr>> taken(kConsumers);
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
        for (;;) {
          ItemPtr item = q.popFor(kLong);
          if (item) {
            taken[c].push_back(item);
          } else if (producing == 0 && q.size() == 0) {
            return;
          }
        }
      });
    }
    for (std::thread& t : threads) t.join();
    std::vector<int> seen(kProducers * kPerProducer, 0);
    size_t total = 0;
    for (const auto& list : taken) {
      std::vector<int> last(kProducers, -1);
      for (const ItemPtr& item : list) {
        ++seen[item->id];
        // One consumer sees each producer's elements in the order pushed.
        const int producer = item->id / kPerProducer;
        EXPECT_GT(item->id, last[producer]);
        last[producer] = item->id;
      }
      total += list.size();
    }
    for (int count : seen) ASSERT_LE(count, 1);
    EXPECT_EQ(total + q.lost(), static_cast<size_t>(kProducers * kPerProducer));
    EXPECT_EQ(q.bytes(), 0u);
  }
}
