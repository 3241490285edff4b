// ring_model.h - the beam-optics model behind the example data
// (tools/make_example_data.cc), the benchmarks' matrices and the tests' ring
// matrices. One model, so that all three show the same physics and a change
// to it shows everywhere; header-only, so that the benchmarks also build
// against an installed copy of the library.
//
// Lattices of identical symmetric thin-lens FODO cells: a focusing quadrupole
// QF at the start of each cell and a defocusing QD half a cell on; by the
// cell's symmetry the phase advance from QF to QD is half the cell's. Monitors
// sit at quadrupoles, horizontal correctors at QFs, each family spread evenly
// over its places (as many elements as places: one at each). The responses,
// in mm of orbit per mrad of kick (sqrt(beta_i beta_j) in m gives m/rad), are
//
//   ring, closed orbit:  R_ij = sqrt(beta_i beta_j) cos(|phi_i - phi_j| - pi Q) / (2 sin(pi Q))
//   transfer line:       R_ij = sqrt(beta_i beta_j) sin(phi_i - phi_j) for a monitor
//                        downstream of the corrector, 0 upstream or at the corrector itself.
//
// Rows are monitors, columns correctors, as QTEV_ResponseMatrix::load_file reads them.
#ifndef ZOR_FEEDBACK_SIM_RING_MODEL_H
#define ZOR_FEEDBACK_SIM_RING_MODEL_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace sim {

constexpr double kPi = 3.14159265358979323846;

// Cells of length cell_length (m) with phase advance mu (rad) each.
struct Fodo {
  int cells = 0;
  double cell_length = 0;
  double mu = 0;

  // Beta (m) at QF and at QD: sin(mu/2) = L / 4f.
  double beta_max() const { return cell_length * (1.0 + std::sin(mu / 2.0)) / std::sin(mu); }
  double beta_min() const { return cell_length * (1.0 - std::sin(mu / 2.0)) / std::sin(mu); }
};

// A monitor or corrector at quadrupole `quad`: the QF of cell c is 2c, its QD 2c + 1.
struct Element {
  long quad = 0;
  double s = 0;      // m
  double beta = 0;   // m
  double phase = 0;  // rad

  long cell() const { return quad / 2; }
  bool at_qd() const { return quad % 2 != 0; }
};

inline Element quadrupole(const Fodo& f, long quad) {
  Element e;
  e.quad = quad;
  const double cell = static_cast<double>(e.cell());
  e.s = cell * f.cell_length + (e.at_qd() ? f.cell_length / 2.0 : 0.0);
  e.beta = e.at_qd() ? f.beta_min() : f.beta_max();
  e.phase = cell * f.mu + (e.at_qd() ? f.mu / 2.0 : 0.0);
  return e;
}

// Monitor k of `count`, centred on its share of the 2 * cells quadrupoles,
// so that a spread family does not land on the correctors' QFs only (a square
// matrix would then be symmetric).
inline Element monitor(const Fodo& f, int k, int count) {
  return quadrupole(f, (2 * static_cast<long>(k) + 1) * f.cells / count);
}

// Corrector k of `count`, at the QF that starts its share of the cells.
inline Element corrector(const Fodo& f, int k, int count) {
  return quadrupole(f, 2 * (static_cast<long>(k) * f.cells / count));
}

inline std::vector<Element> monitors(const Fodo& f, int count) {
  std::vector<Element> v;
  for (int k = 0; k < count; ++k) v.push_back(monitor(f, k, count));
  return v;
}

inline std::vector<Element> correctors(const Fodo& f, int count) {
  std::vector<Element> v;
  for (int k = 0; k < count; ++k) v.push_back(corrector(f, k, count));
  return v;
}

// A storage ring of FODO cells with betatron tune Q.
struct Ring {
  Fodo lattice;
  double tune = 0;
};

inline Ring ring(int cells, double cell_length, double tune) {
  return {{cells, cell_length, 2.0 * kPi * tune / cells}, tune};
}

// The ring for a monitors x correctors matrix of any shape: a quarter more
// cells than the larger family needs, so that not every cell carries a
// corrector (with both families on every cell the matrix is nearly circulant,
// and a square one singular), and a tune that keeps the phase advance near 72
// degrees per cell with a fractional part of 0.23, away from the integer and
// half-integer resonances.
inline Ring ring_for_shape(int monitors, int correctors) {
  if (monitors <= 0 || correctors <= 0) throw std::invalid_argument("ring_for_shape: empty shape");
  const int needed = std::max((monitors + 1) / 2, correctors);
  const int cells = needed + needed / 4;
  return ring(cells, 6.0, std::floor(cells * 0.2) + 0.23);
}

inline double closed_orbit(const Ring& r, const Element& monitor, const Element& corrector) {
  return std::sqrt(monitor.beta * corrector.beta) *
         std::cos(std::fabs(monitor.phase - corrector.phase) - kPi * r.tune) / (2.0 * std::sin(kPi * r.tune));
}

inline double line_orbit(const Element& monitor, const Element& corrector) {
  return monitor.phase > corrector.phase
             ? std::sqrt(monitor.beta * corrector.beta) * std::sin(monitor.phase - corrector.phase)
             : 0.0;
}

// Row-major monitors x correctors.
struct Matrix {
  int rows = 0;
  int cols = 0;
  std::vector<double> values;

  double operator()(int i, int j) const {
    return values[static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j)];
  }
};

template <class Response>
Matrix response(const std::vector<Element>& monitors, const std::vector<Element>& correctors,
                Response element) {
  Matrix R;
  R.rows = static_cast<int>(monitors.size());
  R.cols = static_cast<int>(correctors.size());
  R.values.reserve(monitors.size() * correctors.size());
  for (const Element& m : monitors)
    for (const Element& c : correctors) R.values.push_back(element(m, c));
  return R;
}

inline Matrix ring_response(const Ring& r, const std::vector<Element>& monitors,
                            const std::vector<Element>& correctors) {
  return response(monitors, correctors,
                  [&r](const Element& m, const Element& c) { return closed_orbit(r, m, c); });
}

// The matrix of ring_for_shape, e.g. in the shapes of real machines.
inline Matrix ring_response(int monitors, int correctors) {
  const Ring r = ring_for_shape(monitors, correctors);
  return ring_response(r, zor_feedback::sim::monitors(r.lattice, monitors),
                       zor_feedback::sim::correctors(r.lattice, correctors));
}

// Both planes of ring_for_shape(monitors, correctors), block-diagonal, the
// y plane the same lattice at `y_tune_shift` above x's tune, as a labelled
// matrix: monitors BPM0.., correctors COR0.., plane x first.
inline LabelledMatrix two_plane_ring(int monitors, int correctors, double y_tune_shift) {
  const Ring rx = ring_for_shape(monitors, correctors);
  Ring ry = rx;
  ry.tune += y_tune_shift;
  const auto mon = zor_feedback::sim::monitors(rx.lattice, monitors);
  const auto cor = zor_feedback::sim::correctors(rx.lattice, correctors);
  const Matrix bx = ring_response(rx, mon, cor), by = ring_response(ry, mon, cor);
  LabelledMatrix m;
  m.rows = 2 * monitors;
  m.cols = 2 * correctors;
  const auto cols = static_cast<std::size_t>(m.cols);
  m.values.assign(static_cast<std::size_t>(m.rows) * cols, 0.0);
  for (int i = 0; i < monitors; ++i)
    for (int j = 0; j < correctors; ++j) {
      m.values[static_cast<std::size_t>(i) * cols + static_cast<std::size_t>(j)] = bx(i, j);
      m.values[static_cast<std::size_t>(i + monitors) * cols + static_cast<std::size_t>(j + correctors)] =
          by(i, j);
    }
  for (int i = 0; i < m.rows; ++i) {
    m.monitors.push_back("BPM" + std::to_string(i));
    m.monitor_planes.push_back(i < monitors ? Plane::x : Plane::y);
  }
  for (int j = 0; j < m.cols; ++j) {
    m.correctors.push_back("COR" + std::to_string(j));
    m.corrector_planes.push_back(j < correctors ? Plane::x : Plane::y);
  }
  return m;
}

inline Matrix line_response(const std::vector<Element>& monitors, const std::vector<Element>& correctors) {
  return response(monitors, correctors, line_orbit);
}

// The text of a response-matrix file: each header line after "# ", then one
// line per monitor, values "%.6f" in fields of 10 (no "-0.000000").
inline std::string matrix_text(const std::vector<std::string>& header, const Matrix& R) {
  std::string text;
  for (const std::string& h : header) text += h.empty() ? "#\n" : "# " + h + "\n";
  text.reserve(text.size() + R.values.size() * 11);
  for (int i = 0; i < R.rows; ++i) {
    for (int j = 0; j < R.cols; ++j) {
      char value[32];
      std::snprintf(value, sizeof value, "%.6f", R(i, j));
      char field[48];
      std::snprintf(field, sizeof field, "%10s", std::string(value) == "-0.000000" ? "0.000000" : value);
      if (j > 0) text += ' ';
      text += field;
    }
    text += '\n';
  }
  return text;
}

// Writes R of any shape as a ring response-matrix file, as the benchmarks
// load it. Returns the file's size in bytes.
inline long long write_ring_file(const std::string& path, const Matrix& R) {
  const std::string text =
      matrix_text({"Closed-orbit response matrix of a storage-ring model, horizontal plane.",
                   "Units: mm of orbit per mrad of corrector kick.",
                   "Shape: " + std::to_string(R.rows) + " rows x " + std::to_string(R.cols) +
                       " columns. Made by zf_bench_tool."},
                  R);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !written) throw std::runtime_error("cannot write " + path);
  return static_cast<long long>(text.size());
}

}  // namespace sim
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SIM_RING_MODEL_H
