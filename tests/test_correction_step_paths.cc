// The correction step's short paths against its full ones: with no finite
// limit the step leaves the limits' passes out, and it keeps what it takes
// from the settings between steps. Both must give the bits of the full path,
// and a setting changed after apply or undo must reach the next step.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ring_model.h"
#include "testing.h"
#include "zor_feedback/correction.h"

namespace zor_feedback {
namespace {

constexpr int kMon = 14, kCor = 7;  // per plane

LabelledMatrix ring() { return sim::two_plane_ring(kMon, kCor, 0.08); }

std::vector<double> orbit_with_faults() {
  std::vector<double> o;
  for (int i = 0; i < 2 * kMon; ++i) o.push_back(0.3 * std::sin(0.9 * i) + 0.05 * std::cos(2.1 * i));
  o[4] = NAN;  // a monitor that read nothing
  o[2 * kMon - 3] = INFINITY;
  return o;
}

std::vector<double> kicks0() {
  std::vector<double> k;
  for (int j = 0; j < 2 * kCor; ++j) k.push_back(0.01 * (j % 5) - 0.02);
  return k;
}

// Equal bits, NaN equal to NaN.
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

void expect_same_step(const Step& a, const Step& b) {
  ASSERT_TRUE(a.ok && b.ok) << a.error << " / " << b.error;
  EXPECT_TRUE(same_bits(a.delta, b.delta));
  EXPECT_TRUE(same_bits(a.kicks, b.kicks));
  EXPECT_TRUE(same_bits(a.predicted, b.predicted));
  ASSERT_EQ(a.writes.size(), b.writes.size());
  for (std::size_t w = 0; w < a.writes.size(); ++w) EXPECT_TRUE(same_bits(a.writes[w], b.writes[w]));
  EXPECT_EQ(a.rms_before, b.rms_before);
  EXPECT_EQ(a.rms_after, b.rms_after);
  EXPECT_EQ(a.rms_after_first, b.rms_after_first);
  EXPECT_EQ(a.monitors_used, b.monitors_used);
  EXPECT_EQ(a.correctors_used, b.correctors_used);
  EXPECT_EQ(a.warnings, b.warnings);
  EXPECT_EQ(a.scale, b.scale);
}

// A correction of the ring with a monitor and a corrector masked and a
// reference, on `kernel`, under `policy`.
void configure(Correction& c, StepKernel kernel, LimitPolicy policy) {
  ASSERT_TRUE(c.set_matrix(ring()).ok);
  for (const Plane p : {Plane::x, Plane::y}) ASSERT_TRUE(c.set_plane(p, {Filter::by_count(5), 0.7}).ok);
  const LabelledMatrix& m = c.matrix();
  ASSERT_TRUE(c.set_monitor_enabled(m.monitors[6], false).ok);
  ASSERT_TRUE(c.set_corrector_enabled(m.correctors[kCor + 2], false).ok);
  std::vector<double> ref(static_cast<std::size_t>(m.rows));
  for (std::size_t i = 0; i < ref.size(); ++i) ref[i] = 0.01 * static_cast<double>(i % 3);
  ASSERT_TRUE(c.set_reference(ref).ok);
  c.set_step_kernel(kernel);
  c.set_policy(policy);
}

TEST(CorrectionStepPaths, LimitsThatNeverBindGiveTheBitsOfNoLimits) {
  for (const StepKernel kernel : {StepKernel::exact, StepKernel::fused_float})
    for (const LimitPolicy policy : {LimitPolicy::scale, LimitPolicy::clip, LimitPolicy::split}) {
      SCOPED_TRACE(std::string(kernel == StepKernel::exact ? "exact " : "fused ") +
                   limit_policy_name(policy));
      Correction none, wide;
      configure(none, kernel, policy);
      configure(wide, kernel, policy);
      for (const std::string& name : wide.matrix().correctors)
        ASSERT_TRUE(wide.set_limit(name, {-1e6, 1e6, 1e6}).ok);
      expect_same_step(none.compute(orbit_with_faults(), kicks0()),
                       wide.compute(orbit_with_faults(), kicks0()));
    }
}

// With no finite limit the writes' check is left out only for finite kicks:
// a kick driven past double's range still refuses the step, naming it.
TEST(CorrectionStepPaths, AKickThatOverflowsIsRefusedWithoutLimitsToo) {
  Correction c;
  configure(c, StepKernel::exact, LimitPolicy::scale);
  std::vector<double> orbit = orbit_with_faults(), kicks = kicks0();
  const Step plain = c.compute(orbit, kicks);
  ASSERT_TRUE(plain.ok) << plain.error;
  std::size_t j = 0;
  for (std::size_t k = 0; k < plain.delta.size(); ++k)
    if (std::fabs(plain.delta[k]) > std::fabs(plain.delta[j])) j = k;
  // delta is linear in the orbit's error: scaled to 1e300, past half an ulp
  // of DBL_MAX.
  const double f = 1e300 / std::fabs(plain.delta[j]);
  const std::vector<double> reference = c.reference();
  for (std::size_t i = 0; i < orbit.size(); ++i)
    if (std::isfinite(orbit[i])) orbit[i] = reference[i] + (orbit[i] - reference[i]) * f;
  kicks[j] = plain.delta[j] > 0 ? DBL_MAX : -DBL_MAX;
  const Step st = c.compute(orbit, kicks);
  EXPECT_FALSE(st.ok);
  EXPECT_NE(st.error.find("not sound"), std::string::npos) << st.error;
  EXPECT_NE(st.error.find("'" + c.matrix().correctors[j] + "'"), std::string::npos) << st.error;
}

// Each change after an apply (or an undo) against a correction given the
// same settings afresh.
TEST(CorrectionStepPaths, ASettingChangedAfterApplyOrUndoReachesTheNextStep) {
  for (const StepKernel kernel : {StepKernel::exact, StepKernel::fused_float}) {
    Correction c;
    configure(c, kernel, LimitPolicy::scale);
    const std::vector<double> orbit = orbit_with_faults();
    std::vector<double> kicks = kicks0();
    const LabelledMatrix m = c.matrix();
    const auto change = [&](int round, Correction& d) {
      const bool ok[] = {d.set_corrector_enabled(m.correctors[1], false).ok,
                         round < 2 || d.set_limit(m.correctors[3], {-0.021, 0.0, 0.01}).ok,
                         round < 3 || d.set_monitor_enabled(m.monitors[kMon + 1], false).ok,
                         round < 4 || d.set_limit(m.correctors[3], {}).ok,  // no finite limit again
                         round < 5 || d.set_corrector_enabled(m.correctors[1], true).ok};
      for (const bool b : ok) EXPECT_TRUE(b);
    };
    for (int round = 1; round <= 5; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      const Step before = c.compute(orbit, kicks);
      ASSERT_TRUE(before.ok) << before.error;
      ASSERT_TRUE(c.apply(before).ok);
      if (round == 3) {  // a setting changed, then the step undone
        change(round, c);
        ASSERT_TRUE(c.undo().ok);
      } else {
        kicks = before.kicks;
        change(round, c);
      }
      c.set_step_kernel(kernel);
      Correction fresh;
      configure(fresh, kernel, LimitPolicy::scale);
      change(round, fresh);
      expect_same_step(c.compute(orbit, kicks), fresh.compute(orbit, kicks));
    }
  }
}

}  // namespace
}  // namespace zor_feedback
