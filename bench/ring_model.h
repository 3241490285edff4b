// ring_model.h - response matrices of a storage-ring model, for any number of
// monitors and correctors, the same on every run and every machine.
//
// The lattice is a ring of identical thin-lens FODO cells, as in
// tools/make_example_data.py: monitors at quadrupoles (QF and QD alternate),
// horizontal correctors at QF quadrupoles. The ring has a quarter more cells
// than the larger of the two element counts needs, and each family is spread
// evenly over its places, so that not every cell carries a corrector (with
// both families on every cell the matrix is nearly circulant, and a square
// one singular). The tune keeps the phase advance near 72 degrees per cell
// with a fractional part of 0.23, away from the integer and half-integer
// resonances. The horizontal closed-orbit response, in mm per mrad, is
//
//   R_ij = sqrt(beta_i beta_j) cos(|phi_i - phi_j| - pi Q) / (2 sin(pi Q)).
#ifndef ZOR_FEEDBACK_BENCH_RING_MODEL_H
#define ZOR_FEEDBACK_BENCH_RING_MODEL_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace zf_bench {

// Row-major monitors x correctors.
struct RingMatrix {
  int rows = 0;
  int cols = 0;
  std::vector<double> values;
  double operator()(int i, int j) const { return values[static_cast<std::size_t>(i) * cols + j]; }
};

inline RingMatrix ring_response(int monitors, int correctors) {
  if (monitors <= 0 || correctors <= 0) throw std::invalid_argument("ring_response: empty shape");
  const double pi = 3.14159265358979323846;
  const int needed = std::max((monitors + 1) / 2, correctors);
  const int cells = needed + needed / 4;
  const double cell_length = 6.0;
  const double tune = std::floor(cells * 0.2) + 0.23;
  const double mu = 2.0 * pi * tune / cells;  // phase advance per cell
  const double s = std::sin(mu / 2.0);
  const double beta_max = cell_length * (1.0 + s) / std::sin(mu);  // at QF
  const double beta_min = cell_length * (1.0 - s) / std::sin(mu);  // at QD

  // Monitor k sits at quadrupole q (2 per cell: QF, then QD half a cell on),
  // the family centred on its places, so that the monitors do not all land on
  // the correctors' QFs (a square matrix would then be symmetric, and
  // Armadillo's pinv would take its symmetric eigen-decomposition path).
  std::vector<double> mb(monitors), mp(monitors);
  for (int k = 0; k < monitors; ++k) {
    const long q = (2 * static_cast<long>(k) + 1) * cells / monitors;
    const long cell = q / 2;
    const bool qd = (q % 2) != 0;
    mb[k] = qd ? beta_min : beta_max;
    mp[k] = cell * mu + (qd ? mu / 2.0 : 0.0);
  }
  // Corrector k sits at the QF of cell c.
  std::vector<double> cb(correctors, beta_max), cp(correctors);
  for (int k = 0; k < correctors; ++k) cp[k] = static_cast<double>(static_cast<long>(k) * cells / correctors) * mu;

  RingMatrix R;
  R.rows = monitors;
  R.cols = correctors;
  R.values.resize(static_cast<std::size_t>(monitors) * correctors);
  const double d = 2.0 * std::sin(pi * tune);
  for (int i = 0; i < monitors; ++i)
    for (int j = 0; j < correctors; ++j)
      R.values[static_cast<std::size_t>(i) * correctors + j] =
          std::sqrt(mb[i] * cb[j]) * std::cos(std::fabs(mp[i] - cp[j]) - pi * tune) / d;
  return R;
}

// Writes R as a response-matrix text file in the layout of the shipped
// example data: a '#' header, then one line per monitor, values "%.6f" in
// fields of 10. Returns the file's size in bytes.
inline long long write_ring_file(const std::string& path, const RingMatrix& R) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  std::fprintf(f, "# Closed-orbit response matrix of a storage-ring model, horizontal plane.\n");
  std::fprintf(f, "# Units: mm of orbit per mrad of corrector kick.\n");
  std::fprintf(f, "# Shape: %d rows x %d columns. Made by zf_bench_tool.\n", R.rows, R.cols);
  for (int i = 0; i < R.rows; ++i) {
    for (int j = 0; j < R.cols; ++j) {
      char text[64];
      std::snprintf(text, sizeof text, "%.6f", R(i, j));
      if (std::string(text) == "-0.000000") std::snprintf(text, sizeof text, "0.000000");
      std::fprintf(f, j == 0 ? "%10s" : " %10s", text);
    }
    std::fputc('\n', f);
  }
  const long long size = std::ftell(f);
  if (std::fclose(f) != 0) throw std::runtime_error("cannot write " + path);
  return size;
}

}  // namespace zf_bench

#endif  // ZOR_FEEDBACK_BENCH_RING_MODEL_H
