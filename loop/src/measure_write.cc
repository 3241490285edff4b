// A measured matrix and its errors as two labelled files.
#include <cstdio>

#include "zor_feedback/loop/measurement.h"

namespace zor_feedback {
namespace loop {

std::string errors_path(const std::string& matrix_path) {
  const std::size_t slash = matrix_path.find_last_of('/');
  const std::size_t dot = matrix_path.find_last_of('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  if (!has_ext) return matrix_path + ".errors";
  return matrix_path.substr(0, dot) + ".errors" + matrix_path.substr(dot);
}

namespace {

std::string num(const char* format, double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// One comment line per kind of metadata, one value per column where it has
// one, so that a reader can take them back by splitting on blanks.
std::vector<std::string> metadata(const MeasureResult& r) {
  std::string kicks = "kicks:", settle = "settle_s:", drift = "drift:", snr = "snr:", capped = "capped:";
  for (const MeasuredColumn& c : r.columns) {
    kicks += num(" %.9g", c.kick);
    settle += num(" %.6g", std::chrono::duration<double>(c.settle_time).count());
    drift += c.drift ? " 1" : " 0";
    snr += num(" %.4g", c.snr);
    capped += c.kick_capped ? " 1" : " 0";
  }
  return {"measured response matrix",
          "date: " + r.date,
          "readings: " + std::to_string(r.readings),
          "orbit_reads: " + std::to_string(r.orbit_reads),
          "elapsed_s:" + num(" %.6g", std::chrono::duration<double>(r.elapsed).count()),
          kicks,
          capped,
          settle,
          drift,
          snr};
}

}  // namespace

LabelledReport write_measurement(const std::string& path, const MeasureResult& result) {
  LabelledReport rep;
  if (!result.complete) {
    rep.error = "the measurement is not complete: nothing written";
    return rep;
  }
  const std::string epath = errors_path(path);
  rep = write_labelled_matrix(epath.c_str(), result.errors,
                              {"standard errors of the measured matrix " + path, "date: " + result.date});
  if (!rep.ok) return rep;
  rep = write_labelled_matrix(path.c_str(), result.matrix, metadata(result));
  if (!rep.ok) std::remove(epath.c_str());  // no errors file without its matrix
  return rep;
}

}  // namespace loop
}  // namespace zor_feedback
