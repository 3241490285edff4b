// Bad input that the other tests do not reach: odd files and paths, NaN and
// infinities through the element-wise operations, empty shapes, aliasing,
// infinite tolerances, ring-buffer requests of every type code and null
// pointers. docs/bad_inputs.md lists every bad input with the test that shows
// the answer; the rows it gives to this file are the cases below.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing.h"
#include "zor_feedback/arma.h"

namespace {

using zor_feedback::test::cols_line;
using zor_feedback::test::rows_line;
using zor_feedback::test::TempDir;

namespace fs = std::filesystem;
using zor_feedback::test::at;
using zor_feedback::test::elements;
using zor_feedback::test::fill;

constexpr float K = -9.0f;  // an element a refused load must leave as it was
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Equal, or both NaN (a NaN's sign and payload depend on how it arose).
bool same_value(float a, float b) { return (std::isnan(a) && std::isnan(b)) || a == b; }
void expect_values(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_TRUE(same_value(got[k], want[k])) << "element " << k;
}

// ---------------------------------------------------------------------------
// Files and paths for load_file.

// The bytes of a literal, NULs included.
template <std::size_t N>
std::string bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

TEST(BadFiles, ContentIsCountedOrRefusedNeverMisread) {
  const std::string huge_blanks(std::size_t{1} << 22, ' ');  // 4 MiB, one line
  struct Case {
    const char* label;
    std::string content;
    int rows, cols;
    bool ok;
    std::vector<float> want;  // row-major; empty: every element stays K
    std::string outcome;      // the line after the start line; "$N": the size, "$F": the path
  };
  const std::string loaded = "INFO: Read $N bytes from: $F into ";
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {"binary", bytes("\x7f" "ELF\x02\x01\x01\0\0\0\n\xff\xfe\0\x01\x80\n"), 2, 3, false, {}, cols_line(0, 3)},
      {"NUL ends the values of its line", bytes("1 2\0 9\n4 5 6\n"), 2, 3, true, {1, 2, K, 4, 5, 6}, loaded + "2 x 3 GSL array"},
      {"NUL on the last row", bytes("1 2 3\n4 5\0 6\n"), 2, 3, false, {}, cols_line(2, 3)},
      {"NUL bytes only", std::string(64, '\0'), 1, 0, true, {}, loaded + "1 x 0 GSL array"},
      {"CR without LF is no line end", "1 2 3\r4 5 6\r", 2, 3, false, {}, rows_line(1, 2)},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF" "1 2 3\n", 1, 3, false, {}, cols_line(0, 3)},
      {"4 MiB line without line feed", huge_blanks + "7", 1, 1, true, {7}, loaded + "1 x 1 GSL array"},
      {"4 MiB line, no number", huge_blanks + "x 1\n", 1, 1, false, {}, cols_line(0, 1)},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const std::string path = (dir.path() / "m.txt").string();
    std::ofstream(path, std::ios::binary) << c.content;
    QTEV_ResponseMatrix m("RM", c.rows, c.cols, nullptr);
    m.init(K);
    ovrix::LogCapture cap;
    EXPECT_EQ(m.load_file(path.c_str()), c.ok);
    std::vector<float> want = c.want;
    if (want.empty()) want.assign(static_cast<std::size_t>(c.rows * c.cols), K);
    EXPECT_TRUE(zor_feedback::test::same_bits(elements(m), want));

    std::string outcome = c.outcome;
    if (outcome.find("$N") != std::string::npos)
      outcome.replace(outcome.find("$N"), 2, std::to_string(c.content.size()));
    if (outcome.find("$F") != std::string::npos) outcome.replace(outcome.find("$F"), 2, path);
    zor_feedback::test::expect_lines(
        cap, {{"QTEV_ResponseMatrix::load_file", "INFO: Loading file " + path + " ...", 128},
              {"QTEV_ResponseMatrix::load_file", outcome.substr(0, 99), c.ok ? 128u : DF_LOG}});
  }
}

// Paths that name no readable regular file: one "not found" line, no element
// changed, and no wait on a device that never ends.
TEST(BadFiles, PathsThatAreNoRegularFile) {
  TempDir dir;
  const std::string file = (dir.path() / "m.txt").string();
  std::ofstream(file) << "1 2 3\n";
  const std::string dangling = (dir.path() / "dangling").string();
  fs::create_symlink(dir.path() / "gone.txt", dangling);
  for (const std::string& path : {std::string(), file + "/below", dangling, std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    QTEV_ResponseMatrix m("RM", 1, 3, nullptr);
    m.init(K);
    ovrix::LogCapture cap;
    EXPECT_FALSE(m.load_file(path.c_str()));
    EXPECT_EQ(elements(m), std::vector<float>(3, K));
    ASSERT_EQ(cap.lines().size(), 2u);
    EXPECT_EQ(cap.lines()[1].text, "ERROR: file " + path + " not found!");
    EXPECT_EQ(cap.lines()[1].flags, DF_LOG);
  }
}

// ---------------------------------------------------------------------------
// NaN and infinities in the operands of the operations that do not refuse
// them: IEEE arithmetic, no log line, every result element written.

TEST(NonFiniteElements, PassThroughTheElementwiseOperations) {
  ovrix::LogCapture cap;
  QTEV_ResponseMatrix t("T", 2, 2, nullptr), a("A", 2, 2, nullptr), b("B", 2, 2, nullptr);
  const std::vector<float> tv{kNaN, kInf, -kInf, 2}, av{1, 0, -1, kInf};
  fill(t, [&](int i, int j) { return tv[static_cast<std::size_t>(2 * i + j)]; });
  fill(a, [&](int i, int j) { return av[static_cast<std::size_t>(2 * i + j)]; });
  t.entrywise_product(a, b);
  expect_values(elements(b), {kNaN, kNaN, kInf, kInf});  // inf * 0 is NaN

  // A NaN or an infinity in one column of A spreads down that column of the
  // product and nowhere else (all-ones, so no 0 * inf).
  QTEV_ResponseMatrix ones("1", 2, 2, nullptr);
  ones.init(1.0f);
  for (const float bad : {kNaN, kInf}) {
    fill(a, [&](int i, int j) { return i == 0 && j == 0 ? bad : static_cast<float>(1 + i + j); });
    ones.multiply(a, b);
    expect_values(elements(b), {bad, 5, bad, 5});
  }

  // Assignment, init and the Armadillo conversions copy them as they are.
  QTEV_ResponseMatrix c("C", 1, 1, nullptr);
  c = t;
  EXPECT_TRUE(zor_feedback::test::same_bits(elements(c), elements(t)));
  EXPECT_TRUE(c != t);  // NaN is unequal to itself
  const arma::mat A = t.QTEV2arma_mat(t);
  EXPECT_TRUE(std::isnan(A(0, 0)));
  EXPECT_EQ(A(0, 1), static_cast<double>(kInf));
  EXPECT_EQ(A(1, 0), -static_cast<double>(kInf));
  QTEV_ResponseMatrix back("BACK", 2, 2, nullptr);
  arma::mat odd(2, 2);
  odd(0, 0) = std::nan("");
  odd(0, 1) = -1e300;
  odd(1, 0) = std::numeric_limits<double>::infinity();
  odd(1, 1) = 1e-300;
  back.arma_mat2QTEV(odd);
  expect_values(elements(back), {kNaN, -kInf, kInf, 0.0f});
  back.init(kNaN);
  for (float v : elements(back)) EXPECT_TRUE(std::isnan(v));
  EXPECT_TRUE(cap.lines().empty());
}

// ---------------------------------------------------------------------------
// Empty shapes in the operations the other tests leave out.

TEST(EmptyShapes, InversionsRefuseConversionsCopeInitWritesNothing) {
  for (const auto& shape : {std::pair<int, int>{3, 0}, std::pair<int, int>{0, 0}}) {
    const int m = shape.first, n = shape.second;
    SCOPED_TRACE(std::to_string(m) + " x " + std::to_string(n));
    QTEV_ResponseMatrix A("A", m, n, nullptr), X("X", n, m, nullptr);
    D_spectrum S("S", 0, nullptr);
    float tol = -1.0f;
    int nosv = 42;
    ovrix::LogCapture cap;
    A.pinv(X, &tol);
    A.invert(X, S, &tol, &nosv);
    const std::string error =
        "ERROR: cannot invert an empty matrix (" + std::to_string(m) + " x " + std::to_string(n) + ")";
    zor_feedback::test::expect_lines(
        cap, {{"QTEV_ResponseMatrix::pinv", error, DF_LOG}, {"QTEV_ResponseMatrix::invert", error, DF_LOG}});
    EXPECT_EQ(tol, -1.0f);
    EXPECT_EQ(nosv, 42);
    EXPECT_EQ(S.length(), 0);

    cap.clear();
    A.init(1.0f);
    const arma::mat a = A.QTEV2arma_mat(A);
    EXPECT_EQ(a.n_rows, static_cast<arma::uword>(m));
    EXPECT_EQ(a.n_cols, static_cast<arma::uword>(n));
    A.arma_mat2QTEV(a);
    QTEV_ResponseMatrix big("BIG", 2, 2, nullptr);
    big = A;  // takes the empty shape
    EXPECT_EQ(big.rows, m);
    EXPECT_EQ(big.cols, n);
    EXPECT_TRUE(big == A);
    EXPECT_TRUE(cap.lines().empty());
  }
}

// ---------------------------------------------------------------------------
// Aliasing and tolerances the other tests leave out.

TEST(Aliasing, PinvIntoItself) {
  QTEV_ResponseMatrix A("A", 2, 2, nullptr);
  fill(A, [](int i, int j) { return i == j ? 2.0f : 1.0f; });  // inverse [[2, -1], [-1, 2]] / 3
  float floor = 0.0f;
  ovrix::LogCapture cap;
  A.pinv(A, &floor);
  EXPECT_NEAR(at(A, 0, 0), 2.0f / 3, 1e-6);
  EXPECT_NEAR(at(A, 0, 1), -1.0f / 3, 1e-6);
  EXPECT_NEAR(at(A, 1, 0), -1.0f / 3, 1e-6);
  EXPECT_NEAR(at(A, 1, 1), 2.0f / 3, 1e-6);
}

// An infinite tolerance drops everything, and the log says so.
TEST(Tolerance, InfiniteToleranceGivesAZeroInverseAndSaysSo) {
  QTEV_ResponseMatrix A("A", 2, 2, nullptr), X("X", 2, 2, nullptr);
  D_spectrum S("S", 0, nullptr);
  fill(A, [](int i, int j) { return i == j ? 2.0f : 1.0f; });
  X.init(9.0f);
  float tol = kInf;
  int nosv = -1;
  ovrix::LogCapture cap;
  A.invert(X, S, &tol, &nosv);
  EXPECT_EQ(elements(X), std::vector<float>(4, 0.0f));
  EXPECT_EQ(nosv, 0);
  EXPECT_EQ(tol, kInf);
  ASSERT_EQ(cap.lines().size(), 5u);
  EXPECT_EQ(cap.lines()[1].text, "INFO: Using user provided SVD cut off tolerance: inf");
  EXPECT_EQ(cap.lines()[2].text, "INFO: Using 0 from 2 singular values");
  EXPECT_EQ(cap.lines()[3].text,
            "WARNING: all-zero inverse: no singular value is above the cut-off tol*max(S) = inf; lower tol");

  X.init(9.0f);
  cap.clear();
  A.pinv(X, &tol);
  EXPECT_EQ(elements(X), std::vector<float>(4, 0.0f));
  ASSERT_EQ(cap.lines().size(), 3u);
  EXPECT_EQ(cap.lines()[0].text, "removed 4 values (< inf) in input\n");
  EXPECT_EQ(cap.lines()[1].text,
            "WARNING: all-zero inverse: tolerance inf cleared all 4 non-zero input elements; lower it");
}

// ---------------------------------------------------------------------------
// The ring buffer.

// Every type code from -2 to 130 and the extremes of int, each with values
// that select an entry, the whole buffer or nothing: the reply follows the
// request's value as EqData::get_int() reads it, and nothing is read outside
// the buffer. An array request without elements selects entry 0.
TEST(RingBufferRequests, EveryTypeCodeAndValue) {
  const int n = 4;
  std::time_t now = 0;
  auto clock = ovrix::set_time_source([&now] { return ++now; });
  D_ringbuf rb("HISTORY", n, nullptr);
  for (int k = 0; k < n; ++k) {
    std::string text = "m" + std::to_string(k);
    rb.store(text.data());
  }
  ovrix::set_time_source(clock);
  EqData none, all;
  rb.get(nullptr, &none, &all, nullptr);
  ASSERT_EQ(all.length(), n);

  std::vector<int> codes{INT_MIN, INT_MAX, SHRT_MIN, USHRT_MAX};
  for (int code = -2; code <= 130; ++code) codes.push_back(code);
  const double values[] = {-1, 0, 2.9, 3, n, 65535, 1e10, -1e10, std::nan(""), -HUGE_VAL};
  int checked = 0;
  for (const int code : codes)
    for (const bool empty_array : {false, true})
      for (const double v : values) {
        EqData request, reply;
        if (empty_array)
          request.set_numeric_array(code, {});
        else
          request.set_numeric(code, v);
        reply.set_numeric(DATA_INT, 77);  // a stale reply is replaced
        rb.get(nullptr, &request, &reply, nullptr);
        const int k = code == DATA_NULL ? -1 : request.get_int();
        SCOPED_TRACE("code " + std::to_string(code) + " value " + std::to_string(v) + " index " +
                     std::to_string(k));
        if (k < n) {
          ASSERT_EQ(reply.type(), DATA_USTR);
        }
        if (k < 0) {
          ASSERT_EQ(reply.length(), n);
          for (int i = 0; i < n; ++i) {
            ASSERT_EQ(reply.get_ustr(i)->str_data, all.get_ustr(i)->str_data);
          }
        } else if (k < n) {
          ASSERT_EQ(reply.length(), 1);
          ASSERT_EQ(reply.get_ustr(0)->str_data, all.get_ustr(k)->str_data);
          if (empty_array) {
            ASSERT_EQ(k, 0);
          }
        } else {
          ASSERT_EQ(reply.type(), DATA_NULL);
          ASSERT_EQ(reply.length(), 0);
        }
        ++checked;
        if (empty_array) break;  // the value plays no part
      }
  EXPECT_EQ(checked, static_cast<int>(codes.size()) * 11);
}

TEST(NullPointers, RingBufferNameRequestAndReply) {
  EXPECT_THROW(D_ringbuf(nullptr, 3, nullptr), std::logic_error);

  D_ringbuf rb("HISTORY", 2, nullptr);
  std::string text = "kept";
  rb.store(text.data());
  EqData reply;
  rb.get(nullptr, nullptr, &reply, nullptr);  // no request: the whole buffer
  ASSERT_EQ(reply.length(), 2);
  EXPECT_EQ(reply.get_ustr(0)->str_data, "kept");
  EqData request;
  request.set_numeric(DATA_INT, 0);
  rb.get(nullptr, &request, nullptr, nullptr);  // no reply: nothing to do
  rb.get(nullptr, nullptr, nullptr, nullptr);
  EqData again;
  rb.get(nullptr, nullptr, &again, nullptr);
  ASSERT_EQ(again.length(), 2);
  EXPECT_EQ(again.get_ustr(0)->str_data, "kept");
}

}  // namespace
