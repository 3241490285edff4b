// The feedback on a ring behind devices (an orbit source and a corrector
// sink in place of the simulated machine): it starts from the correctors as
// they are, a failed or misshapen read gives no step and says why, a refused
// write changes nothing, and on a plant that answers as the served matrix
// says (with an error of its own) it converges.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "feedback_simulation.h"
#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace test {
namespace {

// orbit = 1.03 R kicks + offset, one reading per read.
struct Plant {
  LabelledMatrix r;
  std::vector<double> offset, kicks;
  std::string read_error, write_error, kicks_error;
  // A corrector whose supply does not follow: it reads back this value (NaN: it follows).
  int stuck = -1;
  double stuck_at = 0.0;
  int writes = 0;
  bool short_orbit = false;

  loop::Orbit orbit() const {
    loop::Orbit o;
    o.ok = read_error.empty();
    o.error = read_error;
    const auto m = static_cast<std::size_t>(r.rows), n = static_cast<std::size_t>(r.cols);
    for (std::size_t i = 0; i < m - (short_orbit ? 1 : 0); ++i) {
      double x = offset[i];
      for (std::size_t j = 0; j < n; ++j) x += 1.03 * r.values[i * n + j] * kicks[j];
      o.values.push_back(x);
    }
    o.valid.assign(o.values.size(), true);
    return o;
  }
  loop::SinkResult write(const std::vector<double>& v) {
    if (!write_error.empty()) return {false, write_error, {}};
    ++writes;
    kicks = v;
    return {true, "", {}};
  }
};

// The plant's monitors and correctors as the feedback reaches them.
struct Devices final : loop::OrbitSource {
  struct Correctors final : loop::CorrectorSink {
    Plant& p;
    explicit Correctors(Plant& plant) : p(plant) {}
    loop::SinkResult write(const std::vector<double>& v) override { return p.write(v); }
    loop::SinkResult read_setpoints() override { return {p.kicks_error.empty(), p.kicks_error, p.kicks}; }
    loop::SinkResult read() override {
      loop::SinkResult r = read_setpoints();
      if (p.stuck >= 0) r.values[static_cast<std::size_t>(p.stuck)] = p.stuck_at;
      return r;
    }
  };
  Plant& p;
  Correctors sink{p};
  explicit Devices(Plant& plant) : p(plant) {}
  loop::Orbit read() override { return p.orbit(); }
};

sim::FeedbackSimulation::Settings ring96() {
  sim::FeedbackSimulation::Settings s;
  s.matrix_file = std::string(ZOR_FEEDBACK_DATA_DIR) + "/ring_response.txt";
  return s;
}

Plant plant_of(const sim::FeedbackSimulation::Settings& s) {
  Plant p;
  EXPECT_TRUE(read_labelled_matrix(s.matrix_file.c_str(), &p.r).ok);
  // An orbit the correctors can cancel: that of error kicks.
  const auto n = static_cast<std::size_t>(p.r.cols);
  for (std::size_t i = 0; i < static_cast<std::size_t>(p.r.rows); ++i) {
    double x = 0.0;
    for (std::size_t j = 0; j < n; ++j)
      x += p.r.values[i * n + j] * 0.05 * std::sin(1.7 * static_cast<double>(j));
    p.offset.push_back(x);
  }
  p.kicks.assign(static_cast<std::size_t>(p.r.cols), 0.01);  // where the correctors stand
  return p;
}

TEST(FeedbackOnDevices, StartsFromTheCorrectorsAsTheyAreAndConverges) {
  const auto s = ring96();
  Plant plant = plant_of(s);
  Devices dev(plant);
  sim::FeedbackSimulation f(s);
  ASSERT_TRUE(f.ok()) << f.error();
  ASSERT_TRUE(f.load_and_invert()) << f.error();
  std::string error;
  ASSERT_TRUE(f.use_devices(&dev, &dev.sink, &error)) << error;
  EXPECT_EQ(f.kicks(), plant.kicks);
  double first = 0.0, last = 0.0;
  for (int c = 0; c < 20; ++c) {
    const sim::CycleRecord r = f.cycle();
    ASSERT_TRUE(r.skipped.empty()) << r.skipped;
    (c == 0 ? first : last) = r.orbit_rms;
  }
  EXPECT_EQ(plant.writes, 20);
  EXPECT_LT(last, 1e-4 * first) << "0.5 gain on a 3 % model error converges";
  EXPECT_EQ(f.kicks(), plant.kicks);
}

TEST(FeedbackOnDevices, NoStepFromAFailedOrMisshapenReadAndNothingFromARefusedWrite) {
  const auto s = ring96();
  Plant plant = plant_of(s);
  Devices dev(plant);
  sim::FeedbackSimulation f(s);
  ASSERT_TRUE(f.ok() && f.load_and_invert()) << f.error();
  std::string error;

  // The correctors cannot be read: not connected, nothing changed.
  plant.kicks_error = "device sim/ring/1 not exported";
  EXPECT_FALSE(f.use_devices(&dev, &dev.sink, &error));
  EXPECT_EQ(error, "the correctors cannot be read: device sim/ring/1 not exported");
  EXPECT_FALSE(f.on_devices());
  plant.kicks_error.clear();
  ASSERT_TRUE(f.use_devices(&dev, &dev.sink, &error)) << error;

  plant.read_error = "timeout";
  sim::CycleRecord r = f.cycle();
  EXPECT_EQ(r.skipped, "cycle 0: the orbit source failed: timeout, no step");
  EXPECT_EQ(r.invalid, 96);
  plant.read_error.clear();
  plant.short_orbit = true;
  r = f.cycle();
  EXPECT_EQ(r.skipped, "cycle 1: the orbit source gave 95 values for 96 monitors of the matrix, no step");
  EXPECT_EQ(plant.writes, 0);
  for (const float v : f.client_spectrum()) EXPECT_TRUE(std::isfinite(v));

  plant.short_orbit = false;
  plant.write_error = "CH07 beyond its supply's limit";
  const std::vector<double> before = f.kicks();
  r = f.cycle();
  EXPECT_EQ(r.skipped,
            "cycle 2: the correctors refused the write: CH07 beyond its supply's limit, not applied");
  EXPECT_EQ(f.kicks(), before);
  EXPECT_EQ(plant.kicks, before);

  // A monitor that reads NaN is left out, the rest corrected.
  plant.write_error.clear();
  plant.offset[5] = std::numeric_limits<double>::quiet_NaN();
  r = f.cycle();
  EXPECT_TRUE(r.skipped.empty()) << r.skipped;
  EXPECT_EQ(r.invalid, 1);
  for (const double k : plant.kicks) EXPECT_TRUE(std::isfinite(k));
}

// A corrector that does not follow its set-point trips the loop after exactly
// the rule's count of cycles; until then the loop steps on. A Start (the
// set-points read again) begins the count afresh.
TEST(FeedbackOnDevices, ACorrectorThatDoesNotFollowTripsAfterTheRulesCycles) {
  auto s = ring96();
  s.readback = {0.001, 3};
  Plant plant = plant_of(s);
  Devices dev(plant);
  sim::FeedbackSimulation f(s);
  ASSERT_TRUE(f.ok() && f.load_and_invert()) << f.error();
  std::string error;
  ASSERT_TRUE(f.use_devices(&dev, &dev.sink, &error)) << error;
  for (int c = 0; c < 3; ++c) ASSERT_TRUE(f.cycle().tripped.empty()) << "read-backs follow";

  plant.stuck = 4;
  plant.stuck_at = plant.kicks[4] + 0.5;
  for (int c = 0; c < 2; ++c) EXPECT_TRUE(f.cycle().tripped.empty()) << "off for " << c + 1 << " cycles";
  const int writes = plant.writes;
  const sim::CycleRecord r = f.cycle();
  EXPECT_NE(r.tripped.find("corrector 4 reads back"), std::string::npos) << r.tripped;
  EXPECT_NE(r.tripped.find("for 3 cycles, no step"), std::string::npos) << r.tripped;
  EXPECT_EQ(plant.writes, writes) << "no step in the tripping cycle";

  // Read again at a start: the count starts over, and a supply that follows
  // again clears it.
  ASSERT_TRUE(f.read_kicks(&error)) << error;
  EXPECT_TRUE(f.cycle().tripped.empty());
  plant.stuck = -1;
  for (int c = 0; c < 5; ++c) EXPECT_TRUE(f.cycle().tripped.empty());

  // Read-backs that cannot be read count against every corrector.
  plant.kicks_error = "timeout";
  plant.write_error = "timeout";
  std::string tripped;
  for (int c = 0; c < 3 && tripped.empty(); ++c) tripped = f.cycle().tripped;
  EXPECT_NE(tripped.find("the read-backs cannot be read (timeout) for 3 cycles"), std::string::npos)
      << tripped;
}

TEST(FeedbackOnDevices, AReadbackRuleThatCannotBeUsedIsRefused) {
  auto s = ring96();
  s.readback = {0.0, 3};
  EXPECT_FALSE(sim::FeedbackSimulation(s).ok());
  s.readback = {0.01, 0};
  sim::FeedbackSimulation f(s);
  EXPECT_FALSE(f.ok());
  EXPECT_EQ(f.error(), "the read-back cycles must be at least 1");
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
