// Shared helpers of the tests.
#ifndef ZOR_FEEDBACK_TESTS_TESTING_H
#define ZOR_FEEDBACK_TESTS_TESTING_H

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace test {

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

// A fresh directory for the files of one test, removed afterwards (also when
// a test took away its permissions).
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zf_test_XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(path_, ec))
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string write_file(const std::filesystem::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
  return p.string();
}

// The loader's two count lines.
inline std::string rows_line(int m, int rows) {
  return "ERROR: No. rows (" + std::to_string(m) + ") do not match no. of monitors (" + std::to_string(rows) +
         ")!";
}
inline std::string cols_line(int n, int cols) {
  return "ERROR: No. columns (" + std::to_string(n) + ") do not match no. of actuators (" +
         std::to_string(cols) + ")!";
}

}  // namespace test
}  // namespace zor_feedback

#endif
