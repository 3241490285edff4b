// matrix_files.h - which files a client may have the server open: regular
// files inside one directory, up to a size. Knows nothing of TANGO.
#ifndef ZOR_FEEDBACK_TANGO_MATRIX_FILES_H
#define ZOR_FEEDBACK_TANGO_MATRIX_FILES_H

#include <string>

namespace zor_feedback {
namespace tango {

class MatrixFiles {
 public:
  // Files from `directory` (resolved now) of at most `max_bytes`. ok() is
  // false, with error(), when the directory cannot be resolved.
  MatrixFiles(const std::string& directory, long long max_bytes);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& directory() const { return directory_; }
  long long max_bytes() const { return max_bytes_; }
  void set_max_bytes(long long n) { max_bytes_ = n; }

  // The resolved path of `path` (relative: to the directory), or empty with
  // the reason in *error. A path with a control character is refused before
  // anything else (its text is never echoed); one that does not resolve to a
  // place inside the directory gets one text, whether it exists or not.
  std::string resolve(const std::string& path, std::string* error) const;

 private:
  std::string directory_;
  long long max_bytes_;
  std::string error_;
};

}  // namespace tango
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TANGO_MATRIX_FILES_H
