// zorfb matrix: shows a response matrix's planes, labels it, and converts it
// between the formats the library reads and writes by name (labelled text,
// .npy, Matrix Market; each optionally .gz).
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
  const LabelledReport in = read_labelled_matrix(o.file.c_str(), &m);
  if (!in.ok || !relabel(o, &m, &error)) {
    print_error(in.ok ? error : in.error);
    return kFailure;
  }
  if (!o.out.empty()) {
    const LabelledReport r =
        write_labelled_matrix(o.out.c_str(), m, {"Written by zorfb matrix from " + o.file + "."});
    if (!r.ok) {
      print_error(r.error);
      return kFailure;
    }
    for (const std::string& w : r.warnings) print_warning(w);
  }
  show(o, m);
  return kOk;
}

}  // namespace cli
}  // namespace zor_feedback
