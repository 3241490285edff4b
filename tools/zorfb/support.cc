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
  file_.reset(std::tmpfile());
  if (!file_) return;  // then the output simply is not diverted
  saved_fd_ = ::dup(STDOUT_FILENO);
  if (saved_fd_ < 0 || ::dup2(::fileno(file_.get()), STDOUT_FILENO) < 0) {
    if (saved_fd_ >= 0) ::close(saved_fd_);
    saved_fd_ = -1;
    file_.reset();
  }
}

std::string StdoutDiversion::finish() {
  if (!file_) return {};
  std::cout.flush();
  std::fflush(stdout);
  ::dup2(saved_fd_, STDOUT_FILENO);
  ::close(saved_fd_);
  saved_fd_ = -1;
  std::string text;
  std::rewind(file_.get());
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file_.get())) > 0) text.append(buf, n);
  file_.reset();
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
  if (shape.rows == 0) {
    print_error("'" + file + "' has no data lines (every line starts with '#')");
    return kFailure;
  }
  // A last line of words (a heading without '#') says more as a count of 0.
  if (shape.cols == 0 && shape.separator.lines == 0 && shape.not_finite.lines == 0) {
    print_error(fmt::format(
        "'{}': the last data line (line {}) holds no numbers, so the number of columns is 0; remove empty "
        "lines at the end and mark headings with '#'",
        file, shape.last_data_line));
    return kFailure;
  }
  // What a server would read differently than the file looks: refused, so
  // that no result of it is taken for the matrix that was meant.
  if (const std::string why = zor_feedback::misread(shape); !why.empty()) {
    print_error("'" + file + "' " + why);
    return kFailure;
  }
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
