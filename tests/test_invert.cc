// The SVD inversion: numerical truth over a catalogue of hard matrices (the
// Moore-Penrose conditions and an independent SVD), the internal tolerance,
// the boundaries of the cut-off, the count and the clipping, the exact log
// lines and debug tables, and the refusal of bad operands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "numerics.h"
#include "zor_feedback/arma.h"

namespace {

using namespace zor_feedback::test;  // the helpers of testing.h and numerics.h

constexpr const char* kOrigin = "QTEV_ResponseMatrix::invert";

void expect_lines_then_timing(const ovrix::LogCapture& cap, const std::vector<Line>& want) {
  zor_feedback::test::expect_lines_then_timing(cap, want, kOrigin);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Sets OVRIX_debug for one test.
class DebugMask {
 public:
  explicit DebugMask(int mask) : saved_(OVRIX_debug) { OVRIX_debug = mask; }
  ~DebugMask() { OVRIX_debug = saved_; }
  DebugMask(const DebugMask&) = delete;
  DebugMask& operator=(const DebugMask&) = delete;

 private:
  int saved_;
};

// The pseudo-inverse by LAPACK's standard SVD, with invert's rules: s is used
// when s > rel_tol * max(s), elements with |v| <= clip become 0.
struct Reference {
  arma::mat X;
  arma::vec s;
  double kappa;  // max(s) / smallest used s
};

Reference svd_reference(const arma::mat& A, double rel_tol, double clip) {
  arma::mat U, V;
  arma::vec s;
  if (!arma::svd(U, s, V, A, "std")) throw std::runtime_error("reference SVD failed");
  Reference r{arma::mat(A.n_cols, A.n_rows, arma::fill::zeros), s, 1.0};
  const double smax = s.max();
  for (arma::uword k = 0; k < s.n_elem; ++k)
    if (s(k) > rel_tol * smax) {
      r.X += V.col(k) * U.col(k).t() / s(k);
      r.kappa = smax / s(k);
    }
  r.X.transform([clip](double v) { return std::fabs(v) > clip ? v : 0.0; });
  return r;
}

// max(m, n) * eps * smax rounded to two significant digits, by way of printf.
float two_digit_tolerance(int m, int n, double smax) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1e", std::max(m, n) * kEpsD * smax);
  return std::strtof(text, nullptr);
}

// ---------------------------------------------------------------------------
// Catalogue of hard matrices.

double smooth_t(int i, int j, int m, int n) { return smooth(j, i, n, m) + 0.5 * std::cos(0.3 * i * j); }
double rank2(int i, int j, int, int) {
  double v = 0;
  for (int k = 0; k < 2; ++k) v += ((i * 2 + k * 3 + 1) % 5 - 2) * ((k * 4 + j * 3) % 7 - 3);
  return v;
}

// A = H1 diag(s) H2 with Householder reflections H1, H2: singular values
// graded from 1 to 2e-3, and one of 1e-11 that the float input turns into
// rounding noise of about 1e-8.
double graded(int i, int j, int m, int n) {
  const double s[] = {1.0, 0.3, 0.05, 1e-2, 2e-3, 1e-11};
  const auto v1 = [](int k) { return 1.0 + k + 0.5 * std::sin(k); };
  const auto v2 = [](int k) { return 2.0 + std::cos(0.7 * k); };
  double n1 = 0, n2 = 0;
  for (int k = 0; k < m; ++k) n1 += v1(k) * v1(k);
  for (int k = 0; k < n; ++k) n2 += v2(k) * v2(k);
  double v = 0;
  for (int k = 0; k < std::min(m, n) && k < 6; ++k)
    v += ((i == k ? 1.0 : 0.0) - 2 * v1(i) * v1(k) / n1) * s[k] *
         ((k == j ? 1.0 : 0.0) - 2 * v2(k) * v2(j) / n2);
  return v;
}

struct CatalogueCase {
  const char* family;
  const char* name;
  int m, n;
  double (*gen)(int, int, int, int);
  int rank_internal;  // singular values used with the internal tolerance
  float user_tol;     // a user tolerance, and the singular values used with it
  int rank_user;
};

// One case per line.
// clang-format off
const CatalogueCase kCatalogue[] = {
    {"square", "square_8", 8, 8, smooth, 8, 1e-9f, 8},
    {"square", "ring_60x60", 60, 60, ring_orbit, 60, 1e-9f, 60},
    {"tall", "tall_12x5", 12, 5, smooth, 5, 1e-6f, 5},
    {"tall", "ring_40x30", 40, 30, ring_orbit, 30, 1e-9f, 30},
    {"tall", "ring_144x128", 144, 128, ring_orbit, 128, 1e-9f, 128},
    {"tall", "ring_96x48", 96, 48, ring_orbit, 48, 1e-9f, 48},  // LAPACK: QR first
    {"wide", "wide_5x12", 5, 12, smooth_t, 5, 1e-9f, 5},
    {"wide", "ring_30x40", 30, 40, ring_orbit, 30, 1e-9f, 30},
    {"rank_deficient", "rank3_9x6", 9, 6, rank3, 3, 1e-9f, 3},
    {"rank_deficient", "rank3_6x9", 6, 9, rank3, 3, 1e-9f, 3},
    {"rank_deficient", "rank2_7x7", 7, 7, rank2, 2, 1e-9f, 2},
    {"ill_conditioned", "hilbert_5", 5, 5, hilbert, 5, 1e-5f, 4},
    {"ill_conditioned", "hilbert_8x5", 8, 5, hilbert, 5, 1e-9f, 5},
    {"ill_conditioned", "hilbert_4x7", 4, 7, hilbert, 4, 1e-9f, 4},
    {"ill_conditioned", "graded_8x6", 8, 6, graded, 6, 1e-5f, 5},
    {"ill_conditioned", "graded_6x8", 6, 8, graded, 6, 1e-5f, 5},
};
// clang-format on

// Each case with the internal tolerance (true) and with its user tolerance.
class InvertCatalogue : public ::testing::TestWithParam<std::tuple<CatalogueCase, bool>> {};

TEST_P(InvertCatalogue, IsThePseudoInverseOfAnIndependentSvd) {
  const CatalogueCase c = std::get<0>(GetParam());
  const bool internal = std::get<1>(GetParam());
  QTEV_ResponseMatrix A("A", c.m, c.n, nullptr);
  QTEV_ResponseMatrix X("X", c.n, c.m, nullptr);
  D_spectrum S("S", 0, nullptr);
  fill(A, [&](int i, int j) { return static_cast<float>(c.gen(i, j, c.m, c.n)); });
  const arma::mat a = to_arma(A);

  float tol = internal ? -1.0f : c.user_tol;
  int nosv = -7;
  ovrix::LogCapture cap;
  testing::internal::CaptureStdout();
  A.invert(X, S, &tol, &nosv);
  const std::string out = testing::internal::GetCapturedStdout();

  const arma::vec s0 = arma::svd(a);
  const int k = std::min(c.m, c.n);
  if (internal) {
    EXPECT_NEAR(tol, two_digit_tolerance(c.m, c.n, s0.max()), 1e-6 * tol);
  } else {
    EXPECT_EQ(tol, c.user_tol);
  }
  const Reference ref = svd_reference(a, tol, tol);
  EXPECT_EQ(nosv, internal ? c.rank_internal : c.rank_user);

  // The spectrum: every singular value, in non-increasing order.
  ASSERT_EQ(S.length(), k);
  for (int i = 0; i < k; ++i) {
    const double s = ref.s(static_cast<arma::uword>(i));
    EXPECT_NEAR(S.point(i), s, kEpsF * s + 16 * k * kEpsD * ref.s(0)) << "s" << i;
  }

  // The result against the reference: float rounding plus the two SVDs'
  // difference, which grows with the size and the conditioning.
  const arma::mat x = to_arma(X);
  const double diff = arma::norm(x - ref.X, "fro") / arma::norm(ref.X, "fro");
  EXPECT_LE(diff, 2 * kEpsF + 16 * std::max(c.m, c.n) * ref.kappa * kEpsD) << "kappa " << ref.kappa;

  // Rounding the result to float gives residuals up to about 1.5 float
  // epsilon; the double arithmetic adds little.
  const MoorePenrose mp = moore_penrose(a, x);
  const double bound = 2 * kEpsF + 64 * std::max(c.m, c.n) * kEpsD;
  EXPECT_LE(mp.axa, bound);
  EXPECT_LE(mp.xax, bound);
  EXPECT_LE(mp.ax_sym, bound);
  EXPECT_LE(mp.xa_sym, bound);
  RecordProperty("family", c.family);
  RecordProperty("mp_residual_over_eps_f", scientific(mp.worst() / kEpsF));
  RecordProperty("diff_to_reference", scientific(diff));
  RecordProperty("kappa", scientific(ref.kappa));

  // Orientation shows in the log and in the one line on standard output.
  const bool tall = c.m > c.n;
  ASSERT_GE(cap.lines().size(), 4u);
  EXPECT_EQ(cap.lines()[0].text,
            "INFO: SVD on " + std::to_string(c.m) + " x " + std::to_string(c.n) + " matrix ...");
  EXPECT_EQ(cap.lines()[1].text == "INFO: M < N transposing matrix ...", tall);
  EXPECT_EQ(out, tall ? "INFO: Matrix dim change back to: " + std::to_string(c.n) + " x " +
                            std::to_string(c.m) + "\n"
                      : "");
}

INSTANTIATE_TEST_SUITE_P(Hard, InvertCatalogue,
                         ::testing::Combine(::testing::ValuesIn(kCatalogue), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<InvertCatalogue::ParamType>& p) {
                           return std::string(std::get<0>(p.param).name) +
                                  (std::get<1>(p.param) ? "_internal" : "_user");
                         });

// The two engines differ in the decomposition only: the same counts and
// tolerance, singular values to 1e-12 of the largest, inverses to a few float
// ulp of their largest element.
TEST_P(InvertCatalogue, LapackAgreesWithGsl) {
  const CatalogueCase c = std::get<0>(GetParam());
  const float tol = std::get<1>(GetParam()) ? -1.0f : c.user_tol;
  QTEV_ResponseMatrix A("A", c.m, c.n, nullptr), Xg("XG", c.n, c.m, nullptr), Xl("XL", c.n, c.m, nullptr);
  D_spectrum Sg("SG", 0, nullptr), Sl("SL", 0, nullptr);
  fill(A, [&](int i, int j) { return static_cast<float>(c.gen(i, j, c.m, c.n)); });
  ovrix::LogCapture quiet;
  testing::internal::CaptureStdout();
  const zor_feedback::SvdReport g = A.invert_report(Xg, Sg, tol);
  A.set_svd_method(zor_feedback::SvdMethod::lapack);
  const zor_feedback::SvdReport l = A.invert_report(Xl, Sl, tol);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(g.ok && l.ok) << g.error << l.error;
  EXPECT_EQ(l.method, zor_feedback::SvdMethod::lapack);
  EXPECT_TRUE(same_bits({g.tol}, {l.tol}));
  EXPECT_EQ(g.nosv, l.nosv);
  EXPECT_EQ(g.used, l.used);
  for (std::size_t i = 0; i < g.singular_values.size(); ++i)
    EXPECT_NEAR(g.singular_values[i], l.singular_values[i], 1e-12 * g.singular_values[0]) << i;
  const std::vector<float> xg = elements(Xg), xl = elements(Xl);
  const float largest = std::fabs(
      *std::max_element(xg.begin(), xg.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); }));
  for (std::size_t k = 0; k < xg.size(); ++k) EXPECT_NEAR(xg[k], xl[k], 4 * kEpsF * largest) << k;
}

// ---------------------------------------------------------------------------
// The report of an inversion, and the tolerance that keeps N values, on
// matrices with exact singular values: H diag(s) H^T with H the 4 x 4
// Hadamard matrix over 2, whose elements +-s/4 sums are exact in float.

void set_hadamard(QTEV_ResponseMatrix& m, const std::vector<double>& s) {
  const auto h = [](int i, int j) {
    return __builtin_popcount(static_cast<unsigned>(i & j)) % 2 ? -0.5 : 0.5;
  };
  fill(m, [&](int i, int j) {
    double v = 0;
    for (int k = 0; k < 4; ++k) v += h(i, k) * s[static_cast<std::size_t>(k)] * h(j, k);
    return static_cast<float>(v);
  });
}

TEST(InvertReport, TellsWhatTheFacadeDid) {
  QTEV_ResponseMatrix A("A", 4, 4, nullptr), X("X", 4, 4, nullptr), Y("Y", 4, 4, nullptr);
  D_spectrum S("S", 0, nullptr), T("T", 0, nullptr);
  set_hadamard(A, {8, 4, 2, 0.5});
  ovrix::LogCapture cap;
  // Cut-off 0.1 * 8 drops 0.5; the inverse's elements are (+-1/8 +-1/4 +-1/2) / 4,
  // of which those with |v| <= 0.1 are cleared.
  const zor_feedback::SvdReport r = A.invert_report(X, S, 0.1f);
  float tol = 0.1f;
  int nosv = 0;
  A.invert(Y, T, &tol, &nosv);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(same_bits(elements(X), elements(Y)));
  EXPECT_EQ(r.tol, tol);
  EXPECT_EQ(r.nosv, nosv);
  EXPECT_FALSE(r.internal_tolerance);
  EXPECT_DOUBLE_EQ(r.cutoff, static_cast<double>(0.1f) * 8);
  ASSERT_EQ(r.singular_values.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_NEAR(r.singular_values[i], (std::vector<double>{8, 4, 2, 0.5})[i], 1e-14);
  EXPECT_EQ(r.used, 3);
  EXPECT_EQ(r.nosv, 4);  // 0.5 is not below the absolute 0.1
  EXPECT_NEAR(r.condition_number, 16.0, 1e-12);
  EXPECT_NEAR(r.condition_number_used, 4.0, 1e-12);
  // Row 0 of H diag(1/8, 1/4, 1/2, 0) H^T: (7, -1, -3, -3) / 32 and the like.
  long long cleared = 0;
  double largest = 0;
  const arma::mat x =
      arma::mat{
          {0.5, 0.5, 0.5, 0.5}, {0.5, -0.5, 0.5, -0.5}, {0.5, 0.5, -0.5, -0.5}, {0.5, -0.5, -0.5, 0.5}} *
      arma::diagmat(arma::vec{0.125, 0.25, 0.5, 0}) *
      arma::mat{{0.5, 0.5, 0.5, 0.5}, {0.5, -0.5, 0.5, -0.5}, {0.5, 0.5, -0.5, -0.5}, {0.5, -0.5, -0.5, 0.5}};
  for (const double v : x)
    if (v != 0 && std::fabs(v) <= static_cast<double>(0.1f)) {
      ++cleared;
      largest = std::max(largest, std::fabs(v));
    }
  EXPECT_EQ(r.elements_cleared, cleared);
  EXPECT_NEAR(r.largest_cleared, largest, 1e-14);
  EXPECT_NEAR(r.largest_element, arma::abs(x).max(), 1e-14);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].rfind("WARNING: tol 1.000e-01 cleared ", 0), 0u) << r.warnings[0];
  EXPECT_FALSE(r.zero_inverse);
}

// The floor's figures are those of the inverse itself, and its advice holds:
// the matrix divided by the factor it names loses at most 0.1 % to the floor.
TEST(InvertReport, TheFloorsChangeAndItsRemedyAreMeasured) {
  const int m = 40, n = 12;
  QTEV_ResponseMatrix A("A", m, n, nullptr), B("B", m, n, nullptr), X("X", n, m, nullptr);
  D_spectrum S("S", 0, nullptr);
  fill(A, [&](int i, int j) { return static_cast<float>(ring_orbit(i, j, m, n) * 20.0); });
  ovrix::LogCapture quiet;
  const zor_feedback::SvdReport r = A.invert_report(X, S, 1e-3f);
  ASSERT_TRUE(r.ok);
  const arma::mat full = arma::pinv(to_arma(A));
  const arma::mat stored = to_arma(X);
  EXPECT_NEAR(r.floor_change, arma::norm(full - stored, "fro") / arma::norm(full, "fro"), 1e-5);
  EXPECT_DOUBLE_EQ(r.cleared_share, static_cast<double>(r.elements_cleared) / (m * n));
  ASSERT_GT(r.floor_change, zor_feedback::kHarmlessFloorChange);
  ASSERT_GT(r.harmless_factor, 1.0);
  fill(B, [&](int i, int j) { return static_cast<float>(at(A, i, j) / r.harmless_factor); });
  EXPECT_LE(B.invert_report(X, S, 1e-3f).floor_change, zor_feedback::kHarmlessFloorChange);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].find("; divide the matrix by "), std::string::npos) << r.warnings[0];
}

TEST(InvertReport, KeepChoosesTheToleranceOfNValues) {
  QTEV_ResponseMatrix A("A", 4, 4, nullptr), X("X", 4, 4, nullptr), Y("Y", 4, 4, nullptr);
  D_spectrum S("S", 0, nullptr), T("T", 0, nullptr);
  set_hadamard(A, {8, 4, 4, 0.5});
  ovrix::LogCapture quiet;
  struct Want {
    int modes;
    float tol;
  };
  for (const Want w : {Want{1, 0.7f}, Want{3, 0.2f}, Want{4, 0.0f}}) {
    SCOPED_TRACE(w.modes);
    const zor_feedback::SvdReport r = A.invert_keep(X, S, w.modes);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.used, w.modes);
    EXPECT_EQ(r.tol, w.tol) << "sqrt(s[modes-1] * s[modes]) / max(S), fewest digits";
    // The server, given that tolerance, inverts the same.
    const zor_feedback::SvdReport again = A.invert_report(Y, T, r.tol);
    EXPECT_EQ(again.used, w.modes);
    EXPECT_TRUE(same_bits(elements(X), elements(Y)));
  }
  // 4 and 4 cannot be told apart by any cut-off: refused, nothing written.
  X.init(9.0f);
  const zor_feedback::SvdReport r = A.invert_keep(X, S, 2);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error,
            "ERROR: no tolerance keeps exactly 2 values: s[1] = 4.000000000e+00, s[2] = 4.000000000e+00");
  EXPECT_EQ(r.singular_values.size(), 4u) << "the refusal still tells the values";
  EXPECT_EQ(elements(X), std::vector<float>(16, 9.0f));
  EXPECT_EQ(A.invert_keep(X, S, 5).error, "ERROR: cannot keep 5 of 4 singular values; not inverted");
}

// Where a singular value lies exactly on the cut-off, each engine's rounding
// of it decides: s = 0.25 against tol * max(S) = 0.25 * 1 is dropped when the
// decomposition delivers 0.25 or less, kept when it delivers a hair more. The
// two engines may then keep different counts; each inverse is the
// pseudo-inverse of its own count, and its report says which. (On this
// machine GSL delivers a hair above 0.25 and keeps 3 values, LAPACK 2.)
TEST(InvertReport, EnginesAtTheCutOffAreEachConsistent) {
  QTEV_ResponseMatrix A("A", 4, 4, nullptr), X("X", 4, 4, nullptr);
  D_spectrum S("S", 0, nullptr);
  set_hadamard(A, {1, 0.5, 0.25, 0.125});
  ovrix::LogCapture quiet;
  for (const auto method : {zor_feedback::SvdMethod::gsl, zor_feedback::SvdMethod::lapack}) {
    SCOPED_TRACE(zor_feedback::svd_method_name(method));
    A.set_svd_method(method);
    const zor_feedback::SvdReport r = A.invert_report(X, S, 0.25f);
    ASSERT_TRUE(r.ok);
    EXPECT_NEAR(r.singular_values[2], 0.25, 8 * kEpsD);
    EXPECT_EQ(r.used, r.singular_values[2] > r.cutoff ? 3 : 2);
    // The part kept, inverted: 1 and 2 always, 4 only when 0.25 was kept.
    EXPECT_NEAR(at(X, 0, 0), 0.25 * (1 + 2 + (r.used == 3 ? 4 : 0)), 4 * kEpsF);
    RecordProperty(zor_feedback::svd_method_name(method), r.used);
  }
}

// ---------------------------------------------------------------------------
// Tolerance, cut-off, count and clipping on diagonal matrices, whose SVD is
// exact.

void set_diagonal(QTEV_ResponseMatrix& m, const std::vector<float>& d) {
  m.init(0.0f);
  for (std::size_t i = 0; i < d.size(); ++i)
    m.set_value(d[i], static_cast<int>(i), static_cast<int>(i), -1, -1, -1, -1);
}

TEST(InvertTolerance, InternalToleranceIsRoundedToTwoDigitsAndWrittenBack) {
  struct Case {
    int m, n;
    float smax;  // max(m, n) * 2^-52 * smax is the unrounded tolerance
    float want;
    const char* text;
  };
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {1, 1, 1229.48f, 2.7e-13f, "2.700000e-13"},  // 2.73e-13
      {1, 1, 44.856f, 1e-14f, "1.000000e-14"},     // 9.96e-15: rounds up into the next decade
      {3, 4, 3537.1f, 3.1e-12f, "3.100000e-12"},   // 3.1416e-12, max(m, n) = 4
      {5, 2, 6.0f, 6.7e-15f, "6.700000e-15"},      // 6.66e-15, tall: max(m, n) = 5
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    QTEV_ResponseMatrix A("A", c.m, c.n, nullptr);
    QTEV_ResponseMatrix X("X", c.n, c.m, nullptr);
    D_spectrum S("S", 0, nullptr);
    set_diagonal(A, {c.smax});
    float tol = -1.0f;
    int nosv = 0;
    ovrix::LogCapture cap;
    testing::internal::CaptureStdout();
    A.invert(X, S, &tol, &nosv);
    testing::internal::GetCapturedStdout();
    EXPECT_FLOAT_EQ(tol, c.want);
    const std::size_t tol_line = c.m > c.n ? 3 : 1;
    ASSERT_GT(cap.lines().size(), tol_line);
    EXPECT_EQ(cap.lines()[tol_line].text,
              std::string("INFO: Using internal tolerance for SVD cut off: ") + c.text);
    EXPECT_EQ(nosv, 1);
  }
}

// The internal tolerance holds max(S) and the cut-off multiplies by it again;
// the count compares with the tolerance itself. With max(S) > 1 a value can be
// dropped from the inverse yet counted as used, with max(S) < 1 the reverse.
TEST(InvertTolerance, InternalToleranceUsesMaxSTwice) {
  struct Case {
    float s0, s1;
    float want_tol;
    float inverse1;  // element (1, 1) of the result
    int nosv;
  };
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {1000.0f, 1e-10f, 4.4e-13f, 0.0f, 2},  // cut-off 4.4e-10 > 1e-10 > 4.4e-13
      {1e-3f, 1e-19f, 4.4e-19f, 1e19f, 1},   // cut-off 4.4e-22 < 1e-19 < 4.4e-19
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.s0);
    QTEV_ResponseMatrix A("A", 2, 2, nullptr);
    QTEV_ResponseMatrix X("X", 2, 2, nullptr);
    D_spectrum S("S", 0, nullptr);
    set_diagonal(A, {c.s0, c.s1});
    float tol = -1.0f;
    int nosv = 0;
    A.invert(X, S, &tol, &nosv);
    EXPECT_FLOAT_EQ(tol, c.want_tol);
    EXPECT_EQ(nosv, c.nosv);
    EXPECT_FLOAT_EQ(at(X, 0, 0), 1.0f / c.s0);
    EXPECT_FLOAT_EQ(at(X, 1, 1), c.inverse1);
    EXPECT_EQ(at(X, 0, 1), 0.0f);
  }
}

TEST(InvertTolerance, BoundariesOfCutOffCountAndClipping) {
  struct Case {
    const char* what;
    std::vector<float> diag;
    float tol;
    std::vector<float> inverse;  // diagonal of the result
    int nosv;
    std::vector<std::string> extra;  // log lines between the tolerance and the count
    std::vector<Line> after;         // log lines after the count
  };
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {"s equal to the cut-off is dropped", {4.0f, 0.5f, 0.25f}, 0.0625f, {0.25f, 2.0f, 0.0f}, 3, {}, {}},
      {"element equal to tol is cleared",
       {2.0f, 1.5f},
       0.5f,
       {0.0f, 1.0f / 1.5f},
       2,
       {},
       {{kOrigin, "INFO: Cleared 1 elements |v| <= tol from the inverse, largest 5.000000e-01", 128},
        {kOrigin, "WARNING: tol 5.000e-01 cleared 25.0% of the inverse, changed it 60%; divide the matrix by 1e+01",
         DF_LOG}}},
      {"s equal to tol is counted", {0.5f, 0.25f}, 0.25f, {2.0f, 4.0f}, 2, {}, {}},
      {"s below tol is not counted but inverted", {0.5f, 0.2f}, 0.25f, {2.0f, 1.0f / 0.2f}, 1, {}, {}},
      {"zero tol drops a zero s as infinite",
       {2.0f, 0.0f},
       0.0f,
       {0.5f, 0.0f},
       1,
       {"INFO: Removed 1 infinite values from S"},
       {}},
      {"negative tol inverts every s", {2.0f, 1.0f}, -0.5f, {0.5f, 1.0f}, 2, {}, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int n = static_cast<int>(c.diag.size());
    QTEV_ResponseMatrix A("A", n, n, nullptr);
    QTEV_ResponseMatrix X("X", n, n, nullptr);
    D_spectrum S("S", 0, nullptr);
    set_diagonal(A, c.diag);
    X.init(9.0f);
    float tol = c.tol;
    int nosv = -1;
    ovrix::LogCapture cap;
    A.invert(X, S, &tol, &nosv);
    EXPECT_TRUE(zor_feedback::test::same_bits({tol}, {c.tol})) << "a user tolerance is not written";
    EXPECT_EQ(nosv, c.nosv);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        EXPECT_EQ(at(X, i, j), i == j ? c.inverse[static_cast<std::size_t>(i)] : 0.0f) << i << "," << j;
    // The spectrum keeps every value, also those cut off.
    std::vector<float> sorted = c.diag;
    std::sort(sorted.rbegin(), sorted.rend());
    EXPECT_EQ(S.points(), sorted);

    char tol_text[80];
    std::snprintf(tol_text, sizeof tol_text, "INFO: Using user provided SVD cut off tolerance: %e",
                  static_cast<double>(c.tol));
    std::vector<Line> want = {
        {kOrigin, "INFO: SVD on " + std::to_string(n) + " x " + std::to_string(n) + " matrix ...", 128},
        {kOrigin, tol_text, 128}};
    for (const auto& e : c.extra) want.push_back({kOrigin, e, 128});
    want.push_back(
        {kOrigin, "INFO: Using " + std::to_string(c.nosv) + " from " + std::to_string(n) + " singular values",
         128});
    want.insert(want.end(), c.after.begin(), c.after.end());
    expect_lines_then_timing(cap, want);
  }
}

// A zero singular value under a negative cut-off enters the inverse: infinite
// elements are stored as such, NaN elements fail the clipping and become 0.
TEST(InvertTolerance, NegativeToleranceOnSingularMatrixStoresNoNaN) {
  QTEV_ResponseMatrix A("A", 2, 2, nullptr);
  QTEV_ResponseMatrix X("X", 2, 2, nullptr);
  D_spectrum S("S", 0, nullptr);
  set_diagonal(A, {1.0f, 0.0f});
  float tol = -0.5f;
  int nosv = 0;
  A.invert(X, S, &tol, &nosv);
  EXPECT_EQ(nosv, 1);
  for (float v : zor_feedback::test::elements(X)) EXPECT_FALSE(std::isnan(v));
  EXPECT_TRUE(std::isinf(at(X, 1, 1)));
}

TEST(InvertTolerance, AllZeroMatrixGivesZeroInverseAndNaNTolerance) {
  QTEV_ResponseMatrix A("A", 3, 4, nullptr);
  QTEV_ResponseMatrix X("X", 4, 3, nullptr);
  D_spectrum S("S", 0, nullptr);
  A.init(0.0f);
  X.init(9.0f);
  float tol = -1.0f;
  int nosv = -1;
  ovrix::LogCapture cap;
  A.invert(X, S, &tol, &nosv);
  EXPECT_TRUE(std::isnan(tol));
  EXPECT_EQ(nosv, 0);
  for (float v : zor_feedback::test::elements(X)) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(S.points(), std::vector<float>(3, 0.0f));
  ASSERT_EQ(cap.lines().size(), 5u);
  EXPECT_EQ(cap.lines()[1].text.rfind("INFO: Using internal tolerance for SVD cut off: ", 0), 0u);
  EXPECT_NE(cap.lines()[1].text.find("nan"), std::string::npos);
  EXPECT_EQ(cap.lines()[2].text, "INFO: Removed 3 infinite values from S");
  EXPECT_EQ(cap.lines()[3].text, "INFO: Using 0 from 3 singular values");
}

// A square matrix may be inverted into itself.
TEST(InvertTolerance, InPlaceInversionOfASquareMatrix) {
  QTEV_ResponseMatrix A("A", 2, 2, nullptr);
  D_spectrum S("S", 0, nullptr);
  fill(A, [](int i, int j) { return i == j ? 2.0f : 1.0f; });  // inverse [[2, -1], [-1, 2]] / 3
  float tol = 1e-6f;
  int nosv = 0;
  A.invert(A, S, &tol, &nosv);
  EXPECT_NEAR(at(A, 0, 0), 2.0f / 3, 1e-6);
  EXPECT_NEAR(at(A, 0, 1), -1.0f / 3, 1e-6);
  EXPECT_NEAR(at(A, 1, 1), 2.0f / 3, 1e-6);
}

// ---------------------------------------------------------------------------
// Exact log lines and tables. The matrices have simple closed-form inverses:
// [[2, 1], [1, 1]]^-1 = [[1, -1], [-1, 2]] with s = (3 +- sqrt 5) / 2, and
// [[1, 0], [0, 1], [1, 1]]^+ = [[2, -1, 1], [-1, 2, 1]] / 3 with s = sqrt 3, 1.

struct SequenceCase {
  const char* what;
  int m, n;
  std::vector<float> values;  // row-major
  std::vector<std::string> lines;
  std::string tables;  // standard output with bit 128 of OVRIX_debug
  std::string plain;   // standard output without it
};

const std::string kRule = "----------------------------------------";

// One case per line.
// clang-format off
const SequenceCase kSequences[] = {
    {"square",
     2,
     2,
     {2, 1, 1, 1},
     {"INFO: SVD on 2 x 2 matrix ...", "INFO: Using internal tolerance for SVD cut off: 1.200000e-15",
      "INFO: Using 2 from 2 singular values"},
     "S\n" + kRule + "\n2.618034  0.381966  \n1/s\n" + kRule + "\n0.381966  2.618034  \n\npinv(A)\n" + kRule +
         "\n1.0000\t-1.0000\t\n-1.0000\t2.0000\t\n",
     ""},
    {"tall",
     3,
     2,
     {1, 0, 0, 1, 1, 1},
     {"INFO: SVD on 3 x 2 matrix ...", "INFO: M < N transposing matrix ...",
      "INFO: matrix dim changed to: 2 x 3", "INFO: Using internal tolerance for SVD cut off: 1.200000e-15",
      "INFO: Using 2 from 2 singular values"},
     "S\n" + kRule + "\n1.732051  1.000000  \n1/s\n" + kRule +
         "\n0.577350  1.000000  \nINFO: Matrix dim change back to: 2 x 3\n\npinv(A)\n" + kRule +
         "\n0.6667\t-0.3333\t0.3333\t\n-0.3333\t0.6667\t0.3333\t\n",
     "INFO: Matrix dim change back to: 2 x 3\n"},
    {"wide",
     2,
     3,
     {1, 0, 1, 0, 1, 1},
     {"INFO: SVD on 2 x 3 matrix ...", "INFO: Using internal tolerance for SVD cut off: 1.200000e-15",
      "INFO: Using 2 from 2 singular values"},
     "S\n" + kRule + "\n1.732051  1.000000  \n1/s\n" + kRule + "\n0.577350  1.000000  \n\npinv(A)\n" + kRule +
         "\n0.6667\t-0.3333\t\n-0.3333\t0.6667\t\n0.3333\t0.3333\t\n",
     ""},
};
// clang-format on

TEST(InvertOutput, ExactLogLinesAndTables) {
  for (const SequenceCase& c : kSequences) {
    for (const bool tables : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (tables ? " with tables" : ""));
      DebugMask mask(tables ? 128 | 8 : 0);
      QTEV_ResponseMatrix A("A", c.m, c.n, nullptr);
      QTEV_ResponseMatrix X("X", c.n, c.m, nullptr);
      D_spectrum S("S", 0, nullptr);
      fill(A, [&](int i, int j) { return c.values[static_cast<std::size_t>(i * c.n + j)]; });
      float tol = -1.0f;
      int nosv = 0;
      ovrix::LogCapture cap;
      testing::internal::CaptureStdout();
      A.invert(X, S, &tol, &nosv);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), tables ? c.tables : c.plain);
      std::vector<Line> want;
      for (const auto& l : c.lines) want.push_back({kOrigin, l, 128});
      expect_lines_then_timing(cap, want);
      EXPECT_FLOAT_EQ(tol, 1.2e-15f);
      EXPECT_EQ(nosv, 2);
    }
  }
}

// ---------------------------------------------------------------------------
// Refused operands: one error line, every output as it was.

class OddMatrix : public QTEV_ResponseMatrix {
 public:
  using QTEV_ResponseMatrix::QTEV_ResponseMatrix;
  void set_num_dims(int d) { num_dims_ = d; }
};

TEST(InvertRefusal, BadOperandsChangeNothing) {
  struct Case {
    const char* what;
    int m, n, pm, pn;  // shapes of the matrix and of pinvR
    int dims;          // dimensions of the matrix's base array
    bool null_tol, null_nosv;
    std::vector<std::pair<int, int>> non_finite;  // NaN first, then infinities
    std::string error;
    float tol = -1.0f;  // *tol on entry
  };
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {"null tol", 3, 4, 4, 3, 2, true, false, {}, "ERROR: null tol or nosv pointer; not inverted"},
      {"NaN tolerance", 3, 4, 4, 3, 2, false, false, {},
       "ERROR: SVD cut off tolerance is not a number; not inverted", kNaN},
      {"null nosv", 3, 4, 4, 3, 2, false, true, {}, "ERROR: null tol or nosv pointer; not inverted"},
      {"pinvR not transposed",
       3,
       5,
       3,
       5,
       2,
       false,
       false,
       {},
       "ERROR: Dimension mismatch: dim(pinvR) (3 x 5) must be 5 x 3 for dim(this) (3 x 5)"},
      {"pinvR too small",
       4,
       4,
       3,
       4,
       2,
       false,
       false,
       {},
       "ERROR: Dimension mismatch: dim(pinvR) (3 x 4) must be 4 x 4 for dim(this) (4 x 4)"},
      {"no rows", 0, 3, 3, 0, 2, false, false, {}, "ERROR: cannot invert an empty matrix (0 x 3)"},
      {"no columns", 3, 0, 0, 3, 2, false, false, {}, "ERROR: cannot invert an empty matrix (3 x 0)"},
      {"three dimensions",
       3,
       4,
       4,
       3,
       3,
       false,
       false,
       {},
       "ERROR: matrix has 3 dimensions, needs 2; not inverted"},
      {"NaN",
       3,
       4,
       4,
       3,
       2,
       false,
       false,
       {{1, 2}},
       "ERROR: matrix holds 1 non-finite values, first at (1, 2); not inverted"},
      {"NaN and infinities",
       4,
       3,
       3,
       4,
       2,
       false,
       false,
       {{2, 0}, {0, 1}, {3, 2}},
       "ERROR: matrix holds 3 non-finite values, first at (0, 1); not inverted"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OddMatrix A("A", c.m, c.n, nullptr);
    QTEV_ResponseMatrix X("X", c.pm, c.pn, nullptr);
    D_spectrum S("S", 0, nullptr);
    fill(A, [](int i, int j) { return static_cast<float>(1 + i + 2 * j); });
    for (std::size_t k = 0; k < c.non_finite.size(); ++k)
      A.set_value(k == 0 ? kNaN : -std::numeric_limits<float>::infinity(), c.non_finite[k].first,
                  c.non_finite[k].second, -1, -1, -1, -1);
    const auto matrix_before = zor_feedback::test::elements(A);
    A.set_num_dims(c.dims);
    X.init(7.0f);
    S.set_length(2);
    S.fill_spectrum(0, 5.0f);
    float tol = c.tol;
    int nosv = 42;

    ovrix::LogCapture cap;
    testing::internal::CaptureStdout();
    A.invert(X, S, c.null_tol ? nullptr : &tol, c.null_nosv ? nullptr : &nosv);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    zor_feedback::test::expect_lines(cap, {{kOrigin, c.error, DF_LOG}});

    EXPECT_TRUE(zor_feedback::test::same_bits({tol}, {c.tol}));
    EXPECT_EQ(nosv, 42);
    EXPECT_EQ(S.points(), (std::vector<float>{5.0f, 0.0f}));
    for (float v : zor_feedback::test::elements(X)) EXPECT_EQ(v, 7.0f);
    A.set_num_dims(2);
    EXPECT_TRUE(zor_feedback::test::same_bits(zor_feedback::test::elements(A), matrix_before));
  }
}

}  // namespace
