// Fuzzes the response-matrix file loader over arbitrary file contents and
// matrix shapes (0..64 rows and columns), and checks its contract on every
// input: a false result leaves every element unchanged; a true result changes
// exactly the elements that the file names and leaves the rest.
//
// Input: byte 0 = rows, byte 1 = cols (each modulo 65), the rest is the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "zor_feedback/zor_feedback.h"

namespace {

struct Expected {
  bool ok = false;
  std::vector<std::vector<double>> rows;  // the values of each data line
};

// What the loader must make of the file, by the plain reading of its format:
// lines split at '\n', '#' in the first column marks a comment, values as
// stream extraction of doubles reads them.
Expected expect(const std::string& text, int rows, int cols) {
  Expected e;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line[0] == '#') continue;
    std::istringstream in(line);
    std::vector<double> values;
    double v;
    while (in >> v) values.push_back(v);
    e.rows.push_back(std::move(values));
  }
  bool fits = static_cast<int>(e.rows.size()) == rows &&
              (e.rows.empty() ? 0 : static_cast<int>(e.rows.back().size())) == cols;
  for (const auto& r : e.rows)
    if (static_cast<int>(r.size()) > cols) fits = false;  // refused: would write past a row
  e.ok = fits;
  return e;
}

std::string temp_path() {
  char path[] = "/tmp/fuzz_load_file_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) std::abort();
  close(fd);
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = temp_path();
  static const int silence = [] {
    ovrix::set_log_sink([](const ovrix::LogLine&) {});
    return 0;
  }();
  (void)silence;
  if (size < 2) return 0;
  const int rows = data[0] % 65;
  const int cols = data[1] % 65;
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);

  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);

  QTEV_ResponseMatrix m("FUZZ", rows, cols, nullptr);
  const float sentinel = -7.25e-7f;  // compared bitwise, so a file value equal to it is fine
  m.init(sentinel);
  const bool ok = m.load_file(path.c_str());
  const Expected e = expect(text, rows, cols);
  if (ok != e.ok) std::abort();

  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) {
      const float got = m.value(i, j, -1, -1, -1, -1);
      float want = sentinel;
      if (ok && j < static_cast<int>(e.rows[static_cast<std::size_t>(i)].size()))
        want = static_cast<float>(e.rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)]);
      if (std::memcmp(&got, &want, sizeof got) != 0) std::abort();
    }
  return 0;
}
