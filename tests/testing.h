// Shared helpers of the tests.
#ifndef ZOR_FEEDBACK_TESTS_TESTING_H
#define ZOR_FEEDBACK_TESTS_TESTING_H

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "zor_feedback/zor_feedback.h"

namespace zf_test {

// Fills m with f(i, j).
inline void fill(QTEV_ResponseMatrix& m, const std::function<float(int, int)>& f) {
  for (int i = 0; i < m.rows; ++i)
    for (int j = 0; j < m.cols; ++j) m.set_value(f(i, j), i, j, -1, -1, -1, -1);
}

inline float at(QTEV_ResponseMatrix& m, int i, int j) { return m.value(i, j, -1, -1, -1, -1); }

// The elements in row-major order.
inline std::vector<float> elements(QTEV_ResponseMatrix& m) {
  std::vector<float> v;
  for (int i = 0; i < m.rows; ++i)
    for (int j = 0; j < m.cols; ++j) v.push_back(at(m, i, j));
  return v;
}

// Bitwise equality of element lists (NaN equals NaN of the same bits).
inline bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (std::memcmp(&a[k], &b[k], sizeof(float)) != 0) return false;
  return true;
}

// One expected log line.
struct Line {
  std::string origin;
  std::string text;
  unsigned int flags;
};

inline void expect_lines(const ovrix::LogCapture& cap, const std::vector<Line>& want) {
  const auto& got = cap.lines();
  ASSERT_EQ(got.size(), want.size()) << "number of log lines";
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(got[k].origin, want[k].origin) << "line " << k;
    EXPECT_EQ(got[k].text, want[k].text) << "line " << k;
    EXPECT_EQ(got[k].flags, want[k].flags) << "line " << k;
  }
}

}  // namespace zf_test

#endif
