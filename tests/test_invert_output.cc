// What the SVD inversion says: the exact log lines and debug tables, and the
// refusal of bad operands with every output as it was.
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

// ---------------------------------------------------------------------------
// Exact log lines and tables. The matrices have simple closed-form inverses:
// [[2, 1], [1, 1]]^-1 = [[1, -1], [-1, 2]] with s = (3 +- sqrt 5) / 2, and
// [[1, 0], [0, 1], [1, 1]]^+ = [[2, -1, 1], [-1, 2, 1]] / 3 with s = sqrt 3, 1.

// A tall matrix is inverted as its transpose, which the log and the tables say.
struct SequenceCase {
  const char* what;
  int m, n;
  std::vector<float> values;  // row-major
  const char* s;              // the tables' rows of S, 1/s and pinv(A)
  const char* inverse_s;
  const char* pinv;
};

// One case per line.
// clang-format off
const SequenceCase kSequences[] = {
    {"square", 2, 2, {2, 1, 1, 1}, "2.618034  0.381966  ", "0.381966  2.618034  ", "1.0000\t-1.0000\t\n-1.0000\t2.0000\t\n"},
    {"tall", 3, 2, {1, 0, 0, 1, 1, 1}, "1.732051  1.000000  ", "0.577350  1.000000  ", "0.6667\t-0.3333\t0.3333\t\n-0.3333\t0.6667\t0.3333\t\n"},
    {"wide", 2, 3, {1, 0, 1, 0, 1, 1}, "1.732051  1.000000  ", "0.577350  1.000000  ", "0.6667\t-0.3333\t\n-0.3333\t0.6667\t\n0.3333\t0.3333\t\n"},
};
// clang-format on

std::vector<Line> sequence_lines(const SequenceCase& c) {
  const std::string shape = std::to_string(c.m) + " x " + std::to_string(c.n);
  std::vector<Line> want{{kOrigin, "INFO: SVD on " + shape + " matrix ...", 128}};
  if (c.m > c.n) {
    want.push_back({kOrigin, "INFO: M < N transposing matrix ...", 128});
    want.push_back(
        {kOrigin, "INFO: matrix dim changed to: " + std::to_string(c.n) + " x " + std::to_string(c.m), 128});
  }
  want.push_back({kOrigin, "INFO: Using internal tolerance for SVD cut off: 1.200000e-15", 128});
  want.push_back({kOrigin, "INFO: Using 2 from 2 singular values", 128});
  return want;
}

// Standard output with bit 128 of OVRIX_debug (tables) or without it.
std::string sequence_output(const SequenceCase& c, bool tables) {
  const std::string rule = "----------------------------------------";
  const std::string back = c.m > c.n ? "INFO: Matrix dim change back to: " + std::to_string(c.n) + " x " +
                                           std::to_string(c.m) + "\n"
                                     : "";
  if (!tables) return back;
  return "S\n" + rule + "\n" + c.s + "\n1/s\n" + rule + "\n" + c.inverse_s + "\n" + back + "\npinv(A)\n" +
         rule + "\n" + c.pinv;
}

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
      EXPECT_EQ(testing::internal::GetCapturedStdout(), sequence_output(c, tables));
      expect_lines_then_timing(cap, sequence_lines(c));
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
      {"NaN tolerance", 3, 4, 4, 3, 2, false, false, {}, "ERROR: SVD cut off tolerance is not a number; not inverted", kNaN},
      {"null nosv", 3, 4, 4, 3, 2, false, true, {}, "ERROR: null tol or nosv pointer; not inverted"},
      {"pinvR not transposed", 3, 5, 3, 5, 2, false, false, {}, "ERROR: Dimension mismatch: dim(pinvR) (3 x 5) must be 5 x 3 for dim(this) (3 x 5)"},
      {"pinvR too small", 4, 4, 3, 4, 2, false, false, {}, "ERROR: Dimension mismatch: dim(pinvR) (3 x 4) must be 4 x 4 for dim(this) (4 x 4)"},
      {"no rows", 0, 3, 3, 0, 2, false, false, {}, "ERROR: cannot invert an empty matrix (0 x 3)"},
      {"no columns", 3, 0, 0, 3, 2, false, false, {}, "ERROR: cannot invert an empty matrix (3 x 0)"},
      {"three dimensions", 3, 4, 4, 3, 3, false, false, {}, "ERROR: matrix has 3 dimensions, needs 2; not inverted"},
      {"NaN", 3, 4, 4, 3, 2, false, false, {{1, 2}}, "ERROR: matrix holds 1 non-finite values, first at (1, 2); not inverted"},
      {"NaN and infinities", 4, 3, 3, 4, 2, false, false, {{2, 0}, {0, 1}, {3, 2}}, "ERROR: matrix holds 3 non-finite values, first at (0, 1); not inverted"},
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
