// The forward and inverse FFT objects: windowing, half-spectrum access and paired execution.
#include "WaveFFT.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Exception.h"

namespace merolune {

double WrapAngle(double x) {
  const long double s = std::sin(static_cast<long double>(x));
  const long double folded = std::acos(std::cos(static_cast<long double>(x)));
  if (s > 0) return static_cast<double>(folded);
  if (s < 0) return static_cast<double>(-folded);
  return 0.0;
}

// ============================================================================ TWaveFFT

namespace {

template <class Vector>
void ResizeIfNeeded(Vector& v, std::size_t size) {
  if (v.size() != size) v.resize(size, 0.0);
}

std::size_t SizeOf(int count) { return count > 0 ? static_cast<std::size_t>(count) : 0; }

}  // namespace

TWaveFFT::TWaveFFT() { SetCount(2); }

void TWaveFFT::SetCount(int n) {
  if (!IsPowerOfRadix(n, radix_)) throw Exception(kNotPowerOfRadix);
  const std::size_t size = SizeOf(n);
  ResizeIfNeeded(data_, size);
  ResizeIfNeeded(customWindow_, size);
  ResizeIfNeeded(re_, size);
  ResizeIfNeeded(im_, size);
  ResizeIfNeeded(prevRe_, size);
  ResizeIfNeeded(prevIm_, size);
  count_ = n;
}

void TWaveFFT::SetData(std::span<const double> samples) {
  if (samples.size() != SizeOf(count_) || count_ < 0) {
    if (samples.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
      throw Exception(kNotPowerOfRadix);
    }
    SetCount(static_cast<int>(samples.size()));
  }
  std::copy_n(samples.begin(), SizeOf(count_), data_.begin());
}

void TWaveFFT::CheckCustomWindow() const {
  if (windowType_ == TWindowType::wtCUSTOM && customWindow_.size() < SizeOf(count_)) {
    throw Exception(kIndexOutOfRange);
  }
}

void TWaveFFT::ApplyWindow(double* out) {
  const std::size_t n = SizeOf(count_);
  if (windowType_ == TWindowType::wtRECTANGULAR) {
    std::copy_n(data_.data(), n, out);
    return;
  }
  if (windowType_ == TWindowType::wtCUSTOM) {
    CheckCustomWindow();
    for (std::size_t i = 0; i < n; ++i) out[i] = customWindow_[i] * data_[i];
    return;
  }
  if (windowCacheType_ != windowType_ || windowCache_.size() != n) {
    windowCache_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      windowCache_[i] = WindowWeight(windowType_, count_, static_cast<int>(i), nullptr);
    }
    windowCacheType_ = windowType_;
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = windowCache_[i] * data_[i];
}

void TWaveFFT::ApplyStabilize() {
  const long double root2 = std::sqrt(2.0L);
  for (int j = 0; j < count_ / 2; ++j) {
    const auto k = static_cast<std::size_t>(j);
    const long double r = re_[k], pr = prevRe_[k], i = im_[k], pi = prevIm_[k];
    re_[k] = static_cast<double>(std::sqrt(r * r + pr * pr) / root2);
    im_[k] = static_cast<double>(std::sqrt(i * i + pi * pi) / root2);
    prevRe_[k] = re_[k];
    prevIm_[k] = im_[k];
  }
}

void TWaveFFT::Execute() {
  ApplyWindow(re_.data());
  std::fill(im_.begin(), im_.end(), 0.0);
  Transform(count_, re_.data(), im_.data());
  if (stabilize_) ApplyStabilize();
}

double TWaveFFT::Frequency(int k) const {
  const long double bin = k <= count_ / 2 - 1 ? static_cast<long double>(k)
                                              : static_cast<long double>(static_cast<long long>(k) - count_);
  return static_cast<double>(bin * samplingRate_ / count_);
}

namespace {

std::size_t ReadableBin(int k, int count) {
  if (k < 0 || k > count / 2 - 1) throw Exception(kIndexOutOfRange);
  return static_cast<std::size_t>(k);
}

}  // namespace

double TWaveFFT::RealPart(int k) const { return re_[ReadableBin(k, count_)]; }

double TWaveFFT::ImagPart(int k) const { return im_[ReadableBin(k, count_)]; }

double TWaveFFT::Magnitude(int k) const {
  const std::size_t bin = ReadableBin(k, count_);
  const long double r = re_[bin], i = im_[bin];
  return static_cast<double>(std::sqrt(r * r + i * i));
}

double TWaveFFT::Phase(int k) const {
  const std::size_t bin = ReadableBin(k, count_);
  return std::atan2(im_[bin], re_[bin]);
}

void TWaveFFT::SetBin(int k, ComplexValue value) {
  if (k < 0 || k > count_ - 1) throw Exception(kIndexOutOfRange);
  re_[static_cast<std::size_t>(k)] = value.re;
  im_[static_cast<std::size_t>(k)] = value.im;
}

void ExecutePair(TWaveFFT& left, TWaveFFT& right) {
  if (&left == &right || left.count_ != right.count_ || left.count_ < 1 ||
      left.Transform != SplitRadixForward || right.Transform != SplitRadixForward) {
    left.Execute();
    right.Execute();
    return;
  }
  // Both checks come first so that a failure leaves both objects as they were.
  left.CheckCustomWindow();
  right.CheckCustomWindow();
  const int count = left.count_;
  const auto n = static_cast<std::size_t>(count);
  double* zr = left.re_.data();
  double* zi = left.im_.data();
  left.ApplyWindow(zr);
  right.ApplyWindow(zi);
  SplitRadixForward(count, zr, zi);
  // Bin 0, and bin n/2 for even n, are their own mirror images: A takes the real part, B the
  // imaginary part.
  double* br = right.re_.data();
  double* bi = right.im_.data();
  br[0] = zi[0];
  bi[0] = 0.0;
  zi[0] = 0.0;
  const std::size_t half = n / 2;
  if (n % 2 == 0) {
    br[half] = zi[half];
    bi[half] = 0.0;
    zi[half] = 0.0;
  }
  detail::SeparateSpectra(n, zr, zi, br, bi);
  if (left.stabilize_) left.ApplyStabilize();
  if (right.stabilize_) right.ApplyStabilize();
}

// ============================================================================ TWaveIFFT

TWaveIFFT::TWaveIFFT() { SetCount(2); }

void TWaveIFFT::SetCount(int n) {
  if (!IsPowerOfRadix(n, radix_)) throw Exception(kNotPowerOfRadix);
  const std::size_t size = SizeOf(n);
  ResizeIfNeeded(halfRe_, size);
  ResizeIfNeeded(halfIm_, size);
  ResizeIfNeeded(outRe_, 2 * size);
  ResizeIfNeeded(outIm_, 2 * size);
  count_ = n;
}

void TWaveIFFT::SetPolar(std::span<const double> magnitudes, std::span<const double> phases) {
  const std::size_t n = SizeOf(count_);
  if (magnitudes.size() < n || phases.size() < n) throw Exception(kIndexOutOfRange);
  for (std::size_t i = 0; i < n; ++i) {
    // Both inputs are read before either output is written: the spans may be HalfRe and HalfIm.
    // Double sine and cosine (within an ulp) rather than extended ones, which cost ten times as
    // much here, where every bin of every block passes.
    const double magnitude = magnitudes[i], phase = phases[i];
    halfRe_[i] = magnitude * std::cos(phase);
    halfIm_[i] = magnitude * std::sin(phase);
  }
}

void TWaveIFFT::SetComplex(std::span<const double> re, std::span<const double> im) {
  const std::size_t n = SizeOf(count_);
  if (re.size() < n || im.size() < n) throw Exception(kIndexOutOfRange);
  std::copy_n(re.begin(), n, halfRe_.begin());
  std::copy_n(im.begin(), n, halfIm_.begin());
}

void TWaveIFFT::Mirror() {
  const std::size_t n = SizeOf(count_);
  if (n == 0) return;
  std::copy_n(halfRe_.data(), n, outRe_.data());
  std::copy_n(halfIm_.data(), n, outIm_.data());
  outRe_[n] = 0.0;
  outIm_[n] = 0.0;
  for (std::size_t m = 1; m < n; ++m) {
    outRe_[2 * n - m] = halfRe_[m];
    outIm_[2 * n - m] = -halfIm_[m];
  }
}

namespace {

void ApplyMutingCoef(double* out, std::size_t size) {
  const auto divisor = static_cast<double>(size);
  for (std::size_t t = 0; t < size; ++t) out[t] /= divisor;
}

}  // namespace

void TWaveIFFT::Execute() {
  Mirror();
  if (count_ <= 0) return;
  Transform(2 * count_, outRe_.data(), outIm_.data());
  if (mutingCoef_) ApplyMutingCoef(outRe_.data(), outRe_.size());
}

void TWaveIFFT::GetRealOutput(std::span<double> out) const {
  if (out.size() < outRe_.size()) throw Exception(kIndexOutOfRange);
  std::copy(outRe_.begin(), outRe_.end(), out.begin());
}

void ExecutePair(TWaveIFFT& left, TWaveIFFT& right) {
  if (&left == &right || left.count_ != right.count_ || left.count_ < 1 ||
      left.Transform != Radix2Inverse || right.Transform != Radix2Inverse) {
    left.Execute();
    right.Execute();
    return;
  }
  const auto n = static_cast<std::size_t>(left.count_);
  // Z = FullA + i FullB, built straight into the two OutRe arrays (real part in left's, imaginary
  // part in right's) so that the transform leaves each object's output where it belongs. The DC
  // bins' imaginary parts are dropped: alone they only reach the discarded imaginary residue,
  // but here they would leak into the other channel.
  const double* ar = left.halfRe_.data();
  const double* ai = left.halfIm_.data();
  const double* br = right.halfRe_.data();
  const double* bi = right.halfIm_.data();
  double* zr = left.outRe_.data();
  double* zi = right.outRe_.data();
  zr[0] = ar[0];
  zi[0] = br[0];
  zr[n] = 0.0;
  zi[n] = 0.0;
  detail::PackSpectra(n, ar, ai, br, bi, zr, zi);
  Radix2Transform(2 * left.count_, zr, zi, true);
  if (left.mutingCoef_) ApplyMutingCoef(zr, 2 * n);
  if (right.mutingCoef_) ApplyMutingCoef(zi, 2 * n);
}

}  // namespace merolune
