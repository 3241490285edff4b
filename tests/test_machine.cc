// The simulated machine: determinism, its supplies, its faults, its errors
// against the served matrix, and a feedback that corrects it.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "feedback_simulation.h"
#include "machine.h"
#include "rings.h"
#include "zor_feedback/labelled_matrix.h"

namespace zs = zor_feedback::sim;
using zor_feedback::LabelledMatrix;

namespace {

// A quiet machine: no disturbance, no noise, unless a test asks.
zs::MachineSettings quiet() {
  zs::MachineSettings s;
  s.noise_mm = 0;
  s.drift_mrad_per_s = 0;
  s.lines.clear();
  s.error_kick_mrad = 0;
  s.supply_tau_s = 0;
  return s;
}

const LabelledMatrix& small() {
  static const LabelledMatrix m = zs::ring96().matrix;
  return m;
}

std::string data(const std::string& file) { return std::string(ZOR_FEEDBACK_EXAMPLE_DATA) + "/" + file; }

}  // namespace

TEST(Machine, SameSeedSameReadingsOtherSeedOthers) {
  const zs::MachineSettings s;  // noise, drift, lines, lag: all of it
  zs::Machine a(small(), s), b(small(), s);
  zs::MachineSettings other = s;
  other.seed += 1;
  zs::Machine c(small(), other);
  std::vector<double> kicks(48, 0.1);
  for (int step = 0; step < 5; ++step) {
    for (zs::Machine* m : {&a, &b, &c}) {
      ASSERT_TRUE(m->write(kicks).ok);
      ASSERT_TRUE(m->advance(0.37));
    }
    const zs::OrbitReading ra = a.read_orbit(), rb = b.read_orbit(), rc = c.read_orbit();
    EXPECT_EQ(ra.values, rb.values) << step;
    EXPECT_EQ(ra.time_s, rb.time_s);
    EXPECT_NE(ra.values, rc.values) << step;
    kicks[static_cast<std::size_t>(step)] = -0.2;
  }
  EXPECT_EQ(a.true_response(), b.true_response());
}

TEST(Machine, TruthDiffersFromTheServedMatrixByTheModelError) {
  const std::vector<double>& nominal = small().values;
  double diff = 0, norm = 0;
  const std::vector<double> T = zs::Machine(small(), zs::MachineSettings{}).true_response();
  for (std::size_t k = 0; k < T.size(); ++k) {
    diff += (T[k] - nominal[k]) * (T[k] - nominal[k]);
    norm += nominal[k] * nominal[k];
  }
  // 5 % mixing, 2 % gains and calibration: a few per cent, not zero, not more.
  EXPECT_GT(std::sqrt(diff / norm), 0.03);
  EXPECT_LT(std::sqrt(diff / norm), 0.12);

  // Without errors the truth is the nominal matrix.
  zs::MachineSettings exact = quiet();
  exact.model_error = exact.monitor_gain_rms = exact.monitor_roll_rms = exact.corrector_calibration_rms = 0;
  EXPECT_EQ(zs::Machine(small(), exact).true_response(), nominal);
}

// What the monitors read is the true response times the outputs, roll and
// gain included: checked on ring320, whose planes the roll mixes.
TEST(Machine, ReadingsFollowTheTrueResponse) {
  static const LabelledMatrix big = zs::ring320().matrix;
  zs::MachineSettings s = quiet();
  s.monitor_roll_rms = 0.02;
  zs::Machine m(big, s);
  const std::vector<double> T = m.true_response();
  std::vector<double> u(576);
  for (std::size_t j = 0; j < u.size(); ++j) u[j] = 0.01 * std::sin(0.3 * static_cast<double>(j));
  ASSERT_TRUE(m.write(u).ok);
  const zs::OrbitReading r = m.read_orbit();
  double worst = 0, x_from_y = 0;
  for (std::size_t i = 0; i < 640; ++i) {
    double expected = 0;
    for (std::size_t j = 0; j < 576; ++j) expected += T[i * 576 + j] * u[j];
    worst = std::max(worst, std::fabs(r.values[i] - expected));
    for (std::size_t j = 288; i < 320 && j < 576; ++j) x_from_y += std::fabs(T[i * 576 + j]);
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_GT(x_from_y, 0) << "a rolled monitor sees the other plane";
}

TEST(Machine, SupplyLagDelayAndSaturation) {
  zs::MachineSettings s = quiet();
  s.supply_tau_s = 0.5;
  zs::Machine lag(small(), s);
  std::vector<double> u(48, 1.0);
  ASSERT_TRUE(lag.write(u).ok);
  EXPECT_EQ(lag.readbacks()[0], 0.0) << "a supply does not jump";
  ASSERT_TRUE(lag.advance(0.25));
  ASSERT_TRUE(lag.advance(0.25));
  EXPECT_NEAR(lag.readbacks()[0], 1.0 - std::exp(-1.0), 1e-12) << "two half steps are one step";

  s.supply_tau_s = 0;
  s.delay_cycles = 2;
  s.cycle_s = 0.1;
  zs::Machine delayed(small(), s);
  ASSERT_TRUE(delayed.write(u).ok);
  ASSERT_TRUE(delayed.advance(0.1));
  u.assign(48, -0.5);
  ASSERT_TRUE(delayed.write(u).ok);
  ASSERT_TRUE(delayed.advance(0.09));
  EXPECT_EQ(delayed.readbacks()[3], 0.0) << "not before two cycles";
  ASSERT_TRUE(delayed.advance(0.02));
  EXPECT_EQ(delayed.readbacks()[3], 1.0) << "the first write, two cycles on";
  EXPECT_EQ(delayed.setpoints()[3], -0.5);
  ASSERT_TRUE(delayed.advance(0.1));
  EXPECT_EQ(delayed.readbacks()[3], -0.5);

  s.delay_cycles = 0;
  s.kick_limit_mrad = 0.75;
  zs::Machine limited(small(), s);
  u.assign(48, 3.0);
  u[1] = -3.0;
  ASSERT_TRUE(limited.write(u).ok);
  EXPECT_EQ(limited.setpoints()[0], 3.0);
  EXPECT_EQ(limited.readbacks()[0], 0.75);
  EXPECT_EQ(limited.readbacks()[1], -0.75);

  EXPECT_FALSE(limited.advance(-1.0));
  EXPECT_FALSE(limited.advance(std::nan("")));
  EXPECT_EQ(limited.time_s(), 0.0);
}

TEST(Machine, WritesAreRefusedWholeOrAppliedWhole) {
  zs::Machine m(small(), quiet());
  std::vector<double> u(48, 0.2);
  ASSERT_TRUE(m.write(u).ok);
  const std::vector<double> before = m.setpoints();

  EXPECT_FALSE(m.write(std::vector<double>(47, 0.0)).ok);
  std::vector<double> bad(48, 0.3);
  bad[40] = std::nan("");
  const zs::WriteResult nan = m.write(bad);
  EXPECT_FALSE(nan.ok);
  EXPECT_NE(nan.error.find("CH41"), std::string::npos) << nan.error;

  ASSERT_TRUE(m.set_corrector_fault(7, zs::CorrectorFault::refused));
  const zs::WriteResult refused = m.write(std::vector<double>(48, 0.3));
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.error.find("CH08"), std::string::npos) << refused.error;
  EXPECT_EQ(m.setpoints(), before);
  EXPECT_EQ(m.readbacks(), before) << "nothing of a refused write reached a supply";

  // A write that leaves the refusing supply alone goes through.
  std::vector<double> around(48, 0.3);
  around[7] = 0.2;
  EXPECT_TRUE(m.write(around).ok);
  EXPECT_FALSE(m.set_corrector_fault(48, zs::CorrectorFault::stuck));
}

TEST(Machine, StuckSupplyKeepsItsOutput) {
  zs::Machine m(small(), quiet());
  ASSERT_TRUE(m.write(std::vector<double>(48, 0.2)).ok);
  ASSERT_TRUE(m.set_corrector_fault(3, zs::CorrectorFault::stuck));
  ASSERT_TRUE(m.write(std::vector<double>(48, -0.4)).ok);
  ASSERT_TRUE(m.advance(1.0));
  EXPECT_EQ(m.readbacks()[3], 0.2);
  EXPECT_EQ(m.readbacks()[4], -0.4);
  EXPECT_EQ(m.setpoints()[3], -0.4) << "the loop sees it only in the read-back";
}

// Each monitor fault against a twin machine without it: the faulty monitor
// reads as the fault says, every other one exactly as in the twin.
TEST(Machine, MonitorFaults) {
  zs::MachineSettings s;  // with noise and disturbance
  zs::Machine faulty(small(), s), twin(small(), s);
  auto read_both = [&](zs::OrbitReading* f, zs::OrbitReading* t) {
    faulty.advance(1.0);
    twin.advance(1.0);
    *f = faulty.read_orbit();
    *t = twin.read_orbit();
  };
  zs::OrbitReading f, t;
  read_both(&f, &t);
  const double last = f.values[10];

  ASSERT_TRUE(faulty.set_monitor_fault(10, zs::MonitorFault::stuck));
  ASSERT_TRUE(faulty.set_monitor_fault(20, zs::MonitorFault::invalid));
  ASSERT_TRUE(faulty.set_monitor_fault(30, zs::MonitorFault::spike));
  read_both(&f, &t);
  EXPECT_EQ(f.values[10], last);
  EXPECT_TRUE(f.valid[10]) << "a stuck monitor looks valid";
  EXPECT_TRUE(std::isnan(f.values[20]));
  EXPECT_FALSE(f.valid[20]);
  EXPECT_NEAR(f.values[30] - t.values[30], s.spike_mm, 1e-12);
  for (std::size_t i = 0; i < 96; ++i)
    if (i != 10 && i != 20 && i != 30) {
      EXPECT_EQ(f.values[i], t.values[i]) << i;
    }

  read_both(&f, &t);
  EXPECT_EQ(f.values[30], t.values[30]) << "a spike is one reading";
  EXPECT_EQ(f.values[10], last);
  ASSERT_TRUE(faulty.set_monitor_fault(10, zs::MonitorFault::none));
  ASSERT_TRUE(faulty.set_monitor_fault(20, zs::MonitorFault::none));
  read_both(&f, &t);
  EXPECT_EQ(f.values[10], t.values[10]);
  EXPECT_EQ(f.values[20], t.values[20]);
  EXPECT_TRUE(f.valid[20]);
  EXPECT_FALSE(faulty.set_monitor_fault(-1, zs::MonitorFault::invalid));
}

TEST(Machine, RefusesWhatItCannotBe) {
  zs::MachineSettings s;
  s.cycle_s = 0;
  EXPECT_THROW(zs::Machine(small(), s), std::invalid_argument);
  s = zs::MachineSettings{};
  s.noise_mm = std::nan("");
  EXPECT_THROW(zs::Machine(small(), s), std::invalid_argument);
  LabelledMatrix broken = small();
  broken.values.pop_back();
  EXPECT_THROW(zs::Machine(broken, zs::MachineSettings{}), std::invalid_argument);
}

// The shipped files hold the rings with their labels, and stay small.
TEST(Rings, ExampleFilesHoldTheLabelledRings) {
  for (const zs::ExampleRing& ring : {zs::ring96(), zs::ring320()}) {
    LabelledMatrix read;
    const zor_feedback::LabelledReport r = zor_feedback::read_labelled_matrix(data(ring.file).c_str(), &read);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(read.monitors, ring.matrix.monitors);
    EXPECT_EQ(read.correctors, ring.matrix.correctors);
    EXPECT_EQ(read.monitor_planes, ring.matrix.monitor_planes);
    EXPECT_EQ(read.corrector_planes, ring.matrix.corrector_planes);
    EXPECT_EQ(read.units, "mm/mrad");
    double worst = 0;
    for (std::size_t k = 0; k < read.values.size(); ++k)
      worst = std::max(worst, std::fabs(read.values[k] - ring.matrix.values[k]));
    EXPECT_LT(worst, 5e-6) << ring.name;
    EXPECT_LT(std::filesystem::file_size(data(ring.file)), 3u << 20) << ring.file;
  }
  const LabelledMatrix big = zs::ring320().matrix;
  EXPECT_EQ(big.monitors[320], "BPM001.Y");
  EXPECT_EQ(big.correctors[288], "CV001");
  EXPECT_EQ(big.values[5 * 576 + 300], 0.0) << "no coupling in the nominal matrix";
}

namespace {

zs::FeedbackSimulation::Settings ring_settings(const std::string& file) {
  zs::FeedbackSimulation::Settings s;
  s.matrix_file = data(file);
  s.method = zor_feedback::SvdMethod::lapack;
  s.history = 64;
  return s;
}

}  // namespace

// 5 % model error, 10 um noise, gain 0.5: the orbit comes down to about the
// noise in 30 cycles, and no NaN from a failed monitor reaches a corrector.
TEST(FeedbackOnMachine, ConvergesToTheNoiseFloorAndDropsAFailedMonitor) {
  const zs::FeedbackSimulation::Settings s = ring_settings("ring_response.txt");
  zs::FeedbackSimulation sim(s);
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_TRUE(sim.load_and_invert()) << sim.error();
  std::vector<double> rms;
  for (int c = 0; c <= 30; ++c) {
    const zs::CycleRecord r = sim.cycle();
    ASSERT_TRUE(r.skipped.empty()) << r.skipped;
    rms.push_back(r.orbit_rms);
  }
  EXPECT_GT(rms[0], 10 * s.noise_mm);
  EXPECT_LT(rms.back(), 1.5 * s.noise_mm);

  const int bpm = sim.machine().monitor_index("BPM17");
  ASSERT_GE(bpm, 0);
  sim.machine().set_monitor_fault(bpm, zs::MonitorFault::invalid);
  for (int c = 0; c < 10; ++c) {
    const zs::CycleRecord r = sim.cycle();
    ASSERT_TRUE(r.skipped.empty()) << r.skipped;
    EXPECT_EQ(r.invalid, 1);
    for (const double k : sim.kicks()) ASSERT_TRUE(std::isfinite(k));
    EXPECT_LT(r.orbit_rms, 2 * s.noise_mm) << c;
  }
  bool noted = false;
  for (const USTR& u : sim.client_history())
    noted = noted || u.str_data.find("left out of the step, not valid: BPM17") != std::string::npos;
  EXPECT_TRUE(noted);
}

TEST(FeedbackOnMachine, ARefusedWriteOrABlindOrbitChangesNothing) {
  zs::FeedbackSimulation sim(ring_settings("ring_response.txt"));
  ASSERT_TRUE(sim.load_and_invert()) << sim.error();
  sim.cycle();
  const std::vector<double> before = sim.kicks();
  sim.machine().set_corrector_fault(2, zs::CorrectorFault::refused);
  const zs::CycleRecord r = sim.cycle();
  EXPECT_NE(r.skipped.find("CH03 refuses"), std::string::npos) << r.skipped;
  EXPECT_EQ(sim.kicks(), before);
  EXPECT_EQ(sim.machine().setpoints(), before);

  // No valid monitor at all: no step either.
  sim.machine().set_corrector_fault(2, zs::CorrectorFault::none);
  for (int i = 0; i < sim.monitors(); ++i) sim.machine().set_monitor_fault(i, zs::MonitorFault::invalid);
  const zs::CycleRecord blind = sim.cycle();
  EXPECT_EQ(blind.invalid, 96);
  EXPECT_NE(blind.skipped.find("no valid monitor"), std::string::npos) << blind.skipped;
  EXPECT_EQ(sim.kicks(), before);
}

// The model error couples the noise of the weak modes, whose kicks the full
// inverse makes large, into the strong ones: the floor lies above ring96's.
TEST(FeedbackOnMachine, Ring320Converges) {
  const zs::FeedbackSimulation::Settings s = ring_settings("ring320_response.txt");
  zs::FeedbackSimulation sim(s);
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_TRUE(sim.load_and_invert()) << sim.error();
  double first = 0, late = 0;  // late: the mean square of cycles 21..30
  for (int c = 0; c <= 30; ++c) {
    const zs::CycleRecord r = sim.cycle();
    ASSERT_TRUE(r.skipped.empty()) << r.skipped;
    if (c == 0) first = r.orbit_rms;
    if (c > 20) late += r.orbit_rms * r.orbit_rms / 10;
  }
  EXPECT_GT(first, 100 * s.noise_mm);
  EXPECT_LT(std::sqrt(late), 2.5 * s.noise_mm);

  // Without BPM003.X the matrix loses a mode (one monitor alone sees it): the
  // step must not invert what is left of it.
  sim.machine().set_monitor_fault(sim.machine().monitor_index("BPM003.X"), zs::MonitorFault::invalid);
  for (int c = 0; c < 10; ++c) {
    const zs::CycleRecord r = sim.cycle();
    ASSERT_TRUE(r.skipped.empty()) << r.skipped;
    EXPECT_LT(r.corrector_rms, 0.1) << c;
    EXPECT_LT(r.orbit_rms, 5 * s.noise_mm) << c;
  }
}
