#include "matrix_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace zor_feedback {
namespace server {

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// The canonical path, or empty (errno set).
std::string real_path(const std::string& path) {
  const std::unique_ptr<char, FreeDeleter> p(::realpath(path.c_str(), nullptr));
  return p ? std::string(p.get()) : std::string();
}

// `path` (absolute) without `.` components and repeated slashes; false for a
// path with a `..` component, which is never resolved lexically: through a
// symbolic link it climbs elsewhere than the text says.
bool lexical(const std::string& path, std::string* out) {
  out->clear();
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(at, end - at);
    if (part == "..") return false;
    if (!part.empty() && part != ".") *out += "/" + part;
    at = end + 1;
  }
  if (out->empty()) *out = "/";
  return true;
}

bool inside(const std::string& path, const std::string& directory) {
  return !directory.empty() && path.size() > directory.size() + 1 &&
         path.compare(0, directory.size(), directory) == 0 && path[directory.size()] == '/';
}

std::string shown(const std::string& path) {
  if (path.size() <= MatrixFiles::kShownChars) return path;
  return path.substr(0, MatrixFiles::kShownChars) + "... (" + std::to_string(path.size()) + " characters)";
}

std::string current_directory() {
  std::vector<char> buf(PATH_MAX + 1);
  return ::getcwd(buf.data(), buf.size()) != nullptr ? std::string(buf.data()) : std::string();
}

}  // namespace

MatrixFiles::MatrixFiles(const std::string& directory, long long max_bytes)
    : directory_(real_path(directory)), max_bytes_(max_bytes) {
  struct stat st {};
  if (directory_.empty())
    error_ = "matrix directory '" + directory + "': " + std::strerror(errno);
  else if (::stat(directory_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    error_ = "matrix directory '" + directory + "' is not a directory";
  else if (max_bytes <= 0)
    error_ = "the matrix file size limit must be positive";
  // A client may name a file by the directory as configured, or as resolved.
  if (!lexical(directory[0] == '/' ? directory : current_directory() + "/" + directory, &configured_))
    configured_.clear();
}

// Empty when `path` holds no control character; else the refusal.
static std::string control_character(const std::string& path) {
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7f)
      return "refused: the path holds a control character (at byte " + std::to_string(i) + ")";
  }
  return {};
}

std::string MatrixFiles::resolve_new(const std::string& path, std::string* error) const {
  if (*error = control_character(path); !error->empty()) return {};
  const std::string no_place = "refused: '" + shown(path) + "' is no file name in MatrixDirectory";
  std::string plain;
  if (path.empty() || path.back() == '/' ||
      !lexical(path[0] == '/' ? path : directory_ + "/" + path, &plain) ||
      !(inside(plain, directory_) || inside(plain, configured_))) {
    *error = no_place;
    return {};
  }
  const std::size_t slash = plain.rfind('/');
  const std::string parent = real_path(plain.substr(0, slash));
  if (parent != directory_ && !inside(parent, directory_)) {
    *error = no_place;
    return {};
  }
  return parent + plain.substr(slash);
}

std::string MatrixFiles::resolve(const std::string& path, std::string* error) const {
  if (*error = control_character(path); !error->empty()) return {};
  const std::string no_file = "refused: '" + shown(path) + "' is no readable file in MatrixDirectory";
  std::string plain;
  if (path.empty() || !lexical(path[0] == '/' ? path : directory_ + "/" + path, &plain) ||
      !(inside(plain, directory_) || inside(plain, configured_))) {
    *error = no_file;
    return {};
  }
  const std::string resolved = real_path(plain);
  struct stat st {};
  if (!inside(resolved, directory_) || ::stat(resolved.c_str(), &st) != 0 ||
      (S_ISREG(st.st_mode) && ::access(resolved.c_str(), R_OK) != 0)) {
    *error = no_file;
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "refused: '" + shown(path) + "' is not a regular file";
    return {};
  }
  if (static_cast<long long>(st.st_size) > max_bytes_) {
    *error = "refused: '" + shown(path) + "' holds " + std::to_string(st.st_size) +
             " bytes, more than the limit of " + std::to_string(max_bytes_) +
             " (device property MatrixFileLimit)";
    return {};
  }
  return resolved;
}

std::string MatrixFiles::name_of(const std::string& resolved) const {
  return inside(resolved, directory_) ? resolved.substr(directory_.size() + 1) : resolved;
}

}  // namespace server
}  // namespace zor_feedback
