// sim_ring.h - the simulated machine as the SimRing device serves it, without
// TANGO: a sim::Machine behind a mutex, its monitors split by plane, its
// faults set by name, its clock moved by a command or by a thread of its own.
//
// Every reader gets a copy of the newest acquisition (one reading of all
// monitors, taken after each advance of the clock and each change of a
// monitor fault), so that OrbitX and OrbitY always come from the same
// reading and a reader never waits longer than a copy. Every request that is
// refused returns why and changes nothing.
#ifndef ZOR_FEEDBACK_TANGO_SIM_RING_H
#define ZOR_FEEDBACK_TANGO_SIM_RING_H

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "machine.h"

namespace zor_feedback {
namespace tango {

struct SimRingSettings {
  std::string ring = "ring96";  // ring96 | ring320
  sim::MachineSettings machine;
  // 0.01 to 3600: the clock advances by this many seconds every as many
  // seconds of wall time, on a thread of its own; 0: only advance() moves it.
  double period_s = 0.1;
};

// One plane's orbit: mm, NaN where a monitor reads nothing valid.
struct PlaneOrbit {
  std::vector<double> values;
  int invalid = 0;  // monitors not valid
};

class SimRing {
 public:
  // The largest step advance() takes, seconds.
  static constexpr double kMaxAdvanceS = 86400.0;

  // Throws std::invalid_argument with the reason for an unknown ring or
  // settings the machine refuses.
  explicit SimRing(const SimRingSettings& settings);
  ~SimRing();  // stops the clock's thread
  SimRing(const SimRing&) = delete;
  SimRing& operator=(const SimRing&) = delete;

  bool free_running() const { return period_s_ > 0; }
  double period_s() const { return period_s_; }
  const std::string& ring() const { return ring_; }
  double kick_limit_mrad() const { return kick_limit_; }

  // Monitors of plane x, then those of plane y, each in the matrix's row
  // order; correctors in the matrix's column order (ring320: CH..., then
  // CV...). Fixed for the machine's life.
  const std::vector<std::string>& monitor_names() const { return monitor_names_; }
  const std::vector<std::string>& corrector_names() const { return corrector_names_; }

  PlaneOrbit orbit(int plane) const;  // 0: x, 1: y (empty without that plane)
  double time_s() const;
  std::vector<double> setpoints() const;
  std::vector<double> readbacks() const;

  // Sets all set-points at once [mrad]. Refused whole (a reason returned,
  // nothing changed) for a count that does not fit, a value that is not
  // finite or beyond the supplies' limit, or when the machine refuses.
  std::string write(const std::vector<double>& setpoints);
  // Moves the clock on by `seconds` (0 to kMaxAdvanceS) and reads the
  // monitors. Refused while free-running.
  std::string advance(double seconds);

  // Faults by name; "" or why refused (an unknown name).
  std::string set_monitor_fault(const std::string& name, sim::MonitorFault fault);
  std::string set_corrector_fault(const std::string& name, sim::CorrectorFault fault);

  // One line: the ring, its clock and the faults in force.
  std::string status() const;

 private:
  void acquire();  // with mu_ held
  void run_clock();

  std::string ring_;
  double period_s_ = 0, kick_limit_ = 0;
  std::vector<std::string> monitor_names_, corrector_names_;
  std::vector<int> plane_rows_[2];  // the machine's rows of each plane

  mutable std::mutex mu_;
  std::unique_ptr<sim::Machine> machine_;
  sim::OrbitReading last_;
  std::map<std::string, sim::MonitorFault> monitor_faults_;
  std::map<std::string, sim::CorrectorFault> corrector_faults_;

  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread clock_;
};

}  // namespace tango
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TANGO_SIM_RING_H
