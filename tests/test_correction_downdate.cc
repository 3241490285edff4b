// A mask change of one monitor or one corrector: the plane inverse made by a
// downdate of the held one equals a new decomposition, and a monitor that
// carries a mode falls back to one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "correction_state.h"
#include "ring_model.h"
#include "zor_feedback/correction.h"

namespace zor_feedback {
namespace {

constexpr int kMon = 96, kCor = 48;  // per plane

// ring_response(96, 48) in both planes, block-diagonal; `lone` >= 0: corrector
// 5 of plane x is seen by monitor `lone` alone (that monitor carries a mode).
LabelledMatrix ring(int lone = -1) {
  LabelledMatrix m = sim::two_plane_ring(kMon, kCor, 0.0);
  if (lone >= 0)
    for (int i = 0; i < kMon; ++i) m.values[static_cast<std::size_t>(i * m.cols + 5)] = i == lone ? 1.0 : 0.0;
  return m;
}

std::vector<double> orbit() {
  std::vector<double> o;
  for (int i = 0; i < 2 * kMon; ++i) o.push_back(0.1 * std::sin(0.37 * i) + 0.02 * std::cos(1.3 * i));
  return o;
}

double max_abs(const std::vector<double>& v) {
  double r = 0.0;
  for (const double x : v) r = std::max(r, std::fabs(x));
  return r;
}

void expect_close(const std::vector<double>& got, const std::vector<double>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  double diff = 0.0;
  for (std::size_t k = 0; k < got.size(); ++k) diff = std::max(diff, std::fabs(got[k] - want[k]));
  EXPECT_LE(diff, 1e-9 * max_abs(want)) << what;
}

std::vector<int> range(int n, int skip = -1) {
  std::vector<int> v;
  for (int k = 0; k < n; ++k)
    if (k != skip) v.push_back(k);
  return v;
}

// The step of a Correction after `change`, against a fresh one with the
// same masks (which inverts from scratch).
void expect_same_step(const LabelledMatrix& m, void (*change)(Correction&)) {
  Correction held;
  ASSERT_TRUE(held.set_matrix(m).ok);
  const std::vector<double> kicks(2 * kCor, 0.0);
  ASSERT_TRUE(held.compute(orbit(), kicks).ok);  // the full sets' inverses are held
  change(held);
  const Step s = held.compute(orbit(), kicks);
  Correction fresh;
  ASSERT_TRUE(fresh.set_matrix(m).ok);
  change(fresh);
  const Step f = fresh.compute(orbit(), kicks);
  ASSERT_TRUE(s.ok && f.ok) << s.error << f.error;
  expect_close(s.delta, f.delta, "step");
  EXPECT_EQ(s.modes[0], f.modes[0]);
  EXPECT_EQ(s.modes[1], f.modes[1]);
  EXPECT_EQ(s.warnings, f.warnings);
}

TEST(CorrectionMaskChange, TheStepEqualsAFreshCorrectionsWithTheSameMask) {
  expect_same_step(ring(), [](Correction& c) { ASSERT_TRUE(c.set_monitor_enabled("BPM17", false).ok); });
  expect_same_step(ring(), [](Correction& c) { ASSERT_TRUE(c.set_corrector_enabled("COR60", false).ok); });
  expect_same_step(ring(), [](Correction& c) {
    ASSERT_TRUE(c.set_monitor_enabled("BPM3", false).ok);
    ASSERT_TRUE(c.set_monitor_enabled("BPM100", false).ok);
  });
  // The monitor that alone sees a corrector: no downdate, the same step.
  expect_same_step(ring(7), [](Correction& c) { ASSERT_TRUE(c.set_monitor_enabled("BPM7", false).ok); });
}

// The cache itself: which inverses came from a downdate, and that each equals
// the decomposition of its weighted sub-matrix.
class InverseCacheDowndate : public ::testing::Test {
 protected:
  const detail::PlaneInverse* get(const std::vector<int>& monitors, const std::vector<int>& correctors) {
    std::string error;
    const detail::PlaneInverse* inv =
        cache.get(m, weights, monitors, correctors, cut, StepKernel::exact, &error);
    EXPECT_NE(inv, nullptr) << error;
    return inv;
  }
  void expect_exact(const detail::PlaneInverse& inv) {
    const std::vector<double> a = detail::weighted_sub_matrix(m, weights, inv.monitors, inv.correctors);
    std::vector<double> want;
    const SvdReport r = pseudo_inverse(a.data(), static_cast<int>(inv.monitors.size()),
                                       static_cast<int>(inv.correctors.size()), cut, &want);
    ASSERT_TRUE(r.ok) << r.error;
    expect_close(inv.inverse, want, "inverse");
    EXPECT_EQ(inv.modes, r.used);
    EXPECT_EQ(inv.warnings, r.warnings);
    // A downdated entry's ratio is a lower bound, never above the true one.
    if (inv.s_ratio > 0.0) {
      EXPECT_LE(inv.s_ratio, r.singular_values.back() / r.singular_values.front() * (1 + 1e-9));
    }
  }
  LabelledMatrix m = ring();
  std::vector<double> weights = std::vector<double>(2 * kMon, 1.0);
  StandardOptions cut;
  detail::InverseCache cache;
};

TEST_F(InverseCacheDowndate, OneMonitorOrCorrectorFewerIsADowndateEqualToADecomposition) {
  for (int i = 0; i < 2 * kMon; ++i) weights[static_cast<std::size_t>(i)] = 1.0 + 0.01 * (i % 7);
  ASSERT_NE(get(range(kMon), range(kCor)), nullptr);
  const detail::PlaneInverse* row = get(range(kMon, 40), range(kCor));
  EXPECT_EQ(cache.downdates(), 1u);
  expect_exact(*row);
  EXPECT_GT(row->s_ratio, 0.0);
  // From the downdated entry again: its bound on the ratio is still sound.
  const detail::PlaneInverse* rows2 = get(range(kMon, 40), range(kCor, 0));
  EXPECT_EQ(cache.downdates(), 2u);
  expect_exact(*rows2);
  const detail::PlaneInverse* col = get(range(kMon), range(kCor, 47));
  EXPECT_EQ(cache.downdates(), 3u);
  expect_exact(*col);
}

TEST_F(InverseCacheDowndate, AChainOfDowndatesEndsInADecomposition) {
  std::vector<int> monitors = range(kMon);
  ASSERT_NE(get(monitors, range(kCor)), nullptr);
  for (int k = 0; k <= detail::PlaneInverse::kMaxDowndates; ++k) {
    monitors.erase(monitors.begin() + 2 * k);
    const detail::PlaneInverse* inv = get(monitors, range(kCor));
    ASSERT_NE(inv, nullptr);
    expect_exact(*inv);
    EXPECT_EQ(inv->downdates, k < detail::PlaneInverse::kMaxDowndates ? k + 1 : 0) << k;
  }
}

TEST_F(InverseCacheDowndate, ACutThatDropsAModeOrAMonitorCarryingOneIsDecomposed) {
  // Keep fewer than all: the held inverse is not the plain one.
  cut = Filter::by_count(40);
  ASSERT_NE(get(range(kMon), range(kCor)), nullptr);
  expect_exact(*get(range(kMon, 3), range(kCor)));
  // Tikhonov weighs every mode.
  cache.clear();
  cut = Filter::tikhonov(1e-3);
  ASSERT_NE(get(range(kMon), range(kCor)), nullptr);
  expect_exact(*get(range(kMon, 3), range(kCor)));
  EXPECT_EQ(cache.downdates(), 0u);
  // Keep all: a downdate.
  cache.clear();
  cut = Filter::by_count(kCor);
  ASSERT_NE(get(range(kMon), range(kCor)), nullptr);
  expect_exact(*get(range(kMon, 3), range(kCor)));
  EXPECT_EQ(cache.downdates(), 1u);
  // A corrector held: the count goes down with the free ones (as a clip re-solve asks).
  cut = Filter::by_count(kCor - 1);
  expect_exact(*get(range(kMon), range(kCor, 9)));
  EXPECT_EQ(cache.downdates(), 2u);
  // The monitor that alone sees a corrector.
  cache.clear();
  cut = StandardOptions();
  m = ring(7);
  ASSERT_NE(get(range(kMon), range(kCor)), nullptr);
  const detail::PlaneInverse* lone = get(range(kMon, 7), range(kCor));
  ASSERT_NE(lone, nullptr);
  EXPECT_EQ(cache.downdates(), 2u);  // none more
  expect_exact(*lone);
  EXPECT_EQ(lone->modes, kCor - 1);
}

}  // namespace
}  // namespace zor_feedback
