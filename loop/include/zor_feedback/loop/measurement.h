// measurement.h - measuring a response matrix over an orbit source and a
// corrector sink: one corrector at a time is kicked around its start value,
// the orbit averaged on each side after it settles, and every corrector put
// back to its start value on every way out (end, stop request, a failing or
// throwing source or sink, an error of the procedure itself).
//
// A bipolar column is fitted to its three orbits (+, -, back at the start),
// so that a steady drift during the column cancels; each element comes with
// its standard error from the readings (docs/measurement.md has the formulas).
//
// A measurement is resumable: its state is a value the caller keeps; a call
// stopped at column k leaves the columns before k in the state, and the next
// call with that state continues from k.
#ifndef ZOR_FEEDBACK_LOOP_MEASUREMENT_H
#define ZOR_FEEDBACK_LOOP_MEASUREMENT_H

#include <atomic>
#include <string>
#include <vector>

#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/loop/clock.h"
#include "zor_feedback/loop/io.h"

namespace zor_feedback {
namespace loop {

struct MeasureConfig {
  // Labels of the result (rows: monitors, columns: correctors); names empty:
  // indices, planes empty: x.
  std::vector<std::string> monitors, correctors;
  std::vector<Plane> monitor_planes, corrector_planes;
  std::string units;

  bool bipolar = true;  // +d/2 and -d/2 around the start; false: start + d against start
  int readings = 8;     // orbits averaged per side (>= 2: the error comes from their spread)

  // The kick d per corrector: `kicks` (one value for all, or one per
  // corrector) when given; otherwise d_j = target_change / max_i |prior_ij|,
  // the kick that moves the orbit by `target_change` at the monitor that
  // answers most, by the `prior` matrix (monitors x correctors, row-major).
  std::vector<double> kicks;
  std::vector<double> prior;
  double target_change = 0.0;
  // Corrector limits (empty: none; otherwise one per corrector). A kick is
  // cut to fit between them around the start value (the column says so).
  std::vector<double> lower, upper;

  // Settling after each write: wait settle_min, then until the read-backs
  // equal the set-points (within readback_tolerance, absolute, <=) and two
  // successive orbits differ by at most settle_sigma times their
  // noise (rms over the monitors, each in sqrt(2) sigma + noise_floor); give up at
  // settle_max (a read-back that never arrives is an error, an orbit that
  // never settles flags the column).
  Duration settle_min{0};
  Duration settle_max{std::chrono::seconds(10)};
  Duration poll{std::chrono::milliseconds(10)};  // between read-back polls (> 0)
  int settle_reads_max = 1000;                   // orbit reads of one wait, at most
  double settle_sigma = 2.0;
  double noise_floor = 0.0;
  double readback_tolerance = 1e-9;

  // Drift check: after each column the orbit at the start kicks is read again
  // (`readings` orbits); the column is flagged when any monitor's mean differs
  // from the one before the column by more than drift_sigma of their combined
  // error. Unipolar, the orbit before and after the column (their mean) is the
  // unkicked side, so that a steady drift cancels.
  double drift_sigma = 5.0;

  int max_columns = -1;  // >= 0: stop (restored, resumable) after this many columns in this call
  int restore_attempts = 3;
};

// What was measured of one column.
struct MeasuredColumn {
  double kick = 0.0;         // d: the difference of the two sides' set-points
  bool kick_capped = false;  // d was cut to fit the limits
  bool settled = true;       // every side's orbit settled before settle_max
  bool drift = false;        // the orbit did not come back (see drift_sigma)
  double drift_max = 0.0;    // the largest monitor's drift, in its combined errors
  double snr = 0.0;          // |column| / |errors| (Frobenius)
  Duration settle_time{0};   // the longest wait of its sides
  int orbit_reads = 0;       // settling and averaging together
};

// Everything a measurement keeps between calls. Start with a default state;
// keep it to resume. Do not change it between calls.
struct MeasureState {
  bool started = false;
  int next_column = 0;
  std::string date;                     // UTC, ISO 8601, when the measurement started
  std::vector<double> start_kicks;      // the correctors' read-backs at the start
  std::vector<double> start_orbit;      // mean of `readings` orbits at the start
  std::vector<double> reference;        // the latest such mean: before the next column
  std::vector<double> noise;            // each monitor's standard deviation of one reading
  std::vector<double> kicks;            // d per corrector, fixed at the start
  std::vector<bool> capped;             // kick cut by the limits
  std::vector<double> values, errors;   // monitors x correctors, row-major; columns < next_column
  std::vector<MeasuredColumn> columns;  // next_column of them
  long orbit_reads = 0;
  Duration elapsed{0};  // on the caller's clock, over all calls
};

struct MeasureResult {
  bool ok = false;  // false: an error; `error` says why (the columns measured are kept)
  std::string error;
  bool complete = false;                  // every column measured: `matrix` and `errors` hold them
  bool stopped = false;                   // stopped on request or by max_columns; resume with the state
  bool restored = false;                  // every corrector read back at its start value
  std::vector<std::string> not_restored;  // the correctors that were not (or could not be read)
  LabelledMatrix matrix;                  // monitors x correctors, when complete
  LabelledMatrix errors;                  // the standard error of each element, same labels
  std::vector<MeasuredColumn> columns;
  std::string date;
  int readings = 0;
  long orbit_reads = 0;
  Duration elapsed{0};
};

// Measures the columns from state->next_column on. Sets the correctors only
// through `sink` (every corrector in each write) and restores them before it
// returns, whatever happens; never throws. `stop` (may be null) is checked
// before every orbit read: a set flag ends the call, restored and resumable
// (the column in progress is measured again on resume).
// Refused before anything is written: an inconsistent config or state, a
// corrector that cannot be kicked within its limits, read-backs that are not
// at the start values of a resumed measurement.
MeasureResult measure_response(OrbitSource& source, CorrectorSink& sink, Clock& clock,
                               const MeasureConfig& config, MeasureState* state,
                               const std::atomic<bool>* stop = nullptr);

// The file of the errors beside a measured matrix's file: "ring.txt" ->
// "ring.errors.txt", "ring" -> "ring.errors".
std::string errors_path(const std::string& matrix_path);

// Writes a complete result: the matrix to `path` and its errors to
// errors_path(path), both in the labelled format, the metadata (date,
// readings, kicks, settle times, drift flags, SNR) as comment lines of the
// matrix file. Refused (nothing written) when the result is not complete.
LabelledReport write_measurement(const std::string& path, const MeasureResult& result);

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_MEASUREMENT_H
