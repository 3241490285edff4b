// Welch's averaged periodogram, written out (a plain DFT per segment: the
// windows are short and the loop has no FFT dependency).
#include <cmath>

#include "zor_feedback/loop/quality.h"

namespace zor_feedback {
namespace loop {
namespace {

const double kPi = std::acos(-1.0);

std::string welch_problem(const std::vector<double>& x, double rate, int segment) {
  if (!std::isfinite(rate) || rate <= 0.0) return "the sample rate must be finite and > 0";
  if (segment < 2) return "a segment needs at least 2 samples";
  if (x.size() < static_cast<std::size_t>(segment)) return "fewer samples than one segment";
  for (double v : x)
    if (!std::isfinite(v)) return "a sample is not finite";
  return {};
}

// One segment's windowed, detrended periodogram added into `acc`.
void add_segment(const double* s, const std::vector<double>& w, std::vector<double>& acc) {
  const std::size_t n = w.size();
  double mean = 0.0;
  for (std::size_t i = 0; i < n; ++i) mean += s[i];
  mean /= static_cast<double>(n);
  for (std::size_t k = 0; k < acc.size(); ++k) {
    double re = 0.0, im = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double a = -2.0 * kPi * static_cast<double>((k * i) % n) / static_cast<double>(n);
      const double v = (s[i] - mean) * w[i];
      re += v * std::cos(a);
      im += v * std::sin(a);
    }
    acc[k] += re * re + im * im;
  }
}

}  // namespace

Spectrum welch(const std::vector<double>& x, double rate, int segment) {
  Spectrum out;
  out.error = welch_problem(x, rate, segment);
  if (!out.error.empty()) return out;
  const std::size_t n = static_cast<std::size_t>(segment), step = n - n / 2, bins = n / 2 + 1;
  std::vector<double> w(n);
  double wss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(n));
    wss += w[i] * w[i];
  }
  out.density.assign(bins, 0.0);
  for (std::size_t start = 0; start + n <= x.size(); start += step, ++out.segments)
    add_segment(x.data() + start, w, out.density);
  const double df = rate / static_cast<double>(n);
  for (std::size_t k = 0; k < bins; ++k) {
    // One-sided: every bin but 0 and (even n) Nyquist holds its mirror too.
    const bool single = k == 0 || (n % 2 == 0 && k == bins - 1);
    out.density[k] *= (single ? 1.0 : 2.0) / (rate * wss * out.segments);
    out.frequency.push_back(static_cast<double>(k) * df);
    out.integrated += out.density[k] * df;
  }
  out.ok = true;
  return out;
}

}  // namespace loop
}  // namespace zor_feedback
