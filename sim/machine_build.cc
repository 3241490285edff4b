// The machine's errors: drawn once from the seed when it is built.
#include <gsl/gsl_randist.h>

#include <cmath>
#include <new>
#include <stdexcept>
#include <utility>

#include "machine.h"

namespace zor_feedback {
namespace sim {

namespace {

std::string stem(const std::string& name) {
  const std::size_t n = name.size();
  if (n > 2 && name[n - 2] == '.' &&
      (name[n - 1] == 'X' || name[n - 1] == 'Y' || name[n - 1] == 'x' || name[n - 1] == 'y'))
    return name.substr(0, n - 2);
  return name;
}

bool finite_at_least(double v, double low) { return std::isfinite(v) && v >= low; }

std::string settings_problem(const MachineSettings& s) {
  if (!finite_at_least(s.model_error, 0) || !finite_at_least(s.monitor_gain_rms, 0) ||
      !finite_at_least(s.monitor_roll_rms, 0) || !finite_at_least(s.corrector_calibration_rms, 0) ||
      !finite_at_least(s.error_kick_mrad, 0) || !finite_at_least(s.noise_mm, 0) ||
      !finite_at_least(s.drift_mrad_per_s, 0) || !std::isfinite(s.spike_mm))
    return "the error, noise and drift amplitudes must be finite and >= 0";
  if (!finite_at_least(s.supply_tau_s, 0) || !(s.cycle_s > 0) || !std::isfinite(s.cycle_s) ||
      s.delay_cycles < 0 || !(s.kick_limit_mrad > 0))
    return "the supplies need tau >= 0, a cycle > 0, a delay >= 0 and a limit > 0";
  for (const MachineSettings::Line& l : s.lines)
    if (!finite_at_least(l.hz, 0) || !finite_at_least(l.kick_mrad, 0))
      return "a disturbance line needs a finite frequency and amplitude >= 0";
  return {};
}

std::vector<double> gaussians(gsl_rng* rng, int count, double sigma) {
  std::vector<double> v(static_cast<std::size_t>(count));
  for (double& x : v) x = gsl_ran_gaussian(rng, sigma);
  return v;
}

}  // namespace

Machine::Machine(const LabelledMatrix& nominal, MachineSettings settings)
    : s_(std::move(settings)), nominal_(nominal), m_(nominal.rows), n_(nominal.cols) {
  if (const std::string why = check_labelled_matrix(nominal_); !why.empty())
    throw std::invalid_argument("Machine: " + why);
  if (m_ == 0 || n_ == 0) throw std::invalid_argument("Machine: an empty matrix");
  if (const std::string why = settings_problem(s_); !why.empty())
    throw std::invalid_argument("Machine: " + why);
  // The Mersenne Twister of GSL: the same machine on every platform. The
  // noise has its own stream, so that reading more often does not change
  // the errors of a machine built with the same seed.
  const std::unique_ptr<gsl_rng, RngFree> build(gsl_rng_alloc(gsl_rng_mt19937));
  noise_.reset(gsl_rng_alloc(gsl_rng_mt19937));
  if (!build || !noise_) throw std::bad_alloc();
  gsl_rng_set(build.get(), s_.seed);
  gsl_rng_set(noise_.get(), s_.seed ^ 0x9e3779b9UL);
  build_errors(build.get());

  const auto n = static_cast<std::size_t>(n_);
  setpoints_.assign(n, 0.0);
  target_.assign(n, 0.0);
  output_.assign(n, 0.0);
  monitor_fault_.assign(static_cast<std::size_t>(m_), MonitorFault::none);
  corrector_fault_.assign(n, CorrectorFault::none);
  last_reading_.assign(static_cast<std::size_t>(m_), 0.0);
}

void Machine::build_errors(gsl_rng* rng) {
  const auto m = static_cast<std::size_t>(m_), n = static_cast<std::size_t>(n_);
  gain_ = gaussians(rng, m_, s_.monitor_gain_rms);
  for (double& g : gain_) g += 1.0;
  roll_ = gaussians(rng, m_, s_.monitor_roll_rms);
  calibration_ = gaussians(rng, n_, s_.corrector_calibration_rms);
  for (double& c : calibration_) c += 1.0;

  // E within each corrector plane; mixed = N (I + E).
  const std::vector<Plane>& planes = nominal_.corrector_planes;
  std::vector<int> plane_size(2, 0);
  for (const Plane p : planes) ++plane_size[p == Plane::x ? 0 : 1];
  std::vector<double> E(n * n, 0.0);
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t j = 0; j < n; ++j)
      if (planes[k] == planes[j])
        E[k * n + j] =
            gsl_ran_gaussian(rng, s_.model_error / std::sqrt(plane_size[planes[j] == Plane::x ? 0 : 1]));
  mixed_ = nominal_.values;
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t k = 0; k < n; ++k) {
      const double a = nominal_.values[i * n + k];
      if (a == 0.0) continue;
      for (std::size_t j = 0; j < n; ++j) mixed_[i * n + j] += a * E[k * n + j];
    }

  errors_ = gaussians(rng, n_, s_.error_kick_mrad);
  drift_ = gaussians(rng, n_, 1.0);
  for (std::size_t l = 0; l < s_.lines.size(); ++l) {
    line_patterns_.push_back(gaussians(rng, n_, 1.0));
    line_phase_.push_back(gsl_rng_uniform(rng) * 2.0 * 3.14159265358979323846);
  }

  // The same monitor's row in the other plane, by name: "BPM001.X" and "BPM001.Y".
  std::vector<std::string> stems;
  for (const std::string& name : nominal_.monitors) stems.push_back(stem(name));
  partner_.assign(m, -1);
  for (std::size_t i = 0; i < m; ++i) {
    if (stems[i] == nominal_.monitors[i]) continue;
    for (std::size_t j = 0; j < m && partner_[i] < 0; ++j)
      if (nominal_.monitor_planes[i] != nominal_.monitor_planes[j] && stems[i] == stems[j])
        partner_[i] = static_cast<int>(j);
  }
}

std::vector<double> Machine::true_response() const {
  const auto m = static_cast<std::size_t>(m_), n = static_cast<std::size_t>(n_);
  std::vector<double> T(m * n);
  for (std::size_t i = 0; i < m; ++i) {
    const int p = partner_[i];
    const double sign = nominal_.monitor_planes[i] == Plane::x ? 1.0 : -1.0;
    for (std::size_t j = 0; j < n; ++j) {
      const double own = mixed_[i * n + j];
      const double other = p < 0 ? 0.0 : mixed_[static_cast<std::size_t>(p) * n + j];
      T[i * n + j] =
          gain_[i] * (std::cos(roll_[i]) * own + sign * std::sin(roll_[i]) * other) * calibration_[j];
    }
  }
  return T;
}

int Machine::monitor_index(const std::string& name) const {
  for (int i = 0; i < m_; ++i)
    if (nominal_.monitors[static_cast<std::size_t>(i)] == name) return i;
  return -1;
}

int Machine::corrector_index(const std::string& name) const {
  for (int j = 0; j < n_; ++j)
    if (nominal_.correctors[static_cast<std::size_t>(j)] == name) return j;
  return -1;
}

}  // namespace sim
}  // namespace zor_feedback
