// The pseudo-inverse with tolerance: numerical truth over a catalogue of hard
// matrices (the Moore-Penrose conditions and an independent SVD), the floors
// on the input and on the result with their log lines, and the refusal of bad
// operands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "numerics.h"
#include "zor_feedback/arma.h"

namespace {

using namespace zor_feedback::test;  // the helpers of testing.h and numerics.h

constexpr const char* kOrigin = "QTEV_ResponseMatrix::pinv";

void expect_lines_then_timing(const ovrix::LogCapture& cap, const std::vector<Line>& want) {
  zor_feedback::test::expect_lines_then_timing(cap, want, kOrigin);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

double worst_moore_penrose(const arma::mat& A, const arma::mat& X) { return moore_penrose(A, X).worst(); }

// The pseudo-inverse by LAPACK's standard SVD with Armadillo's default rule
// (s used when s >= max(m, n) * max(s) * eps), then pinv's floor on the result.
struct Reference {
  arma::mat X;
  double kappa;
};

Reference svd_reference(const arma::mat& A) {
  arma::mat U, V;
  arma::vec s;
  if (!arma::svd(U, s, V, A, "std")) throw std::runtime_error("reference SVD failed");
  Reference r{arma::mat(A.n_cols, A.n_rows, arma::fill::zeros), 1.0};
  const double cut = static_cast<double>(std::max(A.n_rows, A.n_cols)) * s.max() * kEpsD;
  for (arma::uword k = 0; k < s.n_elem; ++k)
    if (s(k) >= cut && s(k) > 0) {
      r.X += V.col(k) * U.col(k).t() / s(k);
      r.kappa = s.max() / s(k);
    }
  r.X.transform([](double v) { return std::fabs(v) < kEpsD ? 0.0 : v; });
  return r;
}

// ---------------------------------------------------------------------------
// Catalogue of hard matrices.

struct CatalogueCase {
  const char* family;
  const char* name;
  int m, n;
  double (*gen)(int, int, int, int);
};

// One case per line.
// clang-format off
const CatalogueCase kCatalogue[] = {
    {"square", "square_8", 8, 8, smooth},
    {"square", "ring_60x60", 60, 60, ring_orbit},
    {"tall", "tall_12x5", 12, 5, smooth},
    {"tall", "ring_144x128", 144, 128, ring_orbit},
    {"wide", "wide_5x12", 5, 12, smooth},
    {"wide", "ring_30x40", 30, 40, ring_orbit},
    {"rank_deficient", "rank3_9x6", 9, 6, rank3},
    {"rank_deficient", "rank3_6x9", 6, 9, rank3},
    {"ill_conditioned", "hilbert_5", 5, 5, hilbert},  // symmetric positive definite
    {"ill_conditioned", "hilbert_8x5", 8, 5, hilbert},
};
// clang-format on

class PinvCatalogue : public ::testing::TestWithParam<CatalogueCase> {};

TEST_P(PinvCatalogue, IsThePseudoInverseOfAnIndependentSvd) {
  const CatalogueCase c = GetParam();
  QTEV_ResponseMatrix A("A", c.m, c.n, nullptr);
  QTEV_ResponseMatrix X("X", c.n, c.m, nullptr);
  fill(A, [&](int i, int j) { return static_cast<float>(c.gen(i, j, c.m, c.n)); });
  const arma::mat a = to_arma(A);
  float tolerance = 0.0f;
  ovrix::LogCapture cap;
  A.pinv(X, &tolerance);

  const Reference ref = svd_reference(a);
  const arma::mat x = to_arma(X);
  const double diff = arma::norm(x - ref.X, "fro") / arma::norm(ref.X, "fro");
  EXPECT_LE(diff, 2 * kEpsF + 16 * std::max(c.m, c.n) * ref.kappa * kEpsD) << "kappa " << ref.kappa;
  const double mp = worst_moore_penrose(a, x);
  EXPECT_LE(mp, 2 * kEpsF + 64 * std::max(c.m, c.n) * kEpsD);
  RecordProperty("family", c.family);
  RecordProperty("mp_residual_over_eps_f", scientific(mp / kEpsF));
  RecordProperty("diff_to_reference", scientific(diff));
  RecordProperty("kappa", scientific(ref.kappa));

  // No transposition messages; at most the floor on the result, then the time.
  ASSERT_FALSE(cap.lines().empty());
  for (std::size_t k = 0; k + 1 < cap.lines().size(); ++k)
    EXPECT_TRUE(cap.lines()[k].text.rfind("removed ", 0) == 0 &&
                cap.lines()[k].text.find(" values (< 2e-16) in inverse\n") != std::string::npos)
        << cap.lines()[k].text;
  EXPECT_TRUE(is_timing_text(cap.lines().back().text));
}

INSTANTIATE_TEST_SUITE_P(Hard, PinvCatalogue, ::testing::ValuesIn(kCatalogue),
                         [](const ::testing::TestParamInfo<CatalogueCase>& p) {
                           return std::string(p.param.name);
                         });

// pinv goes Armadillo's way for each kind of matrix, and reports it: the
// result is arma::pinv's to the bit (before the floor on the result, which
// clears nothing here), the decomposition, threshold and rank are Armadillo's.
TEST(PinvReport, FollowsArmadillosPathAndReportsIt) {
  struct PathCase {
    const char* what;
    int m, n;
    double (*gen)(int, int, int, int);
    zor_feedback::PinvPath path;
  };
  const auto sym = [](int i, int j, int, int) { return std::cos(1.0 + i + j) + (i == j ? 0.5 : 0.0); };
  const auto diag = [](int i, int j, int, int) { return i == j ? 1.0 + i : 0.0; };
  const PathCase cases[] = {
      {"general", 9, 6, smooth, zor_feedback::PinvPath::svd},
      {"wide", 5, 12, rank3, zor_feedback::PinvPath::svd},
      {"diagonal", 5, 4, diag, zor_feedback::PinvPath::diagonal},
      {"symmetric indefinite, 50 x 50", 50, 50, sym, zor_feedback::PinvPath::symmetric},
      {"symmetric positive definite", 5, 5, hilbert, zor_feedback::PinvPath::cholesky},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.what);
    QTEV_ResponseMatrix A("A", c.m, c.n, nullptr), X("X", c.n, c.m, nullptr);
    fill(A, [&](int i, int j) { return static_cast<float>(c.gen(i, j, c.m, c.n)); });
    ovrix::LogCapture quiet;
    const zor_feedback::PinvReport r = A.pinv_report(X, 0.0f);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.path, c.path);
    const arma::mat a = to_arma(A);
    const arma::mat want = arma::pinv(a);
    std::vector<float> bits;
    for (arma::uword i = 0; i < want.n_rows; ++i)
      for (arma::uword j = 0; j < want.n_cols; ++j) bits.push_back(static_cast<float>(want(i, j)));
    EXPECT_EQ(r.elements_cleared, 0);
    EXPECT_TRUE(same_bits(elements(X), bits));
    if (c.path == zor_feedback::PinvPath::cholesky) {
      EXPECT_TRUE(r.singular_values.empty());
      EXPECT_EQ(r.used, c.n);
      continue;
    }
    const arma::vec s =
        c.path == zor_feedback::PinvPath::symmetric ? arma::vec(arma::abs(arma::eig_sym(a))) : arma::svd(a);
    ASSERT_EQ(r.singular_values.size(), s.n_elem);
    EXPECT_NEAR(r.singular_values.front(), s.max(), 1e-13 * s.max());
    EXPECT_NEAR(r.threshold, std::max(c.m, c.n) * s.max() * kEpsD, 1e-12 * r.threshold);
    EXPECT_EQ(r.used, static_cast<int>(arma::accu(s >= r.threshold)));
  }
}

// ---------------------------------------------------------------------------
// The floors.

// [[1, 0], [0, 1], [1, 1]]^+ = [[2, -1, 1], [-1, 2, 1]] / 3: no element near
// the floor of the result.
TEST(PinvFloor, ShapesAndLogLinesWithoutFloorEffects) {
  for (const bool tall : {true, false}) {
    SCOPED_TRACE(tall ? "3 x 2" : "2 x 3");
    const int m = tall ? 3 : 2;
    const int n = tall ? 2 : 3;
    QTEV_ResponseMatrix A("A", m, n, nullptr);
    QTEV_ResponseMatrix X("X", n, m, nullptr);
    const float a[3][2] = {{1, 0}, {0, 1}, {1, 1}};
    fill(A, [&](int i, int j) { return tall ? a[i][j] : a[j][i]; });
    const float want[2][3] = {{2.0f / 3, -1.0f / 3, 1.0f / 3}, {-1.0f / 3, 2.0f / 3, 1.0f / 3}};
    float tolerance = 0.5f;  // no non-zero element below it
    ovrix::LogCapture cap;
    A.pinv(X, &tolerance);
    expect_lines_then_timing(cap, {});
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < m; ++j)
        EXPECT_NEAR(at(X, i, j), tall ? want[i][j] : want[j][i], 2e-7) << i << "," << j;
  }
}

// [[2, e], [e, 4]]: once e is cleared the matrix is diagonal and its inverse
// exact; an e that is kept gives the inverse [[4, -e], [-e, 2]] / (8 - e^2).
TEST(PinvFloor, InputFloorIsStrictAbsoluteAndWorksOnACopy) {
  struct Case {
    const char* what;
    float tolerance;
    float e;
    bool cleared;
    std::vector<std::string> lines;
  };
  const float below = std::nextafter(0.5f, 0.0f);
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {"equal to the floor stays", 0.5f, 0.5f, false, {}},
      {"just below the floor is cleared", 0.5f, below, true, {"removed 2 values (< 0.5) in input\n"}},
      {"the floor is on the magnitude", 0.75f, -below, true, {"removed 2 values (< 0.8) in input\n"}},
      // Kept, the tiny elements give off-diagonal elements of -1.25e-31 in the
      // inverse, which the floor on the result clears.
      {"zero floor", 0.0f, 1e-30f, false, {"removed 2 values (< 2e-16) in inverse\n"}},
      {"negative floor", -1.0f, 1e-30f, false, {"removed 2 values (< 2e-16) in inverse\n"}},
      {"NaN floor", kNaN, 1e-30f, false, {"removed 2 values (< 2e-16) in inverse\n"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QTEV_ResponseMatrix A("A", 2, 2, nullptr);
    QTEV_ResponseMatrix X("X", 2, 2, nullptr);
    fill(A, [&](int i, int j) { return i == j ? 2.0f * static_cast<float>(i + 1) : c.e; });
    const auto before = zor_feedback::test::elements(A);
    float tolerance = c.tolerance;
    ovrix::LogCapture cap;
    A.pinv(X, &tolerance);

    const double e = c.cleared ? 0.0 : c.e;
    const double det = 8.0 - e * e;
    const double off = std::fabs(e / det) < kEpsD ? 0.0 : -e / det;
    EXPECT_NEAR(at(X, 0, 0), 4.0 / det, 4e-7);
    EXPECT_NEAR(at(X, 1, 1), 2.0 / det, 4e-7);
    EXPECT_EQ(at(X, 0, 1), static_cast<float>(off));
    EXPECT_EQ(at(X, 1, 0), static_cast<float>(off));

    EXPECT_TRUE(zor_feedback::test::same_bits(zor_feedback::test::elements(A), before))
        << "the property keeps its elements";
    EXPECT_TRUE(zor_feedback::test::same_bits({tolerance}, {c.tolerance})) << "the tolerance is not written";
    std::vector<Line> want;
    for (const auto& l : c.lines) want.push_back({kOrigin, l, 128});
    expect_lines_then_timing(cap, want);
  }
}

TEST(PinvFloor, CountsEveryClearedElement) {
  // 12 of 20 elements below the floor, and 2 zeros, which are not counted.
  QTEV_ResponseMatrix A("A", 4, 5, nullptr);
  QTEV_ResponseMatrix X("X", 5, 4, nullptr);
  fill(A, [](int i, int j) {
    const int k = i * 5 + j;
    if (k == 3 || k == 17) return 0.0f;
    return k % 3 == 0 ? 1.0f + static_cast<float>(k) : 1e-3f * (k % 2 == 0 ? 1 : -1);
  });
  float tolerance = 0.01f;
  ovrix::LogCapture cap;
  A.pinv(X, &tolerance);
  ASSERT_GE(cap.lines().size(), 2u);
  EXPECT_EQ(cap.lines()[0].text, "removed 12 values (< 0.01) in input\n");
  EXPECT_EQ(cap.lines()[0].flags, 128u);

  // All non-zero elements below the floor: Armadillo sees zeros.
  fill(A, [](int i, int j) { return (i + j) % 2 == 0 ? 1e-4f : -2e-4f; });
  X.init(9.0f);
  cap.clear();
  A.pinv(X, &tolerance);
  expect_lines_then_timing(
      cap,
      {{kOrigin, "removed 20 values (< 0.01) in input\n", 128},
       {kOrigin,
        "WARNING: all-zero inverse: tolerance 1.000e-02 cleared all 20 non-zero input elements; lower it",
        DF_LOG}});
  for (float v : zor_feedback::test::elements(X)) EXPECT_EQ(v, 0.0f);
}

TEST(PinvFloor, ResultFloorClearsElementsBelowDoubleEpsilon) {
  // A regular diagonal matrix whose inverse has an element of 1e-17: cleared,
  // counted, and logged with the bound.
  QTEV_ResponseMatrix A("A", 2, 2, nullptr);
  QTEV_ResponseMatrix X("X", 2, 2, nullptr);
  A.init(0.0f);
  A.set_value(1e17f, 0, 0, -1, -1, -1, -1);
  A.set_value(100.0f, 1, 1, -1, -1, -1, -1);
  X.init(9.0f);
  float tolerance = 0.0f;
  ovrix::LogCapture cap;
  A.pinv(X, &tolerance);
  expect_lines_then_timing(cap, {{kOrigin, "removed 1 values (< 2e-16) in inverse\n", 128}});
  EXPECT_EQ(at(X, 0, 0), 0.0f);
  EXPECT_EQ(at(X, 1, 1), 0.01f);
  EXPECT_EQ(at(X, 0, 1), 0.0f);
  EXPECT_EQ(at(X, 1, 0), 0.0f);
}

TEST(PinvFloor, RegularSquareMatrixGivesItsInverse) {
  QTEV_ResponseMatrix A("A", 3, 3, nullptr);
  QTEV_ResponseMatrix X("X", 3, 3, nullptr);
  const float a[3][3] = {{4, 1, 0}, {1, 3, 1}, {0, 1, 2}};  // det 18
  const float inv[3][3] = {{5, -2, 1}, {-2, 8, -4}, {1, -4, 11}};
  fill(A, [&](int i, int j) { return a[i][j]; });
  float tolerance = 0.0f;
  A.pinv(X, &tolerance);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(at(X, i, j), inv[i][j] / 18, 4 * kEpsF) << i << "," << j;
}

// ---------------------------------------------------------------------------
// Refused operands: one error line, pinvR and the matrix as they were.

class OddMatrix : public QTEV_ResponseMatrix {
 public:
  using QTEV_ResponseMatrix::QTEV_ResponseMatrix;
  void set_num_dims(int d) { num_dims_ = d; }
};

TEST(PinvRefusal, BadOperandsChangeNothing) {
  struct Case {
    const char* what;
    int m, n, pm, pn;
    int dims;
    bool null_tolerance;
    std::vector<std::pair<int, int>> non_finite;  // NaN first, then infinities
    std::string error;
  };
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {"null tolerance", 3, 4, 4, 3, 2, true, {}, "ERROR: null tolerance pointer; not inverted"},
      {"pinvR not transposed", 3, 5, 3, 5, 2, false, {}, "ERROR: Dimension mismatch: dim(pinvR) (3 x 5) must be 5 x 3 for dim(this) (3 x 5)"},
      {"pinvR too large", 2, 2, 3, 3, 2, false, {}, "ERROR: Dimension mismatch: dim(pinvR) (3 x 3) must be 2 x 2 for dim(this) (2 x 2)"},
      {"no rows", 0, 3, 3, 0, 2, false, {}, "ERROR: cannot invert an empty matrix (0 x 3)"},
      {"three dimensions", 3, 4, 4, 3, 3, false, {}, "ERROR: matrix has 3 dimensions, needs 2; not inverted"},
      {"infinity", 3, 4, 4, 3, 2, false, {{0, 0}, {2, 3}}, "ERROR: matrix holds 2 non-finite values, first at (0, 0); not inverted"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OddMatrix A("A", c.m, c.n, nullptr);
    QTEV_ResponseMatrix X("X", c.pm, c.pn, nullptr);
    fill(A, [](int i, int j) { return static_cast<float>(1 + i + 2 * j); });
    for (std::size_t k = 0; k < c.non_finite.size(); ++k)
      A.set_value(k == 0 ? kNaN : std::numeric_limits<float>::infinity(), c.non_finite[k].first,
                  c.non_finite[k].second, -1, -1, -1, -1);
    const auto before = zor_feedback::test::elements(A);
    A.set_num_dims(c.dims);
    X.init(7.0f);
    float tolerance = 1e-3f;
    ovrix::LogCapture cap;
    A.pinv(X, c.null_tolerance ? nullptr : &tolerance);
    zor_feedback::test::expect_lines(cap, {{kOrigin, c.error, DF_LOG}});
    for (float v : zor_feedback::test::elements(X)) EXPECT_EQ(v, 7.0f);
    EXPECT_EQ(tolerance, 1e-3f);
    A.set_num_dims(2);
    EXPECT_TRUE(zor_feedback::test::same_bits(zor_feedback::test::elements(A), before));
  }
}

}  // namespace
