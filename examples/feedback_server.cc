// A minimal orbit feedback server: the location owns its properties, loads
// the response matrix, inverts it, and runs correction cycles.
//
//   feedback_server [RESPONSE_MATRIX_FILE]
//
// The orbit here comes from a model (the response matrix times a fixed set of
// field-error kicks); a real server reads it from its monitors instead, and
// writes the corrector settings to its magnet power supplies.
#include <cmath>
#include <cstdio>
#include <string>

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
  // The singular values of R, published by invert().
  D_spectrum singular_values("SINGULAR_VALUES", kCorrectors, &location);
  // A history of the last 8 messages, newest first, for the operators.
  D_ringbuf history("HISTORY", 8, &location);

  // Column vectors are matrices with one column.
  QTEV_ResponseMatrix orbit("ORBIT", kMonitors, 1, &location);              // [mm]
  QTEV_ResponseMatrix correctors("CORRECTORS", kCorrectors, 1, &location);  // [mrad]
  QTEV_ResponseMatrix step("STEP", kCorrectors, 1, nullptr);                // not published
  QTEV_ResponseMatrix kicks("KICKS", kCorrectors, 1, nullptr);              // model only

  // Load the file. The file must have exactly kMonitors data lines and
  // kCorrectors values on the last one; otherwise load_file logs an
  // "ERROR: ..." line, changes nothing and returns false.
  if (!R.load_file(file.c_str())) return 1;

  // Invert by SVD. tol = -1 asks for the library's internal tolerance, which
  // it writes back; nosv receives the number of singular values used.
  float tol = -1.0f;
  int nosv = 0;
  R.invert(inverse, singular_values, &tol, &nosv);
  std::printf("inverted: %d singular values used, tolerance %.2g\n", nosv, tol);

  // The model's field errors, in mrad: a fixed pattern for the example.
  auto field_error = [](int j) { return 0.05 * std::sin(1.7 * j + 0.3); };

  const double gain = 0.5;  // fraction of the computed correction applied per cycle
  for (int cycle = 0; cycle < 8; ++cycle) {
    // Measure: orbit = R * (field errors + correctors). multiply() writes
    // R * kicks into orbit, which must have R.rows rows and kicks' columns.
    for (int j = 0; j < kCorrectors; ++j)
      kicks.set_value(static_cast<float>(field_error(j) + correctors.value(j, 0, -1, -1, -1, -1)), j, 0, -1,
                      -1, -1, -1);
    R.multiply(kicks, orbit);

    // The orbit's rms, for the message.
    double sum = 0.0;
    for (int i = 0; i < kMonitors; ++i) sum += std::pow(orbit.value(i, 0, -1, -1, -1, -1), 2);
    const double rms = std::sqrt(sum / kMonitors);

    // Keep a message; store() copies the text and stamps it with the time.
    char msg[100];
    std::snprintf(msg, sizeof msg, "cycle %d: orbit rms %.4f mm", cycle, rms);
    history.store(msg);

    // Correct: step = inverse * orbit, then correctors -= gain * step.
    inverse.multiply(orbit, step);
    for (int j = 0; j < kCorrectors; ++j)
      correctors.set_value(static_cast<float>(correctors.value(j, 0, -1, -1, -1, -1) -
                                              gain * step.value(j, 0, -1, -1, -1, -1)),
                           j, 0, -1, -1, -1, -1);
  }

  // What a client sees: it reads HISTORY through the location, here every
  // entry (a request without a value), newest first.
  EqData request, reply;
  location.get("HISTORY", &request, &reply);
  for (int i = 0; i < reply.length(); ++i)
    std::printf("HISTORY[%d] %s\n", i, reply.get_ustr(i)->str_data.c_str());
  return 0;
}
