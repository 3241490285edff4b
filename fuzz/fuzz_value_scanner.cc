// Holds the fast value scanner against stream extraction, the meaning it
// re-implements: the same number of values and the same values, bit for bit.
// Any difference aborts with the input and both results on stderr.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "value_scanner.h"

namespace {

std::vector<double> stream_values(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> out;
  double val;
  while (in >> val) out.push_back(val);
  return out;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void report(const char* what, const std::string& line, const std::vector<double>& want,
            const std::vector<double>& got) {
  std::fprintf(stderr, "value scanner differs from the stream (%s) on %zu bytes:\n", what, line.size());
  for (const char c : line) std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
  std::fprintf(stderr, "\nstream :");
  for (double v : want) std::fprintf(stderr, " %.17g", v);
  std::fprintf(stderr, "\nscanner:");
  for (double v : got) std::fprintf(stderr, " %.17g", v);
  std::fprintf(stderr, "\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input is exactly the scanned range, so the address sanitizer catches
  // any read past its end.
  const char* begin = reinterpret_cast<const char*>(data);
  std::vector<double> got;
  const long long n =
      zor_feedback::detail::scan_values(begin, begin + size, [&got](double v) { got.push_back(v); });
  const std::string line(begin, size);
  const std::vector<double> want = stream_values(line);
  if (n < 0 || static_cast<std::size_t>(n) != got.size()) report("count vs calls", line, want, got);
  if (want.size() != got.size()) report("count", line, want, got);
  for (std::size_t i = 0; i < want.size(); ++i)
    if (!same_bits(want[i], got[i])) report("value", line, want, got);
  return 0;
}
