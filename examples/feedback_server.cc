// A minimal orbit feedback server: the location owns its properties, loads
// the response matrix, inverts it by the standard inversion, and runs
// correction cycles through zor_feedback::Correction.
//
//   feedback_server [RESPONSE_MATRIX_FILE]
//
// The orbit here comes from a model (the response matrix times a fixed set of
// field-error kicks); a real server reads it from its monitors instead, and
// writes the corrector settings to its magnet power supplies.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "zor_feedback/correction.h"
#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/zor_feedback.h"

// The shape of the shipped example: 96 monitors by 48 correctors.
constexpr int kMonitors = 96;
constexpr int kCorrectors = 48;

int main(int argc, char** argv) {
  // The response-matrix file: the argument, or the shipped example.
  const std::string file = argc > 1 ? argv[1] : EXAMPLE_DATA_DIR "/ring_response.txt";

  // The server location. Every property constructed with it registers there,
  // and the framework serves it to clients under its name.
  EqFct location("ORBIT.FEEDBACK");

  // The response matrix: rows are monitors, columns are correctors.
  QTEV_ResponseMatrix R("RESPONSE_MATRIX", kMonitors, kCorrectors, &location);
  // Its inverse has the transposed shape: correctors by monitors.
  QTEV_ResponseMatrix inverse("INVERSE", kCorrectors, kMonitors, &location);
  // The singular values of R, published by the inversion.
  D_spectrum singular_values("SINGULAR_VALUES", kCorrectors, &location);
  // A history of the last 8 messages, newest first, for the operators.
  D_ringbuf history("HISTORY", 8, &location);

  // Column vectors are matrices with one column.
  QTEV_ResponseMatrix orbit_m("ORBIT", kMonitors, 1, &location);            // [mm]
  QTEV_ResponseMatrix correctors("CORRECTORS", kCorrectors, 1, &location);  // [mrad]
  QTEV_ResponseMatrix total("KICKS", kCorrectors, 1, nullptr);              // model only: errors + correctors

  // Load the file. The file must have exactly kMonitors data lines and
  // kCorrectors values on the last one; otherwise load_file logs an
  // "ERROR: ..." line, changes nothing and returns false.
  if (!R.load_file(file.c_str())) return 1;

  // The standard inversion: the truncated-SVD pseudo-inverse (numpy's pinv)
  // with the default cut-off, no floor on its elements. It publishes INVERSE
  // and SINGULAR_VALUES, or refuses and writes neither.
  const zor_feedback::SvdReport inverted = R.pseudo_inverse(inverse, &singular_values, {});
  if (!inverted.ok) {
    std::fprintf(stderr, "%s\n", inverted.error.c_str());
    return 1;
  }
  std::printf("inverted: %d singular values used, rcond %.2g\n", inverted.used, inverted.rcond);

  // The correction step: the same file with its monitor and corrector names
  // and planes (the indices and plane x when it has none), half of the
  // computed step applied per cycle.
  zor_feedback::LabelledMatrix labelled;
  if (const zor_feedback::LabelledReport read = zor_feedback::read_labelled_matrix(file.c_str(), &labelled);
      !read.ok) {
    std::fprintf(stderr, "%s\n", read.error.c_str());
    return 1;
  }
  zor_feedback::Correction correction(&history);  // each applied step also goes into HISTORY
  zor_feedback::PlaneSettings settings;
  settings.gain = 0.5;
  for (const zor_feedback::Plane plane : {zor_feedback::Plane::x, zor_feedback::Plane::y})
    correction.set_plane(plane, settings);
  if (const zor_feedback::Outcome set = correction.set_matrix(labelled); !set.ok) {
    std::fprintf(stderr, "%s\n", set.error.c_str());
    return 1;
  }

  // The model's field errors, in mrad: a fixed pattern for the example.
  auto field_error = [](int j) { return 0.05 * std::sin(1.7 * j + 0.3); };

  std::vector<double> kicks(kCorrectors, 0.0), orbit(kMonitors, 0.0);
  for (int cycle = 0; cycle < 8; ++cycle) {
    // Measure: orbit = R * (field errors + correctors). multiply() writes
    // R * total into orbit_m, which must have R.rows rows and total's columns.
    for (int j = 0; j < kCorrectors; ++j)
      total.set_value(static_cast<float>(field_error(j) + kicks[static_cast<std::size_t>(j)]), j, 0, -1, -1,
                      -1, -1);
    R.multiply(total, orbit_m);
    for (int i = 0; i < kMonitors; ++i)
      orbit[static_cast<std::size_t>(i)] = orbit_m.value(i, 0, -1, -1, -1, -1);

    // Correct: the step for this orbit within every limit, then the kicks to
    // set, one write a cycle (a split step's rest follows from the next
    // orbit). A refused step (a bad orbit) moves nothing.
    const zor_feedback::Step step = correction.compute(orbit, kicks);
    if (!step.ok) {
      std::fprintf(stderr, "cycle %d: %s\n", cycle, step.error.c_str());
      break;
    }
    const zor_feedback::KickWrite set = correction.apply(step, zor_feedback::ApplyWrites::first);
    if (!set.ok) break;
    kicks = set.writes.front();
    for (int j = 0; j < kCorrectors; ++j)
      correctors.set_value(static_cast<float>(kicks[static_cast<std::size_t>(j)]), j, 0, -1, -1, -1, -1);
    std::printf("cycle %d: orbit rms %.4f mm, predicted after the step %.4f mm\n", cycle, step.rms_before,
                step.rms_after);
  }

  // What a client sees: it reads HISTORY through the location, here every
  // entry (a request without a value), newest first.
  EqData request, reply;
  location.get("HISTORY", &request, &reply);
  for (int i = 0; i < reply.length(); ++i)
    std::printf("HISTORY[%d] %s\n", i, reply.get_ustr(i)->str_data.c_str());
  return 0;
}
