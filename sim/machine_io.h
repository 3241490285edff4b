// machine_io.h - a simulated machine seen through the loop's interfaces: its
// time as the loop's clock, its monitors as an orbit source, its correctors
// as a corrector sink, so that the loop's procedures run on it as on a ring.
#ifndef ZOR_FEEDBACK_SIM_MACHINE_IO_H
#define ZOR_FEEDBACK_SIM_MACHINE_IO_H

#include <vector>

#include "machine.h"
#include "zor_feedback/loop/clock.h"
#include "zor_feedback/loop/io.h"

namespace zor_feedback {
namespace sim {

// The machine's own time: a wait moves the simulation on, so a procedure
// that waits seconds of machine time takes milliseconds of wall time.
class MachineClock final : public loop::Clock {
 public:
  explicit MachineClock(Machine& m) : m_(m) {}
  loop::Time now() const override;
  void sleep_for(loop::Duration d) override;

 private:
  Machine& m_;
};

// The monitors in `rows`, read once per `period_s` of machine time.
class MachineSource final : public loop::OrbitSource {
 public:
  MachineSource(Machine& m, std::vector<int> rows, double period_s)
      : m_(m), rows_(std::move(rows)), period_s_(period_s) {}
  loop::Orbit read() override;

 private:
  Machine& m_;
  std::vector<int> rows_;
  double period_s_;
};

// The correctors in `cols`; a write keeps the others' set-points.
class MachineSink final : public loop::CorrectorSink {
 public:
  MachineSink(Machine& m, std::vector<int> cols) : m_(m), cols_(std::move(cols)) {}
  loop::SinkResult write(const std::vector<double>& v) override;
  loop::SinkResult read() override;

 private:
  Machine& m_;
  std::vector<int> cols_;
};

// Every index below n: all monitors or all correctors.
std::vector<int> all_of(int n);

}  // namespace sim
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SIM_MACHINE_IO_H
