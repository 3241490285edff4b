// The element-wise product, the matrix product and the transpose: results,
// aliasing, refused shapes with their log lines, zero-sized and
// non-two-dimensional matrices.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "fused_product.h"
#include "testing.h"

namespace {

using zor_feedback::test::at;
using zor_feedback::test::elements;
using zor_feedback::test::fill;
using zor_feedback::test::Line;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string mismatch(int r, int c, int ar, int ac, int br, int bc) {
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "ERROR: Dimension mismatch: dim(this): %d x %d dim(A): %d x %d dim(B): %d x %d", r, c, ar, ac,
                br, bc);
  return buf;
}

std::string transpose_mismatch(int tm, int tn, int m, int n) {
  return "ERROR: Dimension mismatch: dim(transR) (" + std::to_string(tm) + " x " + std::to_string(tn) +
         ") must be inverse of dim(this) (" + std::to_string(m) + " x " + std::to_string(n) + ")";
}

// this(i, j) * A(i, j) in double, for comparison.
std::vector<double> reference_product(QTEV_ResponseMatrix& a, QTEV_ResponseMatrix& b) {
  std::vector<double> c;
  for (int i = 0; i < a.rows; ++i)
    for (int j = 0; j < b.cols; ++j) {
      double s = 0;
      for (int k = 0; k < a.cols; ++k)
        s += static_cast<double>(at(a, i, k)) * static_cast<double>(at(b, k, j));
      c.push_back(s);
    }
  return c;
}

std::vector<float> narrowed(const std::vector<double>& v) { return std::vector<float>(v.begin(), v.end()); }

TEST(EntrywiseProduct, MultipliesElementByElementOrRefusesShape) {
  QTEV_ResponseMatrix t("T", 2, 3, nullptr), a("A", 2, 3, nullptr), b("B", 2, 3, nullptr);
  fill(t, [](int i, int j) { return 0.1f * static_cast<float>(i + 1) + static_cast<float>(j); });
  fill(a, [](int i, int j) { return 1.5f - static_cast<float>(i * j); });
  ovrix::LogCapture cap;
  t.entrywise_product(a, b);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(at(b, i, j), at(t, i, j) * at(a, i, j));
  EXPECT_TRUE(cap.lines().empty());

  QTEV_ResponseMatrix wrong("W", 3, 2, nullptr);
  wrong.init(7.0f);
  t.entrywise_product(a, wrong);
  QTEV_ResponseMatrix wrong_a("WA", 2, 4, nullptr);
  const auto b_before = elements(b);
  t.entrywise_product(wrong_a, b);
  zor_feedback::test::expect_lines(
      cap, {{"QTEV_ResponseMatrix::entrywise_product", mismatch(2, 3, 2, 3, 3, 2), DF_LOG},
            {"QTEV_ResponseMatrix::entrywise_product", mismatch(2, 3, 2, 4, 2, 3), DF_LOG}});
  EXPECT_EQ(elements(wrong), std::vector<float>(6, 7.0f));
  EXPECT_EQ(elements(b), b_before);
}

TEST(EntrywiseProduct, ResultMayBeAnOperand) {
  QTEV_ResponseMatrix t("T", 2, 2, nullptr), a("A", 2, 2, nullptr);
  fill(t, [](int i, int j) { return static_cast<float>(i + 2 * j + 1); });
  fill(a, [](int i, int j) { return static_cast<float>(3 - i - j); });
  const auto t0 = elements(t), a0 = elements(a);
  std::vector<float> want;
  for (std::size_t k = 0; k < 4; ++k) want.push_back(t0[k] * a0[k]);

  t.entrywise_product(a, t);
  EXPECT_EQ(elements(t), want);
  fill(t, [&](int i, int j) { return t0[static_cast<std::size_t>(2 * i + j)]; });
  t.entrywise_product(a, a);
  EXPECT_EQ(elements(a), want);
  t.entrywise_product(t, t);  // squares
  EXPECT_EQ(at(t, 1, 1), t0[3] * t0[3]);
}

TEST(Multiply, MatchesAnIndependentProduct) {
  // Small integers and quarters: every sum is exact in double and in float.
  QTEV_ResponseMatrix t("T", 2, 3, nullptr), a("A", 3, 4, nullptr), b("B", 2, 4, nullptr);
  fill(t, [](int i, int j) { return static_cast<float>(i - j) + 0.25f; });
  fill(a, [](int i, int j) { return static_cast<float>(2 * i + j) - 3.5f; });
  b.init(kNaN);  // old content has no influence
  ovrix::LogCapture cap;
  t.multiply(a, b);
  EXPECT_EQ(elements(b), narrowed(reference_product(t, a)));
  EXPECT_EQ(at(b, 0, 0), 0.25f * -3.5f + -0.75f * -1.5f + -1.75f * 0.5f);

  // Larger and inexact: within a float rounding of the double product.
  QTEV_ResponseMatrix p("P", 17, 13, nullptr), q("Q", 13, 11, nullptr), r("R", 17, 11, nullptr);
  fill(p, [](int i, int j) { return std::sin(0.7f * static_cast<float>(i) + 1.3f * static_cast<float>(j)); });
  fill(q, [](int i, int j) { return 1.0f / static_cast<float>(1 + i + 2 * j); });
  p.multiply(q, r);
  const auto ref = reference_product(p, q);
  const auto got = elements(r);
  for (std::size_t k = 0; k < ref.size(); ++k)
    EXPECT_NEAR(got[k], ref[k], 2 * FLT_EPSILON * (std::fabs(ref[k]) + 1));
  EXPECT_TRUE(cap.lines().empty());

  QTEV_ResponseMatrix x("X", 1, 1, nullptr), y("Y", 1, 1, nullptr), z("Z", 1, 1, nullptr);
  x.init(-2.5f);
  y.init(4.0f);
  x.multiply(y, z);
  EXPECT_EQ(at(z, 0, 0), -10.0f);
}

// A subclass takes the accessor path (GSL double copies, dgemm), a plain
// matrix the kernel on the float storage; both owe the same numbers.
class ViaAccessors : public QTEV_ResponseMatrix {
 public:
  using QTEV_ResponseMatrix::QTEV_ResponseMatrix;
};

TEST(Multiply, SumsInDoubleAndNarrowsOnceOnEitherPath) {
  // Products of ±(1 + a 2^-12) by 1 + b 2^-12 need 26 bits; their leading
  // ones cancel in pairs, and so do two ±2^26 terms: every sum is exact in
  // double (in any order) and small, so that float products or float sums
  // would change every result. 5 rows (a block of four and one more), 20
  // columns (two blocks of eight and a tail), 3 orbits scaled by powers of two.
  const auto t_el = [](int i, int j) {
    if (j == i) return 67108864.0f;
    if (j == 19 - i) return -67108864.0f;
    return (j % 2 == 0 ? 1.0f : -1.0f) * (1.0f + std::ldexp(static_cast<float>((i + j) % 4), -12));
  };
  const auto x_el = [](int j, int c) {
    return std::ldexp(1.0f + std::ldexp(static_cast<float>((3 * std::min(j, 19 - j)) % 5), -12), c);
  };
  QTEV_ResponseMatrix t("T", 5, 20, nullptr), x("X", 20, 3, nullptr), y("Y", 5, 3, nullptr);
  ViaAccessors t_acc("TA", 5, 20, nullptr);
  QTEV_ResponseMatrix y_acc("YA", 5, 3, nullptr);
  fill(t, t_el);
  fill(t_acc, t_el);
  fill(x, x_el);
  const auto want = narrowed(reference_product(t, x));
  t.multiply(x, y);
  t_acc.multiply(x, y_acc);
  EXPECT_EQ(elements(y), want);
  EXPECT_EQ(elements(y_acc), want);

  // One orbit, and the result written over the orbit itself.
  QTEV_ResponseMatrix orbit("O", 20, 1, nullptr), kicks("K", 5, 1, nullptr);
  fill(orbit, [&](int j, int) { return x_el(j, 0); });
  t.multiply(orbit, kicks);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(at(kicks, i, 0), want[static_cast<std::size_t>(3 * i)]);
  QTEV_ResponseMatrix sq("S", 20, 20, nullptr);
  fill(sq, [&](int i, int j) { return i < 5 ? t_el(i, j) : 0.0f; });
  const auto sq_want = narrowed(reference_product(sq, orbit));
  sq.multiply(orbit, orbit);
  EXPECT_EQ(elements(orbit), sq_want);
  EXPECT_EQ(at(orbit, 0, 0), want[0]);
}

// Every kernel version this machine runs gives the scalar version's bits, on
// sums whose rounding depends on their order: shapes with and without row
// and column tails (rows left over after every width of pass: 23 = 12 + 2 x 4
// + 2 + 1 = 3 x 6 + 4 + 1 = 2 x 8 + 4 + 2 + 1), one orbit and several (in passes over four
// orbits at once and with orbits left over), an orbit too long to be widened
// on the stack; so do the sums left in double.
TEST(Multiply, EveryKernelVersionGivesTheSameBits) {
  namespace zd = zor_feedback::detail;
  int versions = 0;
  for (const zd::KernelIsa isa : zd::kKernelIsas) {
    if (!zd::kernel_isa_supported(isa)) {
      std::printf("kernel %s: not on this CPU, not tested here\n", zd::kernel_isa_name(isa));
      continue;
    }
    ++versions;
    for (const auto& [n, m, k] : {std::array<std::size_t, 3>{1, 1, 1},
                                  {4, 8, 1},
                                  {7, 37, 1},
                                  {13, 64, 3},
                                  {288, 320, 1},
                                  {9, 23, 5},
                                  {23, 45, 1},
                                  {15, 8, 2},
                                  {31, 2053, 1},
                                  {10, 37, 8}}) {
      std::vector<float> M(n * m), X(m * k), want(n * k), got(n * k, kNaN);
      for (std::size_t e = 0; e < M.size(); ++e) M[e] = std::sin(1.7f * static_cast<float>(e)) * 1e3f;
      for (std::size_t e = 0; e < X.size(); ++e) X[e] = std::cos(0.3f * static_cast<float>(e)) / 7.0f;
      zd::fused_product_on(zd::KernelIsa::scalar, M.data(), X.data(), n, m, k, want.data());
      zd::fused_product_on(isa, M.data(), X.data(), n, m, k, got.data());
      EXPECT_EQ(0, std::memcmp(want.data(), got.data(), want.size() * sizeof(float)))
          << zd::kernel_isa_name(isa) << " " << n << " x " << m << " x " << k;
      if (k != 1) continue;
      // The correction step's form: the same sums, kept in double.
      std::vector<double> sums(n, 0.0), scalar_sums(n, 1.0);
      zd::fused_gemv_on(isa, M.data(), X.data(), n, m, sums.data());
      zd::fused_gemv_on(zd::KernelIsa::scalar, M.data(), X.data(), n, m, scalar_sums.data());
      EXPECT_EQ(0, std::memcmp(sums.data(), scalar_sums.data(), n * sizeof(double)))
          << zd::kernel_isa_name(isa) << " " << n << " x " << m;
      for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(static_cast<float>(sums[i]), want[i]) << i;
    }
  }
  EXPECT_GE(versions, 1);
  EXPECT_TRUE(zd::kernel_isa_supported(zd::kernel_choice().isa));
}

TEST(Multiply, RefusesShapesWithTheSixSizes) {
  QTEV_ResponseMatrix t("T", 2, 3, nullptr), a("A", 3, 4, nullptr), b("B", 3, 4, nullptr);
  QTEV_ResponseMatrix a_inner("AI", 4, 4, nullptr), b_ok("BO", 2, 4, nullptr);
  t.init(1.0f);
  a.init(1.0f);
  b.init(5.0f);
  b_ok.init(5.0f);
  ovrix::LogCapture cap;
  t.multiply(a, b);           // B has 3 rows, this 2
  t.multiply(a_inner, b_ok);  // inner dimension 3 against 4
  zor_feedback::test::expect_lines(cap,
                                   {{"QTEV_ResponseMatrix::multiply", mismatch(2, 3, 3, 4, 3, 4), DF_LOG},
                                    {"QTEV_ResponseMatrix::multiply", mismatch(2, 3, 4, 4, 2, 4), DF_LOG}});
  EXPECT_EQ(elements(b), std::vector<float>(12, 5.0f));
  EXPECT_EQ(elements(b_ok), std::vector<float>(8, 5.0f));
}

TEST(Multiply, ResultMayBeAnOperand) {
  QTEV_ResponseMatrix a("A", 3, 3, nullptr), b("B", 3, 3, nullptr);
  const auto fa = [](int i, int j) { return static_cast<float>(i * 3 + j) - 4.0f; };
  const auto fb = [](int i, int j) { return static_cast<float>((i + 2 * j) % 5) * 0.5f; };
  fill(a, fa);
  fill(b, fb);
  const auto ab = narrowed(reference_product(a, b));
  const auto aa = narrowed(reference_product(a, a));

  a.multiply(b, a);  // a = a * b
  EXPECT_EQ(elements(a), ab);
  fill(a, fa);
  a.multiply(b, b);  // b = a * b
  EXPECT_EQ(elements(b), ab);
  a.multiply(a, a);  // a = a * a
  EXPECT_EQ(elements(a), aa);
}

TEST(Transpose, IsExactAndChecksTheShape) {
  QTEV_ResponseMatrix t("T", 2, 3, nullptr), tr("TR", 3, 2, nullptr), same("S", 2, 3, nullptr);
  const std::vector<float> v{
      0.1f, -0.0f, std::numeric_limits<float>::infinity(), std::numeric_limits<float>::denorm_min(),
      kNaN, -3e38f};
  fill(t, [&](int i, int j) { return v[static_cast<std::size_t>(3 * i + j)]; });
  same.init(8.0f);
  ovrix::LogCapture cap;
  t.transpose(tr);
  std::vector<float> want;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 2; ++j) want.push_back(v[static_cast<std::size_t>(3 * j + i)]);
  EXPECT_TRUE(zor_feedback::test::same_bits(elements(tr), want));

  t.transpose(same);
  zor_feedback::test::expect_lines(
      cap, {{"QTEV_ResponseMatrix::transpose", transpose_mismatch(2, 3, 2, 3), DF_LOG}});
  EXPECT_EQ(elements(same), std::vector<float>(6, 8.0f));

  QTEV_ResponseMatrix sq("SQ", 3, 3, nullptr);
  fill(sq, [](int i, int j) { return static_cast<float>(10 * i + j); });
  sq.transpose(sq);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(at(sq, i, j), static_cast<float>(10 * j + i));
}

TEST(MismatchLines, AreCutAt99Characters) {
  // Only the shape test looks at these sizes, so small matrices stand in for
  // huge ones.
  QTEV_ResponseMatrix t("T", 1, 1, nullptr), tr("TR", 1, 1, nullptr);
  ovrix::LogCapture cap;
  t.rows = 12345, t.cols = 23456, tr.rows = 34567, tr.cols = 45678;
  t.transpose(tr);
  t.rows = 123456, t.cols = 234567, tr.rows = 345678, tr.cols = 456789;
  t.transpose(tr);
  t.multiply(tr, tr);
  t.entrywise_product(tr, tr);
  t.rows = t.cols = tr.rows = tr.cols = 1;

  const auto& got = cap.lines();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].text, transpose_mismatch(34567, 45678, 12345, 23456));
  EXPECT_EQ(got[0].text.size(), 99u);
  EXPECT_EQ(got[1].text, transpose_mismatch(345678, 456789, 123456, 234567).substr(0, 99));
  EXPECT_EQ(got[2].text, mismatch(123456, 234567, 345678, 456789, 345678, 456789).substr(0, 99));
  EXPECT_EQ(got[3].text, mismatch(123456, 234567, 345678, 456789, 345678, 456789).substr(0, 99));
  EXPECT_EQ(at(tr, 0, 0), 0.0f);
}

TEST(ZeroSized, GiveTheMathematicalResultWithoutLogging) {
  ovrix::LogCapture cap;
  // Inner dimension 0: the product is all zeros.
  QTEV_ResponseMatrix t("T", 2, 0, nullptr), a("A", 0, 3, nullptr), b("B", 2, 3, nullptr);
  b.init(kNaN);
  t.multiply(a, b);
  EXPECT_EQ(elements(b), std::vector<float>(6, 0.0f));

  // Nothing to write.
  QTEV_ResponseMatrix t0("T0", 0, 3, nullptr), a0("A0", 3, 2, nullptr), b0("B0", 0, 2, nullptr);
  a0.init(1.0f);
  t0.multiply(a0, b0);
  QTEV_ResponseMatrix t1("T1", 2, 3, nullptr), a1("A1", 3, 0, nullptr), b1("B1", 2, 0, nullptr);
  t1.multiply(a1, b1);
  QTEV_ResponseMatrix e("E", 0, 0, nullptr);
  e.multiply(e, e);
  e.transpose(e);
  e.entrywise_product(e, e);
  QTEV_ResponseMatrix tr0("TR0", 3, 0, nullptr);
  t0.transpose(tr0);
  t0.entrywise_product(t0, t0);
  EXPECT_TRUE(cap.lines().empty());

  // Zero sizes are still checked.
  t0.transpose(t0);
  zor_feedback::test::expect_lines(
      cap, {{"QTEV_ResponseMatrix::transpose", transpose_mismatch(0, 3, 0, 3), DF_LOG}});
}

// A matrix whose base array claims three dimensions.
class ThreeDimensional : public QTEV_ResponseMatrix {
 public:
  ThreeDimensional(const char* pn, int d1, int d0) : QTEV_ResponseMatrix(pn, d1, d0, nullptr) {
    num_dims_ = 3;
  }
};

TEST(NotTwoDimensional, StopsWithoutWriting) {
  const Line no_gsl{"QTEV_ResponseMatrix::create_gsl_matrix", "ERROR: allocating GSL matrix num(dim)=3 !\n",
                    DF_LOG};
  QTEV_ResponseMatrix t("T", 2, 2, nullptr), b("B", 2, 2, nullptr);
  ThreeDimensional flat("F", 2, 2), flat_inner("FI", 2, 0);
  QTEV_ResponseMatrix a_inner("AI", 0, 2, nullptr);
  t.init(1.0f);
  b.init(6.0f);
  {
    ovrix::LogCapture cap;
    flat.multiply(t, b);
    zor_feedback::test::expect_lines(cap, {no_gsl});
  }
  {
    ovrix::LogCapture cap;
    t.multiply(flat, b);
    zor_feedback::test::expect_lines(cap, {no_gsl});
  }
  {
    ovrix::LogCapture cap;
    flat_inner.multiply(a_inner, b);  // would otherwise clear b
    zor_feedback::test::expect_lines(cap, {no_gsl});
  }
  {
    ovrix::LogCapture cap;
    flat.transpose(b);
    zor_feedback::test::expect_lines(cap, {no_gsl});
  }
  EXPECT_EQ(elements(b), std::vector<float>(4, 6.0f));
}

// The temporaries of a call are released when a set_value override throws
// (the sanitizer build reports a leak otherwise).
class ThrowsOnWrite : public QTEV_ResponseMatrix {
 public:
  using QTEV_ResponseMatrix::QTEV_ResponseMatrix;
  void set_value(float, int, int, int, int, int, int) override { throw std::runtime_error("write refused"); }
};

TEST(Exceptions, PassThroughAndReleaseTemporaries) {
  QTEV_ResponseMatrix t("T", 2, 2, nullptr);
  ThrowsOnWrite b("B", 2, 2, nullptr);
  EXPECT_THROW(t.multiply(t, b), std::runtime_error);
  EXPECT_THROW(t.transpose(b), std::runtime_error);
  EXPECT_THROW(t.entrywise_product(t, b), std::runtime_error);
}

}  // namespace
