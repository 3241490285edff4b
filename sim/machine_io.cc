#include "machine_io.h"

#include <chrono>
#include <utility>

namespace zor_feedback {
namespace sim {

namespace {

loop::Time as_time(double seconds) {
  return std::chrono::duration_cast<loop::Time>(std::chrono::duration<double>(seconds));
}

}  // namespace

loop::Time MachineClock::now() const { return as_time(m_.time_s()); }

void MachineClock::sleep_for(loop::Duration d) { m_.advance(std::chrono::duration<double>(d).count()); }

loop::Orbit MachineSource::read() {
  m_.advance(period_s_);
  const OrbitReading r = m_.read_orbit();
  loop::Orbit o;
  o.ok = true;
  for (int i : rows_) {
    o.values.push_back(r.values[static_cast<std::size_t>(i)]);
    o.valid.push_back(r.valid[static_cast<std::size_t>(i)]);
  }
  o.stamp = as_time(r.time_s);
  return o;
}

loop::SinkResult MachineSink::write(const std::vector<double>& v) {
  std::vector<double> all = m_.setpoints();
  for (std::size_t k = 0; k < cols_.size() && k < v.size(); ++k)
    all[static_cast<std::size_t>(cols_[k])] = v[k];
  const WriteResult w = m_.write(all);
  loop::SinkResult r;
  r.ok = w.ok;
  r.error = w.error;
  return r;
}

loop::SinkResult MachineSink::read() {
  loop::SinkResult r;
  r.ok = true;
  for (int j : cols_) r.values.push_back(m_.readbacks()[static_cast<std::size_t>(j)]);
  return r;
}

std::vector<int> all_of(int n) {
  std::vector<int> k(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) k[static_cast<std::size_t>(i)] = i;
  return k;
}

}  // namespace sim
}  // namespace zor_feedback
