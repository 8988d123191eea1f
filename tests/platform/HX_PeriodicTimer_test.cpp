#include "platform/HX_PeriodicTimer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/HX_Clock.h"

namespace {
struct Counter {
  std::atomic<int> ticks{0};
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<bool> afterKill{false};
  int sleepMs = 0;
  HX_PeriodicTimer* self = nullptr;
};

void Tick(void* user) {
  auto* c = static_cast<Counter*>(user);
  if (c->inside.fetch_add(1) != 0) c->overlaps++;
  if (c->afterKill) c->overlaps += 1000;
  c->ticks++;
  if (c->sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(c->sleepMs));
  c->inside.fetch_sub(1);
}

void KillSelf(void* user) {
  auto* c = static_cast<Counter*>(user);
  c->ticks++;
  c->self->kill();
}
}  // namespace

TEST(HX_PeriodicTimer, TicksAtThePeriodWithoutDrift) {
  Counter c;
  HX_PeriodicTimer t;
  int64_t begin = HX_GetTickMs();
  ASSERT_EQ(t.start(20, Tick, &c), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1010));
  t.kill();
  int64_t elapsed = HX_GetTickMs() - begin;
  // Absolute deadlines: about elapsed / 20 ticks; a loaded machine may lose a few.
  int expected = static_cast<int>(elapsed / 20);
  EXPECT_LE(c.ticks.load(), expected + 1);
  EXPECT_GE(c.ticks.load(), expected * 8 / 10);
  EXPECT_EQ(c.overlaps.load(), 0);
}

TEST(HX_PeriodicTimer, KillWaitsForARunningTickAndNoTickFollows) {
  Counter c;
  c.sleepMs = 50;
  HX_PeriodicTimer t;
  ASSERT_EQ(t.start(5, Tick, &c), 0);
  while (c.inside.load() == 0) std::this_thread::yield();
  t.kill();  // returns only after the 50 ms tick ends
  EXPECT_EQ(c.inside.load(), 0);
  c.afterKill = true;
  int ticks = c.ticks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(c.ticks.load(), ticks);
  EXPECT_EQ(c.overlaps.load(), 0);
  EXPECT_FALSE(t.running());
  t.kill();  // idempotent
}

TEST(HX_PeriodicTimer, OverrunningTicksNeverOverlap) {
  Counter c;
  c.sleepMs = 15;
  HX_PeriodicTimer t;
  ASSERT_EQ(t.start(5, Tick, &c), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  t.kill();
  EXPECT_GT(c.ticks.load(), 3);
  EXPECT_EQ(c.overlaps.load(), 0);
}

TEST(HX_PeriodicTimer, KillFromInsideATickStopsTheTimer) {
  Counter c;
  HX_PeriodicTimer t;
  c.self = &t;
  ASSERT_EQ(t.start(5, KillSelf, &c), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(c.ticks.load(), 1);
  EXPECT_FALSE(t.running());
}

TEST(HX_PeriodicTimer, NullUserSkipsTheCallbackAndBadArgumentsFail) {
  HX_PeriodicTimer t;
  static std::atomic<int> calls{0};
  auto cb = [](void*) { calls++; };
  ASSERT_EQ(t.start(2, cb, nullptr), 0);
  EXPECT_EQ(t.start(2, cb, nullptr), -1);  // already running
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  t.kill();
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(t.start(0, cb, &t), -1);
  EXPECT_EQ(t.start(5, nullptr, &t), -1);
}

TEST(HX_PeriodicTimer, ALateTickIsCaughtUpAndAStallSkipsOnTheGrid) {
  using std::chrono::milliseconds;
  const std::chrono::steady_clock::time_point t0{};
  const milliseconds period(20);
  const auto next = [&](int deadlineMs, int nowMs) {
    return std::chrono::duration_cast<milliseconds>(
               HX_PeriodicTimer::NextDeadline(t0 + milliseconds(deadlineMs), t0 + milliseconds(nowMs), period) - t0)
        .count();
  };
  EXPECT_EQ(next(0, 3), 20);    // on time: the next grid point
  EXPECT_EQ(next(0, 19), 20);
  EXPECT_EQ(next(0, 20), 20);   // due now: runs at once
  EXPECT_EQ(next(0, 27), 20);   // late by less than a period: caught up at once
  EXPECT_EQ(next(20, 45), 40);  // again, still on the grid
  EXPECT_EQ(next(0, 41), 40);   // a stall of two periods: one missed tick skipped
  EXPECT_EQ(next(0, 119), 100); // ... or four, never a burst of them
  // Ticks that each end 5 ms late keep the rate: every deadline is run.
  int deadline = 0;
  int ran = 0;
  for (int end = 25; end < 1000; ++ran) {
    deadline = static_cast<int>(next(deadline, end));
    end = std::max(end, deadline) + 5;
  }
  EXPECT_EQ(deadline % 20, 0);
  EXPECT_GE(ran, 1000 / 20 - 2);
}
