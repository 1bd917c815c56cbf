#pragma once
// Slow, literal long-double model of the FFT engine and the per-block vocal reduction, for tests.

// Everything here is written from the algorithm description alone and calls nothing in the engine
// (only the settings struct is shared), so the fast implementation can be checked against it.
// The arithmetic is long double throughout: more precise than the engine, which works in double,
// so a disagreement beyond rounding points at the engine.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ReductionSettings.h"

namespace merolune::test {

// Split-radix decimation-in-frequency transform with on-the-fly twiddles, a final radix-2 stage and
// a bit-reversal permutation: X[k] = sum_t x[t] e^(-2 pi i k t / n), unscaled. re and im hold the n
// points (n a power of two; n <= 1 leaves them unchanged).
void ReferenceForward(std::vector<long double>& re, std::vector<long double>& im);

// Iterative radix-2 decimation-in-time inverse: bit reversal first, then the butterflies, then
// the 1/n scaling: x[t] = (1/n) sum_k X[k] e^(+2 pi i k t / n).
void ReferenceInverse(std::vector<long double>& re, std::vector<long double>& im);

// The inverse object's output: the half spectrum (n bins, 0 .. n - 1) mirrored into a
// conjugate-symmetric spectrum of 2n bins with the Nyquist bin n set to 0, transformed back.
// Returns the 2n real samples.
std::vector<long double> ReferenceHalfInverse(const std::vector<long double>& halfRe,
                                              const std::vector<long double>& halfIm);

// O(n^2) DFT with twiddles taken from exact angle indices (k t mod n); checks the two transforms
// above. Any n >= 1. inverse: positive exponent and 1/n scaling.
void NaiveDft(std::vector<long double>& re, std::vector<long double>& im, bool inverse);

// sign(sin x) * arccos(cos x).
long double ReferenceWrapAngle(long double x);
// The integer nearest to x, halves to even.
long double ReferenceNearest(long double x);
// A whole number limited to the 16-bit range.
std::int16_t ReferenceClampToInt16(long double wholeNumber);
// The key-change scale 2^(semitones / 12), rounded to double as the job holds it.
double ReferenceKeyRatio(int semitones);

// The forward transform object as the reduction uses it: rectangular window, no smoothing,
// half-spectrum readers and a whole-spectrum SetBin.
class ReferenceSpectrum {
 public:
  ReferenceSpectrum(int count, double samplingRate);

  int Count() const { return count_; }
  // Takes the Count samples unwindowed and transforms them.
  void Execute(const std::vector<long double>& samples);
  // Bins 0 .. Count/2 - 1 (the tests call these only in that range).
  long double Magnitude(int k) const;
  long double Phase(int k) const;
  // k * rate / Count for k <= Count/2 - 1, else (k - Count) * rate / Count.
  long double Frequency(int k) const;
  void SetBin(int k, long double re, long double im);
  long double RealPart(int k) const { return re_[Index(k)]; }
  long double ImagPart(int k) const { return im_[Index(k)]; }

 private:
  static std::size_t Index(int k) { return static_cast<std::size_t>(k); }

  int count_;
  double samplingRate_;
  std::vector<long double> re_, im_;
};

// Key change of one channel's spectrum in place: bin b moves to nearest(b * ratio), the last
// source bin landing on a target wins, unfilled bins take the plain mean of their neighbours'
// magnitudes and phases. Bins Count/2 and up are untouched.
void ReferenceShiftKey(int semitones, ReferenceSpectrum& transform);

// One job's block processing: the transforms, the key change, the subtraction, the enhancer,
// the inverse transforms, the cross-fade and the output, with the history of the previous block.
class ReferenceReducer {
 public:
  ReferenceReducer(int blockSize, const ReductionSettings& settings, double sampleRate);

  int BlockSize() const { return n_; }
  int HalfBlock() const { return h_; }

  // `block`: N interleaved frames (2N samples). Returns the N output frames of the block (2N
  // samples); only the first H of them belong in the result.
  std::vector<std::int16_t> ProcessBlock(const std::vector<std::int16_t>& block);

 private:
  int n_;
  int h_;
  ReductionSettings settings_;
  double sampleRate_;
  ReferenceSpectrum fftL_, fftR_;
  std::vector<long double> pL_, pR_;
};

// Number of blocks for F frames: ceil(F / H); 0 frames give none.
std::size_t ReferenceBlockCount(std::size_t frames, int blockSize);

// Block i of an interleaved stereo signal: frames i*H .. i*H + N - 1, zeros past the end.
std::vector<std::int16_t> ReferenceBlock(const std::vector<std::int16_t>& interleaved, int blockSize,
                                         std::size_t index);

// The whole signal as the job reduces it: interleaved 16-bit stereo in, the same number of
// frames out. Block i contributes its first min(H, F - i*H) output frames.
std::vector<std::int16_t> ReferenceReduce(const std::vector<std::int16_t>& interleaved, int blockSize,
                                          const ReductionSettings& settings, double sampleRate);

}  // namespace merolune::test
