// file_contents.h - a matrix file read whole into memory, plain or
// gzip-compressed. Private to the library; not installed.
#ifndef ZOR_FEEDBACK_FILE_CONTENTS_H
#define ZOR_FEEDBACK_FILE_CONTENTS_H

#include <cstddef>
#include <string>

namespace zor_feedback {
namespace detail {

// The most a file may hold once decompressed. The largest response matrices
// (about 1850 x 712 values) take some 16 MiB as text, so a file beyond this is
// not a matrix, and a gzip bomb stops here instead of exhausting the memory of
// the process that reads it (a server among them).
constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

// Whether `path` names a gzip-compressed file (ends in ".gz").
bool is_gzip_name(const std::string& path);

// `path` without a final ".gz".
std::string without_gz(const std::string& path);

// Whether `path`, without a final ".gz", ends in `tail` (".npy", ".mtx").
bool has_format(const std::string& path, const char* tail);

// Reads the whole regular file `path` into *out, decompressing it when its
// name ends in ".gz". False with *error ("cannot open 'PATH': why", ...) when
// it cannot be opened or read, is not valid gzip, or holds more than `cap`
// bytes; *out is then unspecified.
bool read_file_contents(const char* path, std::string* out, std::string* error,
                        std::size_t cap = kMaxFileBytes);

// Decompresses gzip data held in memory, under the same cap; for the fuzz
// target and for data that did not come from a file.
bool gunzip(const std::string& in, std::string* out, std::string* error, std::size_t cap = kMaxFileBytes);

// Writes `data` to `path` whole, gzip-compressed when the name ends in ".gz".
// False with *error when it cannot.
bool write_file_contents(const char* path, const std::string& data, std::string* error);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_FILE_CONTENTS_H
