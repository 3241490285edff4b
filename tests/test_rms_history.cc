// The orbit rms per plane and its ring of the last cycles: the wrap, the
// order, and monitors that read nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "zor_feedback/loop/rms_history.h"

namespace zor_feedback {
namespace test {
namespace {

using loop::PlaneRms;
using loop::RmsHistory;

TEST(RmsHistory, PlaneRmsLeavesUnreadMonitorsOutAndGivesNanForAPlaneWithoutReadings) {
  const std::vector<Plane> planes = {Plane::x, Plane::x, Plane::y, Plane::y, Plane::x};
  const PlaneRms r = loop::plane_rms({3.0, NAN, 1.0, -1.0, 4.0}, planes);
  EXPECT_DOUBLE_EQ(r.x, std::sqrt(12.5));
  EXPECT_DOUBLE_EQ(r.y, 1.0);
  const PlaneRms none = loop::plane_rms({1.0, 2.0, NAN, INFINITY, 0.0}, planes);
  EXPECT_TRUE(std::isnan(none.y));
  EXPECT_DOUBLE_EQ(none.x, std::sqrt(5.0 / 3.0));
  const PlaneRms mismatch = loop::plane_rms({1.0}, planes);
  EXPECT_TRUE(std::isnan(mismatch.x) && std::isnan(mismatch.y));
}

TEST(RmsHistory, KeepsTheLastValuesOldestFirstAcrossTheWrap) {
  RmsHistory h(3);
  EXPECT_TRUE(h.plane(Plane::x).empty());
  h.add({1.0, 10.0});
  h.add({2.0, 20.0});
  EXPECT_EQ(h.plane(Plane::x), (std::vector<double>{1.0, 2.0}));
  for (double v = 3.0; v <= 7.0; v += 1.0) h.add({v, 10.0 * v});
  EXPECT_EQ(h.plane(Plane::x), (std::vector<double>{5.0, 6.0, 7.0}));
  EXPECT_EQ(h.plane(Plane::y), (std::vector<double>{50.0, 60.0, 70.0}));
  h.clear();
  EXPECT_EQ(h.size(), 0u);
  h.add({8.0, 80.0});
  EXPECT_EQ(h.plane(Plane::y), (std::vector<double>{80.0}));
  RmsHistory one(0);  // at least one value is kept
  one.add({1.0, 1.0});
  one.add({2.0, 2.0});
  EXPECT_EQ(one.plane(Plane::x), (std::vector<double>{2.0}));
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
