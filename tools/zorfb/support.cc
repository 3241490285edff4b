// Logging, standard-output diversion, response-matrix files and small output
// helpers of zorfb.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <string>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

void print_error(const std::string& text) { std::cerr << "zorfb: error: " << text << '\n'; }

namespace {
void print_warning(const std::string& text) { std::cerr << "zorfb: warning: " << text << '\n'; }
}  // namespace

// ---------------------------------------------------------------------------
LogSession::LogSession(bool verbose)
    : previous_(ovrix::set_log_sink([verbose](const ovrix::LogLine& l) {
        if (!verbose) return;
        const bool has_lf = !l.text.empty() && l.text.back() == '\n';
        std::cerr << l.origin << ": " << l.text << (has_lf ? "" : "\n");
      })) {}

LogSession::~LogSession() { ovrix::set_log_sink(std::move(previous_)); }

// ---------------------------------------------------------------------------
StdoutDiversion::StdoutDiversion() {
  std::cout.flush();
  std::fflush(stdout);
  file_ = std::tmpfile();
  if (file_ == nullptr) return;  // then the output simply is not diverted
  saved_fd_ = ::dup(STDOUT_FILENO);
  if (saved_fd_ < 0 || ::dup2(::fileno(file_), STDOUT_FILENO) < 0) {
    if (saved_fd_ >= 0) ::close(saved_fd_);
    saved_fd_ = -1;
    std::fclose(file_);
    file_ = nullptr;
  }
}

StdoutDiversion::~StdoutDiversion() { finish(); }

std::string StdoutDiversion::finish() {
  if (file_ == nullptr) return {};
  std::cout.flush();
  std::fflush(stdout);
  ::dup2(saved_fd_, STDOUT_FILENO);
  ::close(saved_fd_);
  saved_fd_ = -1;
  std::string text;
  std::rewind(file_);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
  std::fclose(file_);
  file_ = nullptr;
  return text;
}

// ---------------------------------------------------------------------------
int load_matrix(const std::string& file, const char* property, EqFct& location, MatrixInput* in) {
  in->shape = zor_feedback::matrix_file_shape(file.c_str());
  const zor_feedback::MatrixFileShape& shape = in->shape;
  if (!shape.ok) {
    print_error(shape.error);
    return kFailure;
  }
  // What a server would read differently than the file looks: refused, so
  // that no result of it is taken for the matrix that was meant.
  if (shape.separator.lines > 0) {
    const std::string& sep = shape.separator.text;
    print_error(fmt::format(
        "'{0}' line {1}: values separated by '{2}' ({3} lines); the loader separates values by blanks only "
        "and "
        "would read the first value of each such line. Convert the file first, e.g.  tr '{2}' ' ' < '{0}' > "
        "converted.txt",
        file, shape.separator.first_line, sep, shape.separator.lines));
    return kFailure;
  }
  if (shape.rows == 0) {
    print_error("'" + file + "' has no data lines (every line starts with '#')");
    return kFailure;
  }
  if (shape.not_finite.lines > 0) {
    print_error(
        fmt::format("'{}' line {}: '{}' is not a number the loader reads (NaN and infinity are not; {} "
                    "lines), so the row "
                    "would end there; write finite values",
                    file, shape.not_finite.first_line, shape.not_finite.text, shape.not_finite.lines));
    return kFailure;
  }
  if (shape.cols == 0) {
    std::string why = shape.other.lines > 0 && shape.other.first_line == shape.last_data_line
                          ? " (it starts with '" + shape.other.text + "')"
                          : "";
    print_error(fmt::format(
        "'{}': the last data line (line {}) holds no numbers{}, so the number of columns is 0; remove empty "
        "lines at the end and mark headings with '#'",
        file, shape.last_data_line, why));
    return kFailure;
  }
  if (shape.other.lines > 0)
    in->warnings.push_back(
        fmt::format("'{}' line {}: the text after the values ('{}') is not read ({} lines); "
                    "mark notes with '#'",
                    file, shape.other.first_line, shape.other.text, shape.other.lines));
  // A longer line makes the loader refuse the file (with its own message); a
  // shorter one is loaded and leaves the rest of its row as it was (0 here).
  if (shape.shorter_lines > 0)
    in->warnings.push_back(fmt::format(
        "'{}': {} of {} data lines hold fewer than the {} values of the last one (first at line {}); their "
        "missing elements are 0",
        file, shape.shorter_lines, shape.rows, shape.cols, shape.first_shorter_line));

  in->R = std::make_unique<QTEV_ResponseMatrix>(property, shape.rows, shape.cols, &location);
  const zor_feedback::LoadReport load = in->R->load_report(file.c_str());
  if (!load.ok) {
    print_error(fmt::format("cannot load '{}' as a {} x {} response matrix: {}", file, shape.rows, shape.cols,
                            load.error));
    return kFailure;
  }
  in->warnings.insert(in->warnings.end(), load.warnings.begin(), load.warnings.end());
  for (int i = 0; i < shape.rows; ++i)
    for (int j = 0; j < shape.cols; ++j)
      if (!std::isfinite(in->R->value(i, j, -1, -1, -1, -1))) {
        print_error(
            fmt::format("'{}': element ({}, {}) lies beyond the float range of the matrix", file, i, j));
        return kFailure;
      }
  for (const std::string& w : in->warnings) print_warning(w);
  return kOk;
}

bool write_matrix(const std::string& path, QTEV_ResponseMatrix& m, const std::vector<std::string>& header,
                  std::string* error) {
  for (int i = 0; i < m.rows; ++i)
    for (int j = 0; j < m.cols; ++j)
      if (!std::isfinite(m.value(i, j, -1, -1, -1, -1))) {
        *error = "element (" + std::to_string(i) + ", " + std::to_string(j) +
                 ") of the result is not finite; the file format cannot carry it, nothing written to '" +
                 path + "'";
        return false;
      }
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  for (const std::string& h : header) std::fprintf(f, "# %s\n", h.c_str());
  // Each value in the fewest digits that read back as the same float (fmt's
  // shortest round-trip form, the format compiled in), a row at a time.
  fmt::memory_buffer line;
  for (int i = 0; i < m.rows; ++i) {
    line.clear();
    for (int j = 0; j < m.cols; ++j) {
      if (j != 0) line.push_back(' ');
      fmt::format_to(std::back_inserter(line), FMT_COMPILE("{}"), m.value(i, j, -1, -1, -1, -1));
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), f);
  }
  const bool ok = std::ferror(f) == 0;
  if (std::fclose(f) != 0 || !ok) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
}  // namespace cli
}  // namespace zor_feedback
