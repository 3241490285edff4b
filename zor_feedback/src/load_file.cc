// Loading a response matrix from a text file.
#include <sys/stat.h>

#include <climits>
#include <string>

#include "log_line.h"
#include "matrix_file.h"
#include "zor_feedback/zor_feedback.h"

using namespace zor_feedback::detail;

namespace {

// The figures of the log lines are ints; the counts behind them are not
// allowed to overflow on an absurdly large file.
int clamp_to_int(long long v) { return v > INT_MAX ? INT_MAX : static_cast<int>(v); }

}  // namespace

namespace {

// The counting pass against the matrix's shape: the logged refusal, or empty.
std::string check_count(const char* name, const FileCount& count, int mon, int act) {
  if (count.data_lines != mon)
    return log_line(name, DF_LOG, "ERROR: No. rows (%d) do not match no. of monitors (%d)!",
                    clamp_to_int(count.data_lines), mon);
  if (count.last_count != act)
    return log_line(name, DF_LOG, "ERROR: No. columns (%d) do not match no. of actuators (%d)!",
                    clamp_to_int(count.last_count), act);
  // Only an earlier line can be longer: the last one passed the test above.
  const auto [long_line, long_count] = count.first_line_above(act);
  if (long_line != 0)
    return log_line(name, DF_LOG, "ERROR: Line %d has %d values, more than no. of actuators (%d)!",
                    clamp_to_int(long_line), clamp_to_int(long_count), act);
  return {};
}

}  // namespace

// Reads the file twice: the first pass counts the data lines and the values of
// the last one and compares them with `rows` and `cols`; only when they match
// does the second pass store the values (through the base class's set_value,
// narrowed to float). A refused file changes no element.
//
// Beyond the two counts, a file is refused before anything is stored when an
// earlier data line holds more than `cols` values (they would lie outside the
// matrix). A file that is rewritten while it is being read is refused too;
// when that is noticed only after the second pass, elements have already been
// stored and the matrix holds a mix of old and new values: the false result
// and the error line say that it cannot be trusted. Nothing is ever written
// outside the matrix.
bool QTEV_ResponseMatrix::load_file(const char* fname) { return load_report(fname).ok; }

zor_feedback::LoadReport QTEV_ResponseMatrix::load_report(const char* fname) {
  static const char* const name = "QTEV_ResponseMatrix::load_file";
  const char* const shown = fname != nullptr ? fname : "(null)";
  log_line(name, kInfo, "INFO: Loading file %s ...", shown);

  struct stat opened {};
  zor_feedback::LoadReport rep;
  const FileDescriptor fid(open_regular_file(fname, opened));
  if (fid.get() < 0) {
    rep.error = log_line(name, DF_LOG, "ERROR: file %s not found!", shown);
    return rep;
  }
  const int mon = rows, act = cols;
  LineReader reader(fid.get());

  FileCount count;
  if (!count_file(reader, &count)) {
    rep.error = log_line(name, DF_LOG, "ERROR: reading file %s failed!", shown);
    return rep;
  }
  rep.error = check_count(name, count, mon, act);
  if (!rep.error.empty()) return rep;
  if (!same_file_state(fid.get(), opened)) {
    rep.error = log_line(name, DF_LOG, "ERROR: file %s changed while being read!", shown);
    return rep;
  }

  // Storing pass. The bounds only matter should the file change meanwhile.
  reader.rewind();
  long long M = 0, N = 0;
  std::string line;
  while (reader.next(line)) {
    if (is_comment(line)) continue;
    N = 0;
    for_each_value(line, [&](double val) {
      if (M < mon && N < act)
        D_mdfloat_array::set_value(static_cast<float>(val), static_cast<int>(M), static_cast<int>(N), -1, -1,
                                   -1, -1);
      ++N;
    });
    ++M;
  }
  if (reader.failed()) {
    rep.error = log_line(name, DF_LOG, "ERROR: reading file %s failed!", shown);
    return rep;
  }
  if (M != count.data_lines || N != count.last_count || reader.offset() != count.bytes ||
      !same_file_state(fid.get(), opened)) {
    rep.error = log_line(name, DF_LOG, "ERROR: file %s changed while being read!", shown);
    return rep;
  }

  log_line(name, kInfo, "INFO: Read %d bytes from: %s into %d x %d GSL array", clamp_to_int(count.len), shown,
           clamp_to_int(M), clamp_to_int(N));
  rep.ok = true;
  rep.bytes = count.len;
  rep.warnings = warn_misread_lines(name, count);
  return rep;
}
