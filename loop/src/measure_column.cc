// One column of a measurement: the kicked sides, the column and its standard
// errors, the drift check after putting the corrector back.
#include <algorithm>
#include <cmath>
#include <limits>

#include "measure_steps.h"

namespace zor_feedback {
namespace loop {
namespace detail {

namespace {

// |a| / scale, with a zero scale meaning "any difference is too much".
double in_units(double a, double scale) {
  if (scale > 0.0) return std::fabs(a) / scale;
  return a == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
}

// Bipolar, the three orbits of a column (+, -, back at the start, read at
// t1, t2, t3) fit an offset o, a steady drift w and the response r:
//   plus = o + r d/2 + w t1,  minus = o - r d/2 + w t2,  back = o + w t3,
// so r d = (plus - minus) - g (plus + minus - 2 back), g = (t1 - t2) / (t1 + t2 - 2 t3):
// a slow orbit motion during the column cancels, within the column alone (a
// resumed column reads what an uninterrupted one does). Equal spacing gives
// g = 1/3 and the error sqrt(8/3) instead of sqrt(2) sigma/sqrt(N) / d.
double drift_weight(const OrbitAverage& plus, const OrbitAverage& minus, const OrbitAverage& back) {
  const double t1 = std::chrono::duration<double>(plus.at - back.at).count();
  const double t2 = std::chrono::duration<double>(minus.at - back.at).count();
  const double den = t1 + t2;                // t3 = 0
  return den < 0.0 ? (t1 - t2) / den : 0.0;  // back read last; a clock that stands still: no drift
}

// Writes column j into the state: (mean+ - mean-)/d corrected for a steady
// drift (above), and its standard error from each average's variance over its
// count; unipolar: the mean of the orbits before and after the column is the
// other side.
void store_column(MeasureRun& run, std::size_t j, const OrbitAverage& plus, const OrbitAverage* minus,
                  const OrbitAverage& back, MeasuredColumn* col) {
  MeasureState& s = run.state;
  const std::size_t n = s.start_kicks.size();
  const double d = col->kick, n0 = run.config.readings;
  double sum_v = 0.0, sum_e = 0.0;
  const double g = minus ? drift_weight(plus, *minus, back) : 0.0;
  for (std::size_t i = 0; i < run.monitors; ++i) {
    const double before_var = s.noise[i] * s.noise[i] / n0;
    double v, var;
    if (minus) {
      v = (1 - g) * plus.mean[i] - (1 + g) * minus->mean[i] + 2 * g * back.mean[i];
      var = (1 - g) * (1 - g) * plus.var[i] / plus.n + (1 + g) * (1 + g) * minus->var[i] / minus->n +
            4 * g * g * back.var[i] / back.n;
    } else {
      v = plus.mean[i] - 0.5 * (s.reference[i] + back.mean[i]);
      var = plus.var[i] / plus.n + 0.25 * (before_var + back.var[i] / back.n);
    }
    v /= d;
    const double e = std::sqrt(var) / std::fabs(d);
    s.values[i * n + j] = v;
    s.errors[i * n + j] = e;
    sum_v += v * v;
    sum_e += e * e;
  }
  col->snr = in_units(std::sqrt(sum_v), std::sqrt(sum_e));
}

// The largest monitor's difference between the orbit back at the start kicks
// and the one before the column, in their combined standard error; the orbit
// back is the next column's "before".
void check_drift(MeasureRun& run, const OrbitAverage& back, MeasuredColumn* col) {
  MeasureState& s = run.state;
  const double n0 = run.config.readings;
  col->drift_max = 0.0;
  for (std::size_t i = 0; i < run.monitors; ++i) {
    const double scale =
        std::sqrt(back.var[i] / back.n + s.noise[i] * s.noise[i] / n0) + run.config.noise_floor;
    col->drift_max = std::max(col->drift_max, in_units(back.mean[i] - s.reference[i], scale));
  }
  col->drift = col->drift_max > run.config.drift_sigma;
  s.reference = back.mean;
}

}  // namespace

MeasuredColumn measure_column(MeasureRun& run, std::size_t j) {
  const MeasureConfig& c = run.config;
  const MeasureState& s = run.state;
  MeasuredColumn col;
  col.kick = s.kicks[j];
  col.kick_capped = s.capped[j];
  run.reads = 0;
  std::vector<double> sp = s.start_kicks;
  Duration w1{0}, w2{0}, w3{0};
  sp[j] = s.start_kicks[j] + (c.bipolar ? col.kick / 2 : col.kick);
  col.settled = set_and_settle(run, sp, &w1);
  const OrbitAverage plus = average_orbits(run, c.readings);
  OrbitAverage minus;
  if (c.bipolar) {
    sp[j] = s.start_kicks[j] - col.kick / 2;
    col.settled = set_and_settle(run, sp, &w2) && col.settled;
    minus = average_orbits(run, c.readings);
  }
  col.settled = set_and_settle(run, s.start_kicks, &w3) && col.settled;
  const OrbitAverage back = average_orbits(run, c.readings);
  store_column(run, j, plus, c.bipolar ? &minus : nullptr, back, &col);
  check_drift(run, back, &col);
  col.settle_time = std::max({w1, w2, w3});
  col.orbit_reads = run.reads;
  return col;
}

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback
