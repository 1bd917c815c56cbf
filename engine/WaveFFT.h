#pragma once
// Forward and inverse FFT objects on blocks of doubles, with analysis windows and half-spectrum access.
// The transforms they run are in FftKernels.h, the windows in FftWindows.h.

#include <span>
#include <vector>

#include "FftKernels.h"
#include "FftWindows.h"

namespace merolune {

struct ComplexValue {
  double re = 0.0;
  double im = 0.0;
};

inline constexpr const char* kNotPowerOfRadix = "サンプル数が基数の累乗ではありません";
inline constexpr const char* kIndexOutOfRange = "配列の範囲を越えました";

// sign(sin x) * arccos(cos x): any angle folded into -pi..pi; 0 where sin x is exactly 0.
double WrapAngle(double x);

// Forward transform object: windows a block of real samples, transforms it and exposes the
// lower half of the spectrum. Not thread-safe; one object per channel. Methods that take a
// bin index or a size throw Exception with kIndexOutOfRange / kNotPowerOfRadix and change
// nothing when they fail. Arrays are resized only when Count changes, so repeated blocks of
// one size allocate nothing.
class TWaveFFT {
 public:
  TWaveFFT();

  int Count() const { return count_; }
  // Resizes the arrays to n (surviving elements keep their values, new ones are 0). n <= 0
  // passes the size check and leaves the arrays empty.
  void SetCount(int n);
  int Radix() const { return radix_; }
  void SetRadix(int radix) { radix_ = radix; }
  double SamplingRate() const { return samplingRate_; }
  void SetSamplingRate(double hz) { samplingRate_ = hz; }
  bool Stabilize() const { return stabilize_; }
  void SetStabilize(bool on) { stabilize_ = on; }
  TWindowType WindowType() const { return windowType_; }
  void SetWindowType(TWindowType type) { windowType_ = type; }
  std::vector<double>& CustomWindow() { return customWindow_; }

  // The routine Execute runs; SplitRadixForward unless replaced.
  TransformRoutine Transform = SplitRadixForward;

  // Sets Count to samples.size() first when they differ, then copies the block.
  void SetData(std::span<const double> samples);
  // Windows the data into Re, zeroes Im, transforms, then smooths when Stabilize is on.
  // wtCUSTOM reads CustomWindow, which must then hold at least Count weights (else
  // kIndexOutOfRange).
  void Execute();

  // Bin frequency in Hz; bins above Count/2 - 1 give negative frequencies. No range check.
  double Frequency(int k) const;
  // Bins 0 .. Count/2 - 1 only (a negative k is out of range too).
  double RealPart(int k) const;
  double ImagPart(int k) const;
  double Magnitude(int k) const;
  double Phase(int k) const;
  // Any bin 0 .. Count - 1.
  void SetBin(int k, ComplexValue value);

  // The whole spectrum (Count values each), for callers that process every bin at once.
  double* Re() { return re_.data(); }
  double* Im() { return im_.data(); }
  const double* Re() const { return re_.data(); }
  const double* Im() const { return im_.data(); }

 private:
  friend void ExecutePair(TWaveFFT& left, TWaveFFT& right);
  // Throws kIndexOutOfRange when wtCUSTOM is selected and CustomWindow is shorter than Count.
  void CheckCustomWindow() const;
  // Writes the windowed block (Count values) to out.
  void ApplyWindow(double* out);
  void ApplyStabilize();

  int count_ = 0;
  int radix_ = 2;
  std::vector<double> customWindow_;
  detail::AlignedDoubles data_, re_, im_, prevRe_, prevIm_;
  double samplingRate_ = 44100.0;
  bool stabilize_ = false;
  TWindowType windowType_ = TWindowType::wtHANNING;
  detail::AlignedDoubles windowCache_;  // weights of the current window type and Count
  TWindowType windowCacheType_ = TWindowType::wtCUSTOM;
};

// Runs Execute on two forward objects of the same Count with one complex transform of both
// real blocks; each object ends as if its own Execute had run (all Count bins, within a few ulps
// of the larger spectrum), Stabilize included. Different Counts, one object passed twice or a
// replaced Transform fall back to two Execute calls.
void ExecutePair(TWaveFFT& left, TWaveFFT& right);

// Inverse transform object: takes a half spectrum of n bins, mirrors it into a conjugate-
// symmetric spectrum of 2n bins (the Nyquist bin set to 0) and returns the real block of 2n
// samples, divided by 2n. Not thread-safe. Throws like TWaveFFT.
class TWaveIFFT {
 public:
  TWaveIFFT();

  int Count() const { return count_; }
  void SetCount(int n);
  int Radix() const { return radix_; }
  void SetRadix(int radix) { radix_ = radix; }
  bool MutingCoef() const { return mutingCoef_; }
  void SetMutingCoef(bool on) { mutingCoef_ = on; }

  // Called with inverse = true by Execute.
  TransformRoutine Transform = Radix2Inverse;

  // HalfRe[i] := magnitudes[i] cos(phases[i]), HalfIm[i] := magnitudes[i] sin(phases[i]).
  // Both spans must hold at least Count values (else kIndexOutOfRange); they may be HalfRe()
  // and HalfIm() themselves.
  void SetPolar(std::span<const double> magnitudes, std::span<const double> phases);
  // Copies Count values of each; both spans must hold at least Count (else kIndexOutOfRange).
  void SetComplex(std::span<const double> re, std::span<const double> im);
  void Execute();
  // Copies the 2n output samples into out (which must hold at least 2n, else kIndexOutOfRange).
  void GetRealOutput(std::span<double> out) const;

  // Direct access for callers that build the half spectrum in place (Count values each) and
  // read the 2 Count output samples.
  double* HalfRe() { return halfRe_.data(); }
  double* HalfIm() { return halfIm_.data(); }
  const double* OutRe() const { return outRe_.data(); }

 private:
  friend void ExecutePair(TWaveIFFT& left, TWaveIFFT& right);
  void Mirror();

  int count_ = 0;
  detail::AlignedDoubles halfRe_, halfIm_, outRe_, outIm_;
  bool mutingCoef_ = false;
  int radix_ = 2;
};

// Runs Execute on two inverse objects of the same Count with one complex transform; each
// object's OutRe ends as if its own Execute had run (within a few ulps), MutingCoef included.
// OutIm, the imaginary residue that nothing reads, is not computed and keeps its old contents.
// Different Counts, one object passed twice or a replaced Transform fall back to two Execute
// calls.
void ExecutePair(TWaveIFFT& left, TWaveIFFT& right);

}  // namespace merolune
