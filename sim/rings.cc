// The example rings: their lattices, names, planes and matrices.
#include "rings.h"

#include <cstdio>
#include <string>

#include "ring_model.h"

namespace zor_feedback {
namespace sim {

namespace {

std::string numbered(const char* prefix, int k, int digits, const char* suffix = "") {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%0*d%s", prefix, digits, k, suffix);
  return buf;
}

std::string line(const char* fmt, double a, double b, double c = 0, double d = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, fmt, a, b, c, d);
  return buf;
}

double degrees(double rad) { return rad * 180.0 / kPi; }

// The vertical beta of a symmetric FODO cell: large at the QD, small at the QF.
Element vertical(const Fodo& f, long quad) {
  Element e = quadrupole(f, quad);
  e.beta = e.at_qd() ? f.beta_max() : f.beta_min();
  return e;
}

// Writes `block` (rows x cols of the plane) into m at (row0, col0).
void place(LabelledMatrix& m, const Matrix& block, int row0, int col0) {
  for (int i = 0; i < block.rows; ++i)
    for (int j = 0; j < block.cols; ++j)
      m.values[static_cast<std::size_t>(row0 + i) * static_cast<std::size_t>(m.cols) +
               static_cast<std::size_t>(col0 + j)] = block(i, j);
}

}  // namespace

ExampleRing ring96() {
  const Ring r = ring(48, 6.0, 8.23);
  const Fodo& f = r.lattice;
  ExampleRing out;
  out.name = "ring96";
  out.file = "ring_response.txt";
  out.fixed_width = true;
  out.header = {"Closed-orbit response matrix of a storage-ring model (ring96), horizontal plane.",
                "Units: mm of orbit per mrad of corrector kick.",
                line("Lattice: %.0f thin-lens FODO cells of %.1f m (circumference %.1f m), tune Q = %.2f,",
                     f.cells, f.cell_length, f.cells * f.cell_length, r.tune),
                line("  phase advance %.2f deg per cell, beta %.3f m at QF, %.3f m at QD.", degrees(f.mu),
                     f.beta_max(), f.beta_min()),
                "Monitors BPM01..BPM96 at every quadrupole (QF, QD), correctors CH01..CH48 at every QF.",
                "R_ij = sqrt(beta_i beta_j) cos(|phi_i - phi_j| - pi Q) / (2 sin(pi Q))",
                "Shape: 96 rows x 48 columns. Made by tools/make_example_data.cc."};
  const Matrix R = ring_response(r, monitors(f, 2 * f.cells), correctors(f, f.cells));
  LabelledMatrix& m = out.matrix;
  m.rows = R.rows;
  m.cols = R.cols;
  m.values = R.values;
  for (int i = 0; i < m.rows; ++i) m.monitors.push_back(numbered("BPM", i + 1, 2));
  for (int j = 0; j < m.cols; ++j) m.correctors.push_back(numbered("CH", j + 1, 2));
  m.monitor_planes.assign(static_cast<std::size_t>(m.rows), Plane::x);
  m.corrector_planes.assign(static_cast<std::size_t>(m.cols), Plane::x);
  m.units = "mm/mrad";
  return out;
}

ExampleRing ring320() {
  constexpr int kCells = 320, kCorrectors = 288;
  const Ring rx = ring(kCells, 7.2, 64.23), ry = ring(kCells, 7.2, 58.17);
  std::vector<Element> mx, my, ch, cv;
  for (long c = 0; c < kCells; ++c) {
    mx.push_back(quadrupole(rx.lattice, 2 * c));
    my.push_back(vertical(ry.lattice, 2 * c));
  }
  for (int k = 0; k < kCorrectors; ++k) {
    const long qf = 2 * (static_cast<long>(k) * kCells / kCorrectors);
    ch.push_back(quadrupole(rx.lattice, qf));
    cv.push_back(vertical(ry.lattice, qf + 1));
  }
  ExampleRing out;
  out.name = "ring320";
  out.file = "ring320_response.txt";
  out.header = {
      "Closed-orbit response matrix of a storage-ring model (ring320), both planes, uncoupled.",
      "Units: mm of orbit per mrad of corrector kick.",
      line("Lattice: %.0f thin-lens FODO cells of %.1f m (circumference %.1f m), Qx = %.2f,", kCells, 7.2,
           kCells * 7.2, rx.tune),
      line("  Qy = %.2f; beta x %.3f m at QF, beta y %.3f m at QD.", ry.tune, rx.lattice.beta_max(),
           ry.lattice.beta_max()),
      "Monitors at every QF, both planes; 288 horizontal correctors at QFs, 288 vertical at QDs.",
      "R_ij = sqrt(beta_i beta_j) cos(|phi_i - phi_j| - pi Q) / (2 sin(pi Q)) within a plane, 0 across.",
      "Shape: 640 rows x 576 columns. Made by tools/make_example_data.cc."};
  LabelledMatrix& m = out.matrix;
  m.rows = 2 * kCells;
  m.cols = 2 * kCorrectors;
  m.values.assign(static_cast<std::size_t>(m.rows) * static_cast<std::size_t>(m.cols), 0.0);
  place(m, ring_response(rx, mx, ch), 0, 0);
  place(m, ring_response(ry, my, cv), kCells, kCorrectors);
  for (const char* plane : {".X", ".Y"})
    for (int i = 0; i < kCells; ++i) m.monitors.push_back(numbered("BPM", i + 1, 3, plane));
  for (const char* family : {"CH", "CV"})
    for (int j = 0; j < kCorrectors; ++j) m.correctors.push_back(numbered(family, j + 1, 3));
  m.monitor_planes.assign(static_cast<std::size_t>(kCells), Plane::x);
  m.monitor_planes.resize(static_cast<std::size_t>(m.rows), Plane::y);
  m.corrector_planes.assign(static_cast<std::size_t>(kCorrectors), Plane::x);
  m.corrector_planes.resize(static_cast<std::size_t>(m.cols), Plane::y);
  m.units = "mm/mrad";
  return out;
}

bool example_ring(const std::string& name, ExampleRing* out) {
  if (name == "ring96") {
    *out = ring96();
  } else if (name == "ring320") {
    *out = ring320();
  } else {
    return false;
  }
  return true;
}

namespace {

std::string label_line(const char* key, const std::vector<std::string>& words) {
  std::string s = std::string("# ") + key + ":";
  for (const std::string& w : words) s += " " + w;
  return s + "\n";
}

std::string plane_words(const char* key, const std::vector<Plane>& planes) {
  std::vector<std::string> words;
  for (const Plane p : planes) words.emplace_back(plane_name(p));
  return label_line(key, words);
}

// "%10.6f" as the loader's examples always had it, or "%.6g"; never "-0".
std::string value_text(double v, bool fixed_width) {
  char value[32];
  std::snprintf(value, sizeof value, fixed_width ? "%.6f" : "%.6g", v);
  std::string s = value;
  if (s == "-0.000000") s = "0.000000";
  if (s == "-0") s = "0";
  if (!fixed_width) return s;
  char field[48];
  std::snprintf(field, sizeof field, "%10s", s.c_str());
  return field;
}

}  // namespace

std::string labelled_text(const ExampleRing& ring) {
  const LabelledMatrix& m = ring.matrix;
  std::string text;
  for (const std::string& h : ring.header) text += h.empty() ? "#\n" : "# " + h + "\n";
  text += label_line("monitors", m.monitors) + label_line("correctors", m.correctors);
  text +=
      plane_words("monitor_planes", m.monitor_planes) + plane_words("corrector_planes", m.corrector_planes);
  text += "# units: " + m.units + "\n";
  text.reserve(text.size() + m.values.size() * 11);
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      if (j > 0) text += ' ';
      text += value_text(m.values[static_cast<std::size_t>(i) * static_cast<std::size_t>(m.cols) +
                                  static_cast<std::size_t>(j)],
                         ring.fixed_width);
    }
    text += '\n';
  }
  return text;
}

}  // namespace sim
}  // namespace zor_feedback
