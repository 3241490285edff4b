// quality.h - how well the loop holds the orbit: the power spectrum of an
// orbit signal over a window and its integral.
#ifndef ZOR_FEEDBACK_LOOP_QUALITY_H
#define ZOR_FEEDBACK_LOOP_QUALITY_H

#include <string>
#include <vector>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace loop {

// A one-sided power spectral density by Welch's method: segments of
// `segment` samples overlapping by half, each with its mean removed and a
// periodic Hann window, the periodograms averaged (density scaling, units^2
// per Hz). The same numbers as scipy.signal.welch(x, fs, nperseg=segment).
struct Spectrum {
  bool ok = false;
  std::string error;
  std::vector<double> frequency;  // Hz, 0 .. fs/2
  std::vector<double> density;    // one per frequency
  int segments = 0;
  // The integral of the density over frequency (sum * df): the variance of
  // the signal the window kept.
  double integrated = 0.0;
};

// Refused: a rate not finite or <= 0, a segment < 2, fewer samples than a
// segment, a sample not finite.
Spectrum welch(const std::vector<double>& x, double rate, int segment);

// The orbit's spectrum over a window of cycles, for one plane: the Welch
// density of each monitor of the plane that read a finite value in every
// cycle of the window, averaged over those monitors (units^2 per Hz), and
// its running integral from 0 Hz (units^2: the monitors' mean variance up to
// each frequency; the last value is the mean of their `integrated`).
struct OrbitSpectrum {
  bool ok = false;
  std::string error;
  std::vector<double> frequency, density, integrated;
  int monitors = 0;  // averaged
};
// `orbits`: one orbit per cycle, oldest first, each one value per monitor;
// `planes`: one per monitor. Refused as welch is, for orbits of another
// length than `planes`, and when no monitor of the plane read throughout.
OrbitSpectrum orbit_spectrum(const std::vector<std::vector<double>>& orbits, const std::vector<Plane>& planes,
                             Plane plane, double rate, int segment);

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_QUALITY_H
