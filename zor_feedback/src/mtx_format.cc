// Matrix Market files: the header, the size line and the entries of an array
// or a coordinate matrix.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "label_lines.h"
#include "matrix_formats.h"

namespace zor_feedback {
namespace detail {
namespace {

struct Header {
  bool coordinate = false;
  int sign = 0;  // 0: general, 1: symmetric, -1: skew-symmetric
};

std::vector<std::string> lower_words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    w.push_back(s);
  }
  return w;
}

std::string parse_header(const std::string& line, Header* h) {
  const std::vector<std::string> w = lower_words(line);
  if (w.size() != 5 || w[0] != "%%matrixmarket" || w[1] != "matrix")
    return "line 1 is not '%%MatrixMarket matrix <array|coordinate> real general'";
  if (w[2] != "array" && w[2] != "coordinate") return "a Matrix Market '" + w[2] + "' format is not read";
  if (w[3] == "pattern" || w[3] == "complex")
    return "a Matrix Market '" + w[3] +
           "' matrix is not read (a response matrix holds real values): only 'real' or 'integer'";
  if (w[3] != "real" && w[3] != "integer" && w[3] != "double")
    return "a Matrix Market field '" + w[3] + "' is not read: only 'real' or 'integer'";
  if (w[4] != "general" && w[4] != "symmetric" && w[4] != "skew-symmetric")
    return "a Matrix Market '" + w[4] + "' matrix is not read: only general, symmetric or skew-symmetric";
  h->coordinate = w[2] == "coordinate";
  h->sign = w[4] == "general" ? 0 : w[4] == "symmetric" ? 1 : -1;
  return {};
}

// Lines after the header: '%' comments (label lines among them) and data.
class Lines {
 public:
  explicit Lines(const std::string& t) : t_(t) {}
  // The next data line; false at the end or after a bad label line.
  bool next(std::string* line, Labels* labels, std::string* error) {
    while (pos_ < t_.size()) {
      std::size_t end = t_.find('\n', pos_);
      if (end == std::string::npos) end = t_.size();
      *line = t_.substr(pos_, end - pos_);
      pos_ = end + 1;
      ++no_;
      if (!line->empty() && (*line)[0] == '%') {
        if (!take_label_line(*line, no_, labels, error)) return false;
        continue;
      }
      if (line->find_first_not_of(" \t\r") != std::string::npos) return true;
    }
    return false;
  }
  long long no() const { return no_; }

 private:
  const std::string& t_;
  std::size_t pos_ = 0;
  long long no_ = 0;
};

// Integers then at most one value; whole line consumed.
bool numbers(const std::string& line, int ints, long long* idx, double* v, bool want_value) {
  const char* p = line.c_str();
  char* end = nullptr;
  for (int k = 0; k < ints; ++k) {
    idx[k] = std::strtoll(p, &end, 10);
    if (end == p) return false;
    p = end;
  }
  if (want_value) {
    *v = std::strtod(p, &end);
    if (end == p) return false;
    p = end;
  }
  while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
  return *p == '\0';
}

struct Reader {
  Lines lines;
  Labels labels;
  std::string line, error;
  std::string at() const { return "line " + std::to_string(lines.no()) + ": "; }
};

bool set(LabelledMatrix* m, std::vector<char>* seen, long long i, long long j, double v, Reader& r) {
  const std::size_t k = static_cast<std::size_t>(i * m->cols + j);
  if ((*seen)[k]) {
    r.error = r.at() + "entry (" + std::to_string(i + 1) + ", " + std::to_string(j + 1) + ") is given twice";
    return false;
  }
  (*seen)[k] = 1;
  m->values[k] = v;
  return true;
}

bool read_array(const Header& h, LabelledMatrix* m, Reader& r) {
  std::vector<char> seen(m->values.size(), 0);
  for (long long j = 0; j < m->cols; ++j)
    for (long long i = h.sign == 0 ? 0 : j + (h.sign < 0 ? 1 : 0); i < m->rows; ++i) {
      double v = 0;
      if (!r.lines.next(&r.line, &r.labels, &r.error) || !numbers(r.line, 0, nullptr, &v, true)) {
        if (r.error.empty()) r.error = r.at() + "no value where the array's next one belongs";
        return false;
      }
      if (!set(m, &seen, i, j, v, r) || (i != j && h.sign != 0 && !set(m, &seen, j, i, h.sign * v, r)))
        return false;
    }
  return true;
}

bool read_coordinate(const Header& h, long long count, LabelledMatrix* m, Reader& r) {
  std::vector<char> seen(m->values.size(), 0);
  for (long long n = 0; n < count; ++n) {
    long long ij[2];
    double v = 0;
    if (!r.lines.next(&r.line, &r.labels, &r.error) || !numbers(r.line, 2, ij, &v, true)) {
      if (r.error.empty())
        r.error = r.at() + "not an entry 'row column value' (" + std::to_string(n) + " of " +
                  std::to_string(count) + " read)";
      return false;
    }
    // Compared before the 1-based index is shifted: any long long a file
    // holds, LLONG_MIN too, is checked without overflowing.
    if (ij[0] < 1 || ij[0] > m->rows || ij[1] < 1 || ij[1] > m->cols) {
      r.error = r.at() + "entry (" + std::to_string(ij[0]) + ", " + std::to_string(ij[1]) +
                ") lies outside the " + std::to_string(m->rows) + " x " + std::to_string(m->cols) + " matrix";
      return false;
    }
    const long long i = ij[0] - 1, j = ij[1] - 1;
    if (!set(m, &seen, i, j, v, r) || (i != j && h.sign != 0 && !set(m, &seen, j, i, h.sign * v, r)))
      return false;
  }
  return true;
}

// The most elements a Matrix Market file may ask for: four times the largest
// response matrices (about 1850 x 712), 64 MiB as doubles.
constexpr long long kMaxMtxElements = 1LL << 23;

bool read_body(const Header& h, long long text_size, LabelledMatrix* m, Reader& r) {
  long long size[3] = {0, 0, 0};
  double unused;
  if (!r.lines.next(&r.line, &r.labels, &r.error) ||
      !numbers(r.line, h.coordinate ? 3 : 2, size, &unused, false)) {
    if (r.error.empty())
      r.error = r.at() + "no size line '" + (h.coordinate ? "rows cols entries'" : "rows cols'");
    return false;
  }
  if (size[0] <= 0 || size[1] <= 0 || size[0] > (1LL << 24) || size[1] > (1LL << 24) ||
      (h.sign != 0 && size[0] != size[1]) || size[2] < 0 || size[2] > size[0] * size[1]) {
    r.error = r.at() + "size " + r.line + " is not that of a non-empty matrix" +
              (h.sign != 0 ? " (square, being symmetric)" : "");
    return false;
  }
  // A few bytes must not make the reader allocate without end: the dense
  // matrix is bounded, and an array needs at least two bytes per value.
  if (size[0] * size[1] > kMaxMtxElements || (!h.coordinate && size[0] * size[1] > text_size / 2)) {
    r.error = r.at() + "size " + r.line + " asks for more values than " +
              (h.coordinate ? "a response matrix holds (at most " + std::to_string(kMaxMtxElements) + ")"
                            : std::string("the file holds"));
    return false;
  }
  m->rows = static_cast<int>(size[0]);
  m->cols = static_cast<int>(size[1]);
  m->values.assign(static_cast<std::size_t>(size[0] * size[1]), 0.0);
  if (!(h.coordinate ? read_coordinate(h, size[2], m, r) : read_array(h, m, r))) return false;
  if (r.lines.next(&r.line, &r.labels, &r.error)) r.error = r.at() + "more entries than the size line gives";
  return r.error.empty();
}

}  // namespace

LabelledReport parse_mtx(const std::string& text, const std::string& shown, LabelledMatrix* out) {
  LabelledReport rep;
  Header h;
  const std::string first = text.substr(0, text.find('\n'));
  std::string why = parse_header(first, &h);
  Reader r{Lines(text), {}, {}, {}};  // the header is a '%' line to it
  LabelledMatrix m;
  if (why.empty() && !read_body(h, static_cast<long long>(text.size()), &m, r)) why = r.error;
  if (why.empty() && !apply_labels(r.labels, &m, &why) && why.empty()) why = "labels do not fit";
  if (!why.empty()) {
    rep.error = shown + ": " + why;
    return rep;
  }
  *out = std::move(m);
  rep.ok = true;
  return rep;
}

std::string mtx_text(const LabelledMatrix& m, const std::vector<std::string>& comment) {
  std::string out = "%%MatrixMarket matrix array real general\n";
  for (const std::string& c : comment) out += "% " + c + "\n";
  out += label_lines(m, "%");
  out += std::to_string(m.rows) + " " + std::to_string(m.cols) + "\n";
  const auto cols = static_cast<std::size_t>(m.cols);
  for (std::size_t j = 0; j < cols; ++j)
    for (std::size_t i = 0; i < static_cast<std::size_t>(m.rows); ++i) {
      append_value(&out, m.values[i * cols + j]);
      out += '\n';
    }
  return out;
}

}  // namespace detail
}  // namespace zor_feedback
