// The SVD inversion against numerical truth over a catalogue of hard
// matrices: the Moore-Penrose conditions, an independent SVD, and the LAPACK
// engine against the GSL one.
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

#include "invert_testing.h"

namespace {

using namespace zor_feedback::test;  // the helpers of testing.h, numerics.h and invert_testing.h

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

}  // namespace
