// Loading a response matrix from its text file: the two counts, what a data
// line and a value are, the log lines, and the files that must be refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testing.h"

namespace {

using zor_feedback::test::cols_line;
using zor_feedback::test::rows_line;
using zor_feedback::test::TempDir;
using zor_feedback::test::write_file;

namespace fs = std::filesystem;
using zor_feedback::test::Line;

const char* const kOrigin = "QTEV_ResponseMatrix::load_file";
constexpr unsigned int kInfo = 128;
constexpr float K = -9.0f;  // an element the load must leave as it was
const float kInf = std::numeric_limits<float>::infinity();

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t k = s.find(from); k != std::string::npos; k = s.find(from, k + to.size()))
    s.replace(k, from.size(), to);
  return s;
}

enum class Kind { File, Missing, Directory, Fifo, Unreadable, ReadError, NullPath };

struct Case {
  const char* label;
  Kind kind;
  std::string content;  // for Kind::File and Kind::Unreadable
  int rows, cols;
  bool ok;
  std::vector<float> want;  // row-major; empty: every element stays K
  // Lines after the start line; "$F" stands for the path, "$N" for the size.
  std::vector<std::pair<unsigned int, std::string>> lines;
  std::string file_name = "m.txt";
};

std::string read_line(const std::string& bytes, int m, int n) {
  return "INFO: Read " + bytes + " bytes from: $F into " + std::to_string(m) + " x " + std::to_string(n) +
         " GSL array";
}
const std::pair<unsigned int, std::string> kNotFound{DF_LOG, "ERROR: file $F not found!"};

std::vector<Case> cases() {
  const std::string long_blanks(70000, ' ');  // more than one read buffer
  const std::string long_note(100000, 'x');
  const std::string long_name(200, 'n');
  // clang-format off
  return {
      {"plain", Kind::File, "0.5 -1.25 3e-2\n1 2 3\n", 2, 3, true,
       {0.5f, -1.25f, 0.03f, 1, 2, 3}, {{kInfo, read_line("21", 2, 3)}}},
      {"comments and a note", Kind::File,
       "#response matrix: 2 monitors, 3 actuators\n0.5  -1.25  3e-2\n1 2 3   # last row\n", 2, 3, true,
       {0.5f, -1.25f, 0.03f, 1, 2, 3}, {{kInfo, read_line("$N", 2, 3)}}},
      {"CR LF, tabs, trailing blanks", Kind::File, "1\t2\t3 \t\r\n4 5 6   \r\n", 2, 3, true,
       {1, 2, 3, 4, 5, 6}, {{kInfo, read_line("$N", 2, 3)}}},
      {"no final line feed", Kind::File, "1 2 3\n4 5 6", 2, 3, true,
       {1, 2, 3, 4, 5, 6}, {{kInfo, read_line("11", 2, 3)}}},
      {"comment after the last row", Kind::File, "1 2\n4 5 6\n#end\n", 2, 3, true,
       {1, 2, K, 4, 5, 6}, {{kInfo, read_line("10", 2, 3)}}},
      {"blank then # is a row", Kind::File, " # note\n1 2 3\n", 2, 3, true,
       {K, K, K, 1, 2, 3}, {{kInfo, read_line("14", 2, 3)}}},
      {"commas on an earlier row", Kind::File, "1,2,3\n4 5 6\n", 2, 3, true,
       {1, K, K, 4, 5, 6},
       {{kInfo, read_line("12", 2, 3)},
        {DF_LOG, "WARNING: 1 lines continue with ',' and a number (first: line 1): no separator, rest not read"}}},
      {"nan on an earlier row", Kind::File, "1 nan 3\n4 5 6\n", 2, 3, true,
       {1, K, K, 4, 5, 6},
       {{kInfo, read_line("14", 2, 3)},
        {DF_LOG, "WARNING: 1 lines stop at 'nan', not a finite number (first: line 1); rest not read"}}},
      {"earlier row too short", Kind::File, "1 2\n4 5 6\n", 2, 3, true,
       {1, 2, K, 4, 5, 6}, {{kInfo, read_line("10", 2, 3)}}},
      {"long lines", Kind::File, long_blanks + "1 2 3\n4 5 6 #" + long_note + "\n", 2, 3, true,
       {1, 2, 3, 4, 5, 6}, {{kInfo, read_line("$N", 2, 3)}}},
      {"number syntax", Kind::File, "1.2.3 4\n-.5 +.5e1 5.\n", 2, 3, true,
       {1.2f, 0.3f, 4, -0.5f, 5, 5}, {{kInfo, read_line("$N", 2, 3)}}},
      {"a word, an open exponent, hex", Kind::File, "1 2 x 4\n1 2 3e\n0x10 2 3\n7 8 9\n", 4, 3, true,
       {1, 2, K, 1, 2, K, 0, K, K, 7, 8, 9}, {{kInfo, read_line("$N", 4, 3)}}},
      {"float range", Kind::File, "1e39 -1e39 1e-50\n7 1e400 3\n0.1 -0 +2.5\n", 3, 3, true,
       {kInf, -kInf, 0, 7, K, K, 0.1f, -0.0f, 2.5f},
       {{kInfo, read_line("$N", 3, 3)},
        {DF_LOG, "WARNING: 1 lines stop at '1e400', not a finite number (first: line 2); rest not read"}}},
      {"empty file into 0 x 0", Kind::File, "", 0, 0, true, {}, {{kInfo, read_line("0", 0, 0)}}},
      {"empty lines into 2 x 0", Kind::File, "\n#c\n \n", 2, 0, true, {}, {{kInfo, read_line("6", 2, 0)}}},

      {"empty file", Kind::File, "", 2, 3, false, {}, {{DF_LOG, rows_line(0, 2)}}},
      {"comments only", Kind::File, "# a\n# b\n", 2, 3, false, {}, {{DF_LOG, rows_line(0, 2)}}},
      {"data into 0 rows", Kind::File, "1 2 3\n", 0, 3, false, {}, {{DF_LOG, rows_line(1, 0)}}},
      {"heading of words", Kind::File, "m1 m2 m3\n1 2 3\n4 5 6\n", 2, 3, false, {}, {{DF_LOG, rows_line(3, 2)}}},
      {"empty line between rows", Kind::File, "1 2 3\n\n4 5 6\n", 2, 3, false, {}, {{DF_LOG, rows_line(3, 2)}}},
      {"empty line at the end", Kind::File, "1 2 3\n4 5 6\n\n", 2, 3, false, {}, {{DF_LOG, rows_line(3, 2)}}},
      {"both counts wrong", Kind::File, "1 2\n", 2, 3, false, {}, {{DF_LOG, rows_line(1, 2)}}},
      {"commas on the last row", Kind::File, "1 2 3\n1,2,3\n", 2, 3, false, {}, {{DF_LOG, cols_line(1, 3)}}},
      {"word on the last row", Kind::File, "1 2 3\n1 2 x 4\n", 2, 3, false, {}, {{DF_LOG, cols_line(2, 3)}}},
      {"last row too long", Kind::File, "1 2 3\n4 5 6 7\n", 2, 3, false, {}, {{DF_LOG, cols_line(4, 3)}}},
      {"last row too short", Kind::File, "1 2 3\n4 5\n", 2, 3, false, {}, {{DF_LOG, cols_line(2, 3)}}},
      {"blank last row", Kind::File, "1 2 3\n   \r\n", 2, 3, false, {}, {{DF_LOG, cols_line(0, 3)}}},
      {"nan and inf are words", Kind::File, "nan 1 2\n1 2 inf\n", 2, 3, false, {}, {{DF_LOG, cols_line(2, 3)}}},
      {"earlier row too long", Kind::File, "#c\n1 2 3 9\n4 5 6\n", 2, 3, false, {},
       {{DF_LOG, "ERROR: Line 2 has 4 values, more than no. of actuators (3)!"}}},

      {"missing", Kind::Missing, "", 2, 3, false, {}, {kNotFound}},
      {"directory", Kind::Directory, "", 2, 3, false, {}, {kNotFound}},
      {"FIFO", Kind::Fifo, "", 2, 3, false, {}, {kNotFound}},
      {"unreadable", Kind::Unreadable, "1 2 3\n4 5 6\n", 2, 3, false, {}, {kNotFound}},
      {"read error", Kind::ReadError, "", 2, 3, false, {}, {{DF_LOG, "ERROR: reading file $F failed!"}}},
      {"null path", Kind::NullPath, "", 2, 3, false, {}, {kNotFound}},

      {"long path, loaded", Kind::File, "1 2 3\n4 5 6\n", 2, 3, true,
       {1, 2, 3, 4, 5, 6}, {{kInfo, read_line("12", 2, 3)}}, long_name},
      {"long path, missing", Kind::Missing, "", 2, 3, false, {}, {kNotFound}, long_name},
  };
  // clang-format on
}

// Runs load_file on a FIFO; should the call block, a writer is opened after a
// while so that the test ends, and the returned flag says so.
bool load_fifo(QTEV_ResponseMatrix& m, const std::string& path, bool& blocked) {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  blocked = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (!cv.wait_for(lock, std::chrono::seconds(3), [&] { return done; })) {
      blocked = true;
      const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  });
  const bool ok = m.load_file(path.c_str());
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
  }
  cv.notify_one();
  watchdog.join();
  return ok;
}

TEST(LoadFile, TableOfFiles) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.label);
    if (c.kind == Kind::Unreadable && ::geteuid() == 0) continue;  // root reads it anyway
    TempDir dir;
    std::string path = (dir.path() / c.file_name).string();
    switch (c.kind) {
      case Kind::File:
      case Kind::Unreadable:
        write_file(path, c.content);
        if (c.kind == Kind::Unreadable) fs::permissions(path, fs::perms::none);
        break;
      case Kind::Directory:
        fs::create_directory(path);
        break;
      case Kind::Fifo:
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        break;
      case Kind::ReadError:
        path = "/proc/self/mem";  // a regular file whose first page cannot be read
        break;
      case Kind::Missing:
      case Kind::NullPath:
        break;
    }

    QTEV_ResponseMatrix m("RM", c.rows, c.cols, nullptr);
    m.init(K);
    ovrix::LogCapture cap;
    bool ok;
    if (c.kind == Kind::Fifo) {
      bool blocked;
      ok = load_fifo(m, path, blocked);
      EXPECT_FALSE(blocked) << "load_file blocked on a FIFO";
    } else {
      ok = m.load_file(c.kind == Kind::NullPath ? nullptr : path.c_str());
    }
    EXPECT_EQ(ok, c.ok);

    std::vector<float> want = c.want;
    if (want.empty()) want.assign(static_cast<std::size_t>(c.rows) * static_cast<std::size_t>(c.cols), K);
    EXPECT_TRUE(zor_feedback::test::same_bits(zor_feedback::test::elements(m), want));
    EXPECT_EQ(m.rows, c.rows);
    EXPECT_EQ(m.cols, c.cols);

    const std::string shown = c.kind == Kind::NullPath ? "(null)" : path;
    std::vector<Line> lines{{kOrigin, "INFO: Loading file " + shown + " ...", kInfo}};
    for (const auto& l : c.lines)
      lines.push_back(
          {kOrigin, replace_all(replace_all(l.second, "$F", shown), "$N", std::to_string(c.content.size())),
           l.first});
    for (Line& l : lines) l.text = l.text.substr(0, 99);  // the 100-byte message buffer
    zor_feedback::test::expect_lines(cap, lines);
  }
}

TEST(LoadFile, LongPathIsCutAt99Characters) {
  TempDir dir;
  const std::string path = write_file(dir.path() / std::string(150, 'p'), "1\n");
  ASSERT_GT(path.size(), 99u);
  QTEV_ResponseMatrix m("RM", 1, 1, nullptr);
  ovrix::LogCapture cap;
  EXPECT_TRUE(m.load_file(path.c_str()));
  ASSERT_EQ(cap.lines().size(), 2u);
  EXPECT_EQ(cap.lines()[0].text.size(), 99u);
  EXPECT_EQ(cap.lines()[0].text, ("INFO: Loading file " + path).substr(0, 99));
  EXPECT_EQ(cap.lines()[1].text, ("INFO: Read 2 bytes from: " + path).substr(0, 99));
}

// Files larger than the reader's buffer: many lines, and one line of many
// values.
TEST(LoadFile, LargeFilesAreReadWhole) {
  TempDir dir;
  for (const auto& shape : {std::pair<int, int>{300, 250}, std::pair<int, int>{1, 30000}}) {
    const int rows = shape.first, cols = shape.second;
    std::ostringstream text;
    text << "# generated\n";
    for (int i = 0; i < rows; ++i) {
      for (int j = 0; j < cols; ++j) text << (j ? " " : "") << i << "." << (j % 1000);
      text << "\n";
    }
    const std::string content = text.str();
    const std::string path = write_file(dir.path() / "big.txt", content);
    QTEV_ResponseMatrix m("RM", rows, cols, nullptr);
    ovrix::LogCapture cap;
    ASSERT_TRUE(m.load_file(path.c_str()));
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j)
        ASSERT_EQ(zor_feedback::test::at(m, i, j),
                  static_cast<float>(std::stod(std::to_string(i) + "." + std::to_string(j % 1000))))
            << i << "," << j;
    ASSERT_EQ(cap.lines().size(), 2u);
    EXPECT_EQ(cap.lines()[1].text,
              ("INFO: Read " + std::to_string(content.size()) + " bytes from: " + path + " into " +
               std::to_string(rows) + " x " + std::to_string(cols) + " GSL array")
                  .substr(0, 99));
  }
}

// The loader stores through the base class's own set_value, not through an
// override.
class NoClientWrites : public QTEV_ResponseMatrix {
 public:
  using QTEV_ResponseMatrix::QTEV_ResponseMatrix;
  void set_value(float, int, int, int, int, int, int) override {
    throw std::logic_error("virtual set_value");
  }
};

TEST(LoadFile, StoresThroughTheBaseClass) {
  TempDir dir;
  const std::string path = write_file(dir.path() / "m.txt", "1 2\n3 4\n");
  NoClientWrites m("RM", 2, 2, nullptr);
  ovrix::LogCapture cap;
  EXPECT_TRUE(m.load_file(path.c_str()));
  EXPECT_EQ(zor_feedback::test::elements(m), (std::vector<float>{1, 2, 3, 4}));
}

// The shape by the loader's counting, and the lines it reads differently than
// they look, by what ends their values.
TEST(MatrixFileShape, CountsLikeTheLoaderAndSortsOutTheStops) {
  struct ShapeCase {
    const char* content;
    int rows, cols;
    long long shorter, longer;
    long long separator, not_finite, other;  // lines of each kind
    const char* first_text;                  // the first stop's text, of whichever kind
  };
  const ShapeCase cases[] = {
      {"", 0, 0, 0, 0, 0, 0, 0, ""},
      {"# only a comment\n", 0, 0, 0, 0, 0, 0, 0, ""},
      {"1 2 3\r\n4 5 6   # note\r\n", 2, 3, 0, 0, 0, 0, 0, ""},
      {"# c\n1 2\n # a note, not a comment\n3 4", 3, 2, 1, 0, 0, 0, 0, ""},
      {"1 2 3\n4 5\n#end\n", 2, 2, 0, 1, 0, 0, 0, ""},
      {"1,2,3\n4;5;6\n7, 8, 9\n", 3, 1, 0, 0, 3, 0, 0, ","},
      {"1 nan 3\n-inf\n1e999 2\n", 3, 0, 0, 1, 0, 3, 0, "nan"},
      {"1 2 x 4\n1,\nWORDS here\n", 3, 0, 0, 2, 0, 0, 3, "x"},
  };
  TempDir dir;
  const std::string file = (dir.path() / "shape.txt").string();
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.content);
    write_file(file, c.content);
    const zor_feedback::MatrixFileShape s = zor_feedback::matrix_file_shape(file.c_str());
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.rows, c.rows);
    EXPECT_EQ(s.cols, c.cols);
    EXPECT_EQ(s.shorter_lines, c.shorter);
    EXPECT_EQ(s.longer_lines, c.longer);
    EXPECT_EQ(s.separator.lines, c.separator);
    EXPECT_EQ(s.not_finite.lines, c.not_finite);
    EXPECT_EQ(s.other.lines, c.other);
    const auto& first = c.separator ? s.separator : c.not_finite ? s.not_finite : s.other;
    EXPECT_EQ(first.text, c.first_text);
    EXPECT_EQ(first.first_line, c.separator + c.not_finite + c.other > 0 ? 1 : 0);
  }
  const std::string missing = (dir.path() / "missing.txt").string();
  const zor_feedback::MatrixFileShape s = zor_feedback::matrix_file_shape(missing.c_str());
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(s.error, "cannot open '" + missing + "': No such file or directory");
  EXPECT_FALSE(zor_feedback::matrix_file_shape(dir.path().c_str()).ok) << "a directory is no matrix file";
}

}  // namespace
