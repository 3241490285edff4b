// The notifier's queue: each cycle's entry on its own and in order, drops
// counted when the consumer falls behind, other changes never lost, and the
// producer never held up by the consumer (run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "change_queue.h"

using zor_feedback::server::ChangeQueue;

namespace {

constexpr unsigned kCycle = 1, kState = 8, kStep = 16;

TEST(ChangeQueue, EveryCycleOnceInOrderAcrossThreads) {
  ChangeQueue q(64);
  constexpr long long kCycles = 20000;
  std::vector<long long> seen;
  unsigned others = 0;
  std::thread consumer([&] {
    while (auto e = q.take()) {
      if (e->cycle) seen.push_back(*e->cycle);
      others |= e->bits & ~kCycle;
      if (e->cycle && *e->cycle == kCycles) return;
    }
  });
  // A stalled consumer must not stall the loop: the producer retries only
  // because this test wants every cycle, as a slower loop would give them.
  for (long long c = 1; c <= kCycles; ++c) {
    if (c % 100 == 0) q.post(kState);
    while (!q.post_cycle(kCycle, c)) std::this_thread::yield();
  }
  consumer.join();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kCycles));
  for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], static_cast<long long>(i) + 1);
  EXPECT_EQ(others, kState);
}

TEST(ChangeQueue, FullQueueDropsCyclesCountedAndKeepsOtherChanges) {
  ChangeQueue q(3);
  EXPECT_TRUE(q.post_cycle(kCycle, 1));
  EXPECT_TRUE(q.post_cycle(kCycle, 2));
  EXPECT_TRUE(q.post_cycle(kCycle, 3));
  EXPECT_FALSE(q.post_cycle(kCycle | kStep, 4));  // full: counted, returns at once
  EXPECT_FALSE(q.post_cycle(kCycle, 5));
  q.post(kState);  // full: merged into the newest entry, not lost
  EXPECT_EQ(q.dropped(), 2);
  std::vector<ChangeQueue::Entry> got;
  for (int i = 0; i < 3; ++i) got.push_back(*q.take());
  EXPECT_EQ(*got[0].cycle, 1);
  EXPECT_EQ(*got[1].cycle, 2);
  EXPECT_EQ(*got[2].cycle, 3);
  EXPECT_EQ(got[2].bits, kCycle | kStep | kState);
}

TEST(ChangeQueue, OtherChangesMergeButNeverIntoACycle) {
  ChangeQueue q(8);
  q.post(kState);
  q.post(kStep);
  ASSERT_TRUE(q.post_cycle(kCycle, 7));
  q.post(kState);
  auto a = q.take(), b = q.take(), c = q.take();
  EXPECT_EQ(a->bits, kState | kStep);
  EXPECT_FALSE(a->cycle);
  EXPECT_EQ(b->bits, kCycle);
  EXPECT_EQ(*b->cycle, 7);
  EXPECT_EQ(c->bits, kState);
  EXPECT_FALSE(c->cycle);
}

TEST(ChangeQueue, StalledConsumerNeverBlocksTheProducerAndCloseWakesIt) {
  ChangeQueue q(16);
  std::atomic<bool> release{false};
  std::atomic<long long> taken{0};
  std::thread consumer([&] {
    while (auto e = q.take()) {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ++taken;
    }
  });
  long long accepted = 0;
  for (long long c = 1; c <= 10000; ++c) accepted += q.post_cycle(kCycle, c) ? 1 : 0;
  EXPECT_EQ(accepted + q.dropped(), 10000);
  EXPECT_GE(q.dropped(), 10000 - 17);
  release = true;
  q.close();
  consumer.join();  // would hang if close did not wake take
  EXPECT_FALSE(q.take());
  EXPECT_FALSE(q.post_cycle(kCycle, 1));
}

}  // namespace
