// The slow long-double model of the FFT engine and the per-block reduction.
#include "Reference.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace merolune::test {
namespace {

constexpr long double kPi = std::numbers::pi_v<long double>;
constexpr long double kTwoPi = 2.0L * kPi;
constexpr long double kQuarterTurn = kPi / 2.0L;

constexpr long double kWeightFactor = 1.2L;
constexpr long double kTiny = 1e-300L;
constexpr long double kGapSentinel = 1e-100L;
constexpr long double kGapTolerance = 1e-16L;

std::size_t U(int i) { return static_cast<std::size_t>(i); }

bool IsPowerOfTwo(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

void CheckSizes(const std::vector<long double>& re, const std::vector<long double>& im) {
  if (re.size() != im.size()) throw std::invalid_argument("re and im differ in length");
  if (re.size() > 1 && !IsPowerOfTwo(re.size())) throw std::invalid_argument("length not a power of two");
}

// The permutation shared by both transforms, in the incremental form j := j xor k ... that the
// transforms use (no table).
void BitReverse(std::vector<long double>& x, std::vector<long double>& y) {
  const std::size_t n = x.size();
  if (n < 4) return;
  std::size_t j = 0;
  for (std::size_t i = 1; i <= n - 2; ++i) {
    std::size_t k = n / 2;
    j ^= k;
    while (k > j) {
      k /= 2;
      j ^= k;
    }
    if (i < j) {
      std::swap(x[i], x[j]);
      std::swap(y[i], y[j]);
    }
  }
}

// Checked before anything is sized with it.
int CheckedBlockSize(int blockSize) {
  if (blockSize < 4 || !IsPowerOfTwo(U(blockSize)))
    throw std::invalid_argument("block size not a power of two");
  return blockSize;
}

// x cubed: an integer power, so the sign is kept.
long double Cube(long double x) { return x * x * x; }

long double Clamp(long double x, long double lo, long double hi) { return std::min(std::max(x, lo), hi); }

}  // namespace

void ReferenceForward(std::vector<long double>& x, std::vector<long double>& y) {
  CheckSizes(x, y);
  const std::size_t n = x.size();
  if (n <= 1) return;

  // Split-radix L-shaped butterflies, from the full length down to length 4. The angle step is
  // kept in long double: the reference wants the exact transform, not the double-rounded step.
  long double e = -kTwoPi / static_cast<long double>(n);
  std::size_t L = n;
  while (L > 2) {
    const std::size_t Q = L / 4;
    for (std::size_t j = 0; j < Q; ++j) {
      const long double a1 = static_cast<long double>(j) * e;
      const long double a3 = static_cast<long double>(j) * 3.0L * e;
      const long double cc1 = std::cos(a1);
      const long double ss1 = std::sin(a1);
      const long double cc3 = std::cos(a3);
      const long double ss3 = std::sin(a3);
      for (std::size_t s = L; s <= n; s *= 4) {
        for (std::size_t i0 = s - L + j; i0 < n; i0 += 2 * s) {
          const std::size_t i1 = i0 + Q;
          const std::size_t i2 = i1 + Q;
          const std::size_t i3 = i2 + Q;
          const long double r1 = x[i0] - x[i2];
          const long double s1 = y[i0] - y[i2];
          x[i0] += x[i2];
          y[i0] += y[i2];
          const long double r2 = x[i3] - x[i1];
          const long double s2 = y[i3] - y[i1];
          x[i1] += x[i3];
          y[i1] += y[i3];
          long double a = r1 - s2;
          long double b = s1 + r2;
          x[i2] = cc1 * a - ss1 * b;
          y[i2] = cc1 * b + ss1 * a;
          a = r1 + s2;
          b = s1 - r2;
          x[i3] = cc3 * a - ss3 * b;
          y[i3] = cc3 * b + ss3 * a;
        }
      }
    }
    e *= 2.0L;
    L /= 2;
  }

  // Length-2 butterflies.
  for (std::size_t s = 2; s <= n; s *= 4) {
    for (std::size_t i0 = s - 2; i0 < n; i0 += 2 * s) {
      const long double xs = x[i0] + x[i0 + 1];
      const long double xd = x[i0] - x[i0 + 1];
      x[i0] = xs;
      x[i0 + 1] = xd;
      const long double ys = y[i0] + y[i0 + 1];
      const long double yd = y[i0] - y[i0 + 1];
      y[i0] = ys;
      y[i0 + 1] = yd;
    }
  }

  BitReverse(x, y);
}

void ReferenceInverse(std::vector<long double>& x, std::vector<long double>& y) {
  CheckSizes(x, y);
  const std::size_t n = x.size();
  if (n == 0) return;
  BitReverse(x, y);
  long double theta = kTwoPi;  // the inverse form's positive full turn
  for (std::size_t m = 1; 2 * m <= n; m *= 2) {
    theta /= 2.0L;
    for (std::size_t k = 0; k < m; ++k) {
      const long double c = std::cos(static_cast<long double>(k) * theta);
      const long double s = std::sin(static_cast<long double>(k) * theta);
      for (std::size_t t = k; t < n; t += 2 * m) {
        const long double tr = c * x[t + m] - s * y[t + m];
        const long double ti = c * y[t + m] + s * x[t + m];
        x[t + m] = x[t] - tr;
        y[t + m] = y[t] - ti;
        x[t] += tr;
        y[t] += ti;
      }
    }
  }
  const long double scale = 1.0L / static_cast<long double>(n);
  for (std::size_t t = 0; t < n; ++t) {
    x[t] *= scale;
    y[t] *= scale;
  }
}

std::vector<long double> ReferenceHalfInverse(const std::vector<long double>& halfRe,
                                              const std::vector<long double>& halfIm) {
  const std::size_t n = halfRe.size();
  if (halfIm.size() != n) throw std::invalid_argument("half spectrum parts differ in length");
  std::vector<long double> re(2 * n, 0.0L), im(2 * n, 0.0L);
  for (std::size_t i = 0; i < n; ++i) {
    re[i] = halfRe[i];
    im[i] = halfIm[i];
  }
  for (std::size_t m = 1; m < n; ++m) {
    re[2 * n - m] = halfRe[m];
    im[2 * n - m] = -halfIm[m];
  }
  // re[n], im[n]: the Nyquist bin has no source in the half spectrum and stays 0.
  ReferenceInverse(re, im);
  return re;
}

void NaiveDft(std::vector<long double>& re, std::vector<long double>& im, bool inverse) {
  if (re.size() != im.size()) throw std::invalid_argument("re and im differ in length");
  const std::size_t n = re.size();
  if (n == 0) return;
  // Twiddles by exact angle index, so no angle grows large and loses precision.
  std::vector<long double> c(n), s(n);
  for (std::size_t m = 0; m < n; ++m) {
    const long double angle = kTwoPi * static_cast<long double>(m) / static_cast<long double>(n);
    c[m] = std::cos(angle);
    s[m] = inverse ? std::sin(angle) : -std::sin(angle);
  }
  std::vector<long double> outRe(n), outIm(n);
  for (std::size_t k = 0; k < n; ++k) {
    long double sr = 0.0L;
    long double si = 0.0L;
    std::size_t m = 0;  // k * t mod n
    for (std::size_t t = 0; t < n; ++t) {
      sr += re[t] * c[m] - im[t] * s[m];
      si += re[t] * s[m] + im[t] * c[m];
      m += k;
      if (m >= n) m -= n;
    }
    outRe[k] = inverse ? sr / static_cast<long double>(n) : sr;
    outIm[k] = inverse ? si / static_cast<long double>(n) : si;
  }
  re = std::move(outRe);
  im = std::move(outIm);
}

long double ReferenceWrapAngle(long double x) {
  const long double s = std::sin(x);
  const long double sign = s > 0.0L ? 1.0L : (s < 0.0L ? -1.0L : 0.0L);
  return sign * std::acos(std::cos(x));
}

long double ReferenceNearest(long double x) {
  const long double f = std::floor(x);
  const long double frac = x - f;
  if (frac > 0.5L) return f + 1.0L;
  if (frac < 0.5L) return f;
  return std::fmod(f, 2.0L) == 0.0L ? f : f + 1.0L;
}

std::int16_t ReferenceClampToInt16(long double wholeNumber) {
  if (wholeNumber > 32767.0L) return 32767;
  if (wholeNumber < -32768.0L) return -32768;
  return static_cast<std::int16_t>(wholeNumber);
}

double ReferenceKeyRatio(int semitones) {
  return static_cast<double>(std::pow(2.0L, static_cast<long double>(semitones) / 12.0L));
}

ReferenceSpectrum::ReferenceSpectrum(int count, double samplingRate)
    : count_(count), samplingRate_(samplingRate), re_(U(count), 0.0L), im_(U(count), 0.0L) {}

void ReferenceSpectrum::Execute(const std::vector<long double>& samples) {
  if (samples.size() != U(count_)) throw std::invalid_argument("block length differs from Count");
  // Rectangular window: every weight is 1.
  re_ = samples;
  std::fill(im_.begin(), im_.end(), 0.0L);
  ReferenceForward(re_, im_);
}

long double ReferenceSpectrum::Magnitude(int k) const { return std::hypot(re_[U(k)], im_[U(k)]); }

long double ReferenceSpectrum::Phase(int k) const { return std::atan2(im_[U(k)], re_[U(k)]); }

long double ReferenceSpectrum::Frequency(int k) const {
  const long double rate = samplingRate_;
  const long double count = static_cast<long double>(count_);
  if (k <= count_ / 2 - 1) return static_cast<long double>(k) * rate / count;
  return static_cast<long double>(k - count_) * rate / count;
}

void ReferenceSpectrum::SetBin(int k, long double re, long double im) {
  re_[U(k)] = re;
  im_[U(k)] = im;
}

void ReferenceShiftKey(int semitones, ReferenceSpectrum& transform) {
  const int h = transform.Count() / 2;
  const long double ratio = ReferenceKeyRatio(semitones);
  std::vector<long double> m(U(h), kGapSentinel), phi(U(h), 0.0L);
  for (int b = 0; b < h; ++b) {
    const long double c = ReferenceNearest(static_cast<long double>(b) * ratio);
    if (c < static_cast<long double>(h)) {
      const std::size_t ci = static_cast<std::size_t>(c);
      m[ci] = transform.Magnitude(b);
      phi[ci] = transform.Phase(b);
    }
  }
  for (int j = 0; j < h; ++j) {
    const std::size_t ju = U(j);
    if (0 < j && j < h - 1 && std::fabs(m[ju] - kGapSentinel) <= kGapTolerance) {
      // Plain means, angles included; m[j + 1] may itself still be the sentinel.
      m[ju] = (m[ju - 1] + m[ju + 1]) / 2.0L;
      phi[ju] = (phi[ju - 1] + phi[ju + 1]) / 2.0L;
    }
    transform.SetBin(j, m[ju] * std::cos(phi[ju]), m[ju] * std::sin(phi[ju]));
  }
}

ReferenceReducer::ReferenceReducer(int blockSize, const ReductionSettings& settings, double sampleRate)
    : n_(CheckedBlockSize(blockSize)),
      h_(blockSize / 2),
      settings_(settings),
      sampleRate_(sampleRate),
      fftL_(blockSize, sampleRate),
      fftR_(blockSize, sampleRate),
      pL_(U(blockSize), 0.0L),
      pR_(U(blockSize), 0.0L) {}

std::vector<std::int16_t> ReferenceReducer::ProcessBlock(const std::vector<std::int16_t>& block) {
  const std::size_t n = U(n_);
  const std::size_t h = U(h_);
  if (block.size() != 2 * n) throw std::invalid_argument("block must hold N frames");

  std::vector<long double> xL(n), xR(n);
  for (std::size_t t = 0; t < n; ++t) {
    xL[t] = block[2 * t];
    xR[t] = block[2 * t + 1];
  }

  // 1. Forward transforms, left then right.
  fftL_.Execute(xL);
  fftR_.Execute(xR);

  // 2. Key change, whenever the settings carry one.
  if (settings_.KeySemitones != 0) {
    ReferenceShiftKey(settings_.KeySemitones, fftL_);
    ReferenceShiftKey(settings_.KeySemitones, fftR_);
  }

  // 3. The half spectra; the Nyquist bin and the upper half are not read.
  std::vector<long double> mL(h), mR(h), phiL(h), phiR(h);
  for (int k = 0; k < h_; ++k) {
    mL[U(k)] = fftL_.Magnitude(k);
    phiL[U(k)] = fftL_.Phase(k);
    mR[U(k)] = fftR_.Magnitude(k);
    phiR[U(k)] = fftR_.Phase(k);
  }

  // 4. Subtraction, bin by bin.
  if (!settings_.SubtractionBypass) {
    const long double p = settings_.PThreshold;
    for (int k = 0; k < h_; ++k) {
      const std::size_t ku = U(k);
      const long double ml = mL[ku];
      const long double mr = mR[ku];
      if (settings_.RangeRestricted) {
        const long double f = fftL_.Frequency(k);
        if (f < static_cast<long double>(settings_.LowHz) || f > static_cast<long double>(settings_.HighHz))
          continue;
      }
      const long double d = std::asin(std::sin(phiL[ku] - phiR[ku]));
      if (!(-p < d && d < p)) continue;
      if (!settings_.Synthetic) {
        mL[ku] = std::max(0.0L, ml - mr);
        mR[ku] = std::max(0.0L, mr - ml);
      } else {
        const long double wPhase = std::max(0.0L, std::cos(Clamp(Cube(d), -kQuarterTurn, kQuarterTurn)));
        const long double rho = std::log10(ml / (mr + kTiny) + kTiny);
        const long double wLevel = std::max(0.0L, std::cos(Clamp(Cube(rho), -kQuarterTurn, kQuarterTurn)));
        const long double g = kWeightFactor * wLevel * wPhase;
        mL[ku] = std::max(0.0L, ml - g * mr);
        mR[ku] = std::max(0.0L, mr - g * ml);
      }
    }
  }

  // 5. Enhancer: a quarter turn on every right-channel phase.
  if (settings_.Enhancer) {
    for (std::size_t k = 0; k < h; ++k) phiR[k] = ReferenceWrapAngle(phiR[k] + kQuarterTurn);
  }

  // 6. Inverse transforms from magnitude and phase.
  std::vector<long double> reL(h), imL(h), reR(h), imR(h);
  for (std::size_t k = 0; k < h; ++k) {
    reL[k] = mL[k] * std::cos(phiL[k]);
    imL[k] = mL[k] * std::sin(phiL[k]);
    reR[k] = mR[k] * std::cos(phiR[k]);
    imR[k] = mR[k] * std::sin(phiR[k]);
  }
  std::vector<long double> yL = ReferenceHalfInverse(reL, imL);
  std::vector<long double> yR = ReferenceHalfInverse(reR, imR);

  // 7. Cross-fade of this block's first half with the previous block's second half.
  for (std::size_t k = 0; k < h; ++k) {
    const long double theta = static_cast<long double>(k) * kQuarterTurn / static_cast<long double>(h_ - 1);
    const long double s = std::sin(theta);
    const long double c = std::cos(theta);
    const long double a = s * s;
    const long double b = c * c;
    yL[k] = ReferenceNearest(yL[k] * a + pL_[h + k] * b);
    yR[k] = ReferenceNearest(yR[k] * a + pR_[h + k] * b);
  }

  // 8. Output and history.
  std::vector<std::int16_t> out(2 * n);
  for (std::size_t l = 0; l < n; ++l) {
    if (settings_.Inverse) {
      out[2 * l] = ReferenceClampToInt16(ReferenceNearest(xL[l] - yL[l]));
      out[2 * l + 1] = ReferenceClampToInt16(ReferenceNearest(xR[l] - yR[l]));
    } else {
      out[2 * l] = ReferenceClampToInt16(ReferenceNearest(yL[l]));
      out[2 * l + 1] = ReferenceClampToInt16(ReferenceNearest(yR[l]));
    }
  }
  pL_ = std::move(yL);
  pR_ = std::move(yR);
  return out;
}

std::size_t ReferenceBlockCount(std::size_t frames, int blockSize) {
  const std::size_t h = U(blockSize / 2);
  return (frames + h - 1) / h;
}

std::vector<std::int16_t> ReferenceBlock(const std::vector<std::int16_t>& interleaved, int blockSize,
                                         std::size_t index) {
  const std::size_t n = U(blockSize);
  const std::size_t frames = interleaved.size() / 2;
  const std::size_t start = index * (n / 2);
  std::vector<std::int16_t> block(2 * n, 0);
  if (start >= frames) return block;
  const std::size_t available = std::min(n, frames - start);
  std::copy_n(interleaved.begin() + static_cast<std::ptrdiff_t>(2 * start), 2 * available, block.begin());
  return block;
}

std::vector<std::int16_t> ReferenceReduce(const std::vector<std::int16_t>& interleaved, int blockSize,
                                          const ReductionSettings& settings, double sampleRate) {
  if (interleaved.size() % 2 != 0) throw std::invalid_argument("stereo signal with an odd sample count");
  const std::size_t frames = interleaved.size() / 2;
  const std::size_t h = U(blockSize / 2);
  ReferenceReducer reducer(blockSize, settings, sampleRate);
  std::vector<std::int16_t> result(interleaved.size());
  const std::size_t blocks = ReferenceBlockCount(frames, blockSize);
  for (std::size_t i = 0; i < blocks; ++i) {
    const std::vector<std::int16_t> out = reducer.ProcessBlock(ReferenceBlock(interleaved, blockSize, i));
    const std::size_t start = i * h;
    const std::size_t count = std::min(h, frames - start);
    std::copy_n(out.begin(), 2 * count, result.begin() + static_cast<std::ptrdiff_t>(2 * start));
  }
  return result;
}

}  // namespace merolune::test
