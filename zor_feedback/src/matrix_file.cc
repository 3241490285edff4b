#include "matrix_file.h"

#include "log_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace zor_feedback {
namespace detail {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

// O_NONBLOCK keeps the open of a FIFO without a writer from blocking; only
// regular files are accepted afterwards.
int open_regular_file(const char* fname, struct stat& st, std::string* why) {
  if (fname == nullptr) {
    if (why != nullptr) *why = "no file name";
    return -1;
  }
  int fd;
  do fd = ::open(fname, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (why != nullptr) *why = std::strerror(errno);
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (why != nullptr) *why = "not a regular file";
    ::close(fd);
    return -1;
  }
  // Plain blocking reads from here on (regular files ignore the flag anyway).
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

bool same_file_state(int fd, const struct stat& before) {
  struct stat now;
  if (::fstat(fd, &now) != 0) return false;
  return now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

bool LineReader::next(std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    if (pos_ == end_ && !fill()) return any && !failed_;
    const char* const begin = buf_.data() + pos_;
    const std::size_t avail = end_ - pos_;
    const void* const lf = std::memchr(begin, '\n', avail);
    if (lf != nullptr) {
      const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(lf) - begin);
      line.append(begin, n);
      pos_ += n + 1;
      consumed_ += static_cast<long long>(n) + 1;
      return true;
    }
    line.append(begin, avail);
    pos_ = end_;
    consumed_ += static_cast<long long>(avail);
    any = true;
  }
}

void LineReader::rewind() noexcept {
  pos_ = end_ = 0;
  file_pos_ = 0;
  consumed_ = 0;
  failed_ = false;
}

bool LineReader::fill() {
  if (text_ != nullptr) {
    const auto at = static_cast<std::size_t>(file_pos_);
    const std::size_t n = std::min(buf_.size(), text_->size() - std::min(at, text_->size()));
    if (n == 0) return false;
    std::memcpy(buf_.data(), text_->data() + at, n);
    file_pos_ += static_cast<off_t>(n);
    pos_ = 0;
    end_ = n;
    return true;
  }
  ssize_t n;
  do n = ::pread(fd_, buf_.data(), buf_.size(), file_pos_);
  while (n < 0 && errno == EINTR);
  if (n <= 0) {
    failed_ = n < 0;
    return false;
  }
  file_pos_ += n;
  pos_ = 0;
  end_ = static_cast<std::size_t>(n);
  return true;
}

namespace {

// The word at p: up to white space, ',' or ';'.
std::string word_at(const char* p, const char* end) {
  const char* q = p;
  while (q != end && !scanning::is_space(*q) && *q != ',' && *q != ';') ++q;
  return std::string(p, q);
}

void note(MatrixFileShape::Stop& stop, long long line_no, std::string text) {
  if (stop.lines++ == 0) {
    stop.first_line = line_no;
    stop.text = std::move(text);
  }
}

// Sorts out why the values of a line end at p, before its end: a separator
// before a number, a NaN or an infinity the stream does not take, or other
// text. A '#' note ends a line as meant.
void classify_stop(const char* p, const char* end, long long line_no, FileCount* count) {
  if (p == end || *p == '#') return;
  if (*p == ',' || *p == ';') {
    const char* q = p + 1;
    while (q != end && scanning::is_space(*q)) ++q;
    double v;
    if (q != end && scanning::scan_one(q, end, v)) {
      note(count->separator, line_no, std::string(1, *p));
      return;
    }
  }
  const std::string word = word_at(p, end);
  char* stop = nullptr;
  const double v = std::strtod(word.c_str(), &stop);
  // A few characters are enough to point at it in a message.
  std::string shown = word.empty() ? std::string(1, *p) : word.substr(0, 16);
  if (!word.empty() && stop == word.c_str() + word.size() && !std::isfinite(v))
    note(count->not_finite, line_no, std::move(shown));
  else
    note(count->other, line_no, std::move(shown));
}

}  // namespace

bool count_file(LineReader& reader, FileCount* count) {
  std::string line;
  long long line_no = 0;
  while (reader.next(line)) {
    ++line_no;
    if (is_comment(line)) continue;
    const char* stop = nullptr;
    const long long n = for_each_value(
        line, [](double) {}, &stop);
    classify_stop(stop, line.data() + line.size(), line_no, count);
    auto& entry = count->by_count[n];
    if (entry.first++ == 0) entry.second = line_no;
    ++count->data_lines;
    count->last_count = n;
    count->last_data_line = line_no;
    count->len = reader.offset();
  }
  count->bytes = reader.offset();
  return !reader.failed();
}

std::pair<long long, long long> FileCount::first_line_above(long long limit) const {
  std::pair<long long, long long> first{0, 0};  // (line, values)
  for (auto it = by_count.upper_bound(limit); it != by_count.end(); ++it)
    if (first.first == 0 || it->second.second < first.first) first = {it->second.second, it->first};
  return first;
}

std::vector<std::string> warn_misread_lines(const char* origin, const FileCount& count) {
  std::vector<std::string> warnings;
  if (count.separator.lines > 0)
    warnings.push_back(log_line(
        origin, DF_LOG,
        "WARNING: %lld lines continue with '%s' and a number (first: line %lld): no separator, rest not read",
        count.separator.lines, count.separator.text.c_str(), count.separator.first_line));
  if (count.not_finite.lines > 0)
    warnings.push_back(
        log_line(origin, DF_LOG,
                 "WARNING: %lld lines stop at '%s', not a finite number (first: line %lld); rest not read",
                 count.not_finite.lines, count.not_finite.text.c_str(), count.not_finite.first_line));
  if (count.other.lines > 0)
    warnings.push_back(format_line("WARNING: %lld lines end in text ('%s', first: line %lld); rest not read",
                                   count.other.lines, count.other.text.c_str(), count.other.first_line));
  long long shorter = 0, first = 0;
  for (const auto& [values, lines] : count.by_count)
    if (values < count.last_count) {
      shorter += lines.first;
      first = first == 0 ? lines.second : std::min(first, lines.second);
    }
  if (shorter > 0)
    warnings.push_back(
        format_line("WARNING: %lld lines hold fewer values than the last (first: line %lld); "
                    "their rest is not set",
                    shorter, first));
  return warnings;
}

CountedFile::CountedFile(const char* path)
    : shown(std::string("'") + (path != nullptr ? path : "(null)") + "'"),
      fd(open_regular_file(path, st, &error)),
      reader(fd.get()) {
  if (fd.get() < 0) {
    error = "cannot open " + shown + ": " + error;
  } else if (!count_file(reader, &count)) {
    error = "cannot read " + shown + ": " + std::strerror(errno);
  }
}

}  // namespace detail

MatrixFileShape matrix_file_shape(const char* path) {
  MatrixFileShape shape;
  detail::CountedFile file(path);
  if (!file.error.empty()) {
    shape.error = std::move(file.error);
    return shape;
  }
  detail::FileCount& count = file.count;
  if (count.data_lines > INT_MAX || count.last_count > INT_MAX) {
    shape.error = file.shown + " holds more rows or columns than a matrix can have";
    return shape;
  }
  shape.ok = true;
  shape.rows = static_cast<int>(count.data_lines);
  shape.cols = static_cast<int>(count.last_count);
  shape.last_data_line = count.last_data_line;
  for (const auto& [values, lines] : count.by_count) {
    const bool shorter = values < count.last_count;
    if (!shorter && values == count.last_count) continue;
    long long& n = shorter ? shape.shorter_lines : shape.longer_lines;
    long long& first = shorter ? shape.first_shorter_line : shape.first_longer_line;
    n += lines.first;
    if (first == 0 || lines.second < first) first = lines.second;
  }
  shape.separator = std::move(count.separator);
  shape.not_finite = std::move(count.not_finite);
  shape.other = std::move(count.other);
  return shape;
}

std::string misread(const MatrixFileShape& s) {
  if (!s.ok) return s.error;
  if (s.separator.lines > 0)
    return "line " + std::to_string(s.separator.first_line) + ": values separated by '" + s.separator.text +
           "' (" + std::to_string(s.separator.lines) +
           " lines); the loader separates values by blanks only and would read the first value of each such "
           "line";
  if (s.not_finite.lines > 0)
    return "line " + std::to_string(s.not_finite.first_line) + ": '" + s.not_finite.text +
           "' is not a number the loader reads (NaN and infinity are not; " +
           std::to_string(s.not_finite.lines) + " lines), so the row would end there";
  if (s.other.lines == 0 && s.shorter_lines == 0) return {};
  if (s.other.lines == 0)
    return "line " + std::to_string(s.first_shorter_line) + ": fewer values than the " +
           std::to_string(s.cols) + " of the last data line (" + std::to_string(s.shorter_lines) +
           " lines); the rest of such a row would keep its old values";
  const std::string at = "line " + std::to_string(s.other.first_line) + ": ";
  if (s.other.text.rfind("\xEF\xBB\xBF", 0) == 0)
    return at + "a byte-order mark; the loader reads plain ASCII text, save the file without it";
  if (s.other.text.rfind("%%", 0) == 0)
    return at +
           "a Matrix Market header; the loader reads blank-separated rows: convert the file first with "
           "'zorfb matrix FILE.mtx --out FILE.txt' (the name must end in .mtx), or read it by a name ending "
           "in "
           ".mtx";
  return at + "the text after the values ('" + s.other.text + "') is not read (" +
         std::to_string(s.other.lines) + " lines); mark notes with '#'";
}

}  // namespace zor_feedback
