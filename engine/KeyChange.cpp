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

// a - 2 pi round(a / 2 pi): the angle in [-pi, pi], cheaply, for the phase vocoder's every bin.
double PrincipalAngle(double a) { return a - 2.0 * std::numbers::pi * std::nearbyint(a / (2.0 * std::numbers::pi)); }

}  // namespace

PhaseVocoderShift::PhaseVocoderShift(int bins, int hop, int semitones)
    : bins_(bins),
      ratio_(std::pow(2.0, semitones / 12.0)),
      expected_(2.0 * std::numbers::pi * hop / (2.0 * (bins - 1))) {
  for (auto* v : {&lastPhase_, &sumPhase_, &magL_, &magR_, &offL_, &offR_, &freq_})
    v->assign(static_cast<std::size_t>(bins_), 0.0);
}

void PhaseVocoderShift::Shift(double* reL, double* imL, double* reR, double* imR) {
  // Per input bin: the channels' magnitudes, their phase offsets from the mid signal, and the mid
  // signal's frequency in phase advance per hop, measured from the previous frame.
  for (int k = 0; k < bins_; ++k) {
    const auto u = static_cast<std::size_t>(k);
    const double mid = std::atan2(imL[k] + imR[k], reL[k] + reR[k]);
    magL_[u] = std::hypot(reL[k], imL[k]);
    magR_[u] = std::hypot(reR[k], imR[k]);
    offL_[u] = std::atan2(imL[k], reL[k]) - mid;
    offR_[u] = std::atan2(imR[k], reR[k]) - mid;
    const double advance = k * expected_;
    freq_[u] = advance + PrincipalAngle(mid - lastPhase_[u] - advance);
    lastPhase_[u] = mid;
  }
  // Per output bin: the magnitudes of input bin k / ratio, its frequency times the ratio.
  for (int k = 0; k < bins_; ++k) {
    const auto u = static_cast<std::size_t>(k);
    const double from = k / ratio_;
    const auto low = static_cast<int>(std::floor(from));
    double ml = 0, mr = 0;
    if (low + 1 < bins_) {
      const double w = from - low;
      const auto a = static_cast<std::size_t>(low), b = static_cast<std::size_t>(low + 1);
      ml = (1 - w) * magL_[a] + w * magL_[b];
      mr = (1 - w) * magR_[a] + w * magR_[b];
      const std::size_t near = w < 0.5 ? a : b;
      sumPhase_[u] = PrincipalAngle(sumPhase_[u] + ratio_ * freq_[near]);
      reL[k] = ml * std::cos(sumPhase_[u] + offL_[near]);
      imL[k] = ml * std::sin(sumPhase_[u] + offL_[near]);
      reR[k] = mr * std::cos(sumPhase_[u] + offR_[near]);
      imR[k] = mr * std::sin(sumPhase_[u] + offR_[near]);
    } else {
      reL[k] = imL[k] = reR[k] = imR[k] = 0.0;
    }
  }
}

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
