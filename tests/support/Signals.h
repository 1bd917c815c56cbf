#pragma once
// Deterministic 16-bit stereo test signals: song-like mixes with a centre part, and simple cases.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace merolune::test {

// splitmix64 with a fixed seed: every signal is the same on every run and every machine.
class TestRandom {
 public:
  explicit TestRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // Uniform in [0, 1), 53 random bits.
  double Uniform();
  // Standard normal (Box-Muller).
  double Gaussian();

 private:
  std::uint64_t state_;
};

// The parts of a song-like mix, one value per frame each, unscaled (peaks of about 1).
struct SongParts {
  std::vector<double> centre;    // sung line (vibrato, harmonics) plus a little breath noise, same in L and R
  std::vector<double> leftOnly;  // plucked chord, left channel only
  std::vector<double> rightOnly;  // bass, keys and hi-hat bursts, right channel only
  std::vector<double> noiseL;     // independent white noise of unit RMS, left
  std::vector<double> noiseR;     // independent white noise of unit RMS, right
};

// Weights of the parts in a mix.
struct MixGains {
  double Centre = 1.0;
  double LeftOnly = 0.35;
  double RightOnly = 0.35;
  // Keeps every bin's phase difference random, so no bin sits on the phase threshold.
  double Noise = 0.003;
};

// The parts of a mix of `frames` frames at `sampleRate`; `seed` varies notes, chords and noise.
SongParts MakeSongParts(std::size_t frames, double sampleRate, std::uint64_t seed);
// The factor that brings the peak sample of the weighted mix to level * 32767.
double PeakScale(const SongParts& parts, const MixGains& gains, double level);
// Interleaved L/R: L = scale (c Centre + l LeftOnly + n NoiseL), R = scale (c Centre + r RightOnly
// + n NoiseR), rounded to nearest and limited to 16 bits.
std::vector<std::int16_t> Mix(const SongParts& parts, const MixGains& gains, double scale);

// Song-like mix: centre line, left-only and right-only parts, independent noise; peak = level.
std::vector<std::int16_t> SongLike(std::size_t frames, double sampleRate, std::uint64_t seed,
                                   double level = 0.5);
// The song's left channel (with its noise) copied to both channels: L == R exactly.
std::vector<std::int16_t> IdenticalChannels(std::size_t frames, double sampleRate, std::uint64_t seed,
                                            double level = 0.5);
// The song's left channel on the left and its exact negative on the right: R == -L.
std::vector<std::int16_t> OppositeChannels(std::size_t frames, double sampleRate, std::uint64_t seed,
                                           double level = 0.5);
// The song's left (silentRight) or right channel, the other channel all zeros.
std::vector<std::int16_t> OneSilentChannel(std::size_t frames, double sampleRate, std::uint64_t seed,
                                           bool silentRight, double level = 0.5);
// Full-scale square waves of different periods in L and R (+-32767, a little noise, clipped):
// any change to their spectra overshoots, so the output has to be clamped.
std::vector<std::int16_t> FullScaleSquares(std::size_t frames, double sampleRate, std::uint64_t seed);
// Cosines at exact bin frequencies of a blockSize-point block (bin k: k cycles per block),
// amplitude ampL on the left and ampR on the right, plus independent Gaussian noise of
// noiseRms sample units in each channel.
std::vector<std::int16_t> BinTones(std::size_t frames, int blockSize, const std::vector<int>& bins,
                                   double ampL, double ampR, double noiseRms, std::uint64_t seed);

// Number of frames of an interleaved stereo signal.
inline std::size_t FrameCount(const std::vector<std::int16_t>& interleaved) { return interleaved.size() / 2; }
// One channel (0 left, 1 right) as doubles.
std::vector<double> ChannelOf(const std::vector<std::int16_t>& interleaved, int channel);

}  // namespace merolune::test
