#include "matrix_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace zor_feedback {
namespace tango {

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// The canonical path, or empty (errno set).
std::string real_path(const std::string& path) {
  const std::unique_ptr<char, FreeDeleter> p(::realpath(path.c_str(), nullptr));
  return p ? std::string(p.get()) : std::string();
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
}

std::string MatrixFiles::resolve(const std::string& path, std::string* error) const {
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7f) {
      *error = "refused: the path holds a control character (at byte " + std::to_string(i) + ")";
      return {};
    }
  }
  const std::string resolved = real_path(path.empty() || path[0] != '/' ? directory_ + "/" + path : path);
  if (resolved.empty() || resolved.compare(0, directory_.size() + 1, directory_ + "/") != 0) {
    *error = "refused: '" + path + "' is no file in the matrix directory " + directory_;
    return {};
  }
  struct stat st {};
  if (::stat(resolved.c_str(), &st) != 0) {
    *error = "cannot open '" + path + "': " + std::strerror(errno);
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "refused: '" + path + "' is not a regular file";
    return {};
  }
  if (static_cast<long long>(st.st_size) > max_bytes_) {
    *error = "refused: '" + path + "' holds " + std::to_string(st.st_size) +
             " bytes, more than the limit of " + std::to_string(max_bytes_) +
             " (device property MatrixFileLimit)";
    return {};
  }
  return resolved;
}

}  // namespace tango
}  // namespace zor_feedback
