// Fault injection: a result property whose set_value throws after k writes, and
// allocations that fail. Every operation must let the exception pass, leak
// nothing (LeakSanitizer in the sanitizer run, valgrind in the memcheck run),
// and leave a result that holds exactly what the contract states: the first k
// elements in row-major order written, the rest as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing.h"
#include "zor_feedback/arma.h"

// ---------------------------------------------------------------------------
// Allocation failure: operator new of this test binary throws std::bad_alloc
// on the n-th allocation while armed.
namespace {
std::atomic<long> g_allocations_left{-1};  // < 0: not armed
}

void* operator new(std::size_t n) {
  if (g_allocations_left.load() >= 0 && g_allocations_left.fetch_sub(1) == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The array forms too: a sanitizer's runtime would otherwise take them over.
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using zor_feedback::test::elements;
using zor_feedback::test::fill;

struct InjectedFault : std::runtime_error {
  InjectedFault() : std::runtime_error("injected fault") {}
};

// A result matrix whose k-th write (from 0) after arm(k) throws.
class ThrowingMatrix : public QTEV_ResponseMatrix {
 public:
  ThrowingMatrix(int r, int c) : QTEV_ResponseMatrix("THROWING", r, c, nullptr) {}
  void arm(long fail_at) {
    fail_at_ = fail_at;
    writes_ = 0;
  }
  void set_value(float v, int i0, int i1, int i2, int i3, int i4, int i5) override {
    if (fail_at_ >= 0 && writes_++ == fail_at_) throw InjectedFault();
    QTEV_ResponseMatrix::set_value(v, i0, i1, i2, i3, i4, i5);
  }

 private:
  long fail_at_ = -1;
  long writes_ = 0;
};

float pattern(int i, int j) { return 0.5f + static_cast<float>(i) - 0.25f * static_cast<float>(j); }
float other(int i, int j) { return -1.0f - static_cast<float>(3 * i + j); }

// The expected content after a failure at write k: the complete result's first
// k elements, then the old ones.
std::vector<float> partial(const std::vector<float>& done, const std::vector<float>& old, std::size_t k) {
  std::vector<float> v = old;
  for (std::size_t e = 0; e < k && e < v.size(); ++e) v[e] = done[e];
  return v;
}

// Runs `op` into a ThrowingMatrix failing at every write k in turn and checks
// the partial result; `complete` is what the operation writes in full.
template <class Op>
void check_every_failure_point(int r, int c, const std::vector<float>& complete, Op op) {
  for (long k = 0; k < static_cast<long>(complete.size()); ++k) {
    ThrowingMatrix out(r, c);
    fill(out, other);
    const std::vector<float> old = elements(out);
    out.arm(k);
    EXPECT_THROW(op(out), InjectedFault) << "k = " << k;
    EXPECT_EQ(elements(out), partial(complete, old, static_cast<std::size_t>(k))) << "k = " << k;
  }
}

TEST(ThrowingResult, ProductsLeaveTheFirstKElementsWritten) {
  QTEV_ResponseMatrix a("A", 3, 4, nullptr), b("B", 4, 2, nullptr), e("E", 3, 4, nullptr);
  fill(a, pattern);
  fill(b, other);
  fill(e, other);

  QTEV_ResponseMatrix product("P", 3, 2, nullptr);
  a.multiply(b, product);
  check_every_failure_point(3, 2, elements(product), [&](QTEV_ResponseMatrix& out) { a.multiply(b, out); });

  QTEV_ResponseMatrix entrywise("EW", 3, 4, nullptr);
  a.entrywise_product(e, entrywise);
  check_every_failure_point(3, 4, elements(entrywise),
                            [&](QTEV_ResponseMatrix& out) { a.entrywise_product(e, out); });

  QTEV_ResponseMatrix transposed("T", 4, 3, nullptr);
  a.transpose(transposed);
  check_every_failure_point(4, 3, elements(transposed), [&](QTEV_ResponseMatrix& out) { a.transpose(out); });

  QTEV_ResponseMatrix from_arma("FA", 3, 4, nullptr);
  const arma::mat A = a.QTEV2arma_mat(a);
  from_arma.arma_mat2QTEV(A);
  check_every_failure_point(3, 4, elements(from_arma),
                            [&](QTEV_ResponseMatrix& out) { out.arma_mat2QTEV(A); });

  // init writes through the same accessor.
  std::vector<float> all_sevens(12, 7.0f);
  check_every_failure_point(3, 4, all_sevens, [](QTEV_ResponseMatrix& out) { out.init(7.0f); });
}

// The inversions write their outputs last, in this order: the spectrum, the
// result, then *tol and *nosv. A throwing result therefore leaves the new
// spectrum, the first k result elements, and the old *tol and *nosv.
TEST(ThrowingResult, InversionsLeaveTheFirstKElementsWritten) {
  QTEV_ResponseMatrix a("A", 3, 4, nullptr);
  fill(a, [](int i, int j) {
    return i == j ? 2.0f + static_cast<float>(i) : 0.125f * static_cast<float>(i + j);
  });
  QTEV_ResponseMatrix inverse("X", 4, 3, nullptr);
  D_spectrum sv("SV", 3, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  ovrix::LogCapture quiet;
  a.invert(inverse, sv, &tol, &nosv);
  const std::vector<float> spectrum = sv.points();

  for (long k = 0; k < 12; ++k) {
    ThrowingMatrix out(4, 3);
    fill(out, other);
    const auto old = elements(out);
    out.arm(k);
    D_spectrum s("S", 3, nullptr);
    float t = -1.0f;
    int n = -5;
    EXPECT_THROW(a.invert(out, s, &t, &n), InjectedFault);
    EXPECT_EQ(elements(out), partial(elements(inverse), old, static_cast<std::size_t>(k)));
    EXPECT_EQ(s.points(), spectrum);
    EXPECT_EQ(t, -1.0f);
    EXPECT_EQ(n, -5);
  }

  QTEV_ResponseMatrix pseudo("P", 4, 3, nullptr);
  float floor = 0.0f;
  a.pinv(pseudo, &floor);
  check_every_failure_point(4, 3, elements(pseudo), [&](QTEV_ResponseMatrix& out) { a.pinv(out, &floor); });
}

// ---------------------------------------------------------------------------
// Runs `op` with the n-th allocation failing, for n = 0, 1, ... until the
// operation no longer allocates that many times; `check` verifies the state
// after each failure.
template <class Op, class Check>
int fail_each_allocation(Op op, Check check) {
  for (long n = 0; n < 100000; ++n) {
    bool threw = false;
    g_allocations_left = n;
    try {
      op();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    g_allocations_left = -1;
    if (!threw) return static_cast<int>(n);
    check(n);
  }
  ADD_FAILURE() << "the operation never completed";
  return -1;
}

TEST(AllocationFailure, ProductsChangeNothing) {
  QTEV_ResponseMatrix a("A", 5, 3, nullptr), b("B", 3, 4, nullptr), c("C", 5, 4, nullptr);
  fill(a, pattern);
  fill(b, other);
  fill(c, other);
  const auto before = elements(c);
  ovrix::LogCapture quiet;
  const int n =
      fail_each_allocation([&] { a.multiply(b, c); }, [&](long) { EXPECT_EQ(elements(c), before); });
  EXPECT_GT(n, 0);

  QTEV_ResponseMatrix t("T", 3, 5, nullptr);
  fill(t, other);
  const auto t_before = elements(t);
  fail_each_allocation([&] { a.transpose(t); }, [&](long) { EXPECT_EQ(elements(t), t_before); });
}

// A failed allocation never leaves a mix of old and new elements: before the
// storing pass nothing has changed; only the completion line is logged after
// it (the framework's logging may allocate), when every element is stored.
// All of invert's outputs change together or not at all: every allocation
// happens before the first output is written, but for the timing line's.
TEST(AllocationFailure, InvertChangesAllOutputsOrNone) {
  QTEV_ResponseMatrix a("A", 5, 3, nullptr);
  fill(a, [](int i, int j) { return i == j ? 3.0f : 0.25f * static_cast<float>(i - j); });
  QTEV_ResponseMatrix x("X", 3, 5, nullptr);
  D_spectrum sv("SV", 3, nullptr);
  float tol = -1.0f;
  int nosv = -5;
  ovrix::LogCapture quiet;
  const int n = fail_each_allocation(
      [&] {
        x.init(9.0f);
        sv.set_length(0);
        tol = -1.0f;
        nosv = -5;
        a.invert(x, sv, &tol, &nosv);
      },
      [&](long) {
        const bool untouched =
            sv.length() == 0 && tol == -1.0f && nosv == -5 && elements(x) == std::vector<float>(15, 9.0f);
        const bool complete = sv.length() == 3 && tol != -1.0f && nosv == 3;
        EXPECT_TRUE(untouched || complete);
      });
  EXPECT_GT(n, 5);
}

TEST(AllocationFailure, LoadFileLoadsAllOrNothing) {
  const std::string path = (std::filesystem::temp_directory_path() / "zf_faults_load.txt").string();
  {
    std::ofstream f(path);
    f << "# 3 x 2\n1 2\n3 4\n5 6\n";
  }
  QTEV_ResponseMatrix m("M", 3, 2, nullptr);
  const std::vector<float> before(6, -1.0f), loaded{1, 2, 3, 4, 5, 6};
  ovrix::LogCapture quiet;
  fail_each_allocation(
      [&] {
        m.init(-1.0f);
        m.load_file(path.c_str());
      },
      [&](long) {
        const auto now = elements(m);
        EXPECT_TRUE(now == before || now == loaded);
      });
  EXPECT_EQ(elements(m), loaded);
  std::remove(path.c_str());
}

TEST(AllocationFailure, RingBufferStoreKeepsAConsistentHistory) {
  D_ringbuf rb("H", 4, nullptr);
  std::string a = "first message, long enough to need its own allocation";
  std::string b = "second message, long enough to need its own allocation";
  rb.store(a.data());
  fail_each_allocation([&] { rb.store(b.data()); },
                       [&](long) {
                         EqData all, reply;
                         rb.get(nullptr, &all, &reply, nullptr);
                         ASSERT_EQ(reply.length(), 4);  // never loses or gains an entry
                       });
  EqData all, reply;
  rb.get(nullptr, &all, &reply, nullptr);
  EXPECT_EQ(reply.get_ustr(0)->str_data, b);
}

// The operations the tests above leave out: construction (nothing leaks),
// assignment and pinv (all or nothing), and a client's read of the ring
// buffer (the history stays as it was).
TEST(AllocationFailure, ConstructionAssignmentPinvAndReads) {
  const char* const long_name = "a property name too long for the small-string buffer";
  fail_each_allocation([&] { QTEV_ResponseMatrix m(long_name, 40, 30, nullptr); }, [](long) {});
  fail_each_allocation([&] { D_ringbuf rb(long_name, 50, nullptr); }, [](long) {});

  QTEV_ResponseMatrix a("A", 2, 2, nullptr), b("B", 3, 4, nullptr);
  a.init(-3.0f);
  fill(b, pattern);
  EXPECT_GT(fail_each_allocation([&] { a = b; },
                                 [&](long) {
                                   EXPECT_EQ(a.rows, 2);
                                   EXPECT_EQ(a.cols, 2);
                                   EXPECT_EQ(elements(a), std::vector<float>(4, -3.0f));
                                 }),
            0);
  EXPECT_TRUE(a == b);

  QTEV_ResponseMatrix x("X", 4, 3, nullptr);
  float floor = 1.0f;  // clears some input elements, so pinv logs
  ovrix::LogCapture lines;
  EXPECT_GT(fail_each_allocation(
                [&] {
                  x.init(9.0f);
                  b.pinv(x, &floor);
                },
                [&](long) {
                  const auto now = elements(x);
                  EXPECT_TRUE(now == std::vector<float>(12, 9.0f) ||
                              std::find(now.begin(), now.end(), 9.0f) == now.end());
                }),
            0);

  D_ringbuf rb("H", 3, nullptr);
  std::string text = "a message long enough to need its own allocation";
  rb.store(text.data());
  EqData whole;
  rb.get(nullptr, nullptr, &whole, nullptr);
  for (const int index : {-1, 0}) {
    EqData request;
    request.set_numeric(DATA_INT, index);
    EXPECT_GT(fail_each_allocation(
                  [&] {
                    EqData reply;
                    rb.get(nullptr, &request, &reply, nullptr);
                  },
                  [&](long) {
                    EqData after;
                    rb.get(nullptr, nullptr, &after, nullptr);
                    ASSERT_EQ(after.length(), 3);
                    EXPECT_EQ(after.get_ustr(0)->str_data, text);
                  }),
              0);
  }
}

}  // namespace
