#pragma once
// The per-block spectral vocal reduction: what is in phase and equally loud in both channels goes.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "ReductionSettings.h"
#include "WaveFFT.h"

namespace merolune {

// Turns blocks of N stereo frames into output frames. Block i of a job covers input frames
// i*H .. i*H + N - 1 (H = N / 2); its first H output frames are the cross-fade of this block's
// first half with the previous block's second half, so output frame t belongs to input frame t.
// The first block fades in from silence.
//
// One object per job: it owns the four transform objects (forward and inverse, left and right)
// and every buffer, all sized in the constructor; ProcessBlock allocates nothing. Not
// thread-safe. Throws Exception from the constructor for a block size that is not a power of two.
class SpectralReducer {
 public:
  SpectralReducer(int blockSize, const ReductionSettings& settings, double sampleRate);
  SpectralReducer(const SpectralReducer&) = delete;
  SpectralReducer& operator=(const SpectralReducer&) = delete;

  int BlockSize() const { return n_; }
  int HalfBlock() const { return h_; }

  // Called once per block before the subtraction (the window pumps its events there).
  std::function<void()> BeforeSubtraction;

  // Called once per block, when set, with the factors the block's bins 0 .. H-1 are scaled by (the
  // subtraction's result; all 1 when it is bypassed). Without a key change or the enhancer this is
  // the whole block operator: output spectrum = input spectrum times scaleL / scaleR, so a caller
  // can apply the same operator to another signal (the benchmark applies it to a mix's stems). The
  // spans are valid during the call only. Unset in a job.
  std::function<void(std::span<const double> scaleL, std::span<const double> scaleR)> ScalesObserver;

  // `block`: N interleaved frames (left, right), 2N samples. `out`: receives the block's first
  // H output frames, 2H samples. `removed`, unless empty, receives as many: what `out` lacks of the
  // input, input minus output, frame for frame (in inverse mode the processed signal itself). Output
  // and removed part add up to the input exactly until the 16-bit limit cuts one of them.
  void ProcessBlock(std::span<const std::int16_t> block, std::span<std::int16_t> out,
                    std::span<std::int16_t> removed = {});

 private:
  void AnalyseAndSubtract();
  void ShiftKeys();
  void CrossFadeAndOutput(std::span<std::int16_t> out, std::span<std::int16_t> removed);

  int n_;
  int h_;
  ReductionSettings settings_;
  double sampleRate_;
  // Bins in the processing range: kLow_ .. kHigh_ inclusive (empty when kLow_ > kHigh_).
  int kLow_ = 0;
  int kHigh_ = -1;
  double sinP_;  // the phase test |sin(phiL - phiR)| < sin P stands for -P < d < P

  TWaveFFT waveFFT1_, waveFFT2_;
  TWaveIFFT waveIFFT1_, waveIFFT2_;
  std::vector<double> xL_, xR_;          // the block's input samples, N each
  std::vector<double> prevL_, prevR_;    // second half of the previous block's output, H each
  std::vector<double> fadeIn_, fadeOut_;  // sin^2 and cos^2 of the cross-fade, H each
  std::vector<double> scaleL_, scaleR_;   // per-bin magnitude ratio new / old, H each
  std::vector<double> work_;              // scratch for the vectorised per-bin math
};

}  // namespace merolune
