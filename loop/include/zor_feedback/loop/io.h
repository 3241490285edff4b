// io.h - what a loop reads the orbit from and writes the correctors to. The
// loop calls them from one thread at a time; an implementation for a real
// machine translates its framework's calls and errors into these results and
// never throws.
#ifndef ZOR_FEEDBACK_LOOP_IO_H
#define ZOR_FEEDBACK_LOOP_IO_H

#include <string>
#include <vector>

#include "zor_feedback/loop/clock.h"

namespace zor_feedback {
namespace loop {

// One measured orbit: one value per monitor, whether the monitor vouches for
// it, and when it was measured (in the loop's clock).
struct Orbit {
  bool ok = false;    // false: the source could not read; `error` says why
  std::string error;  // and the rest is not used
  std::vector<double> values;
  std::vector<bool> valid;  // same size as values
  Time stamp{0};
};

class OrbitSource {
 public:
  virtual ~OrbitSource() = default;
  virtual Orbit read() = 0;
};

// What a write or a read of the correctors gave.
struct SinkResult {
  bool ok = false;
  std::string error;           // why not, when !ok
  std::vector<double> values;  // read(): the read-backs, one per corrector
};

class CorrectorSink {
 public:
  virtual ~CorrectorSink() = default;
  // Sets every corrector in one call: all of them, or (ok false) none.
  virtual SinkResult write(const std::vector<double>& setpoints) = 0;
  // The correctors' read-backs.
  virtual SinkResult read() = 0;
  // The set-points as the correctors hold them, where a loop starts from (a
  // sink without read-backs of their own: read()).
  virtual SinkResult read_setpoints() { return read(); }
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_IO_H
