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

#include "zor_feedback/matrix_load.h"
#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

void print_error(const std::string& text) { std::cerr << "zorfb: error: " << text << '\n'; }

void print_warning(const std::string& text) { std::cerr << "zorfb: warning: " << text << '\n'; }

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
  const zor_feedback::MatrixLoad load = zor_feedback::load_matrix_file(file.c_str(), [&](int rows, int cols) {
    in->R = std::make_unique<QTEV_ResponseMatrix>(property, rows, cols, &location);
    return in->R.get();
  });
  if (!load.ok) {
    in->R.reset();
    print_error(load.error);
    return kFailure;
  }
  in->shape.ok = true;
  in->shape.rows = load.rows;
  in->shape.cols = load.cols;
  in->warnings.insert(in->warnings.end(), load.warnings.begin(), load.warnings.end());
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
