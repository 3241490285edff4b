// Correction and the labelled matrix file: a two-plane toy ring whose answers
// are known (the kicks that made an orbit, the sub-matrix of a mask, the
// inversion of each plane alone).
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "ring_model.h"
#include "testing.h"
#include "zor_feedback/correction.h"

namespace zor_feedback {
namespace {

constexpr int kMon = 12, kCor = 6;
constexpr std::size_t kMonU = kMon, kCorU = kCor;  // per plane

// Plane x and plane y of two rings of different tunes, block-diagonal:
// monitors BX00.. BY00.., correctors CX00.. CY00...
LabelledMatrix toy_ring() {
  const sim::Ring rx = sim::ring(8, 6.0, 2.23), ry = sim::ring(8, 6.0, 1.31);
  const sim::Matrix bx =
      sim::ring_response(rx, sim::monitors(rx.lattice, kMon), sim::correctors(rx.lattice, kCor));
  const sim::Matrix by =
      sim::ring_response(ry, sim::monitors(ry.lattice, kMon), sim::correctors(ry.lattice, kCor));
  LabelledMatrix m;
  m.rows = 2 * kMon;
  m.cols = 2 * kCor;
  m.values.assign(static_cast<std::size_t>(m.rows * m.cols), 0.0);
  for (int i = 0; i < kMon; ++i)
    for (int j = 0; j < kCor; ++j) {
      m.values[static_cast<std::size_t>(i * m.cols + j)] = bx(i, j);
      m.values[static_cast<std::size_t>((i + kMon) * m.cols + j + kCor)] = by(i, j);
    }
  const auto name = [](const char* p, int k) {
    return p + std::string(k < 10 ? "0" : "") + std::to_string(k);
  };
  for (int k = 0; k < 2 * kMon; ++k) {
    m.monitors.push_back(name(k < kMon ? "BX" : "BY", k % kMon));
    m.monitor_planes.push_back(k < kMon ? Plane::x : Plane::y);
  }
  for (int k = 0; k < 2 * kCor; ++k) {
    m.correctors.push_back(name(k < kCor ? "CX" : "CY", k % kCor));
    m.corrector_planes.push_back(k < kCor ? Plane::x : Plane::y);
  }
  m.units = "mm/mrad";
  return m;
}

// R * k: the orbit the kicks k make.
std::vector<double> orbit_of(const LabelledMatrix& m, const std::vector<double>& k) {
  std::vector<double> o(static_cast<std::size_t>(m.rows), 0.0);
  for (int i = 0; i < m.rows; ++i)
    for (int j = 0; j < m.cols; ++j)
      o[static_cast<std::size_t>(i)] +=
          m.values[static_cast<std::size_t>(i * m.cols + j)] * k[static_cast<std::size_t>(j)];
  return o;
}

const std::vector<double> kKicks0 = {0.3, -0.2, 0.1, 0.05, -0.4, 0.25, -0.1, 0.2, 0.15, -0.3, 0.05, 0.1};

// -gain * pinv(rows x cols of m) * orbit(rows), by a separate inversion.
std::vector<double> separate_step(const LabelledMatrix& m, const std::vector<int>& rows,
                                  const std::vector<int>& cols, const std::vector<double>& orbit,
                                  const Filter& filter, double gain) {
  std::vector<double> a, inv;
  for (const int i : rows)
    for (const int j : cols) a.push_back(m.values[static_cast<std::size_t>(i * m.cols + j)]);
  StandardOptions o;
  o.filter = filter;
  const SvdReport r =
      pseudo_inverse(a.data(), static_cast<int>(rows.size()), static_cast<int>(cols.size()), o, &inv);
  EXPECT_TRUE(r.ok) << r.error;
  std::vector<double> d;
  for (std::size_t c = 0; c < cols.size(); ++c) {
    double s = 0.0;
    for (std::size_t k = 0; k < rows.size(); ++k)
      s += inv[c * rows.size() + k] * orbit[static_cast<std::size_t>(rows[k])];
    d.push_back(-gain * s);
  }
  return d;
}

std::vector<int> range(int from, int to, int skip = -1) {
  std::vector<int> v;
  for (int k = from; k < to; ++k)
    if (k != skip) v.push_back(k);
  return v;
}

class CorrectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(c.set_matrix(toy_ring()).ok); }
  std::vector<double> zeros() const { return std::vector<double>(2 * kCor, 0.0); }
  Correction c;
};

TEST_F(CorrectionTest, APlaneFilteredByTikhonovStepsByItsDampedInverseAndTheOtherKeepsItsCut) {
  const std::vector<double> orbit = orbit_of(c.matrix(), kKicks0);
  ASSERT_TRUE(c.set_plane(Plane::x, {Filter::tikhonov(0.3), 0.7}).ok);
  ASSERT_TRUE(c.set_plane(Plane::y, {Filter::by_count(5), 1.0}).ok);
  const Step s = c.compute(orbit, zeros());
  ASSERT_TRUE(s.ok) << s.error;
  const std::vector<double> dx =
      separate_step(c.matrix(), range(0, kMon), range(0, kCor), orbit, Filter::tikhonov(0.3), 0.7);
  const std::vector<double> dy = separate_step(c.matrix(), range(kMon, 2 * kMon), range(kCor, 2 * kCor),
                                               orbit, Filter::by_count(5), 1.0);
  double damped = 0.0, full = 0.0;
  for (std::size_t j = 0; j < kCorU; ++j) {
    EXPECT_NEAR(s.delta[j], dx[j], 1e-12) << j;
    EXPECT_NEAR(s.delta[kCor + j], dy[j], 1e-12) << j;
    damped += s.delta[j] * s.delta[j];
    full += 0.49 * kKicks0[j] * kKicks0[j];
  }
  EXPECT_LT(damped, full) << "Tikhonov damps every mode";
  EXPECT_EQ(c.plane(Plane::x).cut.filter, Filter::tikhonov(0.3));

  // The cached inverse serves every orbit, so a strength chosen for one is refused, changing nothing.
  const Outcome auto_cut = c.set_cut(Plane::x, Filter::tikhonov_auto(AlphaRule::lcurve));
  EXPECT_FALSE(auto_cut.ok);
  EXPECT_NE(auto_cut.error.find("tikhonov lcurve chooses it for one orbit"), std::string::npos)
      << auto_cut.error;
  EXPECT_EQ(c.plane(Plane::x).cut.filter, Filter::tikhonov(0.3));
}

TEST_F(CorrectionTest, KnownAnswersMasksAndPerPlaneCuts) {
  // Full column rank: gain 1 takes back exactly the kicks that made the orbit.
  const std::vector<double> orbit = orbit_of(c.matrix(), kKicks0);
  const Step plain = c.compute(orbit, zeros());
  ASSERT_TRUE(plain.ok) << plain.error;
  for (std::size_t j = 0; j < 2 * kCorU; ++j) EXPECT_NEAR(plain.delta[j], -kKicks0[j], 1e-9) << j;
  EXPECT_LT(plain.rms_after, 1e-9 * plain.rms_before);
  EXPECT_EQ(plain.monitors_used.size(), 24u);

  // Masks by name and a keep per plane: the step of the smaller matrices, each plane alone.
  ASSERT_TRUE(c.set_monitor_enabled("BX03", false).ok);
  ASSERT_TRUE(c.set_corrector_enabled("CY02", false).ok);
  ASSERT_TRUE(c.set_plane(Plane::x, {Filter::by_count(4), 0.5}).ok);
  ASSERT_TRUE(c.set_plane(Plane::y, {Filter::by_count(3), 0.8}).ok);
  const Step s = c.compute(orbit, zeros());
  ASSERT_TRUE(s.ok) << s.error;
  const std::vector<double> dx =
      separate_step(c.matrix(), range(0, kMon, 3), range(0, kCor), orbit, Filter::by_count(4), 0.5);
  const std::vector<double> dy = separate_step(
      c.matrix(), range(kMon, 2 * kMon), range(kCor, 2 * kCor, kCor + 2), orbit, Filter::by_count(3), 0.8);
  for (std::size_t j = 0; j < kCorU; ++j) EXPECT_NEAR(s.delta[j], dx[j], 1e-12) << j;
  for (std::size_t j = 0, k = 0; j < kCorU; ++j) {
    if (j == 2) {
      EXPECT_EQ(s.delta[kCor + 2], 0.0) << "a masked corrector never moves";
      continue;
    }
    EXPECT_NEAR(s.delta[kCor + j], dy[k++], 1e-12) << j;
  }
  EXPECT_EQ(s.modes[0], 4);
  EXPECT_EQ(s.modes[1], 3);
  EXPECT_EQ(s.monitors_used.size(), 23u);
  EXPECT_EQ(s.correctors_used.size(), 11u);

  // A NaN reading is dropped: the same step as with that monitor masked.
  ASSERT_TRUE(c.set_monitor_enabled("BX03", true).ok);
  std::vector<double> nan_orbit = orbit;
  nan_orbit[3] = NAN;
  const Step n = c.compute(nan_orbit, zeros());
  ASSERT_TRUE(n.ok) << n.error;
  EXPECT_EQ(n.delta, s.delta);
  EXPECT_FALSE(n.warnings.empty());
  EXPECT_TRUE(std::isnan(n.predicted[3]));
}

// The prediction skips runs of zeros: rows of other spans, a zero row and
// coupling terms must still give orbit + R delta.
TEST(CorrectionPrediction, IsTheFullModelsResponseWhateverItsZeros) {
  LabelledMatrix m = toy_ring();
  const auto at = [&m](int i, int j) -> double& {
    return m.values[static_cast<std::size_t>(i * m.cols + j)];
  };
  for (int j = 0; j < m.cols; ++j) at(5, j) = 0.0;  // a monitor that sees nothing
  at(2, kCor + 1) = 0.03;                           // coupling into plane x
  at(kMon + 4, 0) = -0.02;                          // and into plane y
  at(7, 0) = at(7, 1) = 0.0;                        // a shorter run
  Correction c;
  ASSERT_TRUE(c.set_matrix(m).ok);
  std::vector<double> orbit = orbit_of(m, kKicks0);
  orbit[9] = NAN;
  const Step s = c.compute(orbit, std::vector<double>(2 * kCorU, 0.1));
  ASSERT_TRUE(s.ok) << s.error;
  const std::vector<double> response = orbit_of(m, s.delta);
  for (std::size_t i = 0; i < orbit.size(); ++i) {
    if (i == 9) {
      EXPECT_TRUE(std::isnan(s.predicted[i]));
      continue;
    }
    EXPECT_NEAR(s.predicted[i], orbit[i] + response[i], 1e-12) << i;
  }
}

TEST_F(CorrectionTest, EveryPolicyKeepsTheLimitsAndEqualsThePlainStepWithinThem) {
  const std::vector<double> orbit = orbit_of(c.matrix(), kKicks0);
  const Step plain = c.compute(orbit, zeros());
  ASSERT_TRUE(plain.ok);
  for (const LimitPolicy p : {LimitPolicy::scale, LimitPolicy::clip, LimitPolicy::split}) {
    c.set_policy(p);
    ASSERT_TRUE(c.set_limit("CX04", {-1.0, 1.0, 1.0}).ok);  // wide: not hit
    const Step wide = c.compute(orbit, zeros());
    ASSERT_TRUE(wide.ok) << wide.error;
    EXPECT_EQ(wide.delta, plain.delta) << limit_policy_name(p);
    EXPECT_TRUE(wide.limited.empty());
    EXPECT_EQ(wide.scale, 1.0);
    // CX04 wants +0.4: at most 0.25 in all, CY00 at most 0.05 per step.
    ASSERT_TRUE(c.set_limit("CX04", {-1.0, 0.25, 1.0}).ok);
    ASSERT_TRUE(c.set_limit("CY00", {-1.0, 1.0, 0.05}).ok);
    const Step s = c.compute(orbit, zeros());
    ASSERT_TRUE(s.ok) << s.error;
    for (std::size_t j = 0; j < 2 * kCorU; ++j) {
      const KickLimit& l = c.limits()[j];
      EXPECT_LE(s.kicks[j], l.max) << limit_policy_name(p) << " " << j;
      EXPECT_LE(std::fabs(s.delta[j]) / static_cast<double>(s.writes.size()), l.max_step * (1 + 1e-12))
          << limit_policy_name(p) << j;
    }
    EXPECT_EQ(s.limited, (std::vector<int>{4, 6})) << limit_policy_name(p);
    EXPECT_LT(s.rms_after, s.rms_before);
    ASSERT_TRUE(c.set_limit("CY00", {}).ok);
  }
  // Each policy its own way: clip holds CX04 at its edge, split takes 2 sub-steps of CY00's.
  c.set_policy(LimitPolicy::clip);
  ASSERT_TRUE(c.set_limit("CY00", {-1.0, 1.0, 0.05}).ok);
  const Step clip = c.compute(orbit, zeros());
  EXPECT_DOUBLE_EQ(clip.kicks[4], 0.25);
  EXPECT_DOUBLE_EQ(clip.delta[6], 0.05);
  EXPECT_EQ(clip.scale, 1.0);
  c.set_policy(LimitPolicy::scale);
  EXPECT_LT(clip.rms_after, c.compute(orbit, zeros()).rms_after) << "the others take over what is held";
  c.set_policy(LimitPolicy::split);
  const Step split = c.compute(orbit, zeros());
  EXPECT_EQ(split.writes.size(), 2u);
  EXPECT_NEAR(split.scale, 0.25 / 0.4, 1e-9);
}

TEST_F(CorrectionTest, ApplyThenUndoRestoresTheKicksAndTheHistoryHoldsTheStep) {
  D_ringbuf published("HISTORY", 4, nullptr);
  Correction h(&published, 2);
  ASSERT_TRUE(h.set_matrix(toy_ring()).ok);
  ASSERT_TRUE(h.set_limit("CY00", {-1.0, 1.0, 0.05}).ok);
  h.set_policy(LimitPolicy::split);
  const std::vector<double> before = {0.01, 0.02, 0.03, 0.04, 0.05, 0.06,
                                      0.07, 0.08, 0.09, 0.1,  0.11, 0.123456789};
  const Step s = h.compute(orbit_of(h.matrix(), kKicks0), before);
  ASSERT_TRUE(s.ok) << s.error;
  const KickWrite a = h.apply(s);
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.writes, s.writes);
  EXPECT_EQ(a.writes.back(), s.kicks);
  const KickWrite twice = h.apply(s);
  EXPECT_FALSE(twice.ok);
  EXPECT_NE(twice.error.find("applied already"), std::string::npos) << twice.error;
  ASSERT_EQ(h.history().size(), 1u);
  const HistoryEntry& e = h.history().front();
  EXPECT_EQ(e.kicks_before, before);
  EXPECT_EQ(e.kicks_after, s.kicks);
  EXPECT_EQ(e.rms_before, s.rms_before);
  EXPECT_EQ(e.rms_after, s.rms_after);
  EXPECT_EQ(e.scale, s.scale);
  EXPECT_EQ(e.policy, LimitPolicy::split);
  const KickWrite u = h.undo();
  ASSERT_TRUE(u.ok);
  EXPECT_EQ(u.writes.back(), before);
  EXPECT_EQ(u.writes.size(), s.writes.size()) << "undo keeps max_step per write too";
  std::vector<double> at = s.kicks;
  for (const std::vector<double>& w : u.writes) {
    for (std::size_t j = 0; j < w.size(); ++j)
      EXPECT_LE(std::fabs(w[j] - at[j]), h.limits()[j].max_step * (1 + 1e-9)) << j;
    at = w;
  }
  EXPECT_TRUE(h.history().empty());
  EXPECT_FALSE(h.undo().ok);
  EqData all;
  published.get(nullptr, nullptr, &all, nullptr);
  EXPECT_EQ(all.get_ustr(0)->str_data.rfind("undo:", 0), 0u);
  EXPECT_EQ(all.get_ustr(1)->str_data.rfind("apply: rms", 0), 0u);
}

TEST_F(CorrectionTest, BadInputIsRefusedAndChangesNothing) {
  const std::vector<double> orbit = orbit_of(c.matrix(), kKicks0);
  const Step before = c.compute(orbit, zeros());
  ASSERT_TRUE(before.ok);
  const std::vector<Outcome> refused = {c.set_monitor_enabled("NOPE", false),
                                        c.set_corrector_enabled("NOPE", false),
                                        c.set_limit("NOPE", {}),
                                        c.set_limit("CX01", {1.0, -1.0, 1.0}),
                                        c.set_limit("CX01", {-1.0, 1.0, 0.0}),
                                        c.set_plane(Plane::x, {{}, NAN}),
                                        c.set_plane(Plane::x, {{}, 0.0}),
                                        c.set_plane(Plane::x, {{}, kMaxGain}),
                                        c.set_gain(Plane::y, 3.0),
                                        c.set_cut(Plane::x, Filter::by_count(7)),
                                        c.set_plane(Plane::y, {Filter::tikhonov_auto(AlphaRule::gcv), 1.0}),
                                        c.set_plane(Plane::y, {Filter::by_rcond(1.0), 1.0}),
                                        c.set_weights({1.0, 2.0}),
                                        c.set_reference(std::vector<double>(24, NAN))};
  for (std::size_t k = 0; k < refused.size(); ++k) {
    EXPECT_FALSE(refused[k].ok) << k;
    EXPECT_FALSE(refused[k].error.empty()) << k;
  }
  for (std::size_t i = 0; i < 2 * kMonU - 1; ++i)
    ASSERT_TRUE(c.set_monitor_enabled(c.matrix().monitors[i], false).ok);
  const Outcome last = c.set_monitor_enabled("BY11", false);
  EXPECT_FALSE(last.ok);
  EXPECT_NE(last.error.find("last monitor"), std::string::npos) << last.error;
  // Plane x has no monitor left: it stops, plane y goes on with its one.
  const Step one = c.compute(orbit, zeros());
  ASSERT_TRUE(one.ok) << one.error;
  EXPECT_TRUE(one.plane_stopped[0]);
  EXPECT_FALSE(one.plane_stopped[1]);
  for (std::size_t j = 0; j < kCorU; ++j) EXPECT_EQ(one.delta[j], 0.0) << j;
  EXPECT_NE(one.delta[kCor], 0.0);
  EXPECT_NE(one.warnings.front().find("plane x: every monitor is masked"), std::string::npos);
  for (std::size_t i = 0; i < 2 * kMonU - 1; ++i)
    ASSERT_TRUE(c.set_monitor_enabled(c.matrix().monitors[i], true).ok);

  std::vector<double> nan_kicks = zeros();
  nan_kicks[5] = NAN;
  EXPECT_NE(c.compute(orbit, nan_kicks).error.find("'CX05' is not a number"), std::string::npos);
  EXPECT_NE(c.compute({1.0, 2.0}, zeros()).error.find("the orbit holds 2 values"), std::string::npos);
  EXPECT_FALSE(c.apply(Step{}).ok);
  const Step after = c.compute(orbit, zeros());
  ASSERT_TRUE(after.ok);
  EXPECT_EQ(after.delta, before.delta);
  EXPECT_TRUE(c.history().empty());
}

// Split, written once per cycle: each write within max_step, the history
// holds what was written, and the steps that follow from the new orbits
// reach the same orbit.
TEST_F(CorrectionTest, SplitWrittenOncePerCycleKeepsMaxStepAndConverges) {
  for (const char* n :
       {"CX00", "CX01", "CX02", "CX03", "CX04", "CX05", "CY00", "CY01", "CY02", "CY03", "CY04", "CY05"})
    ASSERT_TRUE(c.set_limit(n, {-1.0, 1.0, 0.04}).ok);
  c.set_policy(LimitPolicy::split);
  const std::vector<double> truth = kKicks0;  // the orbit is made by -kKicks0 missing
  std::vector<double> kicks = zeros();
  int cycles = 0;
  for (; cycles < 40; ++cycles) {
    std::vector<double> at(kicks.size());
    for (std::size_t j = 0; j < at.size(); ++j) at[j] = truth[j] + kicks[j];
    const Step s = c.compute(orbit_of(c.matrix(), at), kicks);
    ASSERT_TRUE(s.ok) << s.error;
    if (s.rms_before < 1e-9) break;
    ASSERT_FALSE(s.writes.empty());
    if (cycles == 0) {
      EXPECT_GT(s.writes.size(), 5u) << "CX04 wants 0.4 at 0.04 a write";
    }
    const KickWrite w = c.apply(s, ApplyWrites::first);
    ASSERT_TRUE(w.ok) << w.error;
    ASSERT_EQ(w.writes.size(), 1u);
    for (std::size_t j = 0; j < kicks.size(); ++j)
      EXPECT_LE(std::fabs(w.writes[0][j] - kicks[j]), 0.04 + 1e-12);
    EXPECT_EQ(c.history().front().kicks_after, w.writes[0]);
    EXPECT_EQ(c.history().front().rms_after, s.rms_after_first);
    kicks = w.writes[0];
  }
  EXPECT_LT(cycles, 40);
  for (std::size_t j = 0; j < kicks.size(); ++j) EXPECT_NEAR(kicks[j], -truth[j], 1e-9) << j;
}

// A corrector found outside its range is moved back toward it by at most
// max_step, the others answer for that move, and nothing is refused.
TEST_F(CorrectionTest, ACorrectorOutsideItsRangeIsSteeredBack) {
  ASSERT_TRUE(c.set_limit("CX04", {-0.25, 0.25, 0.1}).ok);
  std::vector<double> kicks = zeros();
  kicks[4] = 0.5;
  const std::vector<double> orbit = orbit_of(c.matrix(), kKicks0);
  for (const LimitPolicy p : {LimitPolicy::scale, LimitPolicy::clip, LimitPolicy::split}) {
    c.set_policy(p);
    const Step s = c.compute(orbit, kicks);
    ASSERT_TRUE(s.ok) << limit_policy_name(p) << ": " << s.error;
    EXPECT_EQ(s.steered, std::vector<int>{4});
    EXPECT_EQ(s.correctors_used.size(), 2 * kCorU) << "a corrector steered back is in use";
    EXPECT_NEAR(s.delta[4], -0.1, 1e-15) << limit_policy_name(p);
    EXPECT_NE(std::find_if(s.warnings.begin(), s.warnings.end(),
                           [](const std::string& w) { return w.find("CX04 outside the limits") != w.npos; }),
              s.warnings.end());
    EXPECT_LT(s.rms_after, s.rms_before) << limit_policy_name(p);
  }
  // Near the range: steered onto its edge, not past it.
  kicks[4] = 0.3;
  const Step near = c.compute(orbit, kicks);
  ASSERT_TRUE(near.ok) << near.error;
  EXPECT_DOUBLE_EQ(near.kicks[4], 0.25);
  // A masked corrector outside its range is never moved.
  ASSERT_TRUE(c.set_corrector_enabled("CX04", false).ok);
  const Step masked = c.compute(orbit, kicks);
  ASSERT_TRUE(masked.ok) << masked.error;
  EXPECT_EQ(masked.delta[4], 0.0);
  EXPECT_TRUE(masked.steered.empty());
}

// Clip with a keep: holding correctors leaves fewer than the keep, and the
// step goes on with those that remain, naming the held.
TEST_F(CorrectionTest, ClipWithManyHeldKeepsWhatRemains) {
  ASSERT_TRUE(c.set_cut(Plane::x, Filter::by_count(6)).ok);
  c.set_policy(LimitPolicy::clip);
  for (const char* n : {"CX00", "CX01", "CX02", "CX04"}) ASSERT_TRUE(c.set_limit(n, {-0.01, 0.01, 1.0}).ok);
  const Step s = c.compute(orbit_of(c.matrix(), kKicks0), zeros());
  ASSERT_TRUE(s.ok) << s.error;
  for (const int j : {0, 1, 2, 4}) EXPECT_LE(std::fabs(s.delta[static_cast<std::size_t>(j)]), 0.01 + 1e-15);
  const auto has = [&s](const std::string& text) {
    return std::any_of(s.warnings.begin(), s.warnings.end(),
                       [&text](const std::string& w) { return w.find(text) != w.npos; });
  };
  EXPECT_TRUE(has("clip held CX00, CX01, CX02, CX04")) << s.warnings.size();
  EXPECT_TRUE(has("only 2 correctors are left free"));
  EXPECT_LT(s.rms_after, s.rms_before);
}

// apply refuses a step applied already, computed before a change, or
// edited past the limits, each with its own reason.
TEST_F(CorrectionTest, AStepIsAppliedOnceAndOnlyWithinTheLimits) {
  ASSERT_TRUE(c.set_limit("CX04", {-1.0, 1.0, 0.05}).ok);
  const std::vector<double> orbit = orbit_of(c.matrix(), kKicks0);
  const Step s = c.compute(orbit, zeros());
  ASSERT_TRUE(s.ok);
  Step forged = s;
  forged.writes.back()[4] = 0.3;  // past max_step
  const KickWrite f = c.apply(forged);
  EXPECT_FALSE(f.ok);
  EXPECT_NE(f.error.find("'CX04': one write moves it by 0.3"), std::string::npos) << f.error;
  ASSERT_TRUE(c.set_gain(Plane::y, 0.5).ok);
  const KickWrite old = c.apply(s);
  EXPECT_FALSE(old.ok);
  EXPECT_NE(old.error.find("before the last change"), std::string::npos) << old.error;
  EXPECT_EQ(c.plane(Plane::y).gain, 0.5);
  EXPECT_EQ(c.plane(Plane::y).cut.filter.keep(), 0) << "set_gain leaves the cut";
  const Step t = c.compute(orbit, zeros());
  ASSERT_TRUE(c.apply(t).ok);
  EXPECT_NE(c.apply(t).error.find("applied already"), std::string::npos);
  EXPECT_EQ(c.history().size(), 1u);
  EXPECT_TRUE(gain_problem(1.99).empty());
  EXPECT_FALSE(gain_problem(kMaxGain).empty());
  // A keep the plane cannot hold is refused at the mask and at the cut.
  ASSERT_TRUE(c.set_cut(Plane::x, Filter::by_count(6)).ok);
  const Outcome mask = c.set_corrector_enabled("CX01", false);
  EXPECT_FALSE(mask.ok);
  EXPECT_NE(mask.error.find("keeps 6 singular values"), std::string::npos) << mask.error;
  EXPECT_TRUE(c.corrector_enabled()[1]);
}

// A new matrix takes over the old one's settings by name; what has no name
// there is listed, once.
TEST(CorrectionCarry, SettingsSurviveANewMatrixByName) {
  Correction old;
  ASSERT_TRUE(old.set_matrix(toy_ring()).ok);
  std::vector<double> rf(2 * kMonU, 0.0), weights(2 * kMonU, 1.0), reference(2 * kMonU, 0.0);
  for (std::size_t i = 0; i < kMonU; ++i) rf[i] = 0.1 * static_cast<double>(i);
  weights[2] = 3.0;
  weights[5] = 2.0;
  reference[14] = 0.2;
  ASSERT_TRUE(old.add_rf_column("RF", rf).ok);
  ASSERT_TRUE(old.set_weights(weights).ok);
  ASSERT_TRUE(old.set_reference(reference).ok);
  ASSERT_TRUE(old.set_monitor_enabled("BX03", false).ok);
  ASSERT_TRUE(old.set_monitor_enabled("BX05", false).ok);
  ASSERT_TRUE(old.set_limit("CY01", {-0.5, 0.5, 0.1}).ok);
  ASSERT_TRUE(old.set_limit("CX02", {-0.5, 0.5, 0.1}).ok);
  ASSERT_TRUE(old.set_gain(Plane::y, 0.3).ok);
  old.set_policy(LimitPolicy::clip);

  LabelledMatrix m = toy_ring();  // BX05 and CX02 renamed
  m.monitors[5] = "BX55";
  m.correctors[2] = "CX22";
  Correction next;
  ASSERT_TRUE(next.set_matrix(m).ok);
  const CarryReport r = next.carry_settings_from(old);
  EXPECT_EQ(r.dropped,
            (std::vector<std::string>{"the RF column RF (no response at the new monitor BX55)",
                                      "monitor BX05 (masked, weight)", "corrector CX02 (limits)"}));
  EXPECT_EQ(r.text().rfind("dropped (", 0), 0u);
  EXPECT_FALSE(next.monitor_enabled()[3]);
  EXPECT_TRUE(next.monitor_enabled()[5]);
  EXPECT_EQ(next.limits()[7].max_step, 0.1);
  EXPECT_EQ(next.plane(Plane::y).gain, 0.3);
  EXPECT_EQ(next.policy(), LimitPolicy::clip);

  // The same matrix keeps everything, the RF column too: the same step.
  Correction same;
  ASSERT_TRUE(same.set_matrix(toy_ring()).ok);
  const CarryReport all = same.carry_settings_from(old);
  EXPECT_TRUE(all.dropped.empty()) << all.text();
  EXPECT_EQ(all.text(), "kept every setting");
  const std::vector<double> orbit = orbit_of(toy_ring(), kKicks0);
  const std::vector<double> kicks(2 * kCorU + 1, 0.0);
  const Step a = old.compute(orbit, kicks), b = same.compute(orbit, kicks);
  ASSERT_TRUE(a.ok && b.ok) << a.error << b.error;
  EXPECT_EQ(a.delta, b.delta);
  EXPECT_EQ(a.rms_before, b.rms_before) << "the reference came along";
}

// A name may stand once per plane: by the name alone a mask or a limit
// takes both, NAME:x or NAME:y one of them.
TEST(CorrectionNames, UniquePerPlaneAndSelectedByPlane) {
  LabelledMatrix m = toy_ring();
  m.monitors[kMon + 3] = m.monitors[3] = "B03";
  m.correctors[kCor + 1] = m.correctors[1] = "C01";
  Correction c;
  ASSERT_TRUE(c.set_matrix(m).ok);
  ASSERT_TRUE(c.set_monitor_enabled("B03:y", false).ok);
  EXPECT_TRUE(c.monitor_enabled()[3]);
  EXPECT_FALSE(c.monitor_enabled()[kMon + 3]);
  ASSERT_TRUE(c.set_monitor_enabled("B03", false).ok);
  EXPECT_FALSE(c.monitor_enabled()[3]);
  ASSERT_TRUE(c.set_limit("C01:x", {-0.1, 0.1, 0.01}).ok);
  EXPECT_EQ(c.limits()[1].max_step, 0.01);
  EXPECT_TRUE(std::isinf(c.limits()[kCor + 1].max_step));
  ASSERT_TRUE(c.set_limit("C01", {-0.1, 0.1, 0.02}).ok);
  EXPECT_EQ(c.limits()[kCor + 1].max_step, 0.02);
  EXPECT_FALSE(c.set_monitor_enabled("B03:z", false).ok);
  m.monitor_planes[kMon + 3] = Plane::x;  // twice in plane x
  EXPECT_NE(check_labelled_matrix(m).find("'B03' appears twice in plane x"), std::string::npos);

  test::TempDir dir;
  const std::string f =
      test::write_file(dir.path() / "both.txt", "# monitors: A A\n# monitor_planes: x y\n1 2\n3 4\n");
  LabelledMatrix back;
  const LabelledReport r = read_labelled_matrix(f.c_str(), &back);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(back.monitors, (std::vector<std::string>{"A", "A"}));
}

TEST(LabelledFile, RoundTripDefaultsAndRefusals) {
  test::TempDir dir;
  const LabelledMatrix m = toy_ring();
  const std::string path = (dir.path() / "ring.txt").string();
  ASSERT_TRUE(write_labelled_matrix(path.c_str(), m, {"a toy ring"}).ok);
  LabelledMatrix back;
  const LabelledReport r = read_labelled_matrix(path.c_str(), &back);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(back.monitors, m.monitors);
  EXPECT_EQ(back.corrector_planes, m.corrector_planes);
  EXPECT_EQ(back.units, "mm/mrad");
  for (std::size_t k = 0; k < m.values.size(); ++k)
    EXPECT_EQ(static_cast<float>(back.values[k]), static_cast<float>(m.values[k])) << k;
  // The classic loader still reads it.
  QTEV_ResponseMatrix R("R", m.rows, m.cols, nullptr);
  {
    ovrix::LogCapture quiet;
    EXPECT_TRUE(R.load_file(path.c_str()));
  }

  const std::string plain = test::write_file(dir.path() / "plain.txt", "# a note\n1 2\n3 4\n5 6\n");
  ASSERT_TRUE(read_labelled_matrix(plain.c_str(), &back).ok);
  EXPECT_EQ(back.correctors, (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(back.monitor_planes, std::vector<Plane>(3, Plane::x));

  const LabelledMatrix kept = back;
  const std::pair<const char*, const char*> bad[] = {
      {"# monitors: A B\n1 2\n3 4\n5 6\n", "holds 2 entries, the matrix 3"},
      {"# corrector_planes: x z\n1 2\n", "plane 'z' is neither x nor y"},
      {"# monitors: A A\n1 2\n3 4\n", "'A' appears twice"},
      {"1, 2\n3, 4\n", "separator"},
      {"1 nan\n3 4\n", "not a finite number"},
      {"1 2 x\n3 4\n", "text that is not a number"},
      {"1 2 3\n3 4\n", "line 1 has 3 values"}};
  for (const auto& [text, why] : bad) {
    const std::string f = test::write_file(dir.path() / "bad.txt", text);
    const LabelledReport b = read_labelled_matrix(f.c_str(), &back);
    EXPECT_FALSE(b.ok) << text;
    EXPECT_NE(b.error.find(why), std::string::npos) << b.error;
  }
  EXPECT_EQ(back.values, kept.values) << "a refused read leaves the output";

  // A comment's line break would start a data line of its own.
  const std::string broken = (dir.path() / "broken.txt").string();
  const LabelledReport w = write_labelled_matrix(broken.c_str(), m, {"note\n1 2 3"});
  EXPECT_FALSE(w.ok);
  EXPECT_NE(w.error.find("line break"), std::string::npos) << w.error;
  EXPECT_FALSE(std::filesystem::exists(broken));
}

}  // namespace
}  // namespace zor_feedback

namespace zor_feedback {
namespace {

// The modes carry what the step removes: with gain 1 the predicted error is
// (I - U_k U_k^T) e, so sum r^2 = n (rms_before^2 - rms_after^2), over the
// monitors used, with a corrector masked, a monitor unread and a plane cut.
TEST(CorrectionModes, CarryTheErrorTheStepRemovesAndRefuseWhatDoesNotFit) {
  Correction c;
  ASSERT_TRUE(c.set_matrix(toy_ring()).ok);
  ASSERT_TRUE(c.set_corrector_enabled("CX02", false).ok);
  ASSERT_TRUE(c.set_cut(Plane::y, Filter::by_count(3)).ok);
  ASSERT_TRUE(c.set_reference(std::vector<double>(2 * kMonU, 0.02)).ok);
  std::vector<double> orbit(2 * kMonU);
  for (std::size_t i = 0; i < orbit.size(); ++i)
    orbit[i] = 0.3 * std::sin(1.7 * static_cast<double>(i) + 0.4);
  orbit[4] = NAN;
  const std::vector<double> kicks(2 * kCorU, 0.0);
  const Step st = c.compute(orbit, kicks);
  ASSERT_TRUE(st.ok) << st.error;
  const ModeResiduals r = c.mode_residuals(st, orbit);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.plane[0].size(), 5u);
  EXPECT_EQ(r.plane[1].size(), 3u);
  double carried = 0.0;
  for (const auto& plane : r.plane)
    for (const double v : plane) carried += v * v;
  const double n = static_cast<double>(st.monitors_used.size());
  EXPECT_NEAR(carried, n * (st.rms_before * st.rms_before - st.rms_after * st.rms_after), 1e-12 * carried);

  std::vector<double> short_orbit(orbit.begin(), orbit.end() - 1);
  EXPECT_NE(c.mode_residuals(st, short_orbit).error.find("the orbit holds 23 values"), std::string::npos);
  EXPECT_NE(c.mode_residuals(Step{}, orbit).error.find("refused"), std::string::npos);
  const ModeResiduals again = c.mode_residuals(st, orbit);  // the refusals changed nothing
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.plane[0], r.plane[0]);
  EXPECT_EQ(again.plane[1], r.plane[1]);
  ASSERT_TRUE(c.set_gain(Plane::x, 0.5).ok);
  EXPECT_NE(c.mode_residuals(st, orbit).error.find("before a later change"), std::string::npos);
  EXPECT_EQ(c.mode_residuals(c.compute(orbit, kicks), orbit).plane[0],
            r.plane[0]);  // the gain is not in them
}

}  // namespace
}  // namespace zor_feedback
