// A cycle's write, its read-back, and the way back when the read-back fails.
#include "checks.h"
#include "guarded.h"
#include "zor_feedback/loop/loop.h"

namespace zor_feedback {
namespace loop {

bool Loop::write_and_verify(const std::vector<double>& kicks, CycleRecord& rec) {
  Time t = clock_.now();
  bool threw = false;
  const SinkResult w = detail::guarded_write(sink_, kicks, &threw);
  rec.write = clock_.now() - t;
  if (!w.ok) {
    // All or nothing: the set-points before are still in place, unless the
    // sink broke its contract and threw.
    trip(rec, TripReason::sink_failed, "the correctors refused the write: " + w.error);
    if (threw) restore(rec);
    return false;
  }
  t = clock_.now();
  clock_.sleep_for(config_.settle);
  const SinkResult r = detail::guarded_read(sink_);
  rec.readback = clock_.now() - t;
  const std::string off =
      r.ok ? detail::compare_readback(kicks, r.values, config_.readback_tolerance) : std::string();
  if (!r.ok || !off.empty()) {
    if (!r.ok) {
      trip(rec, TripReason::sink_failed, "the correctors could not be read back: " + r.error);
    } else {
      trip(rec, TripReason::readback_mismatch, "read-back disagrees: " + off);
    }
    restore(rec);
    return false;
  }
  rec.kicks = kicks;
  kicks_ = kicks;
  return true;
}

// The set-points from before the write go back; the loop has tripped anyway.
void Loop::restore(CycleRecord& rec) {
  bool threw = false;
  const SinkResult w = detail::guarded_write(sink_, kicks_, &threw);
  if (w.ok) {
    rec.restore = "the set-points before the write were written back";
    status_.unrestored.clear();
  } else {
    rec.restore = "could not write back the set-points before the write: " + w.error;
    status_.unrestored = rec.restore;
  }
}

}  // namespace loop
}  // namespace zor_feedback
