// zorfb matrix: shows a response matrix's planes, labels it, and converts it
// between the labelled text format, NumPy's .npy and Matrix Market arrays.
#include <fmt/format.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

namespace {

bool ends_with(const std::string& s, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The default labels of a rows x cols matrix, as the text reader gives them.
void default_labels(LabelledMatrix* m) {
  for (int i = 0; i < m->rows; ++i) m->monitors.push_back(std::to_string(i));
  for (int j = 0; j < m->cols; ++j) m->correctors.push_back(std::to_string(j));
  m->monitor_planes.assign(static_cast<std::size_t>(m->rows), Plane::x);
  m->corrector_planes.assign(static_cast<std::size_t>(m->cols), Plane::x);
}

// The value of `key` in a .npy header dict ("'descr': '<f8', ..."): the text
// up to the next ',' outside parentheses.
std::string npy_field(const std::string& header, const std::string& key) {
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

// A little-endian float32 or float64, C-order array of one or two dimensions.
bool read_npy(const std::string& file, LabelledMatrix* m, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = "cannot open it";
    return false;
  }
  char magic[8];
  if (!in.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) {
    *error = "not a .npy file";
    return false;
  }
  unsigned char len[4] = {0, 0, 0, 0};
  const int width = magic[6] == 1 ? 2 : 4;
  in.read(reinterpret_cast<char*>(len), width);
  const std::size_t hlen = static_cast<std::size_t>(len[0]) | static_cast<std::size_t>(len[1]) << 8 |
                           static_cast<std::size_t>(len[2]) << 16 | static_cast<std::size_t>(len[3]) << 24;
  std::string header(hlen, '\0');
  if (!in || hlen > (1u << 20) || !in.read(&header[0], static_cast<std::streamsize>(hlen))) {
    *error = "a .npy header that cannot be read";
    return false;
  }
  const std::string descr = npy_field(header, "descr"), shape = npy_field(header, "shape");
  if ((descr != "<f8" && descr != "<f4") || npy_field(header, "fortran_order") != "False") {
    *error = "only little-endian float32/float64 C-order arrays are read (descr " + descr + ")";
    return false;
  }
  long long r = 0, c = 1;
  if (std::sscanf(shape.c_str(), "(%lld,%lld)", &r, &c) < 1 || r <= 0 || c <= 0 || r * c > (1LL << 31)) {
    *error = "shape " + shape + " is not a non-empty matrix";
    return false;
  }
  m->rows = static_cast<int>(r);
  m->cols = static_cast<int>(c);
  const std::size_t n = static_cast<std::size_t>(r * c), size = descr == "<f8" ? 8 : 4;
  std::vector<char> raw(n * size);
  if (!in.read(raw.data(), static_cast<std::streamsize>(raw.size()))) {
    *error = "the file ends before its data";
    return false;
  }
  for (std::size_t k = 0; k < n; ++k) {
    double v = 0.0;
    float f = 0.0f;
    if (size == 8)
      std::memcpy(&v, raw.data() + k * 8, 8);
    else
      std::memcpy(&f, raw.data() + k * 4, 4), v = f;
    m->values.push_back(v);
  }
  return true;
}

bool write_npy(const std::string& file, const LabelledMatrix& m, std::string* error) {
  std::string header =
      fmt::format("{{'descr': '<f8', 'fortran_order': False, 'shape': ({}, {}), }}", m.rows, m.cols);
  // Magic, version, length and header pad to a multiple of 64, ending in '\n'.
  header.append(64 - (10 + header.size() + 1) % 64, ' ');
  header += '\n';
  std::ofstream out(file, std::ios::binary);
  const unsigned char pre[10] = {0x93,
                                 'N',
                                 'U',
                                 'M',
                                 'P',
                                 'Y',
                                 1,
                                 0,
                                 static_cast<unsigned char>(header.size() & 0xff),
                                 static_cast<unsigned char>(header.size() >> 8)};
  out.write(reinterpret_cast<const char*>(pre), 10);
  out << header;
  out.write(reinterpret_cast<const char*>(m.values.data()),
            static_cast<std::streamsize>(m.values.size() * 8));
  if (!out.flush()) *error = "cannot write '" + file + "'";
  return static_cast<bool>(out);
}

// A dense Matrix Market array ("%%MatrixMarket matrix array real general"),
// values column by column.
bool read_mtx(const std::string& file, LabelledMatrix* m, std::string* error) {
  std::ifstream in(file);
  std::string line;
  if (!in) {
    *error = "cannot open it";
    return false;
  }
  if (!std::getline(in, line) || line.rfind("%%MatrixMarket matrix array real general", 0) != 0) {
    *error = "not a dense real general Matrix Market array";
    return false;
  }
  while (std::getline(in, line) && (line.empty() || line[0] == '%')) {
  }
  std::istringstream size(line);
  if (!(size >> m->rows >> m->cols) || m->rows <= 0 || m->cols <= 0) {
    *error = "no size line 'rows cols'";
    return false;
  }
  m->values.assign(static_cast<std::size_t>(m->rows) * static_cast<std::size_t>(m->cols), 0.0);
  for (int j = 0; j < m->cols; ++j)
    for (int i = 0; i < m->rows; ++i)
      if (!(in >> m->values[static_cast<std::size_t>(i) * static_cast<std::size_t>(m->cols) +
                            static_cast<std::size_t>(j)])) {
        *error = "fewer values than rows x cols";
        return false;
      }
  return true;
}

bool write_mtx(const std::string& file, const LabelledMatrix& m, std::string* error) {
  std::ofstream out(file);
  out << "%%MatrixMarket matrix array real general\n" << m.rows << ' ' << m.cols << '\n';
  for (int j = 0; j < m.cols; ++j)
    for (int i = 0; i < m.rows; ++i)
      out << fmt::format("{}\n", m.values[static_cast<std::size_t>(i) * static_cast<std::size_t>(m.cols) +
                                          static_cast<std::size_t>(j)]);
  if (!out.flush()) *error = "cannot write '" + file + "'";
  return static_cast<bool>(out);
}

bool read_any(const std::string& file, LabelledMatrix* m, std::string* error) {
  if (!ends_with(file, ".npy") && !ends_with(file, ".mtx")) {
    const LabelledReport r = read_labelled_matrix(file.c_str(), m);
    *error = r.error;
    return r.ok;
  }
  LabelledMatrix in;
  if (!(ends_with(file, ".npy") ? read_npy(file, &in, error) : read_mtx(file, &in, error))) {
    *error = "'" + file + "': " + *error;
    return false;
  }
  default_labels(&in);
  *error = check_labelled_matrix(in);
  if (!error->empty()) return false;
  *m = std::move(in);
  return true;
}

// Words of a file, or "x*48 y*48" style repeats of a plane list.
bool words_of_file(const std::string& file, std::vector<std::string>* out) {
  std::ifstream in(file);
  std::string w;
  while (in >> w) out->push_back(w);
  return static_cast<bool>(in.eof());
}

bool planes_of(const std::string& text, std::vector<Plane>* out, std::string* error) {
  std::istringstream ss(text);
  std::string w;
  out->clear();
  while (ss >> w) {
    const std::size_t star = w.find('*');
    const std::string p = w.substr(0, star);
    const int n = star == std::string::npos ? 1 : std::atoi(w.c_str() + star + 1);
    if ((p != "x" && p != "y") || n <= 0) {
      *error = "'" + w + "' is not x, y, x*N or y*N";
      return false;
    }
    out->insert(out->end(), static_cast<std::size_t>(n), p == "x" ? Plane::x : Plane::y);
  }
  return true;
}

// The names in `file` replace *names; false with *error when it cannot be read.
bool names_from(const std::string& file, std::vector<std::string>* names, std::string* error) {
  if (file.empty()) return true;
  names->clear();
  if (words_of_file(file, names)) return true;
  *error = "cannot read '" + file + "'";
  return false;
}

// The labels the options give, over those of the file.
bool relabel(const MatrixOptions& o, LabelledMatrix* m, std::string* error) {
  if (!names_from(o.monitors, &m->monitors, error) || !names_from(o.correctors, &m->correctors, error))
    return false;
  if (!o.monitor_planes.empty() && !planes_of(o.monitor_planes, &m->monitor_planes, error)) return false;
  if (!o.corrector_planes.empty() && !planes_of(o.corrector_planes, &m->corrector_planes, error))
    return false;
  if (!o.units.empty()) m->units = o.units;
  *error = check_labelled_matrix(*m);
  return error->empty();
}

nlohmann::ordered_json plane_json(const LabelledMatrix& m, Plane p) {
  std::vector<std::string> mon, cor;
  for (std::size_t i = 0; i < m.monitors.size(); ++i)
    if (m.monitor_planes[i] == p) mon.push_back(m.monitors[i]);
  for (std::size_t j = 0; j < m.correctors.size(); ++j)
    if (m.corrector_planes[j] == p) cor.push_back(m.correctors[j]);
  return {{"monitors", mon}, {"correctors", cor}};
}

void show(const MatrixOptions& o, const LabelledMatrix& m) {
  const nlohmann::ordered_json planes{{"x", plane_json(m, Plane::x)}, {"y", plane_json(m, Plane::y)}};
  if (o.format == "json") {
    std::cout << nlohmann::ordered_json{{"command", "matrix"}, {"file", o.file},   {"rows", m.rows},
                                        {"cols", m.cols},      {"units", m.units}, {"planes", planes}}
                     .dump(2)
              << '\n';
    return;
  }
  std::cout << fmt::format("{}: {} monitors x {} correctors{}\n", o.file, m.rows, m.cols,
                           m.units.empty() ? "" : ", units " + m.units);
  for (const char* p : {"x", "y"}) {
    const auto& mon = planes[p]["monitors"];
    const auto& cor = planes[p]["correctors"];
    const auto span = [](const nlohmann::ordered_json& v) {
      return v.empty()
                 ? std::string()
                 : fmt::format(" ({} .. {})", v.front().get<std::string>(), v.back().get<std::string>());
    };
    std::cout << fmt::format("plane {}: {} monitors{}, {} correctors{}\n", p, mon.size(), span(mon),
                             cor.size(), span(cor));
  }
}

}  // namespace

int run_matrix(const Global& g, const MatrixOptions& o) {
  LogSession log(g.verbose);
  LabelledMatrix m;
  std::string error;
  if (!read_any(o.file, &m, &error) || !relabel(o, &m, &error)) {
    print_error(error);
    return kFailure;
  }
  if (!o.out.empty()) {
    bool ok = true;
    if (ends_with(o.out, ".npy"))
      ok = write_npy(o.out, m, &error);
    else if (ends_with(o.out, ".mtx"))
      ok = write_mtx(o.out, m, &error);
    else {
      const LabelledReport r =
          write_labelled_matrix(o.out.c_str(), m, {"Written by zorfb matrix from " + o.file + "."});
      ok = r.ok;
      error = r.error;
    }
    if (!ok) {
      print_error(error);
      return kFailure;
    }
  }
  show(o, m);
  return kOk;
}

}  // namespace cli
}  // namespace zor_feedback
