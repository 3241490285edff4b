// The filter value (text form, parser, refusals) and the Tikhonov inversion:
// its inverse against one formed from LAPACK's SVD, its units, and the
// strength each rule chooses.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "zor_feedback/arma.h"
#include "zor_feedback/filter.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace {

TEST(Filter, EveryKindReadsBackFromItsTextAsTheSameValue) {
  const Filter filters[] = {Filter(),
                            Filter::by_rcond(1e-3),
                            Filter::by_rcond(0.1),
                            Filter::by_rcond(0.0),
                            Filter::by_count(12),
                            Filter::tikhonov(0.0123456789012345678),
                            Filter::tikhonov_auto(AlphaRule::lcurve),
                            Filter::tikhonov_auto(AlphaRule::gcv),
                            Filter::tikhonov_discrepancy(2.5e-7)};
  for (const Filter& f : filters) {
    const FilterParse p = parse_filter(to_string(f));
    ASSERT_TRUE(p.filter) << to_string(f) << ": " << p.error;
    EXPECT_EQ(*p.filter, f) << to_string(f);
    for (const Filter& g : filters) EXPECT_EQ(f == g, &f == &g) << to_string(f) << " vs " << to_string(g);
  }
  EXPECT_EQ(to_string(Filter::by_rcond(1e-3)), "rcond 0.001");
  EXPECT_EQ(to_string(Filter::tikhonov_discrepancy(2.5e-7)), "tikhonov discrepancy 2.5e-07");
  EXPECT_EQ(*parse_filter("tikhonov auto").filter, Filter::tikhonov_auto(AlphaRule::lcurve));
  EXPECT_EQ(*parse_filter("  keep=12 ").filter, Filter::by_count(12));
}

TEST(Filter, TheParserRefusesWhatIsNoFilterSayingWhy) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "empty filter"},
      {"rcond", "rcond takes one finite number"},
      {"rcond -1", "rcond -1 is not a number >= 0"},
      {"rcond nan", "rcond takes one finite number"},
      {"rcond 1e400", "rcond takes one finite number"},
      {"rcond 0.1 keep 3", "rcond takes one finite number"},
      {"keep 0", "cannot keep 0 singular values: keep >= 1"},
      {"keep 2.5", "keep takes a whole count"},
      {"keep 1e12", "keep takes a whole count"},
      {"tikhonov", "tikhonov needs a strength"},
      {"tikhonov 0", "tikhonov strength 0 is not a number > 0"},
      {"tikhonov -1e-3", "tikhonov strength -0.001 is not a number > 0"},
      {"tikhonov inf", "tikhonov takes one finite strength"},
      {"tikhonov gcv 3", "tikhonov takes one finite strength"},
      {"tikhonov discrepancy", "tikhonov discrepancy needs one finite noise level"},
      {"tikhonov discrepancy 0", "noise level 0 is not a number > 0"},
      {"tikhonov 0.1x", "tikhonov takes one finite strength"},
      {"Keep 3", "unknown filter 'Keep 3'"},
      {"default 1", "unknown filter"},
  };
  for (const auto& [text, why] : cases) {
    const FilterParse p = parse_filter(text);
    EXPECT_FALSE(p.filter) << text;
    EXPECT_NE(p.error.find(why), std::string::npos) << text << ": " << p.error;
  }
}

// A 60 x 40 matrix with singular values from 1 down to 1e-8: a problem where
// the strength matters.
arma::mat ill_posed(double scale = 1.0, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> n;
  arma::mat A(60, 40), B(40, 40);
  A.imbue([&] { return n(gen); });
  B.imbue([&] { return n(gen); });
  arma::mat U, V, Q, R;
  arma::qr_econ(U, R, A);
  arma::qr_econ(V, R, B);
  const arma::vec s = arma::logspace<arma::vec>(0, -8, 40);
  return scale * U * arma::diagmat(s) * V.t();
}

std::vector<double> row_major(const arma::mat& A) {
  const arma::mat T = A.t();
  return std::vector<double>(T.begin(), T.end());
}

double rel_diff(const std::vector<double>& a, const arma::mat& B) {
  const std::vector<double> b = row_major(B);
  double d = 0, s = 0;
  for (std::size_t i = 0; i < a.size(); ++i) d += (a[i] - b[i]) * (a[i] - b[i]), s += b[i] * b[i];
  return std::sqrt(d / s);
}

TEST(TikhonovInversion, IsVTimesSOverSSquaredPlusAlphaSquaredTimesUTransposedForBothEnginesAndShapes) {
  for (const bool wide : {false, true})
    for (const SvdMethod method : {SvdMethod::lapack, SvdMethod::gsl})
      for (const double A : {1e-2, 1e-3}) {
        const arma::mat R = wide ? arma::mat(ill_posed().t()) : ill_posed();
        arma::mat U, V;
        arma::vec s;
        ASSERT_TRUE(arma::svd_econ(U, s, V, R));
        const double alpha = A * s.max();
        const arma::mat want = V * arma::diagmat(s / (arma::square(s) + alpha * alpha)) * U.t();
        StandardOptions o{Filter::tikhonov(A)};
        o.method = method;
        std::vector<double> x;
        const SvdReport r = pseudo_inverse(row_major(R).data(), static_cast<int>(R.n_rows),
                                           static_cast<int>(R.n_cols), o, &x);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_LE(rel_diff(x, want), 1e-12) << A << " wide " << wide;
        EXPECT_NEAR(r.alpha, alpha, 1e-14 * alpha);
        EXPECT_EQ(r.filter, Filter::tikhonov(A));
        EXPECT_EQ(r.used, 40);
        ASSERT_EQ(r.filter_factors.size(), 40u);
        for (std::size_t i = 0; i < 40; ++i)
          EXPECT_NEAR(r.filter_factors[i], s[i] * s[i] / (s[i] * s[i] + alpha * alpha), 1e-12);
      }
}

TEST(TikhonovInversion, ScalingTheMatrixScalesTheInverseAndKeepsTheFactorsAndTheChoice) {
  std::mt19937 gen(3);
  std::normal_distribution<double> n;
  std::vector<double> b(60);
  const arma::vec x_true = arma::linspace<arma::vec>(1, 2, 40);
  const arma::vec clean = ill_posed() * x_true;
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = clean[i] + 1e-4 * n(gen);
  StandardOptions opts[] = {{Filter::tikhonov(1e-3)},
                            {Filter::tikhonov_auto(AlphaRule::lcurve)},
                            {Filter::tikhonov_auto(AlphaRule::gcv)}};
  for (StandardOptions& o : opts) {
    o.orbit = b;
    std::vector<double> x0, x;
    const SvdReport r0 = pseudo_inverse(row_major(ill_posed()).data(), 60, 40, o, &x0);
    ASSERT_TRUE(r0.ok) << to_string(o.filter) << ": " << r0.error;
    for (const double scale : {1e-6, 1e3, 1e9}) {
      const SvdReport r = pseudo_inverse(row_major(ill_posed(scale)).data(), 60, 40, o, &x);
      ASSERT_TRUE(r.ok) << r.error;
      EXPECT_NEAR(r.alpha / scale, r0.alpha, 1e-6 * r0.alpha) << to_string(o.filter) << " x " << scale;
      for (std::size_t i = 0; i < 40; ++i) EXPECT_NEAR(r.filter_factors[i], r0.filter_factors[i], 1e-6);
      double d = 0, s = 0;
      for (std::size_t i = 0; i < x.size(); ++i) d += std::pow(x[i] * scale - x0[i], 2), s += x0[i] * x0[i];
      EXPECT_LE(std::sqrt(d / s), 1e-6) << to_string(o.filter) << " x " << scale;
    }
  }
}

TEST(TikhonovInversion, TheDiscrepancyStrengthLeavesTheNoiseAsResidualAndRefusesAnUnreachableOne) {
  const arma::mat R = ill_posed();
  const arma::vec b = R * arma::linspace<arma::vec>(1, 2, 40) + 1e-4 * arma::vec(60).randn();
  StandardOptions o{Filter::tikhonov_discrepancy(1e-4)};
  o.orbit = arma::conv_to<std::vector<double>>::from(b);
  std::vector<double> x;
  const SvdReport r = pseudo_inverse(row_major(R).data(), 60, 40, o, &x);
  ASSERT_TRUE(r.ok) << r.error;
  const arma::vec xs = arma::mat(x.data(), 60, 40).t() * b;  // x is 40 x 60 row-major
  EXPECT_NEAR(arma::norm(R * xs - b), std::sqrt(60.0) * 1e-4, 1e-9);

  for (const double noise : {1e3, 1e-12}) {
    o.filter = Filter::tikhonov_discrepancy(noise);
    std::vector<double> untouched = {42.0};
    const SvdReport refused = pseudo_inverse(row_major(R).data(), 60, 40, o, &untouched);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find(noise > 1 ? "within its noise" : "exceeds sqrt(m) * noise"),
              std::string::npos)
        << refused.error;
    EXPECT_EQ(untouched, std::vector<double>{42.0});
  }
}

TEST(TikhonovInversion, RefusesAnAutomaticStrengthWithoutASoundOrbit) {
  const std::vector<double> a = row_major(ill_posed());
  StandardOptions o{Filter::tikhonov_auto(AlphaRule::gcv)};
  o.orbit.assign(59, 1.0);
  std::vector<double> x = {42.0};
  EXPECT_EQ(pseudo_inverse(a.data(), 60, 40, o, &x).error,
            "ERROR: tikhonov gcv needs an orbit of 60 values, not 59; not inverted");
  o.orbit.assign(60, 1.0);
  o.orbit[5] = NAN;
  EXPECT_EQ(pseudo_inverse(a.data(), 60, 40, o, &x).error,
            "ERROR: the orbit holds a value that is not finite; not inverted");
  EXPECT_EQ(x, std::vector<double>{42.0});
}

TEST(CutFilters, ReportTheirFactorsAsOnesAndZeros) {
  const std::vector<double> a = row_major(ill_posed());
  std::vector<double> x;
  const SvdReport r = pseudo_inverse(a.data(), 60, 40, {Filter::by_count(25)}, &x);
  ASSERT_TRUE(r.ok);
  for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(r.filter_factors[i], i < 25 ? 1.0 : 0.0);
  EXPECT_EQ(r.alpha, 0.0);
}

}  // namespace
}  // namespace zor_feedback
