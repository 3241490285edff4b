// matrix_files.h - which files a client may have the server open: regular
// files inside one directory, up to a size. Knows nothing of TANGO.
#ifndef ZOR_FEEDBACK_SERVER_MATRIX_FILES_H
#define ZOR_FEEDBACK_SERVER_MATRIX_FILES_H

#include <string>

namespace zor_feedback {
namespace server {

class MatrixFiles {
 public:
  // Files from `directory` (resolved now) of at most `max_bytes`. ok() is
  // false, with error(), when the directory cannot be resolved.
  MatrixFiles(const std::string& directory, long long max_bytes);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  long long max_bytes() const { return max_bytes_; }
  void set_max_bytes(long long n) { max_bytes_ = n; }

  // The most of a client's path a refusal shows.
  static constexpr std::size_t kShownChars = 200;

  // The resolved path of `path` (relative: to the directory), or empty with
  // the reason in *error. Refused before the file system is asked: a path
  // with a control character (its text never echoed), with a `..`
  // component, or outside the directory after the lexical resolution of
  // `.` and repeated slashes. These, a path that resolves (symbolic links
  // followed) to a place outside the directory, and a file that does not
  // exist or cannot be read, all get one text: a client learns nothing of
  // the host's other directories. Refusals show at most kShownChars of the
  // path and name the directory by its property, MatrixDirectory.
  std::string resolve(const std::string& path, std::string* error) const;
  // The resolved path of a file to write at `path`: the same rules on the
  // text, and its directory (symbolic links followed) in the directory; the
  // file need not exist. Empty with the reason in *error.
  std::string resolve_new(const std::string& path, std::string* error) const;
  // The name of a resolved file as the history and the answers show it:
  // relative to the directory.
  std::string name_of(const std::string& resolved) const;

 private:
  std::string configured_;  // the property's value, absolute, lexically resolved
  std::string directory_;   // the same, symbolic links resolved
  long long max_bytes_;
  std::string error_;
};

}  // namespace server
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SERVER_MATRIX_FILES_H
