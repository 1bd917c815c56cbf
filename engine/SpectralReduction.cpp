#include "SpectralReduction.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

#include "Exception.h"
#include "Utils.h"
#include "VectorMath.h"

namespace merolune {

namespace {

constexpr double kWeightFactor = 1.2;
constexpr double kTiny = 1e-300;
constexpr double kQuarterTurn = std::numbers::pi / 2;
// The per-bin math runs over chunks of this many bins, so its scratch stays in the L1 cache.
constexpr int kChunk = 256;

double Cube(double v) { return v * v * v; }

double ClampQuarterTurn(double v) { return std::clamp(v, -kQuarterTurn, kQuarterTurn); }

std::int16_t ToSample(double v) {
  return static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0));
}

}  // namespace

SpectralReducer::SpectralReducer(int blockSize, const ReductionSettings& settings, double sampleRate)
    : n_(blockSize), h_(blockSize / 2), settings_(settings), sampleRate_(sampleRate) {
  // The cross-fade divides by H - 1, so a block needs at least 4 frames.
  if (blockSize < 4 || !std::has_single_bit(static_cast<unsigned>(blockSize))) throw Exception(kNotPowerOfRadix);

  for (TWaveFFT* t : {&waveFFT1_, &waveFFT2_}) {
    t->SetRadix(0);
    t->SetCount(n_);
    t->SetSamplingRate(sampleRate_);
    t->SetWindowType(TWindowType::wtRECTANGULAR);
    t->SetStabilize(false);
  }
  waveIFFT1_.SetCount(h_);
  waveIFFT2_.SetCount(h_);

  if (settings_.RangeRestricted) {
    // The same expression as the transform's bin frequency, so the ends fall exactly where it says.
    kLow_ = h_;
    kHigh_ = -1;
    for (int k = 0; k < h_; ++k) {
      const double f = waveFFT1_.Frequency(k);
      if (f >= settings_.LowHz && f <= settings_.HighHz) {
        kLow_ = std::min(kLow_, k);
        kHigh_ = k;
      }
    }
  } else {
    kLow_ = 0;
    kHigh_ = h_ - 1;
  }
  sinP_ = std::sin(settings_.PThreshold);

  // The fade weights depend only on k and H; sin^2 + cos^2 = 1, from all-previous at k = 0 to
  // all-current at k = H - 1.
  fadeIn_.resize(h_);
  fadeOut_.resize(h_);
  for (int k = 0; k < h_; ++k) {
    const long double theta = k * (std::numbers::pi_v<long double> / 2) / (h_ - 1);
    const long double s = std::sin(theta), c = std::cos(theta);
    fadeIn_[k] = static_cast<double>(s * s);
    fadeOut_[k] = static_cast<double>(c * c);
  }
  xL_.assign(n_, 0.0);
  xR_.assign(n_, 0.0);
  prevL_.assign(h_, 0.0);
  prevR_.assign(h_, 0.0);
  scaleL_.assign(h_, 1.0);
  scaleR_.assign(h_, 1.0);
  work_.assign(6 * kChunk, 0.0);
}

void SpectralReducer::ProcessBlock(std::span<const std::int16_t> block, std::span<std::int16_t> out) {
  for (int t = 0; t < n_; ++t) {
    xL_[t] = block[2 * t];
    xR_[t] = block[2 * t + 1];
  }
  waveFFT1_.SetData(xL_);
  waveFFT2_.SetData(xR_);
  ExecutePair(waveFFT1_, waveFFT2_);
  if (settings_.KeySemitones != 0) ShiftKeys();

  std::fill(scaleL_.begin(), scaleL_.end(), 1.0);
  std::fill(scaleR_.begin(), scaleR_.end(), 1.0);
  if (!settings_.SubtractionBypass) {
    if (BeforeSubtraction) BeforeSubtraction();
    AnalyseAndSubtract();
  }

  // The phases stay as they were, so each bin's new value is its old one scaled by the ratio of
  // the magnitudes; the enhancer's quarter turn of the right channel maps (re, im) to (-im, re).
  const double* reL = waveFFT1_.Re();
  const double* imL = waveFFT1_.Im();
  const double* reR = waveFFT2_.Re();
  const double* imR = waveFFT2_.Im();
  double* hReL = waveIFFT1_.HalfRe();
  double* hImL = waveIFFT1_.HalfIm();
  double* hReR = waveIFFT2_.HalfRe();
  double* hImR = waveIFFT2_.HalfIm();
  for (int k = 0; k < h_; ++k) {
    hReL[k] = scaleL_[k] * reL[k];
    hImL[k] = scaleL_[k] * imL[k];
  }
  if (settings_.Enhancer) {
    for (int k = 0; k < h_; ++k) {
      hReR[k] = -scaleR_[k] * imR[k];
      hImR[k] = scaleR_[k] * reR[k];
    }
  } else {
    for (int k = 0; k < h_; ++k) {
      hReR[k] = scaleR_[k] * reR[k];
      hImR[k] = scaleR_[k] * imR[k];
    }
  }
  ExecutePair(waveIFFT1_, waveIFFT2_);
  CrossFadeAndOutput(out);
}

void SpectralReducer::ShiftKeys() {
  ShiftKey(settings_.KeySemitones, waveFFT1_);
  ShiftKey(settings_.KeySemitones, waveFFT2_);
}

// For every bin in range: the phase test, then the plain or weighted subtraction, expressed as the
// factor by which each channel's magnitude shrinks. sin(phiL - phiR) is the cross product of the
// two bins over the product of their magnitudes, so the test needs no angle; the arcsine is
// taken only for the weighted subtraction's phase weight. A bin with a zero magnitude in either
// channel keeps both magnitudes whatever the test says, so it is left out.
void SpectralReducer::AnalyseAndSubtract() {
  const double* reL = waveFFT1_.Re();
  const double* imL = waveFFT1_.Im();
  const double* reR = waveFFT2_.Re();
  const double* imR = waveFFT2_.Im();
  double* mL = work_.data();
  double* mR = mL + kChunk;
  double* sine = mR + kChunk;
  double* phaseArg = sine + kChunk;
  double* levelArg = phaseArg + kChunk;
  double* pass = levelArg + kChunk;

  for (int k0 = kLow_; k0 <= kHigh_; k0 += kChunk) {
    const int count = std::min(kChunk, kHigh_ + 1 - k0);
    for (int j = 0; j < count; ++j) {
      const int k = k0 + j;
      // Magnitudes stay far below the overflow range (|X| < 2^31 for 16-bit input), so the
      // plain square root is as good as hypot here.
      const double l = std::sqrt(reL[k] * reL[k] + imL[k] * imL[k]);
      const double r = std::sqrt(reR[k] * reR[k] + imR[k] * imR[k]);
      const double product = l * r;
      const double s = product > 0 ? (imL[k] * reR[k] - reL[k] * imR[k]) / product : 1.0;
      mL[j] = l;
      mR[j] = r;
      sine[j] = std::clamp(s, -1.0, 1.0);
      pass[j] = product > 0 && std::fabs(s) < sinP_ ? 1.0 : 0.0;
    }
    double* sL = scaleL_.data() + k0;
    double* sR = scaleR_.data() + k0;
    if (!settings_.Synthetic) {
      for (int j = 0; j < count; ++j) {
        if (pass[j] == 0.0) continue;
        sL[j] = mL[j] > mR[j] ? (mL[j] - mR[j]) / mL[j] : 0.0;
        sR[j] = mR[j] > mL[j] ? (mR[j] - mL[j]) / mR[j] : 0.0;
      }
      continue;
    }
    VectorAsin(sine, phaseArg, count);
    for (int j = 0; j < count; ++j) {
      phaseArg[j] = ClampQuarterTurn(Cube(phaseArg[j]));
      levelArg[j] = mL[j] / (mR[j] + kTiny) + kTiny;
    }
    VectorLog10(levelArg, levelArg, count);
    for (int j = 0; j < count; ++j) levelArg[j] = ClampQuarterTurn(Cube(levelArg[j]));
    VectorCos(phaseArg, phaseArg, count);
    VectorCos(levelArg, levelArg, count);
    for (int j = 0; j < count; ++j) {
      if (pass[j] == 0.0) continue;
      const double g = kWeightFactor * std::max(0.0, levelArg[j]) * std::max(0.0, phaseArg[j]);
      sL[j] = std::max(0.0, mL[j] - g * mR[j]) / mL[j];
      sR[j] = std::max(0.0, mR[j] - g * mL[j]) / mR[j];
    }
  }
}

void SpectralReducer::CrossFadeAndOutput(std::span<std::int16_t> out) {
  const double* yL = waveIFFT1_.OutRe();
  const double* yR = waveIFFT2_.OutRe();
  for (int k = 0; k < h_; ++k) {
    const double fadedL = std::nearbyint(yL[k] * fadeIn_[k] + prevL_[k] * fadeOut_[k]);
    const double fadedR = std::nearbyint(yR[k] * fadeIn_[k] + prevR_[k] * fadeOut_[k]);
    if (settings_.Inverse) {
      out[2 * k] = ToSample(std::nearbyint(xL_[k] - fadedL));
      out[2 * k + 1] = ToSample(std::nearbyint(xR_[k] - fadedR));
    } else {
      out[2 * k] = ToSample(fadedL);
      out[2 * k + 1] = ToSample(fadedR);
    }
  }
  std::copy(yL + h_, yL + n_, prevL_.begin());
  std::copy(yR + h_, yR + n_, prevR_.begin());
}

}  // namespace merolune
