// The orbit's spectrum of one plane: Welch per monitor, averaged.
#include <cmath>
#include <cstddef>

#include "zor_feedback/loop/quality.h"

namespace zor_feedback {
namespace loop {

namespace {

// The monitor's readings over the window; false when one is missing.
bool series_of(const std::vector<std::vector<double>>& orbits, std::size_t i, std::vector<double>* x) {
  x->clear();
  for (const std::vector<double>& o : orbits) {
    if (!std::isfinite(o[i])) return false;
    x->push_back(o[i]);
  }
  return true;
}

}  // namespace

OrbitSpectrum orbit_spectrum(const std::vector<std::vector<double>>& orbits, const std::vector<Plane>& planes,
                             Plane plane, double rate, int segment) {
  OrbitSpectrum out;
  for (const std::vector<double>& o : orbits)
    if (o.size() != planes.size()) {
      out.error = "an orbit of " + std::to_string(o.size()) + " values for " + std::to_string(planes.size()) +
                  " monitors";
      return out;
    }
  std::vector<double> x;
  for (std::size_t i = 0; i < planes.size(); ++i) {
    if (planes[i] != plane || !series_of(orbits, i, &x)) continue;
    const Spectrum s = welch(x, rate, segment);
    if (!s.ok) {
      out.error = s.error;
      return out;
    }
    if (out.monitors == 0) {
      out.frequency = s.frequency;
      out.density.assign(s.density.size(), 0.0);
    }
    for (std::size_t f = 0; f < s.density.size(); ++f) out.density[f] += s.density[f];
    ++out.monitors;
  }
  if (out.monitors == 0) {
    out.error = orbits.empty() ? "no orbit in the window"
                               : "no monitor of the plane read in every cycle of the window";
    return out;
  }
  const double df = out.frequency.size() > 1 ? out.frequency[1] - out.frequency[0] : 0.0;
  double sum = 0.0;
  for (double& d : out.density) {
    d /= out.monitors;
    sum += d * df;
    out.integrated.push_back(sum);
  }
  out.ok = true;
  return out;
}

}  // namespace loop
}  // namespace zor_feedback
