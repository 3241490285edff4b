// loop.h - one feedback cycle at a time, with its checks and trips:
//   read the orbit -> check it (it read, its shape, its age, enough valid
//   finite monitors) -> rms rules -> the controller's step -> check the step
//   against the corrector limits -> saturation rule -> write it in one call
//   -> wait the settle time -> read back and compare -> record.
//
// No step is made from an orbit that fails a check: the cycle is skipped
// (nothing written) and counts towards its rule's trip. Monitors that are not
// valid or not finite are dropped (NaN to the controller). A tripped loop
// reads and writes nothing more; reset() is the only way to run again.
//
// A write whose read-backs disagree (or cannot be read) trips the loop, and
// the loop writes back the set-points from before it; whether that worked is
// in the record and in the status (`unrestored`). Stopping a loop leaves the
// correctors where its last step put them.
//
// Not thread-safe: one thread cycles (see Runner). Nothing is thrown.
#ifndef ZOR_FEEDBACK_LOOP_LOOP_H
#define ZOR_FEEDBACK_LOOP_LOOP_H

#include <limits>
#include <string>
#include <vector>

#include "zor_feedback/loop/clock.h"
#include "zor_feedback/loop/controller.h"
#include "zor_feedback/loop/cycle_stats.h"
#include "zor_feedback/loop/io.h"
#include "zor_feedback/loop/trips.h"

namespace zor_feedback {
namespace loop {

// A corrector's hard limits, as the loop checks every step against them.
struct CorrectorLimit {
  double min = -std::numeric_limits<double>::infinity();
  double max = std::numeric_limits<double>::infinity();
  double max_step = std::numeric_limits<double>::infinity();  // |change| per write
};

struct LoopConfig {
  TripRules trips;
  // One value per monitor: the rms is taken about it. Empty: zero.
  std::vector<double> reference;
  // One per corrector; empty: none.
  std::vector<CorrectorLimit> limits;
  // A kick within this (absolute) of min or max is at its limit.
  double limit_margin = 0.0;
  // |read-back - set-point| > tolerance (absolute) is a mismatch.
  double readback_tolerance = 1e-6;
  Duration settle{0};  // between the write and the read-back
};

enum class CycleResult {
  written,  // a step was written and read back as set
  skipped,  // nothing written: a check failed below its trip count
  tripped,  // this cycle tripped the loop
  halted,   // the loop was tripped before: nothing done
};
const char* cycle_result_name(CycleResult result);

struct CycleRecord {
  long long cycle = 0;  // 1 for the first cycle after construction or reset
  CycleResult result = CycleResult::halted;
  TripReason reason = TripReason::none;                   // the rule that skipped or tripped the cycle
  std::string detail;                                     // what happened, in words
  double rms = std::numeric_limits<double>::quiet_NaN();  // of the used monitors; NaN: no orbit
  int valid_monitors = 0;
  std::vector<double> kicks;  // written (empty when nothing was)
  std::string restore;        // after a failed read-back: what became of the set-points before
  Time start{0};
  Duration read{0}, step{0}, write{0}, readback{0}, total{0};
};

struct LoopStatus {
  bool tripped = false;
  TripReason reason = TripReason::none;
  std::string detail;      // why it tripped
  std::string unrestored;  // set-points it could not restore (empty: none)
  long long cycles = 0, writes = 0;
};

class Loop {
 public:
  // Not owned; each must outlive the loop.
  Loop(OrbitSource& source, CorrectorSink& sink, Controller& controller, Clock& clock);

  // Empty when taken, else why not (and the configuration stays).
  std::string configure(const LoopConfig& config);
  const LoopConfig& config() const { return config_; }

  CycleRecord cycle();
  // Clears the trip, the counts and the cycle times; the next cycle reads
  // the correctors again. Does not move anything.
  void reset();

  const LoopStatus& status() const { return status_; }
  CycleTimes times() const { return stats_.times(); }

 private:
  bool check_orbit(const Orbit& orbit, CycleRecord& rec, std::vector<double>* used);
  bool check_rms(CycleRecord& rec);
  bool make_step(const std::vector<double>& orbit, CycleRecord& rec, std::vector<double>* kicks);
  bool write_and_verify(const std::vector<double>& kicks, CycleRecord& rec);
  // Counts `reason`; skips the cycle, or trips the loop at the rule's count.
  bool fail(CycleRecord& rec, TripReason reason, bool hit, int needed, const std::string& detail);
  void trip(CycleRecord& rec, TripReason reason, const std::string& detail);
  void restore(CycleRecord& rec);
  CycleRecord finish(CycleRecord rec);

  OrbitSource& source_;
  CorrectorSink& sink_;
  Controller& controller_;
  Clock& clock_;
  LoopConfig config_;
  LoopStatus status_;
  TripCounts counts_;
  CycleStats stats_;
  std::vector<double> kicks_;  // the set-points in place; empty: read them first
  double last_rms_ = std::numeric_limits<double>::quiet_NaN();
  Time last_stamp_{std::numeric_limits<Time::rep>::min()};
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_LOOP_H
