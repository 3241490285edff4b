// What the fuzz targets of the matrix file readers check on every input: a
// read either succeeds with a consistent matrix, which written in the same
// format reads back to the same floats, or fails with a text and leaves its
// output as it was. Any breach aborts.
#ifndef ZOR_FEEDBACK_FUZZ_MATRIX_FILE_H
#define ZOR_FEEDBACK_FUZZ_MATRIX_FILE_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback_fuzz {

// A fresh directory for one target's files, named by the format's suffix.
inline std::string temp_file(const char* suffix) {
  char dir[] = "/tmp/fuzz_matrix_file_XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  return std::string(dir) + "/m" + suffix;
}

inline void write_bytes(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

inline void check_read(const std::string& path, const std::string& again) {
  using zor_feedback::LabelledMatrix;
  LabelledMatrix m;
  m.rows = -1;  // a marker a refused read must leave
  const zor_feedback::LabelledReport r = zor_feedback::read_labelled_matrix(path.c_str(), &m);
  if (!r.ok) {
    if (r.error.empty() || m.rows != -1) std::abort();
    return;
  }
  if (!zor_feedback::check_labelled_matrix(m).empty()) std::abort();
  const zor_feedback::LabelledReport w = zor_feedback::write_labelled_matrix(again.c_str(), m);
  if (!w.ok) std::abort();
  LabelledMatrix back;
  if (!zor_feedback::read_labelled_matrix(again.c_str(), &back).ok) std::abort();
  if (back.rows != m.rows || back.cols != m.cols) std::abort();
  for (std::size_t k = 0; k < m.values.size(); ++k)
    if (static_cast<float>(back.values[k]) != static_cast<float>(m.values[k])) std::abort();
}

// The whole check for a target whose files end in `suffix`.
inline void fuzz_one(const char* suffix, const uint8_t* data, size_t size) {
  static const std::string path = temp_file(suffix);
  static const std::string again = path.substr(0, path.rfind('/')) + "/again" + suffix;
  write_bytes(path, data, size);
  check_read(path, again);
}

}  // namespace zor_feedback_fuzz

#endif  // ZOR_FEEDBACK_FUZZ_MATRIX_FILE_H
