// rms_history.h - the orbit rms of the last cycles, per plane: what an
// operator watches the loop hold, kept as a ring of values.
#ifndef ZOR_FEEDBACK_LOOP_RMS_HISTORY_H
#define ZOR_FEEDBACK_LOOP_RMS_HISTORY_H

#include <cstddef>
#include <string>
#include <vector>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace loop {

// The rms of one cycle's orbit, per plane: over the monitors of that plane
// that read a finite value; NaN for a plane where none did (no reading is
// not a zero orbit).
struct PlaneRms {
  double x = 0.0, y = 0.0;
};
// `planes` one per monitor, as the matrix labels them; a size other than
// the orbit's gives NaN for both.
PlaneRms plane_rms(const std::vector<double>& orbit, const std::vector<Plane>& planes);

class RmsHistory {
 public:
  // Keeps the last `capacity` cycles (at least 1).
  explicit RmsHistory(std::size_t capacity = 500);
  void add(const PlaneRms& rms);
  // Oldest first; at most capacity() values.
  std::vector<double> plane(Plane p) const;
  std::size_t size() const { return count_; }
  std::size_t capacity() const { return x_.size(); }
  void clear() { count_ = next_ = 0; }

 private:
  std::vector<double> x_, y_;
  std::size_t next_ = 0, count_ = 0;
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_RMS_HISTORY_H
