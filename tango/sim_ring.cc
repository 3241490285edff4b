// The simulated machine as the SimRing device serves it (sim_ring.h).
#include "sim_ring.h"

#include <chrono>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "rings.h"

namespace zor_feedback {
namespace tango {

namespace {

std::string number(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

const char* monitor_fault_name(sim::MonitorFault f) {
  return f == sim::MonitorFault::invalid ? "failed" : "stuck";
}

}  // namespace

SimRing::SimRing(const SimRingSettings& settings) : ring_(settings.ring), period_s_(settings.period_s) {
  // A clock faster than 100 Hz would keep a core busy for nothing.
  if (period_s_ != 0 && !(period_s_ >= 0.01 && period_s_ <= 3600))
    throw std::invalid_argument("the period " + number(period_s_) +
                                " s is neither 0 (stepped) nor within 0.01 to 3600 s");
  sim::ExampleRing ring;
  if (!sim::example_ring(settings.ring, &ring))
    throw std::invalid_argument("the ring '" + settings.ring + "' is neither ring96 nor ring320");
  sim::MachineSettings ms = settings.machine;
  // The delay counts whole cycles of the clock when it runs by itself.
  if (period_s_ > 0) ms.cycle_s = period_s_;
  machine_ = std::make_unique<sim::Machine>(ring.matrix, ms);
  kick_limit_ = ms.kick_limit_mrad;
  const LabelledMatrix& m = machine_->nominal();
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < m.rows; ++i)
      if ((m.monitor_planes[static_cast<std::size_t>(i)] == Plane::x) == (p == 0)) {
        plane_rows_[p].push_back(i);
        monitor_names_.push_back(m.monitors[static_cast<std::size_t>(i)]);
      }
  corrector_names_ = m.correctors;
  acquire();
  if (free_running()) clock_ = std::thread([this] { run_clock(); });
}

SimRing::~SimRing() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (clock_.joinable()) clock_.join();
}

void SimRing::acquire() { last_ = machine_->read_orbit(); }

// Advances by the period at each period's end of wall time; a late tick
// advances by the period all the same, so that the machine's clock counts
// cycles, never the host's load.
void SimRing::run_clock() {
  using clock = std::chrono::steady_clock;
  const auto period = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(period_s_));
  auto next = clock::now() + period;
  std::unique_lock<std::mutex> lock(mu_);
  while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
    machine_->advance(period_s_);
    acquire();
    next += period;
    if (next < clock::now()) next = clock::now() + period;  // never a burst to catch up
  }
}

PlaneOrbit SimRing::orbit(int plane) const {
  PlaneOrbit out;
  const std::vector<int>& rows = plane_rows_[plane == 0 ? 0 : 1];
  out.values.reserve(rows.size());
  std::lock_guard<std::mutex> lock(mu_);
  for (int i : rows) {
    const auto r = static_cast<std::size_t>(i);
    out.values.push_back(last_.valid[r] ? last_.values[r] : std::nan(""));
    if (!last_.valid[r]) ++out.invalid;
  }
  return out;
}

double SimRing::time_s() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_.time_s;
}

std::vector<double> SimRing::setpoints() const {
  std::lock_guard<std::mutex> lock(mu_);
  return machine_->setpoints();
}

std::vector<double> SimRing::readbacks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return machine_->readbacks();
}

std::string SimRing::write(const std::vector<double>& setpoints) {
  const std::size_t n = corrector_names_.size();
  if (setpoints.size() != n)
    return std::to_string(setpoints.size()) + " set-points for " + std::to_string(n) +
           " correctors: one per corrector is expected, nothing changed";
  for (std::size_t j = 0; j < n; ++j)
    if (!(std::fabs(setpoints[j]) <= kick_limit_))
      return "the set-point " + number(setpoints[j]) + " mrad of " + corrector_names_[j] +
             " is beyond its supply's limit of +-" + number(kick_limit_) + " mrad, nothing changed";
  std::lock_guard<std::mutex> lock(mu_);
  const sim::WriteResult w = machine_->write(setpoints);
  return w.ok ? std::string() : w.error + ", nothing changed";
}

std::string SimRing::advance(double seconds) {
  if (free_running())
    return "the clock runs by itself every " + number(period_s_) + " s: Advance is for a stepped machine";
  if (!(seconds >= 0) || !(seconds <= kMaxAdvanceS))
    return "Advance " + number(seconds) + " s refused: 0 to " + number(kMaxAdvanceS) + " s";
  std::lock_guard<std::mutex> lock(mu_);
  machine_->advance(seconds);
  acquire();
  return {};
}

std::string SimRing::set_monitor_fault(const std::string& name, sim::MonitorFault fault) {
  std::lock_guard<std::mutex> lock(mu_);
  const int i = machine_->monitor_index(name);
  if (i < 0) return "no monitor '" + name + "' in " + ring_ + " (see MonitorNames)";
  machine_->set_monitor_fault(i, fault);
  // A spike is over with the reading below.
  if (fault == sim::MonitorFault::none || fault == sim::MonitorFault::spike)
    monitor_faults_.erase(name);
  else
    monitor_faults_[name] = fault;
  acquire();  // the fault shows in the very next read
  return {};
}

std::string SimRing::set_corrector_fault(const std::string& name, sim::CorrectorFault fault) {
  std::lock_guard<std::mutex> lock(mu_);
  const int j = machine_->corrector_index(name);
  if (j < 0) return "no corrector '" + name + "' in " + ring_ + " (see CorrectorNames)";
  machine_->set_corrector_fault(j, fault);
  if (fault == sim::CorrectorFault::none)
    corrector_faults_.erase(name);
  else
    corrector_faults_[name] = fault;
  return {};
}

std::string SimRing::status() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::ostringstream s;
  s << ring_ << ": " << monitor_names_.size() << " monitors, " << corrector_names_.size()
    << " correctors, t = " << last_.time_s << " s, "
    << (free_running() ? "free-running every " + number(period_s_) + " s"
                       : std::string("stepped by Advance"));
  if (monitor_faults_.empty() && corrector_faults_.empty()) return s.str() + "; no fault";
  s << "; faults:";
  for (const auto& f : monitor_faults_) s << ' ' << f.first << ' ' << monitor_fault_name(f.second);
  for (const auto& f : corrector_faults_)
    s << ' ' << f.first << (f.second == sim::CorrectorFault::stuck ? " stuck" : " refusing");
  return s.str();
}

}  // namespace tango
}  // namespace zor_feedback
