// NumPy's .npy format: the header dict, the shape and the raw values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "matrix_formats.h"

namespace zor_feedback {
namespace detail {
namespace {

// The value of `key` in the header dict ("'descr': '<f8', ..."): the text up
// to the next ',' outside parentheses, blanks and quotes dropped.
std::string field(const std::string& header, const std::string& key) {
  const std::size_t at = header.find("'" + key + "'");
  if (at == std::string::npos) return {};
  std::size_t p = header.find(':', at);
  if (p == std::string::npos) return {};
  int depth = 0;
  std::string v;
  for (++p; p < header.size(); ++p) {
    const char c = header[p];
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if ((c == ',' && depth == 0) || c == '}') break;
    if (c != ' ' && c != '\'') v += c;
  }
  return v;
}

// "(3, 4)", "(6,)", "()": the extents, or false for anything else.
bool shape_of(const std::string& s, std::vector<long long>* dims) {
  if (s.size() < 2 || s.front() != '(' || s.back() != ')') return false;
  std::size_t p = 1;
  while (p + 1 < s.size()) {
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str() + p, &end, 10);
    const std::size_t q = static_cast<std::size_t>(end - s.c_str());
    if (q == p || v < 0 || v > (1LL << 40)) return false;
    dims->push_back(v);
    p = q;
    if (s[p] == ',')
      ++p;
    else if (p + 1 != s.size())
      return false;
  }
  return true;
}

std::string how_to_save(int dims) {
  return dims == 2 ? "a matrix file holds a 2-D array (rows: monitors, columns: correctors); save it with "
                     "numpy.save(path, a.reshape(rows, cols))"
                   : "a vector file holds a 1-D array; save it with numpy.save(path, a.ravel())";
}

bool fail(std::string* error, const std::string& shown, const std::string& why) {
  *error = shown + ": " + why;
  return false;
}

}  // namespace

bool parse_npy(const std::string& bytes, const std::string& shown, int dims, NpyArray* out,
               std::string* error) {
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0)
    return fail(error, shown, "not a .npy file (no \\x93NUMPY magic)");
  const auto b = [&](std::size_t i) {
    return static_cast<std::size_t>(static_cast<unsigned char>(bytes[i]));
  };
  const int version = static_cast<int>(b(6));
  if (version < 1 || version > 3)
    return fail(error, shown, "a .npy version " + std::to_string(version) + " file");
  const std::size_t pre = version == 1 ? 10 : 12;
  if (bytes.size() < pre) return fail(error, shown, "the file ends inside its header");
  const std::size_t hlen = version == 1 ? b(8) | b(9) << 8 : b(8) | b(9) << 8 | b(10) << 16 | b(11) << 24;
  if (hlen > bytes.size() - pre) return fail(error, shown, "the file ends inside its header");
  const std::string header = bytes.substr(pre, hlen);
  const std::string descr = field(header, "descr"), order = field(header, "fortran_order");
  if ((descr != "<f8" && descr != "<f4") || (order != "False" && order != "True"))
    return fail(error, shown,
                "descr '" + descr +
                    "' is not read; only little-endian float64 ('<f8') or float32 ('<f4') arrays "
                    "are: save a.astype('<f8')");
  std::vector<long long> ext;
  if (!shape_of(field(header, "shape"), &ext))
    return fail(error, shown,
                "shape '" + field(header, "shape").substr(0, 40) + "' in the .npy header is not read");
  if (static_cast<int>(ext.size()) != dims)
    return fail(error, shown,
                "a " + std::to_string(ext.size()) + "-D array (shape " + field(header, "shape") + "); " +
                    how_to_save(dims));
  out->dims = dims;
  out->rows = ext[0];
  out->cols = dims == 2 ? ext[1] : 1;
  const std::size_t size = descr == "<f8" ? 8 : 4;
  if (out->rows == 0 || out->cols == 0) return fail(error, shown, "an empty array");
  if (out->rows > INT32_MAX || out->cols > INT32_MAX ||
      static_cast<unsigned long long>(out->rows) * static_cast<unsigned long long>(out->cols) >
          (bytes.size() - pre - hlen) / size)
    return fail(error, shown,
                "the file ends before the " + std::to_string(out->rows) + " x " + std::to_string(out->cols) +
                    " values of its shape");
  const std::size_t n = static_cast<std::size_t>(out->rows * out->cols);
  if (bytes.size() - pre - hlen != n * size)
    return fail(error, shown, "bytes after the values of its shape; not a single .npy array");
  out->values.resize(n);
  const char* data = bytes.data() + pre + hlen;
  const auto rows = static_cast<std::size_t>(out->rows), cols = static_cast<std::size_t>(out->cols);
  for (std::size_t k = 0; k < n; ++k) {
    // Fortran order runs down the columns first.
    const std::size_t at = order == "True" ? (k % cols) * rows + k / cols : k;
    if (size == 8) {
      std::memcpy(&out->values[k], data + at * 8, 8);
    } else {
      float f;
      std::memcpy(&f, data + at * 4, 4);
      out->values[k] = f;
    }
  }
  return true;
}

std::string npy_bytes(const LabelledMatrix& m) {
  std::string header = "{'descr': '<f8', 'fortran_order': False, 'shape': (" + std::to_string(m.rows) + ", " +
                       std::to_string(m.cols) + "), }";
  // Magic, version, length and header pad to a multiple of 64, ending in '\n'.
  header.append(64 - (10 + header.size() + 1) % 64, ' ');
  header += '\n';
  std::string out("\x93NUMPY\x01\x00", 8);
  out += static_cast<char>(header.size() & 0xff);
  out += static_cast<char>(header.size() >> 8);
  out += header;
  out.append(reinterpret_cast<const char*>(m.values.data()), m.values.size() * sizeof(double));
  return out;
}

}  // namespace detail
}  // namespace zor_feedback
