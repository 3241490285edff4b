// Fuzzes the gzip path: the decompression itself under a small cap (no
// output beyond it, a text on every failure), then the same bytes as a
// compressed text and Matrix Market file through the public reader (see
// fuzz_matrix_file.h). Byte 0 picks the format; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "file_contents.h"
#include "fuzz_matrix_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  constexpr std::size_t kCap = std::size_t{1} << 20;
  std::string out, error;
  if (zor_feedback::detail::gunzip(bytes, &out, &error, kCap)) {
    if (out.size() > kCap) std::abort();
  } else if (error.empty() || out.size() > kCap) {
    std::abort();
  }
  if (data[0] & 1)
    zor_feedback_fuzz::fuzz_one(".mtx.gz", data + 1, size - 1);
  else
    zor_feedback_fuzz::fuzz_one(".txt.gz", data + 1, size - 1);
  return 0;
}
