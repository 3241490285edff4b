#include "zor_feedback/loop/loop.h"

#include <cmath>
#include <utility>

#include "checks.h"
#include "guarded.h"

namespace zor_feedback {
namespace loop {

const char* cycle_result_name(CycleResult result) {
  switch (result) {
    case CycleResult::written:
      return "written";
    case CycleResult::skipped:
      return "skipped";
    case CycleResult::tripped:
      return "tripped";
    case CycleResult::halted:
      return "halted";
  }
  return "unknown";
}

Loop::Loop(OrbitSource& source, CorrectorSink& sink, Controller& controller, Clock& clock)
    : source_(source), sink_(sink), controller_(controller), clock_(clock) {}

namespace {

std::string check_limits(const std::vector<CorrectorLimit>& limits) {
  for (const CorrectorLimit& l : limits)
    if (std::isnan(l.min) || std::isnan(l.max) || !(l.min <= l.max) || !(l.max_step >= 0))
      return "every corrector limit needs min <= max and max_step >= 0";
  return {};
}

std::string check_config(const LoopConfig& c) {
  if (std::string e = check_trip_rules(c.trips); !e.empty()) return e;
  if (std::string e = check_limits(c.limits); !e.empty()) return e;
  for (const double r : c.reference)
    if (!std::isfinite(r)) return "the reference must be finite";
  if (!(c.limit_margin >= 0)) return "the limit margin must be >= 0";
  if (!(c.readback_tolerance >= 0)) return "the read-back tolerance must be >= 0";
  if (c.settle.count() < 0) return "the settle time must be >= 0";
  return {};
}

}  // namespace

std::string Loop::configure(const LoopConfig& config) {
  if (std::string e = check_config(config); !e.empty()) return e;
  if (!kicks_.empty() && !config.limits.empty() && config.limits.size() != kicks_.size())
    return "the limits are for " + std::to_string(config.limits.size()) + " correctors, the sink has " +
           std::to_string(kicks_.size());
  config_ = config;
  return {};
}

void Loop::reset() {
  status_ = LoopStatus{};
  counts_.clear();
  stats_.clear();
  kicks_.clear();
  last_rms_ = std::numeric_limits<double>::quiet_NaN();
  last_stamp_ = Time{std::numeric_limits<Time::rep>::min()};
}

CycleRecord Loop::cycle() {
  CycleRecord rec;
  rec.cycle = ++status_.cycles;
  rec.start = clock_.now();
  if (status_.tripped) {
    rec.reason = status_.reason;
    rec.detail = "tripped: reset to run again";
    return finish(std::move(rec));
  }
  const Orbit orbit = detail::guarded_read(source_);
  rec.read = clock_.now() - rec.start;
  std::vector<double> used, kicks;
  if (!check_orbit(orbit, rec, &used) || !check_rms(rec)) return finish(std::move(rec));
  last_stamp_ = orbit.stamp;
  const Time t = clock_.now();
  const bool stepped = make_step(used, rec, &kicks);
  rec.step = clock_.now() - t;
  if (stepped && write_and_verify(kicks, rec)) {
    rec.result = CycleResult::written;
    ++status_.writes;
    if (std::string e = detail::guarded_written(controller_); !e.empty())
      rec.detail = "written; not recorded: " + e;
  }
  return finish(std::move(rec));
}

CycleRecord Loop::finish(CycleRecord rec) {
  rec.total = clock_.now() - rec.start;
  if (rec.result != CycleResult::halted || !status_.tripped) stats_.add(rec.total);
  return rec;
}

bool Loop::fail(CycleRecord& rec, TripReason reason, bool hit, int needed, const std::string& detail) {
  if (!counts_.count(reason, hit, needed)) {
    if (!hit) return true;
    rec.result = CycleResult::skipped;
    rec.reason = reason;
    rec.detail =
        detail + " (" + std::to_string(counts_.of(reason)) + " of " + std::to_string(needed) + " cycles)";
    return false;
  }
  trip(rec, reason, detail);
  return false;
}

void Loop::trip(CycleRecord& rec, TripReason reason, const std::string& detail) {
  rec.result = CycleResult::tripped;
  rec.reason = reason;
  rec.detail = detail;
  status_.tripped = true;
  status_.reason = reason;
  status_.detail = detail;
}

}  // namespace loop
}  // namespace zor_feedback
