// The per-block vocal reduction: per-bin kernels, subtraction, cross-fade and output.
#include "SpectralReduction.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

#include "Exception.h"
#include "KeyChange.h"
#include "Samples.h"
#include "SimdPath.h"
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

// The per-bin kernels below are branch-free loops over plain arrays, so that they vectorise; each
// is built for the baseline and for AVX2 + FMA and called through RunSimdKernel.

// Magnitudes, the sine of the phase difference and the phase test of `count` bins.
// sin(phiL - phiR) is the cross product of the two bins over the product of their magnitudes, so
// the test needs no angle: -P < asin(s) < P is |s| < sin P for 0 <= P <= pi/2. A bin with a zero
// magnitude in either channel keeps both magnitudes whatever the subtraction does, so it fails.
MEROLUNE_SIMD_KERNEL void MeasureBins(const double* reL, const double* imL, const double* reR,
                                      const double* imR, int count, double sinP, double* mL, double* mR,
                                      double* sine, double* pass) {
  for (int j = 0; j < count; ++j) {
    // Magnitudes stay far below the overflow range (|X| < 2^31 for 16-bit input), so the plain
    // square root is as good as hypot here.
    const double l = std::sqrt(reL[j] * reL[j] + imL[j] * imL[j]);
    const double r = std::sqrt(reR[j] * reR[j] + imR[j] * imR[j]);
    const double product = l * r;
    const double s = (imL[j] * reR[j] - reL[j] * imR[j]) / (product > 0 ? product : 1.0);
    mL[j] = l;
    mR[j] = r;
    sine[j] = std::clamp(s, -1.0, 1.0);
    pass[j] = ((product > 0) & (std::fabs(s) < sinP)) ? 1.0 : 0.0;
  }
}

// Plain subtraction: the louder channel keeps the difference, the quieter one becomes 0.
MEROLUNE_SIMD_KERNEL void PlainScales(const double* mL, const double* mR, const double* pass, int count,
                                      double* sL, double* sR) {
  for (int j = 0; j < count; ++j) {
    const double l = std::max(0.0, mL[j] - mR[j]) / mL[j];
    const double r = std::max(0.0, mR[j] - mL[j]) / mR[j];
    sL[j] = pass[j] != 0.0 ? l : 1.0;
    sR[j] = pass[j] != 0.0 ? r : 1.0;
  }
}

// The arguments of the two weights' cosines: the cubed phase measure and the cubed level ratio
// in decades, each clamped to a quarter turn. `phase` holds asin(s) on entry.
MEROLUNE_SIMD_KERNEL void WeightArguments(double* phase, const double* mL, const double* mR, int count,
                                          double* level) {
  for (int j = 0; j < count; ++j) {
    phase[j] = ClampQuarterTurn(Cube(phase[j]));
    level[j] = mL[j] / (mR[j] + kTiny) + kTiny;
  }
}

MEROLUNE_SIMD_KERNEL void CubeAndClamp(double* v, int count) {
  for (int j = 0; j < count; ++j) v[j] = ClampQuarterTurn(Cube(v[j]));
}

// Weighted subtraction: each channel loses g times the other's magnitude, g = 1.2 wm wphi.
MEROLUNE_SIMD_KERNEL void SyntheticScales(const double* mL, const double* mR, const double* pass,
                                          const double* phaseCos, const double* levelCos, int count,
                                          double* sL, double* sR) {
  for (int j = 0; j < count; ++j) {
    const double g = kWeightFactor * std::max(0.0, levelCos[j]) * std::max(0.0, phaseCos[j]);
    const double l = std::max(0.0, mL[j] - g * mR[j]) / mL[j];
    const double r = std::max(0.0, mR[j] - g * mL[j]) / mR[j];
    sL[j] = pass[j] != 0.0 ? l : 1.0;
    sR[j] = pass[j] != 0.0 ? r : 1.0;
  }
}

// The phases stay as they were, so each bin's new value is its old one scaled by the ratio of
// the magnitudes. The enhancer's quarter turn maps (re, im) to (-im, re).
MEROLUNE_SIMD_KERNEL void ScaleBins(const double* scale, const double* re, const double* im, int count,
                                    bool quarterTurn, double* outRe, double* outIm) {
  if (quarterTurn) {
    for (int k = 0; k < count; ++k) {
      outRe[k] = -scale[k] * im[k];
      outIm[k] = scale[k] * re[k];
    }
  } else {
    for (int k = 0; k < count; ++k) {
      outRe[k] = scale[k] * re[k];
      outIm[k] = scale[k] * im[k];
    }
  }
}

// Cross-fades the block's first half with the previous block's second half and rounds to 16-bit
// samples; in inverse mode the output is the input minus the processed signal. With kRemoved,
// `removed` receives the input minus the output, so that the two add up to the input exactly
// before they are limited to 16 bits (all three are whole numbers there). The choices are made
// once per block, not per sample.
template <bool kInverse, bool kRemoved>
MEROLUNE_SIMD_KERNEL void CrossFade(const double* yL, const double* yR, const double* prevL,
                                    const double* prevR, const double* fadeIn, const double* fadeOut,
                                    const double* xL, const double* xR, int count, std::int16_t* out,
                                    std::int16_t* removed) {
  for (int k = 0; k < count; ++k) {
    double l = std::nearbyint(yL[k] * fadeIn[k] + prevL[k] * fadeOut[k]);
    double r = std::nearbyint(yR[k] * fadeIn[k] + prevR[k] * fadeOut[k]);
    if constexpr (kInverse) {
      l = xL[k] - l;
      r = xR[k] - r;
    }
    out[2 * k] = LimitToInt16(l);
    out[2 * k + 1] = LimitToInt16(r);
    if constexpr (kRemoved) {
      removed[2 * k] = LimitToInt16(xL[k] - l);
      removed[2 * k + 1] = LimitToInt16(xR[k] - r);
    }
  }
}

using CrossFadeRoutine = void (*)(const double*, const double*, const double*, const double*, const double*,
                                  const double*, const double*, const double*, int, std::int16_t*,
                                  std::int16_t*);

template <bool kInverse, bool kRemoved>
void RunCrossFade(const double* yL, const double* yR, const double* prevL, const double* prevR,
                  const double* fadeIn, const double* fadeOut, const double* xL, const double* xR, int count,
                  std::int16_t* out, std::int16_t* removed) {
  RunSimdKernel<CrossFade<kInverse, kRemoved>>(yL, yR, prevL, prevR, fadeIn, fadeOut, xL, xR, count, out,
                                               removed);
}

MEROLUNE_SIMD_KERNEL void Deinterleave(const std::int16_t* frames, int count, double* left, double* right) {
  for (int t = 0; t < count; ++t) {
    left[t] = frames[2 * t];
    right[t] = frames[2 * t + 1];
  }
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

void SpectralReducer::ProcessBlock(std::span<const std::int16_t> block, std::span<std::int16_t> out,
                                   std::span<std::int16_t> removed) {
  RunSimdKernel<Deinterleave>(block.data(), n_, xL_.data(), xR_.data());
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
  if (ScalesObserver) ScalesObserver(scaleL_, scaleR_);
  RunSimdKernel<ScaleBins>(scaleL_.data(), waveFFT1_.Re(), waveFFT1_.Im(), h_, false, waveIFFT1_.HalfRe(),
                           waveIFFT1_.HalfIm());
  RunSimdKernel<ScaleBins>(scaleR_.data(), waveFFT2_.Re(), waveFFT2_.Im(), h_, settings_.Enhancer,
                           waveIFFT2_.HalfRe(), waveIFFT2_.HalfIm());
  ExecutePair(waveIFFT1_, waveIFFT2_);
  CrossFadeAndOutput(out, removed);
}

void SpectralReducer::ShiftKeys() {
  ShiftKey(settings_.KeySemitones, waveFFT1_);
  ShiftKey(settings_.KeySemitones, waveFFT2_);
}

// For every bin in range: the phase test, then the plain or weighted subtraction, expressed as the
// factor by which each channel's magnitude shrinks. The arcsine, logarithm and cosines run over
// whole chunks through the vector math library.
void SpectralReducer::AnalyseAndSubtract() {
  double* mL = work_.data();
  double* mR = mL + kChunk;
  double* sine = mR + kChunk;
  double* phase = sine + kChunk;
  double* level = phase + kChunk;
  double* pass = level + kChunk;

  for (int k0 = kLow_; k0 <= kHigh_; k0 += kChunk) {
    const int count = std::min(kChunk, kHigh_ + 1 - k0);
    RunSimdKernel<MeasureBins>(waveFFT1_.Re() + k0, waveFFT1_.Im() + k0, waveFFT2_.Re() + k0,
                               waveFFT2_.Im() + k0, count, sinP_, mL, mR, sine, pass);
    double* sL = scaleL_.data() + k0;
    double* sR = scaleR_.data() + k0;
    if (!settings_.Synthetic) {
      RunSimdKernel<PlainScales>(mL, mR, pass, count, sL, sR);
      continue;
    }
    VectorAsin(sine, phase, count);
    RunSimdKernel<WeightArguments>(phase, mL, mR, count, level);
    VectorLog10(level, level, count);
    RunSimdKernel<CubeAndClamp>(level, count);
    VectorCos(phase, phase, count);
    VectorCos(level, level, count);
    RunSimdKernel<SyntheticScales>(mL, mR, pass, phase, level, count, sL, sR);
  }
}

void SpectralReducer::CrossFadeAndOutput(std::span<std::int16_t> out, std::span<std::int16_t> removed) {
  const double* yL = waveIFFT1_.OutRe();
  const double* yR = waveIFFT2_.OutRe();
  // Indexed by inverse mode and by whether the removed part is wanted.
  constexpr CrossFadeRoutine kCrossFades[2][2] = {{RunCrossFade<false, false>, RunCrossFade<false, true>},
                                                  {RunCrossFade<true, false>, RunCrossFade<true, true>}};
  kCrossFades[settings_.Inverse][!removed.empty()](yL, yR, prevL_.data(), prevR_.data(), fadeIn_.data(),
                                                   fadeOut_.data(), xL_.data(), xR_.data(), h_, out.data(),
                                                   removed.data());
  std::copy(yL + h_, yL + n_, prevL_.begin());
  std::copy(yR + h_, yR + n_, prevR_.begin());
}

}  // namespace merolune
