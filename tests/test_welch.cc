// Welch's spectrum against scipy.signal.welch (the numbers below were made
// by scipy 1.10 for this signal: two lines and a trend, 200 samples at
// 50 Hz, segments of 64 and of an odd 45), and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "zor_feedback/loop/quality.h"

namespace zor_feedback {
namespace test {
namespace {

// n = arange(200); x = sin(0.3 n) + 0.5 cos(1.7 n) + 0.01 n
// f, p = scipy.signal.welch(x, fs=50.0, nperseg=seg)
const std::vector<double> kScipy64 = {
    4.447786979304642e-05,  0.01014540309253551,    0.087973689532170746,   0.42623246009133287,
    0.12503074636437853,    4.9158781129094634e-05, 3.4361179593729351e-06, 6.9211853471791655e-07,
    2.3260797832755628e-07, 1.1760372892769259e-07, 1.0051666363161718e-07, 1.5679580527665296e-07,
    3.8551131449563468e-07, 1.3349035553129634e-06, 6.9368752906188012e-06, 7.4306339144015473e-05,
    0.0081711858445896145,  0.09369144231795791,    0.057228744205836603,   0.00079344432977419724,
    2.7329621985992471e-05, 3.5274081734063321e-06, 7.8460104979676744e-07, 2.3742170281751506e-07,
    8.7697389217704649e-08, 3.7242662286667861e-08, 1.7526204608895785e-08, 8.9259007265983977e-09,
    4.8528469298177589e-09, 2.8116380535511102e-09, 1.7679647502375086e-09, 1.268777241090729e-09,
    5.6022059943890523e-10};

const std::vector<double> kScipy45 = {
    0.0018233284437119373,  0.036193486938154815,   0.28799991070734748,    0.11280020266897983,
    0.00029470508379046521, 1.4117787383851884e-05, 2.1436609275029514e-06, 6.8221190724624264e-07,
    6.9821020190706322e-07, 2.7243812883669931e-06, 3.201528026062452e-05,  0.010363336704333323,
    0.072067646153619047,   0.029912641605078977,   0.00011502191624996926, 5.3195816465688262e-06,
    7.555793372591181e-07,  1.765494813095898e-07,  5.5336468786371647e-08, 2.1263244569044858e-08,
    9.6735857890953737e-09, 5.2872781985205831e-09, 3.7345013544037258e-09};

std::vector<double> signal() {
  std::vector<double> x(200);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double n = static_cast<double>(i);
    x[i] = std::sin(0.3 * n) + 0.5 * std::cos(1.7 * n) + 0.01 * n;
  }
  return x;
}

void expect_scipy(int segment, const std::vector<double>& ref, double integral) {
  const loop::Spectrum s = loop::welch(signal(), 50.0, segment);
  ASSERT_TRUE(s.ok) << s.error;
  ASSERT_EQ(s.density.size(), ref.size());
  double peak = 0.0;
  for (double v : ref) peak = std::fmax(peak, v);
  for (std::size_t k = 0; k < ref.size(); ++k) {
    EXPECT_NEAR(s.density[k], ref[k], 1e-9 * peak) << "bin " << k;
    EXPECT_DOUBLE_EQ(s.frequency[k], 50.0 * static_cast<double>(k) / segment);
  }
  EXPECT_NEAR(s.integrated, integral, 1e-9 * integral);
}

TEST(Welch, EqualsScipyForEvenAndOddSegments) {
  expect_scipy(64, kScipy64, 0.63240663556717902);
  expect_scipy(45, kScipy45, 0.61292112084308792);
}

TEST(Welch, RefusesWhatItCannotMeasure) {
  const std::vector<double> x = signal();
  EXPECT_FALSE(loop::welch(x, 0.0, 64).ok);
  EXPECT_FALSE(loop::welch(x, std::numeric_limits<double>::infinity(), 64).ok);
  EXPECT_FALSE(loop::welch(x, 50.0, 1).ok);
  EXPECT_FALSE(loop::welch(x, 50.0, 201).ok);
  std::vector<double> bad = x;
  bad[7] = std::numeric_limits<double>::quiet_NaN();
  const loop::Spectrum s = loop::welch(bad, 50.0, 64);
  EXPECT_FALSE(s.ok);
  EXPECT_FALSE(s.error.empty());
  EXPECT_TRUE(s.density.empty());
}

// One plane's orbit spectrum is the mean of its monitors' Welch densities;
// a monitor that missed a reading in the window and the other plane's are
// left out; its running integral ends at their mean variance.
TEST(OrbitSpectrum, TheMeanOfThePlanesMonitorsThatReadThroughout) {
  const std::vector<double> x = signal();
  const std::vector<Plane> planes = {Plane::x, Plane::y, Plane::x, Plane::x};
  std::vector<std::vector<double>> orbits;
  for (std::size_t c = 0; c < x.size(); ++c)
    orbits.push_back({x[c], 100.0 * x[c], 0.5 * x[c] + 0.01 * std::sin(0.9 * static_cast<double>(c)),
                      c == 17 ? std::numeric_limits<double>::quiet_NaN() : 3.0});
  const loop::OrbitSpectrum s = loop::orbit_spectrum(orbits, planes, Plane::x, 50.0, 64);
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(s.monitors, 2);
  std::vector<double> second;
  for (const auto& o : orbits) second.push_back(o[2]);
  const loop::Spectrum a = loop::welch(x, 50.0, 64), b = loop::welch(second, 50.0, 64);
  ASSERT_EQ(s.density.size(), a.density.size());
  for (std::size_t k = 0; k < a.density.size(); ++k) {
    EXPECT_NEAR(s.density[k], 0.5 * (a.density[k] + b.density[k]), 1e-15 * a.density[k] + 1e-300) << k;
    EXPECT_EQ(s.frequency[k], a.frequency[k]);
    if (k > 0) {
      EXPECT_GE(s.integrated[k], s.integrated[k - 1]);
    }
  }
  EXPECT_NEAR(s.integrated.back(), 0.5 * (a.integrated + b.integrated), 1e-12 * a.integrated);

  // Refused: no monitor of the plane read throughout, or orbits of another length.
  orbits[3][1] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(loop::orbit_spectrum(orbits, planes, Plane::y, 50.0, 64).ok);
  orbits[5].pop_back();
  const loop::OrbitSpectrum bad = loop::orbit_spectrum(orbits, planes, Plane::x, 50.0, 64);
  EXPECT_FALSE(bad.ok);
  EXPECT_FALSE(bad.error.empty());
  EXPECT_FALSE(loop::orbit_spectrum({}, planes, Plane::x, 50.0, 64).ok);
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
