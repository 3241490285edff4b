// The machine in time: its clock, its monitors, its corrector supplies and
// their faults.
#include "machine.h"

#include <gsl/gsl_randist.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace zor_feedback {
namespace sim {

bool Machine::advance(double dt) {
  if (!(dt >= 0) || !std::isfinite(dt)) return false;
  const double end = t_ + dt;
  // Set-points that fall due within the step take effect at their time.
  while (!pending_.empty() && pending_.front().due_s <= end) {
    follow(pending_.front().due_s - t_);
    t_ = pending_.front().due_s;
    target_ = std::move(pending_.front().setpoints);
    pending_.pop_front();
  }
  follow(end - t_);
  t_ = end;
  return true;
}

// The supplies' first-order lag towards their targets, saturated at the limit.
void Machine::follow(double dt) {
  const double keep = s_.supply_tau_s > 0 ? std::exp(-dt / s_.supply_tau_s) : 0.0;
  for (std::size_t j = 0; j < output_.size(); ++j) {
    if (corrector_fault_[j] == CorrectorFault::stuck) continue;
    const double target = std::clamp(target_[j], -s_.kick_limit_mrad, s_.kick_limit_mrad);
    output_[j] = target + (output_[j] - target) * keep;
  }
}

std::vector<double> Machine::disturbance() const {
  std::vector<double> d(static_cast<std::size_t>(n_));
  for (std::size_t j = 0; j < d.size(); ++j) d[j] = s_.drift_mrad_per_s * t_ * drift_[j];
  for (std::size_t l = 0; l < s_.lines.size(); ++l) {
    const double a =
        s_.lines[l].kick_mrad * std::sin(2.0 * 3.14159265358979323846 * s_.lines[l].hz * t_ + line_phase_[l]);
    for (std::size_t j = 0; j < d.size(); ++j) d[j] += a * line_patterns_[l][j];
  }
  return d;
}

// x = N (I + E) (C u + e + d(t)) at every monitor, before the monitor's own errors.
std::vector<double> Machine::beam_position() const {
  const auto m = static_cast<std::size_t>(m_), n = static_cast<std::size_t>(n_);
  std::vector<double> kick = disturbance();
  for (std::size_t j = 0; j < n; ++j) kick[j] += calibration_[j] * output_[j] + errors_[j];
  std::vector<double> x(m, 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    const double* row = mixed_.data() + i * n;
    double sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) sum += row[j] * kick[j];
    x[i] = sum;
  }
  return x;
}

OrbitReading Machine::read_orbit() {
  const std::vector<double> x = beam_position();
  OrbitReading r;
  r.time_s = t_;
  r.values.resize(x.size());
  r.valid.assign(x.size(), true);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const int p = partner_[i];
    const double sign = nominal_.monitor_planes[i] == Plane::x ? 1.0 : -1.0;
    const double other = p < 0 ? 0.0 : x[static_cast<std::size_t>(p)];
    // Drawn for every monitor, faulty or not, so that one monitor's fault
    // leaves the others' noise as it was.
    const double noise = s_.noise_mm > 0 ? gsl_ran_gaussian(noise_.get(), s_.noise_mm) : 0.0;
    double v = gain_[i] * (std::cos(roll_[i]) * x[i] + sign * std::sin(roll_[i]) * other) + noise;
    switch (monitor_fault_[i]) {
      case MonitorFault::none:
        break;
      case MonitorFault::invalid:
        v = std::numeric_limits<double>::quiet_NaN();
        r.valid[i] = false;
        break;
      case MonitorFault::stuck:
        v = last_reading_[i];
        break;
      case MonitorFault::spike:
        v += s_.spike_mm;
        monitor_fault_[i] = MonitorFault::none;  // one reading only
        break;
    }
    r.values[i] = v;
    if (r.valid[i]) last_reading_[i] = v;
  }
  return r;
}

WriteResult Machine::write(const std::vector<double>& setpoints) {
  WriteResult w;
  if (setpoints.size() != setpoints_.size()) {
    w.error = std::to_string(setpoints.size()) + " set-points for " + std::to_string(n_) + " correctors";
    return w;
  }
  for (std::size_t j = 0; j < setpoints.size(); ++j) {
    if (!std::isfinite(setpoints[j])) {
      w.error = "the set-point of " + nominal_.correctors[j] + " is not finite";
      return w;
    }
    if (corrector_fault_[j] == CorrectorFault::refused && setpoints[j] != setpoints_[j]) {
      w.error = nominal_.correctors[j] + " refuses its set-point";
      return w;
    }
  }
  setpoints_ = setpoints;
  if (s_.delay_cycles == 0) {
    target_ = setpoints;
    if (s_.supply_tau_s == 0) follow(0.0);
  } else {
    pending_.push_back({t_ + s_.delay_cycles * s_.cycle_s, setpoints});
  }
  w.ok = true;
  return w;
}

bool Machine::set_monitor_fault(int monitor, MonitorFault fault) {
  if (monitor < 0 || monitor >= m_) return false;
  monitor_fault_[static_cast<std::size_t>(monitor)] = fault;
  return true;
}

bool Machine::set_corrector_fault(int corrector, CorrectorFault fault) {
  if (corrector < 0 || corrector >= n_) return false;
  corrector_fault_[static_cast<std::size_t>(corrector)] = fault;
  return true;
}

}  // namespace sim
}  // namespace zor_feedback
