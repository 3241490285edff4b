// The product over a caller's threads: the bits of one thread for any count
// on every kernel version, the split of the rows, the refusals, and the pool
// under faults (an exception in a part, callers from several threads,
// destruction while idle). Runs under ThreadSanitizer (label tsan).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "split_product.h"
#include "testing.h"
#include "worker_pool.h"
#include "zor_feedback/product_threads.h"

namespace {

namespace zd = zor_feedback::detail;
using zor_feedback::test::elements;
using zor_feedback::test::fill;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::array<std::size_t, 5> kThreadCounts = {1, 2, 3, 4, 7};

std::vector<float> wave(std::size_t size, float f, float scale) {
  std::vector<float> v(size);
  for (std::size_t e = 0; e < v.size(); ++e) v[e] = std::sin(f * static_cast<float>(e)) * scale;
  return v;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(SplitProduct, GivesTheBitsOfOneThreadOnEveryKernelVersion) {
  for (const zd::KernelIsa isa : zd::kKernelIsas) {
    if (!zd::kernel_isa_supported(isa)) {
      std::printf("kernel %s: not on this CPU, not tested here\n", zd::kernel_isa_name(isa));
      continue;
    }
    for (const std::size_t threads : kThreadCounts) {
      zd::WorkerPool pool(threads);
      for (const auto& [n, m, k] : {std::array<std::size_t, 3>{1, 1, 1},
                                    {5, 3, 1},
                                    {8, 8, 1},
                                    {29, 41, 1},
                                    {37, 64, 3},
                                    {131, 97, 2},
                                    {203, 333, 1},
                                    {61, 2049, 1},
                                    {45, 29, 9}}) {
        const std::vector<float> M = wave(n * m, 1.7f, 1e3f), X = wave(m * k, 0.3f, 0.2f);
        std::vector<float> want(n * k), got(n * k, kNaN);
        zd::fused_product_on(zd::KernelIsa::scalar, M.data(), X.data(), n, m, k, want.data());
        // No threshold: split as far as the kernel's row blocks allow.
        zd::split_product_on(pool, isa, M.data(), X.data(), n, m, k, got.data(), 0);
        EXPECT_TRUE(same_bits(want, got))
            << zd::kernel_isa_name(isa) << " " << threads << " threads " << n << " x " << m << " x " << k;
      }
    }
  }
}

TEST(SplitProduct, PartsAreWholeRowBlocksCoveringEveryRowOnce) {
  for (std::size_t n = 0; n <= 41; ++n)
    for (const std::size_t threads : kThreadCounts) {
      const std::size_t parts = zd::split_parts(n, 1, threads, 0);
      const std::size_t most = threads == 1 ? 1 : threads * zd::kPartsPerThread;
      EXPECT_EQ(parts, std::max<std::size_t>(1, std::min(most, n / zd::kKernelRowBlock)));
      EXPECT_EQ(zd::split_row(n, parts, 0), 0u);
      EXPECT_EQ(zd::split_row(n, parts, parts), n);
      for (std::size_t p = 1; p < parts; ++p) {
        EXPECT_EQ(zd::split_row(n, parts, p) % zd::kKernelRowBlock, 0u);
        EXPECT_LT(zd::split_row(n, parts, p - 1), zd::split_row(n, parts, p)) << n << " rows, part " << p;
      }
    }
  // The threshold: the ring's product stays on the caller's thread, the
  // large one takes both threads.
  EXPECT_EQ(zd::split_parts(288, 320, 2, zd::kSplitMinWork), 1u);
  EXPECT_GE(zd::split_parts(1580, 1120, 2, zd::kSplitMinWork), 2u);
}

TEST(ProductThreads, MultiplyGivesTheBitsOfOneThreadAndRefusesAsIt) {
  QTEV_ResponseMatrix t("T", 1580, 1120, nullptr), x("X", 1120, 1, nullptr), want("W", 1580, 1, nullptr),
      got("G", 1580, 1, nullptr);
  fill(t, [](int i, int j) { return std::sin(0.37f * static_cast<float>(i * 1120 + j)) * 1e2f; });
  fill(x, [](int i, int) { return std::cos(0.11f * static_cast<float>(i)); });
  t.multiply(x, want);
  for (const std::size_t threads : kThreadCounts) {
    zor_feedback::ProductThreads pool(threads);
    EXPECT_EQ(pool.threads(), threads);
    got.init(kNaN);
    t.multiply(x, got, pool);
    EXPECT_TRUE(same_bits(elements(want), elements(got))) << threads << " threads";
  }
  // The result as an operand, and a refused shape with B unchanged.
  QTEV_ResponseMatrix a("A", 300, 300, nullptr), a_one("A1", 300, 300, nullptr), b("B", 2, 2, nullptr);
  fill(a, [](int i, int j) { return static_cast<float>((i * 7 + j * 3) % 11) - 5.0f; });
  a_one = a;
  a_one.multiply(a_one, a_one);
  zor_feedback::ProductThreads two(2);
  a.multiply(a, a, two);
  EXPECT_TRUE(same_bits(elements(a_one), elements(a)));
  b.init(5.0f);
  ovrix::LogCapture cap;
  a.multiply(x, b, two);
  EXPECT_EQ(cap.lines().size(), 1u);
  EXPECT_EQ(elements(b), std::vector<float>(4, 5.0f));
}

TEST(ProductThreads, RefusesZeroOrTooManyThreads) {
  for (const std::size_t bad : {std::size_t{0}, zor_feedback::ProductThreads::kMaxThreads + 1,
                                std::numeric_limits<std::size_t>::max()}) {
    try {
      zor_feedback::ProductThreads pool(bad);
      ADD_FAILURE() << bad << " threads accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(std::to_string(bad) + " threads"), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(zd::WorkerPool(0), std::invalid_argument);
}

TEST(WorkerPool, AnExceptionInAPartReachesTheCallerAfterEveryPartHasEnded) {
  zd::WorkerPool pool(3);
  std::vector<int> ran(9, 0);  // plain ints: ThreadSanitizer sees a part that outlives run
  auto failing = [&](std::size_t p) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ran[p] += 1;
    if (p % 3 == 1) throw std::runtime_error("part " + std::to_string(p));
  };
  try {
    pool.run(9, failing);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_TRUE(what == "part 1" || what == "part 4" || what == "part 7") << what;
  }
  EXPECT_EQ(ran, std::vector<int>(9, 1));

  // The pool is whole again: each part once, on any thread.
  ran.assign(9, 0);
  auto fine = [&](std::size_t p) { ran[p] += static_cast<int>(p) + 1; };
  pool.run(7, fine);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 0, 0}));
  pool.run(0, fine);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 0, 0}));
}

TEST(WorkerPool, CallersOnSeveralThreadsRunOneAfterTheOther) {
  zd::WorkerPool pool(3);
  // Part p of every job writes shared[p], unguarded: two jobs at once would
  // be a race ThreadSanitizer reports. Each caller checks its own results.
  std::vector<long> shared(3, 0);
  std::atomic<int> wrong{0};
  auto caller = [&](long tag) {
    std::vector<long> mine(3, 0);
    for (long round = 0; round < 200; ++round) {
      auto part = [&](std::size_t p) { shared[p] = mine[p] = tag * 1000 + round; };
      pool.run(3, part);
      for (const long v : mine)
        if (v != tag * 1000 + round) ++wrong;
    }
  };
  std::thread a(caller, 1), b(caller, 2);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(WorkerPool, IsDestroyedCleanlyIdleOrAfterWork) {
  for (std::size_t size = 1; size <= 7; ++size) {
    { zd::WorkerPool never_used(size); }
    zd::WorkerPool used(size);
    std::atomic<std::size_t> sum{0};
    auto part = [&](std::size_t p) { sum += p; };
    used.run(size, part);
    EXPECT_EQ(sum.load(), size * (size - 1) / 2);
  }
}

}  // namespace
