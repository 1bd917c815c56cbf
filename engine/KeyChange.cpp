// The key change and the enhancer's phase turn, applied to one channel's spectrum.

#include "KeyChange.h"

#include <cmath>
#include <numbers>
#include <vector>

#include "Exception.h"
#include "WaveFFT.h"

namespace merolune {

namespace {

// Marks a bin of the key change that no source bin reached; a real magnitude this small is
// treated the same way, as silence to be filled from the neighbours.
constexpr double kGapSentinel = 1e-100;
constexpr double kGapTolerance = 1e-16;

}  // namespace

void ShiftKey(int semitones, TWaveFFT& transform) {
  const int half = transform.Count() / 2;
  if (half <= 0) return;
  const double ratio = std::pow(2.0, semitones / 12.0);

  // Called for every block while a key is set: the work arrays are kept between calls.
  thread_local std::vector<double> magnitude, phase;
  magnitude.assign(static_cast<std::size_t>(half), kGapSentinel);
  phase.assign(static_cast<std::size_t>(half), 0.0);
  for (int b = 0; b < half; ++b) {
    // nearbyint in the default rounding mode rounds halves to even.
    const double target = std::nearbyint(b * ratio);
    if (target >= half) continue;
    const auto c = static_cast<std::size_t>(target);
    magnitude[c] = transform.Magnitude(b);
    phase[c] = transform.Phase(b);
  }

  for (int j = 0; j < half; ++j) {
    const auto i = static_cast<std::size_t>(j);
    if (j > 0 && j < half - 1 && std::fabs(magnitude[i] - kGapSentinel) <= kGapTolerance) {
      magnitude[i] = (magnitude[i - 1] + magnitude[i + 1]) / 2;
      phase[i] = (phase[i - 1] + phase[i + 1]) / 2;
    }
    transform.SetBin(j, {magnitude[i] * std::cos(phase[i]), magnitude[i] * std::sin(phase[i])});
  }
}

void RotatePhases(std::span<double> phases, int highest) {
  if (highest < 0) return;
  if (static_cast<std::size_t>(highest) >= phases.size()) throw Exception(kIndexOutOfRange);
  for (std::size_t k = 0; k <= static_cast<std::size_t>(highest); ++k) {
    phases[k] = WrapAngle(phases[k] + std::numbers::pi / 2);
  }
}

}  // namespace merolune
