// What the tests of the classic SVD inversion share: its log origin and the
// check of its log sequence.
#ifndef ZOR_FEEDBACK_TESTS_INVERT_TESTING_H
#define ZOR_FEEDBACK_TESTS_INVERT_TESTING_H

#include <vector>

#include "numerics.h"

namespace zor_feedback {
namespace test {

constexpr const char* kOrigin = "QTEV_ResponseMatrix::invert";

inline void expect_lines_then_timing(const ovrix::LogCapture& cap, const std::vector<Line>& want) {
  expect_lines_then_timing(cap, want, kOrigin);
}

}  // namespace test
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TESTS_INVERT_TESTING_H
