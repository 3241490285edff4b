// correction.h - one orbit-correction step as one call: a labelled response
// matrix, masks by name, a cut and a gain per plane, kick limits, a dry run,
// apply and undo.
//
// The planes are solved apart (coupling terms are not used): the monitors of
// plane x against the correctors of plane x, and so for y, each with the
// standard inversion (pseudo_inverse) of the weighted rows it uses. The step
// asks the model for -gain times the orbit error (orbit - reference):
//   delta = -gain * pinv(W R) * W (orbit - reference)
// with W the monitor weights. The inverse of each plane is cached by the set
// of monitors and correctors it uses, and made again only when the matrix, a
// mask, a weight, a cut, or the monitors that read a number change.
//
// Like the rest of the library: nothing is thrown of its own, a refused call
// returns ok == false with the reason and changes nothing; nothing is written
// to hardware (apply and undo return the kicks to set); no threads, no locks.
#ifndef ZOR_FEEDBACK_CORRECTION_H
#define ZOR_FEEDBACK_CORRECTION_H

#include <ctime>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "zor_feedback/export.h"
#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {

// What a correction call did when it returns nothing else.
struct Outcome {
  bool ok = false;
  std::string error;
};

// A corrector's limits: the kick stays within [min, max], and one write to
// the corrector changes it by at most max_step. Infinite: no limit.
// A corrector found outside [min, max] is steered back toward it, at most
// max_step per write, never further away.
struct KickLimit {
  double min = -std::numeric_limits<double>::infinity();
  double max = std::numeric_limits<double>::infinity();
  double max_step = std::numeric_limits<double>::infinity();
};

// What compute does with a step that would pass a limit.
//  * scale: the whole step shrinks by one factor until every kick fits.
//  * clip: the correctors past a limit are held at it and the others solved
//    again without them, until none passes.
//  * split: the step is cut into equal writes that each keep max_step;
//    a step that would pass min or max is first scaled as by `scale`.
// With every policy, no write moves any corrector by more than its max_step.
enum class LimitPolicy { scale, clip, split };

ZOR_FEEDBACK_API const char* limit_policy_name(LimitPolicy policy);
// The policy of that name ("scale", "clip", "split"); false for any other text.
ZOR_FEEDBACK_API bool parse_limit_policy(const std::string& name, LimitPolicy* policy);

// How compute holds each plane's inverse and forms the step and its
// prediction.
//  * exact: in double, by BLAS products: the step to double rounding (the
//    default).
//  * fused_float: the inverses and the matrix's non-zero blocks also held as
//    floats and read by multiply's kernel (double sums, the same bits on
//    every instruction set): half the bytes per step. Each delta differs from
//    exact's by at most 2 float roundings of the sum of its terms' sizes,
//    2^-23 * sum_k |pinv(W R)_jk (W rhs)_k| (plus double rounding), and the
//    prediction by the propagation of that through R plus 2^-23 * sum_j
//    |R_ij delta_j|: float rounding, never more. A limit that one delta meets
//    and the other passes by less than that can hold a different set. An
//    inverse or a weighted orbit error beyond float's range refuses the step.
enum class StepKernel { exact, fused_float };

ZOR_FEEDBACK_API const char* step_kernel_name(StepKernel kernel);
// The kernel of that name ("exact", "fused_float"); false for any other text.
ZOR_FEEDBACK_API bool parse_step_kernel(const std::string& name, StepKernel* kernel);

// The gain of a plane lies in (0, kMaxGain): at kMaxGain and above, each
// step at least undoes the error it acts on with the opposite sign, and the
// loop diverges. Above 1 it overshoots (a warning).
constexpr double kMaxGain = 2.0;

// Why `gain` cannot be a plane's gain (not finite, <= 0, >= kMaxGain); empty
// when it can. The one check of every caller that takes a gain.
ZOR_FEEDBACK_API std::string gain_problem(double gain);

// One plane's inversion and gain.
struct PlaneSettings {
  StandardOptions cut;  // its filter (rcond in [0, 1), keep, tikhonov A), as pseudo_inverse takes it
  double gain = 1.0;    // in (0, kMaxGain); above 1 overshoots (a warning)
};

// A computed step (a dry run: nothing is changed by computing it).
struct Step {
  bool ok = false;  // false: refused, `error` says why; the rest is empty
  std::string error;
  std::vector<double> kicks_before;  // the kicks passed in
  std::vector<double> delta;         // the change, within every limit
  std::vector<double> kicks;         // kicks_before + delta
  // The kicks to set, in order, the last one `kicks`: one write never moves
  // any corrector by more than its max_step. With split several (the k-th
  // kicks_before + delta * k / writes.size()), else one. A caller that
  // writes once per cycle sets writes.front() (apply with ApplyWrites::first)
  // and lets the next cycles' steps, computed from the new orbit, do the rest.
  std::vector<std::vector<double>> writes;
  std::vector<double> predicted;  // the orbit after the step by the model; NaN where not read
  double rms_before = 0.0;        // rms of (orbit - reference) over the monitors used
  double rms_after = 0.0;         // the same, predicted
  double rms_after_first = 0.0;   // the same after writes.front() alone
  std::vector<int> monitors_used, correctors_used;  // indices into the matrix
  std::vector<int> limited;                         // correctors at a limit after the step
  // Correctors found outside [min, max]: held out of the solve and moved
  // back toward their range (at most max_step per write); also a warning.
  std::vector<int> steered;
  // Planes that had every monitor masked: not corrected (their correctors
  // stay), also a warning.
  bool plane_stopped[2] = {false, false};
  LimitPolicy policy = LimitPolicy::scale;
  StepKernel kernel = StepKernel::exact;  // the kernel it was computed on
  double scale = 1.0;                     // the factor the plain step was scaled by (1: not)
  int modes[2] = {0, 0};                  // singular values used, plane x and y
  PlaneSettings settings[2];
  std::vector<std::string> warnings;
  unsigned long long generation = 0;  // the configuration it was computed with
  unsigned long long id = 0;          // unique per Correction: a step is applied once
};

// The orbit error a step acted on, in the modes of each plane's solve:
// U^T W (orbit - reference) for the first `modes` singular vectors of the
// plane's weighted sub-matrix W R (its monitors and correctors of the step),
// largest singular value first. A mode's sign follows its vector's, whose
// first element of at least half its largest magnitude is made positive.
struct ModeResiduals {
  bool ok = false;  // false: refused, `error` says why; the planes are empty
  std::string error;
  std::vector<double> plane[2];  // x, y; empty for a plane not corrected
};

// The Tikhonov strength Correction::choose_tikhonov chose for one plane.
struct TikhonovChoice {
  bool ok = false;  // false: refused, `error` says why; nothing was changed
  std::string error;
  AlphaRule rule = AlphaRule::lcurve;  // the rule that chose it
  double alpha = 0.0;                  // absolute, in the units of the plane's weighted sub-matrix
  double relative = 0.0;               // alpha / max(S): Filter::tikhonov's A
  Filter filter;                       // Filter::tikhonov(relative): the plane's filter now
  int monitors = 0, correctors = 0;    // the sub-matrix it was chosen on
  std::vector<std::string> warnings;   // the rule's (a strength at the end of its range)
};

// One applied step, as the history keeps it.
struct HistoryEntry {
  std::time_t time = 0;
  PlaneSettings settings[2];
  LimitPolicy policy = LimitPolicy::scale;
  double scale = 1.0;
  double rms_before = 0.0, rms_after = 0.0;
  std::vector<double> kicks_before, kicks_after;
};

// The kicks that apply or undo hand back to set, in order: one write never
// moves any corrector by more than its max_step.
struct KickWrite {
  bool ok = false;
  std::string error;
  std::vector<std::vector<double>> writes;
};

// Which of a step's writes apply records and returns.
//  * all: every write; the history's kicks_after is the step's kicks.
//  * first: writes.front() only, for a caller that writes once per cycle;
//    the history's kicks_after is that write.
enum class ApplyWrites { all, first };

// What carry_settings_from kept and dropped.
struct ZOR_FEEDBACK_API CarryReport {
  // "monitor NAME (masked, weight)" and the like: a setting whose name the
  // new matrix lacks, or an RF column it cannot take.
  std::vector<std::string> dropped;
  // One line: "kept every setting" or "dropped (...): ...".
  std::string text() const;
};

class Correction;

// A change of a Correction's settings made beside its steps, so that a loop
// never waits for a decomposition:
//  1. Correction::begin_change makes it on a draft of the settings, in
//     O(settings) (the matrix is not copied), where the setters may run;
//  2. prepare() makes the inverses the next step will use, by the code
//     compute would run (a downdate or a decomposition), on any thread and
//     without a lock, while the Correction computes, applies and undoes
//     steps; never while it is changed, given a matrix, or destroyed;
//  3. Correction::adopt installs the settings and the inverses between
//     steps, in O(settings).
// The steps after it equal, bit for bit, those after the same change made
// on the Correction itself.
class ZOR_FEEDBACK_API PreparedChange {
 public:
  PreparedChange();
  ~PreparedChange();
  PreparedChange(PreparedChange&&) noexcept;
  PreparedChange& operator=(PreparedChange&&) noexcept;

  // False when the change was refused, or its inverses could not be made:
  // `error` says why, and adopt refuses it.
  bool ok() const;
  const std::string& error() const;
  // The inverses for every plane's monitors and correctors in use (each
  // monitor read). Refused: a change refused, prepared already or adopted.
  Outcome prepare();
  bool prepared() const;
  // The settings as the change leaves them (the draft: it does not step).
  const Correction& settings() const;

  struct Data;

 private:
  friend class Correction;
  std::unique_ptr<Data> data_;
};

class ZOR_FEEDBACK_API Correction {
 public:
  // The history keeps the last `depth` applied steps (at least 1); each apply
  // and undo also stores a line in `published` when it is given (not owned;
  // it must outlive this object).
  explicit Correction(D_ringbuf* published = nullptr, int depth = 32);
  ~Correction();
  Correction(const Correction&) = delete;
  Correction& operator=(const Correction&) = delete;

  // A new matrix (check_labelled_matrix): masks, weights, limits, the
  // reference and the history start afresh; cuts, gains and policy stay.
  // A keep above what the new matrix allows is refused.
  Outcome set_matrix(LabelledMatrix matrix);
  // Takes over the settings of `old` (another Correction, usually of the
  // previous matrix) by name: masks, limits, weights, the reference, the RF
  // column (its response by monitor name), cuts, gains and policy. What the
  // new matrix has no name for is dropped and listed; a mask or cut that
  // would leave a plane fewer monitors or correctors than it keeps is
  // dropped too. Call it after set_matrix.
  CarryReport carry_settings_from(const Correction& old);
  const LabelledMatrix& matrix() const;

  // Masks by name (every row or column of that name; "NAME:x" or "NAME:y"
  // the one of that plane); a masked monitor is never read, a masked
  // corrector never moved. Refused: masking the last monitor or corrector in use, or one
  // that leaves its plane fewer than the plane's keep (masking every monitor
  // of one plane stops that plane only).
  Outcome set_monitor_enabled(const std::string& name, bool enabled);
  Outcome set_corrector_enabled(const std::string& name, bool enabled);
  const std::vector<bool>& monitor_enabled() const;
  const std::vector<bool>& corrector_enabled() const;

  // Refused: a gain with gain_problem, a keep above the plane's monitors or
  // correctors in use, an rcond outside [0, 1), an automatic Tikhonov filter
  // (its strength follows one orbit: choose_tikhonov fixes it from one).
  Outcome set_plane(Plane plane, const PlaneSettings& settings);
  // The strength of `plane`'s Tikhonov filter chosen for `orbit` by the rule
  // of `automatic` (a filter of kind tikhonov_auto), on what the step
  // inverts: the plane's monitors and correctors in use, weighted, and the
  // weighted error W (orbit - reference) at those monitors (a discrepancy's
  // noise is in those units). The plane's filter becomes the fixed
  // Filter::tikhonov(A), which serves every orbit after; gain and method
  // stay. Refused, nothing changed: another kind of filter, an orbit of
  // another length or not finite at a monitor in use, a plane with no
  // monitor or corrector in use, a rule that finds no strength.
  TikhonovChoice choose_tikhonov(Plane plane, const Filter& automatic, const std::vector<double>& orbit);
  // The cut alone, the gain alone.
  Outcome set_cut(Plane plane, const StandardOptions& cut);
  Outcome set_gain(Plane plane, double gain);
  const PlaneSettings& plane(Plane plane) const;
  // One weight (finite, > 0) per monitor; empty: all 1.
  Outcome set_weights(const std::vector<double>& weights);
  // The orbit to correct to, one value per monitor; empty: zero.
  Outcome set_reference(const std::vector<double>& reference);
  const std::vector<double>& weights() const;
  const std::vector<double>& reference() const;
  // The corrector add_rf_column added (the last column); empty: none.
  const std::string& rf_name() const;
  // The RF frequency (or beam energy) as an extra corrector of plane x,
  // `column` its orbit response at every monitor (its y rows are not used),
  // named `name`; masked and limited by that name like any corrector.
  Outcome add_rf_column(const std::string& name, const std::vector<double>& column);
  // By name as the masks.
  Outcome set_limit(const std::string& name, const KickLimit& limit);
  const std::vector<KickLimit>& limits() const;
  void set_policy(LimitPolicy policy);
  LimitPolicy policy() const;
  // The kernel of the following steps (a step computed before cannot be
  // applied after); the inverses held stay.
  void set_step_kernel(StepKernel kernel);
  StepKernel step_kernel() const;

  // The step for the measured `orbit` (one value per monitor; NaN or
  // infinite: not read) and the present `kicks` (one per corrector, finite;
  // one outside its limits is steered back, see KickLimit). Monitors masked
  // or not read are dropped; a plane with correctors in use needs at least
  // one monitor read, and as many as it keeps modes. Refused (ok false, the
  // reason in `error`) otherwise, and so is a step whose writes would leave
  // a limit; the step depends on the configuration at this call only.
  Step compute(const std::vector<double>& orbit, const std::vector<double>& kicks);

  // Records `step` in the history and returns its writes (`which`).
  // Refused: a step refused by compute, one applied already, one computed
  // before a later change (configuration, apply or undo), a step whose
  // writes leave the limits now in place.
  KickWrite apply(const Step& step, ApplyWrites which = ApplyWrites::all);
  // Takes the newest entry out of the history and returns the writes from
  // its kicks_after back to its kicks_before, each within max_step.
  KickWrite undo();
  // Newest first.
  const std::vector<HistoryEntry>& history() const;

  // The residual per mode of `step` for `orbit`, the orbit it was computed
  // from. Refused: a step refused by compute, one computed before a later
  // change, an orbit of another length. Changes nothing a step depends on
  // (the decomposition it needs is kept for the next call).
  ModeResiduals mode_residuals(const Step& step, const std::vector<double>& orbit);

  // A change made in two phases (PreparedChange): `change` calls the usual
  // setters on a draft of this Correction's settings and returns their
  // refusal (empty: done). The draft refuses to step and to take an RF
  // column. A refused change comes back not ok, with the refusal.
  PreparedChange begin_change(const std::function<std::string(Correction&)>& change) const;
  // Installs a prepared change: its settings and inverses, as one change
  // (steps computed before cannot be applied). Refused, changing nothing: a
  // change not ok, not prepared, begun on another Correction, or one whose
  // settings changed since (apply and undo do not count), or a draft that
  // was given a matrix.
  Outcome adopt(PreparedChange&& change);

  struct State;

 private:
  friend class PreparedChange;
  void carry_rf(const Correction& old, CarryReport* rep);
  std::unique_ptr<State> state_;
};

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_CORRECTION_H
