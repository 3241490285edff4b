// correction_state.h - what a Correction holds, and the pieces of its step:
// the cached plane inverses, the limit policies, the history. Private to the
// library; not installed.
#ifndef ZOR_FEEDBACK_CORRECTION_STATE_H
#define ZOR_FEEDBACK_CORRECTION_STATE_H

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zor_feedback/correction.h"

namespace zor_feedback {
namespace detail {

// The inverse of one plane's weighted sub-matrix: rows `correctors`, columns
// `monitors`, row-major.
struct PlaneInverse {
  std::vector<int> monitors, correctors;
  std::vector<double> inverse;
  std::vector<float> narrow;  // `inverse` as floats, for the fused kernel; empty until asked for
  int modes = 0;
  std::vector<std::string> warnings;
  // min(S) / max(S) of the sub-matrix, or a lower bound of it; 0 when not
  // every mode is in the inverse (no downdate is made from such an entry).
  double s_ratio = 0.0;
  // Downdates since the last decomposition: each adds its rounding, so a
  // chain of them ends in a decomposition.
  int downdates = 0;
  static constexpr int kMaxDowndates = 16;
};

// The inverse for one monitor or one corrector fewer than `from` has, by a
// rank-one downdate of from's inverse instead of a decomposition: false when
// the sets differ otherwise, `cut` or `from` leaves a mode out, or the
// downdate refuses (the row carries a mode). `m`, `weights` as for
// InverseCache::get.
bool downdate_inverse(const PlaneInverse& from, const LabelledMatrix& m, const std::vector<double>& weights,
                      const std::vector<int>& monitors, const std::vector<int>& correctors,
                      const StandardOptions& cut, PlaneInverse* out);

// The weighted sub-matrix, row-major: rows `monitors`, columns `correctors`.
std::vector<double> weighted_sub_matrix(const LabelledMatrix& m, const std::vector<double>& weights,
                                        const std::vector<int>& monitors, const std::vector<int>& correctors);

// Inverses by the sets of monitors and correctors they use; the least
// recently used goes when more than kCapacity are held (a clip re-solve or a
// NaN reading makes a new set; the usual one stays). An inverse, once made,
// only ever gains its `narrow`: a copy of the cache shares them, and may make
// new ones on another thread while this cache serves steps.
class InverseCache {
 public:
  static constexpr std::size_t kCapacity = 8;

  InverseCache() = default;
  InverseCache(const InverseCache&) = delete;  // shared_copy says what is shared
  InverseCache& operator=(const InverseCache&) = delete;
  InverseCache(InverseCache&& o) noexcept { *this = std::move(o); }
  InverseCache& operator=(InverseCache&& o) noexcept {
    entries_ = std::move(o.entries_);  // the nodes move: last_ stays valid
    last_ = o.last_;
    uses_ = o.uses_;
    downdates_ = o.downdates_;
    o.last_ = nullptr;
    o.entries_.clear();
    return *this;
  }

  // The inverse of the rows `monitors` and columns `correctors` of `m`
  // weighted by `weights` (empty: 1), made on a miss; null with *error when
  // the inversion refuses. With the kernel fused_float its `narrow` is filled.
  const PlaneInverse* get(const LabelledMatrix& m, const std::vector<double>& weights,
                          const std::vector<int>& monitors, const std::vector<int>& correctors,
                          const StandardOptions& cut, StepKernel kernel, std::string* error);
  void clear() {
    entries_.clear();
    last_ = nullptr;
  }
  // How many inverses were made by a downdate rather than a decomposition.
  unsigned long long downdates() const { return downdates_; }
  // The inverse held for these sets; null when none is. Changes nothing.
  const PlaneInverse* held(const std::vector<int>& monitors, const std::vector<int>& correctors) const;
  // A cache holding the same inverses (shared, not copied): O(entries).
  InverseCache shared_copy() const;

 private:
  struct Held {
    std::shared_ptr<PlaneInverse> inverse;
    unsigned long long last_use = 0;  // per cache: a copy's uses never touch the shared inverse
  };
  std::map<std::string, Held> entries_;
  Held* last_ = nullptr;  // the one used last, in entries_
  unsigned long long uses_ = 0;
  unsigned long long downdates_ = 0;

  Held* find_or_make(const LabelledMatrix& m, const std::vector<double>& weights,
                     const std::vector<int>& monitors, const std::vector<int>& correctors,
                     const StandardOptions& cut, std::string* error);
  bool make(const LabelledMatrix& m, const std::vector<double>& weights, const std::vector<int>& monitors,
            const std::vector<int>& correctors, const StandardOptions& cut, PlaneInverse* inv,
            std::string* error);
};

// U^T of one plane's weighted sub-matrix for mode_residuals: its rows the
// singular vectors (signs fixed), row-major, `rows` x monitors.size(); kept
// while the sets stay, dropped with the inverses (a gain change keeps it).
struct ModeBasis {
  std::vector<int> monitors, correctors;
  int rows = 0;
  std::vector<double> ut;
};

// U^T of the weighted sub-matrix into *out (signs fixed); false when the SVD
// does not converge.
bool make_basis(const LabelledMatrix& m, const std::vector<double>& weights, const std::vector<int>& monitors,
                const std::vector<int>& correctors, ModeBasis* out);

// The solve of one plane: delta[j] for j in `free` = pinv(W R) W rhs, with
// rhs one value per monitor of `monitors` (its order). Other entries of
// *delta are left alone.
struct PlaneProblem {
  const LabelledMatrix* matrix = nullptr;
  const std::vector<double>* weights = nullptr;
  std::vector<int> monitors;
  StandardOptions cut;
  InverseCache* cache = nullptr;
  StepKernel kernel = StepKernel::exact;
};
bool solve_plane(const PlaneProblem& p, const std::vector<int>& free, const std::vector<double>& rhs,
                 std::vector<double>* delta, int* modes, std::vector<std::string>* warnings,
                 std::string* error);

// What a step works in, kept between steps so that a cycle reuses its
// buffers: the monitors and correctors of each plane's solve, the error, the
// move of correctors steered back, the change, and the prediction's floats.
struct StepScratch {
  std::vector<double> error;  // orbit - reference, per monitor; NaN where not used
  PlaneProblem problems[2];
  std::vector<int> free[2];  // correctors in use, by plane
  std::vector<double> rhs[2];
  std::vector<int> monitors_used;
  std::vector<double> steer, delta;
  std::vector<float> narrow_delta;  // delta as floats, for the fused prediction
  std::vector<double> sums;         // a block's response
  // What a step takes from the settings alone, made again when the
  // generation moves: the correctors in use by plane, each monitor's plane
  // when it is in use and its plane has a corrector in use (else -1), and
  // whether any limit is finite.
  unsigned long long settings_generation = 0;
  std::vector<int> free_on[2];
  std::vector<signed char> monitor_plane;
  bool bounded = true;
};

// The room each corrector has: delta[j] in [lo[j], hi[j]].
struct Room {
  std::vector<double> lo, hi;
};
// With `with_step` false, max_step is left out (split handles it). A kick
// outside [min, max] gets no room: steer_delta moves it apart.
Room kick_room(const std::vector<KickLimit>& limits, const std::vector<double>& kicks, bool with_step);

// The move of a corrector at `kick` outside [min, max] back toward it: to
// the nearest edge, at most max_step; 0 for a kick within.
double steer_delta(const KickLimit& limit, double kick);

// The largest s in [0, 1] with s * delta within `room`.
double fitting_scale(const std::vector<double>& delta, const Room& room);

// Sub-steps (at most kMaxSubsteps) that keep every |delta| / n within
// max_step; *scale gets the factor delta had to shrink by beyond that cap.
constexpr int kMaxSubsteps = 1000;
int substeps_for(const std::vector<double>& delta, const std::vector<KickLimit>& limits, double* scale);

// Runs of consecutive rows whose non-zero elements all lie in the columns
// [first_col, first_col + cols). The prediction multiplies each run by its
// columns only, which skips the zero blocks of an uncoupled two-plane matrix;
// a dense matrix is one run.
struct RowBlock {
  int first_row = 0, rows = 0, first_col = 0, cols = 0;
};
std::vector<RowBlock> row_blocks(const LabelledMatrix& m);
// *out += m * delta, by the runs of m.
void add_response(const LabelledMatrix& m, const std::vector<RowBlock>& blocks,
                  const std::vector<double>& delta, std::vector<double>* out);
// The runs' elements as floats, each run's rows x cols in turn.
std::vector<float> narrow_blocks(const LabelledMatrix& m, const std::vector<RowBlock>& blocks);
// *out = base + m * delta on the fused kernel, in one pass over out:
// `narrow` from narrow_blocks, `delta` narrowed to floats, the sums in double
// (*sums: a buffer for them).
void add_response_fused(const std::vector<RowBlock>& blocks, const std::vector<float>& narrow,
                        const std::vector<float>& delta, const std::vector<double>& base,
                        std::vector<double>* sums, std::vector<double>* out);

}  // namespace detail

struct Correction::State {
  LabelledMatrix matrix;
  std::vector<detail::RowBlock> blocks;  // of matrix
  std::vector<float> narrow_blocks;      // of blocks, with the kernel fused_float; else empty
  StepKernel kernel = StepKernel::exact;
  std::vector<bool> monitor_on, corrector_on;
  std::vector<double> weights, reference;
  std::vector<KickLimit> limits;
  PlaneSettings planes[2];
  LimitPolicy policy = LimitPolicy::scale;
  detail::InverseCache cache[2];
  detail::ModeBasis mode_basis[2];
  detail::StepScratch scratch;              // compute's buffers, reused
  std::vector<HistoryEntry> history;        // newest first
  std::vector<unsigned long long> applied;  // ids of the steps of `history`, newest first
  std::string rf_name;                      // the RF column's corrector, empty: none
  std::vector<double> rf_column;            // its response, one value per monitor
  D_ringbuf* published = nullptr;
  std::size_t depth = 32;
  unsigned long long generation = 1;  // every change of what a step depends on moves it
  unsigned long long steps = 0;       // the ids handed out
  // Of those moves of `generation`, the ones by apply and undo: generation -
  // moves changes with the settings only (what a prepared change was made on).
  unsigned long long moves = 0;
  unsigned long long matrices = 0;  // the matrices set
  // A draft of a change (Correction::begin_change): the labels are its own,
  // the values those of this matrix (not copied); it never steps.
  const LabelledMatrix* values_of = nullptr;

  // Why the plane's keep cannot be kept with `monitor_on` and `corrector_on`
  // (a plane with none of either is not corrected: no bound); empty if it can.
  std::string keep_problem(Plane plane, int keep, const std::vector<bool>& mon,
                           const std::vector<bool>& cor) const;

  void set_matrix(LabelledMatrix m) {
    matrix = std::move(m);
    ++matrices;
    values_of = nullptr;
    blocks = detail::row_blocks(matrix);
    set_kernel(kernel);
    inverses_changed();
  }
  // The float copies the kernel reads are made here, not in a step; every
  // element fits (check_labelled_matrix holds the matrix to float's range).
  void set_kernel(StepKernel k) {
    kernel = k;
    if (k == StepKernel::fused_float)
      narrow_blocks = detail::narrow_blocks(matrix, blocks);
    else
      narrow_blocks.clear();
  }
  // Called after one move of the generation that changed no setting (apply,
  // undo): what the step took from the settings stays.
  void settings_kept() {
    if (scratch.settings_generation + 1 == generation) scratch.settings_generation = generation;
  }
  // A change of what the inverses depend on.
  void inverses_changed() {
    ++generation;
    cache[0].clear();
    cache[1].clear();
    mode_basis[0] = mode_basis[1] = detail::ModeBasis{};
  }
};

namespace detail {
// The step of Correction::compute (correction_step.cc).
Step compute_step(Correction::State& s, const std::vector<double>& orbit, const std::vector<double>& kicks);
// Clip: the plain `delta` with correctors past `room` held and the rest of
// their plane solved again (kick_limits.cc uses solve_plane).
bool clip_step(const PlaneProblem problems[2], const std::vector<int> free[2],
               const std::vector<double> rhs[2], const Room& room, std::vector<double>* delta,
               std::vector<std::string>* warnings, std::string* error);
// rhs minus the response of the `held` correctors (their delta) at the
// plane's monitors.
std::vector<double> less_held(const PlaneProblem& p, const std::vector<double>& rhs,
                              const std::vector<int>& held, const std::vector<double>& delta);
// The writes from `from` by `delta` that keep every |change| within
// max_step: ceil(max |delta| / max_step) equal ones (at least 1); false when
// more than kMaxSubsteps would be needed.
bool split_writes(const std::vector<double>& from, const std::vector<double>& delta,
                  const std::vector<KickLimit>& limits, std::vector<std::vector<double>>* writes);
// Why `writes` from `from` cannot be set under `limits` (a value not finite,
// a change above max_step, a kick outside [min, max] that was inside or moved
// away from it); empty when they can.
std::string writes_problem(const std::vector<double>& from, const std::vector<std::vector<double>>& writes,
                           const std::vector<KickLimit>& limits, const std::vector<std::string>& names);
}  // namespace detail

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_CORRECTION_STATE_H
