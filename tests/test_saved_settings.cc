// Masks and kick limits saved as text by name and restored: the round trip
// on the same matrix, on a matrix with other names (what it lacks dropped
// and told), and lines the correction refuses (left out, the rest restored).
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "testing.h"
#include "zor_feedback/saved_settings.h"

namespace zor_feedback {
namespace {

constexpr int kMon = 6, kCor = 4;  // per plane

// Two planes with the same monitor and corrector names (M0.., C0..), so that
// only the plane tells them apart; `prefix` renames the correctors.
LabelledMatrix two_planes(const std::string& prefix = "C") {
  LabelledMatrix m;
  m.rows = 2 * kMon;
  m.cols = 2 * kCor;
  m.values.assign(static_cast<std::size_t>(m.rows * m.cols), 0.0);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kMon; ++i)
      for (int j = 0; j < kCor; ++j)
        m.values[static_cast<std::size_t>((p * kMon + i) * m.cols + p * kCor + j)] =
            std::cos(0.7 * i + 1.3 * j + p) + (i % kCor == j ? 2.0 : 0.0);
  for (int k = 0; k < m.rows; ++k) {
    m.monitors.push_back("M" + std::to_string(k % kMon));
    m.monitor_planes.push_back(k < kMon ? Plane::x : Plane::y);
  }
  for (int k = 0; k < m.cols; ++k) {
    m.correctors.push_back(prefix + std::to_string(k % kCor));
    m.corrector_planes.push_back(k < kCor ? Plane::x : Plane::y);
  }
  return m;
}

std::unique_ptr<Correction> correction(LabelledMatrix m) {
  auto c = std::make_unique<Correction>();
  const Outcome o = c->set_matrix(std::move(m));
  EXPECT_TRUE(o.ok) << o.error;
  return c;
}

TEST(SavedSettings, RoundTripByNameAndPlane) {
  auto a = correction(two_planes());
  ASSERT_TRUE(a->set_monitor_enabled("M2:y", false).ok);
  ASSERT_TRUE(a->set_corrector_enabled("C1:x", false).ok);
  const double inf = std::numeric_limits<double>::infinity();
  ASSERT_TRUE(a->set_limit("C3:y", {-0.1, 0.2, 1.0 / 3.0}).ok);
  ASSERT_TRUE(a->set_limit("C0:x", {-inf, 0.5, inf}).ok);
  const SavedSettings s = saved_settings_of(*a);
  EXPECT_EQ(s.masked_monitors, std::vector<std::string>{"M2:y"});
  EXPECT_EQ(s.masked_correctors, std::vector<std::string>{"C1:x"});
  ASSERT_EQ(s.kick_limits.size(), 2u);

  auto b = correction(two_planes());
  const CarryReport rep = restore_saved_settings(*b, s);
  EXPECT_TRUE(rep.dropped.empty()) << rep.text();
  EXPECT_EQ(b->monitor_enabled(), a->monitor_enabled());
  EXPECT_EQ(b->corrector_enabled(), a->corrector_enabled());
  for (std::size_t j = 0; j < a->limits().size(); ++j) {  // bit for bit, infinities included
    EXPECT_EQ(b->limits()[j].min, a->limits()[j].min) << j;
    EXPECT_EQ(b->limits()[j].max, a->limits()[j].max) << j;
    EXPECT_EQ(b->limits()[j].max_step, a->limits()[j].max_step) << j;
  }
  EXPECT_EQ(saved_settings_of(*b), s);
  EXPECT_EQ(saved_settings_of(*correction(two_planes())), SavedSettings{});  // defaults save nothing
}

TEST(SavedSettings, OtherNamesAreDroppedAndTold) {
  auto a = correction(two_planes());
  ASSERT_TRUE(a->set_monitor_enabled("M4:x", false).ok);
  ASSERT_TRUE(a->set_corrector_enabled("C2:y", false).ok);
  ASSERT_TRUE(a->set_limit("C0:y", {-1, 1, 0.5}).ok);
  auto b = correction(two_planes("K"));  // same monitors, correctors renamed
  const CarryReport rep = restore_saved_settings(*b, saved_settings_of(*a));
  ASSERT_EQ(rep.dropped.size(), 2u) << rep.text();
  EXPECT_NE(rep.dropped[0].find("C2:y"), std::string::npos) << rep.dropped[0];
  EXPECT_NE(rep.dropped[1].find("C0:y"), std::string::npos) << rep.dropped[1];
  EXPECT_EQ(b->monitor_enabled(), a->monitor_enabled());  // the monitor it knows is kept
  for (const bool on : b->corrector_enabled()) EXPECT_TRUE(on);
  for (const KickLimit& l : b->limits()) EXPECT_TRUE(std::isinf(l.max));
}

TEST(SavedSettings, RefusedAndUnreadableLinesLeftOutTheRestRestored) {
  SavedSettings s;
  s.masked_correctors = {"C0:x", "C1:x", "C2:x", "C3:x",
                         "C0:y", "C1:y", "C2:y", "C3:y"};  // the last in use: refused
  s.masked_monitors = {"M0", "nobody:x"};                  // M0 of both planes; an unknown name
  s.kick_limits = {"C0:y 1 -1 0.5",                        // min > max
                   "C1:y -1 1 0",                          // max_step not above 0
                   "C2:y -1 1",                            // a value short
                   "C2:y -1 1 nan",                        // not a number
                   "C2:y a 1 1",                           // not a number
                   "C3:y -2 2 0.25"};                      // fine
  auto c = correction(two_planes());
  const CarryReport rep = restore_saved_settings(*c, s);
  EXPECT_EQ(rep.dropped.size(), 7u) << rep.text();
  EXPECT_FALSE(c->monitor_enabled()[0]);
  EXPECT_FALSE(c->monitor_enabled()[kMon]);
  int on = 0;
  for (const bool e : c->corrector_enabled()) on += e ? 1 : 0;
  EXPECT_EQ(on, 1);  // the correction keeps its last corrector
  EXPECT_EQ(c->limits()[2 * kCor - 1].max, 2.0);
  for (int j = kCor; j < 2 * kCor - 1; ++j)
    EXPECT_TRUE(std::isinf(c->limits()[static_cast<std::size_t>(j)].max));
}

}  // namespace
}  // namespace zor_feedback
