// matrix_file.h - reading response-matrix text files: the regular-file open,
// the change check, the line reader and the counting pass that load_file and
// matrix_file_shape share. Private to the library; not installed.
#ifndef ZOR_FEEDBACK_MATRIX_FILE_H
#define ZOR_FEEDBACK_MATRIX_FILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "value_scanner.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace detail {

// Closes the file on every way out of its reader, exceptions included.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// Opens `fname` for reading if it is a regular file; -1 otherwise, with the
// reason in *why when given ("No such file or directory", "not a regular
// file"). Neither a FIFO nor a device can stall or feed a reader without end.
int open_regular_file(const char* fname, struct stat& st, std::string* why = nullptr);

// Whether the file looks unchanged since `before` was taken.
bool same_file_state(int fd, const struct stat& before);

// Splits a file into lines at each line feed (not part of the line; a carriage
// return before it is), through one fixed buffer, so that only the current
// line is held in memory whatever the size of the file. The last line needs
// no line feed; a file that ends with one has no empty line after it.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buf_(kBufferSize) {}
  // Lines of a text already in memory (a decompressed file); `text` must
  // outlive the reader.
  explicit LineReader(const std::string* text) : text_(text), buf_(kBufferSize) {}

  // The next line into `line`; false at the end of the file or on a read
  // error (then failed() is true).
  bool next(std::string& line);
  // Bytes from the start of the file to just past the last line read.
  long long offset() const noexcept { return consumed_; }
  bool failed() const noexcept { return failed_; }
  // Back to the start of the file, for another pass.
  void rewind() noexcept;

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;
  bool fill();

  int fd_ = -1;
  const std::string* text_ = nullptr;
  std::vector<char> buf_;
  std::size_t pos_ = 0, end_ = 0;  // unread part of buf_
  off_t file_pos_ = 0;             // file offset of the next read
  long long consumed_ = 0;
  bool failed_ = false;
};

inline bool is_comment(const std::string& line) { return !line.empty() && line[0] == '#'; }

// The values of a line: what a C++ input stream extracts from it as doubles,
// up to the first failed extraction (value_scanner.h).
template <class F>
long long for_each_value(const std::string& line, F&& f, const char** stop = nullptr) {
  return scan_values(line.data(), line.data() + line.size(), std::forward<F>(f), stop);
}

// What the counting pass learns of a file.
struct FileCount {
  long long data_lines = 0;      // lines not starting with '#'
  long long last_count = 0;      // values on the last data line
  long long last_data_line = 0;  // its line number, from 1
  long long len = 0;             // offset just past the last data line
  long long bytes = 0;           // offset at the end of the pass
  // Data lines by their number of values: count -> (lines, first line).
  std::map<long long, std::pair<long long, long long>> by_count;
  MatrixFileShape::Stop separator, not_finite, other;

  // The first data line with more than `limit` values, and its count; 0, 0
  // when there is none.
  std::pair<long long, long long> first_line_above(long long limit) const;
};

// The counting pass: reads every line from the reader's position. False on a
// read error.
bool count_file(LineReader& reader, FileCount* count);

// A file opened as open_regular_file does and counted by count_file, still
// open for a further pass through `reader`. `error` is empty when both
// worked, else "cannot open 'PATH': why" or "cannot read 'PATH': why".
struct CountedFile {
  explicit CountedFile(const char* path);
  std::string error;  // first: the others' initialisers write into it
  std::string shown;  // the path as messages quote it: 'PATH'
  struct stat st {};
  FileDescriptor fd;
  LineReader reader;
  FileCount count;
};

// Logs (DF_LOG) and returns a "WARNING: ..." line for each kind of line that
// loads as the rules say but not as it looks: values after a separator or a
// NaN are not read, and the rows they belong to keep their old elements.
// Text after the values and rows shorter than the last are returned too but
// not logged, so that load_file's log stays as servers know it.
std::vector<std::string> warn_misread_lines(const char* origin, const FileCount& count);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_MATRIX_FILE_H
