// Fuzzes the labelled text reader (names, planes and units in '#' lines) over arbitrary file contents: see
// fuzz_matrix_file.h for what is checked.
#include <cstddef>
#include <cstdint>

#include "fuzz_matrix_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zor_feedback_fuzz::fuzz_one(".txt", data, size);
  return 0;
}
