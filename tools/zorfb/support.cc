// Logging, standard-output diversion, response-matrix files and small output
// helpers of zorfb.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <iostream>
#include <string>

#include "zor_feedback/value_scanner.h"
#include "zorfb/zorfb.h"

namespace zorfb {

// ---------------------------------------------------------------------------
LogSession::LogSession(bool verbose)
    : verbose_(verbose), previous_(ovrix::set_log_sink([this](const ovrix::LogLine& l) {
        lines_.push_back(l);
        const bool error = (l.flags & DF_LOG) != 0 && l.text.rfind("ERROR: ", 0) == 0;
        if (error) ++errors_;
        if (!error && !verbose_) return;
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
bool count_shape(const std::string& path, FileShape* shape, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = "'" + path + "' is not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::in);
  if (!in) {
    *error = "cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  // Counts per data line, to compare them with the last one afterwards.
  std::vector<std::pair<int, long long>> counts;  // (line number, values)
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line[0] == '#') continue;
    const long long n = zor_feedback::detail::scan_values(line.data(), line.data() + line.size(), [](double) {});
    counts.emplace_back(number, n);
  }
  if (in.bad()) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  const long long most = std::numeric_limits<int>::max();
  if (static_cast<long long>(counts.size()) > most || (!counts.empty() && counts.back().second > most)) {
    *error = "'" + path + "' holds more rows or columns than a matrix can have";
    return false;
  }
  FileShape s;
  s.rows = static_cast<int>(counts.size());
  if (!counts.empty()) {
    s.cols = static_cast<int>(counts.back().second);
    s.last_data_line = counts.back().first;
  }
  for (const auto& c : counts) {
    if (c.second < s.cols) {
      if (s.fewer_lines++ == 0) s.first_fewer_line = c.first;
    } else if (c.second > s.cols) {
      if (s.more_lines++ == 0) s.first_more_line = c.first;
    }
  }
  *shape = s;
  return true;
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
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j)
      std::fprintf(f, j == 0 ? "%.9g" : " %.9g", static_cast<double>(m.value(i, j, -1, -1, -1, -1)));
    std::fputc('\n', f);
  }
  const bool ok = std::ferror(f) == 0;
  if (std::fclose(f) != 0 || !ok) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// ---------------------------------------------------------------------------
namespace {

bool readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

std::string executable_dir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string example_data_path(const std::string& file) {
  const std::string exe_dir = executable_dir();
  if (!exe_dir.empty()) {
    const std::string installed = exe_dir + "/" ZORFB_INSTALLED_DATA_DIR "/" + file;
    if (readable(installed)) return installed;
  }
  const std::string source = std::string(ZORFB_SOURCE_DATA_DIR) + "/" + file;
  if (readable(source)) return source;
  return {};
}

}  // namespace zorfb
