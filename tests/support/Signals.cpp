// Deterministic song-like test signals and their mixes.
#include "Signals.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace merolune::test {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * kPi;

std::int16_t ToSample(double v) {
  const double r = std::nearbyint(v);
  return static_cast<std::int16_t>(std::clamp(r, -32768.0, 32767.0));
}

// A raised-cosine ramp of `length` seconds at both ends of a note of `duration` seconds.
double Envelope(double t, double duration, double length) {
  if (t < 0.0 || t > duration) return 0.0;
  const double edge = std::min({t, duration - t, length});
  return edge >= length ? 1.0 : 0.5 - 0.5 * std::cos(kPi * edge / length);
}

// Sung line: notes of 0.2 .. 0.45 s on a pentatonic scale from 180 Hz, 5.5 Hz vibrato, ten
// harmonics with a formant-like lift near 3 kHz, a soft breath noise.
void MakeCentre(std::vector<double>& out, double rate, TestRandom& random) {
  static constexpr double kScale[] = {1.0,       9.0 / 8.0, 5.0 / 4.0, 3.0 / 2.0,
                                      5.0 / 3.0, 2.0,       9.0 / 4.0, 5.0 / 2.0};
  const double base = 180.0 * (1.0 + 0.1 * random.Uniform());
  double noteStart = 0.0;
  double duration = 0.0;
  double f0 = base;
  double phase = 0.0;
  const double vibratoPhase = kTwoPi * random.Uniform();
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / rate;
    if (t >= noteStart + duration) {
      noteStart = t;
      duration = 0.2 + 0.25 * random.Uniform();
      f0 = base * kScale[static_cast<std::size_t>(random.Uniform() * 8.0) % 8];
    }
    const double f = f0 * (1.0 + 0.015 * std::sin(kTwoPi * 5.5 * t + vibratoPhase));
    phase = std::fmod(phase + kTwoPi * f / rate, kTwoPi);
    double v = 0.0;
    for (int h = 1; h <= 10; ++h) {
      const double fh = f * h;
      if (fh >= rate / 2.0) break;
      const double formant = 1.0 + 2.0 * std::exp(-std::pow((fh - 3000.0) / 800.0, 2.0));
      v += formant / h * std::sin(h * phase);
    }
    const double env = Envelope(t - noteStart, duration, 0.03);
    out[i] = 0.45 * env * v + 0.02 * random.Gaussian();
  }
}

// Plucked three-note chord every 0.5 s, harmonics falling as 1/h^2.
void MakeLeftOnly(std::vector<double>& out, double rate, TestRandom& random) {
  const double root = 196.0 * (1.0 + 0.05 * random.Uniform());
  const double notes[] = {root, root * 1.26, root * 1.5};
  const double offset = 0.5 * random.Uniform();
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / rate;
    const double since = std::fmod(t + offset, 0.5);
    const double env = std::exp(-6.0 * since) * std::min(1.0, since / 0.002);
    double v = 0.0;
    for (double f : notes) {
      for (int h = 1; h <= 6; ++h) {
        if (f * h >= rate / 2.0) break;
        v += std::sin(kTwoPi * f * h * t) / (h * h);
      }
    }
    out[i] = 0.4 * env * v;
  }
}

// Bass line, a steady high key tone and hi-hat bursts of decaying white noise every 0.25 s.
void MakeRightOnly(std::vector<double>& out, double rate, TestRandom& random) {
  const double bass = 55.0 * (1.0 + random.Uniform());
  const double keys = 1500.0 + 1500.0 * random.Uniform();
  const double offset = 0.25 * random.Uniform();
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / rate;
    const double since = std::fmod(t + offset, 0.25);
    const double hat = std::exp(-40.0 * since) * random.Gaussian();
    out[i] = 0.5 * std::sin(kTwoPi * bass * t) + 0.2 * std::sin(kTwoPi * 2.0 * bass * t) +
             0.15 * std::sin(kTwoPi * keys * t) + 0.25 * hat;
  }
}

}  // namespace

std::uint64_t TestRandom::Next() {
  state_ += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double TestRandom::Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

double TestRandom::Gaussian() {
  const double u1 = 1.0 - Uniform();  // (0, 1]: the logarithm stays finite
  const double u2 = Uniform();
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
}

SongParts MakeSongParts(std::size_t frames, double sampleRate, std::uint64_t seed) {
  SongParts parts;
  parts.centre.resize(frames);
  parts.leftOnly.resize(frames);
  parts.rightOnly.resize(frames);
  parts.noiseL.resize(frames);
  parts.noiseR.resize(frames);
  // A separate stream per part, so changing one part's code leaves the others as they were.
  TestRandom centre(seed * 7 + 1), left(seed * 7 + 2), right(seed * 7 + 3), noiseL(seed * 7 + 4),
      noiseR(seed * 7 + 5);
  MakeCentre(parts.centre, sampleRate, centre);
  MakeLeftOnly(parts.leftOnly, sampleRate, left);
  MakeRightOnly(parts.rightOnly, sampleRate, right);
  for (std::size_t i = 0; i < frames; ++i) {
    parts.noiseL[i] = noiseL.Gaussian();
    parts.noiseR[i] = noiseR.Gaussian();
  }
  return parts;
}

double PeakScale(const SongParts& parts, const MixGains& gains, double level) {
  double peak = 0.0;
  for (std::size_t i = 0; i < parts.centre.size(); ++i) {
    const double l =
        gains.Centre * parts.centre[i] + gains.LeftOnly * parts.leftOnly[i] + gains.Noise * parts.noiseL[i];
    const double r =
        gains.Centre * parts.centre[i] + gains.RightOnly * parts.rightOnly[i] + gains.Noise * parts.noiseR[i];
    peak = std::max({peak, std::fabs(l), std::fabs(r)});
  }
  return peak > 0.0 ? level * 32767.0 / peak : 0.0;
}

std::vector<std::int16_t> Mix(const SongParts& parts, const MixGains& gains, double scale) {
  const std::size_t frames = parts.centre.size();
  std::vector<std::int16_t> out(2 * frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const double c = gains.Centre * parts.centre[i];
    out[2 * i] = ToSample(scale * (c + gains.LeftOnly * parts.leftOnly[i] + gains.Noise * parts.noiseL[i]));
    out[2 * i + 1] =
        ToSample(scale * (c + gains.RightOnly * parts.rightOnly[i] + gains.Noise * parts.noiseR[i]));
  }
  return out;
}

std::vector<std::int16_t> SongLike(std::size_t frames, double sampleRate, std::uint64_t seed, double level) {
  const SongParts parts = MakeSongParts(frames, sampleRate, seed);
  const MixGains gains;
  return Mix(parts, gains, PeakScale(parts, gains, level));
}

std::vector<std::int16_t> IdenticalChannels(std::size_t frames, double sampleRate, std::uint64_t seed,
                                            double level) {
  std::vector<std::int16_t> out = SongLike(frames, sampleRate, seed, level);
  for (std::size_t i = 0; i < frames; ++i) out[2 * i + 1] = out[2 * i];
  return out;
}

std::vector<std::int16_t> OppositeChannels(std::size_t frames, double sampleRate, std::uint64_t seed,
                                           double level) {
  // The level stays below full scale, so -L always fits (there is no +32768).
  std::vector<std::int16_t> out = SongLike(frames, sampleRate, seed, std::min(level, 0.99));
  for (std::size_t i = 0; i < frames; ++i) out[2 * i + 1] = static_cast<std::int16_t>(-out[2 * i]);
  return out;
}

std::vector<std::int16_t> OneSilentChannel(std::size_t frames, double sampleRate, std::uint64_t seed,
                                           bool silentRight, double level) {
  std::vector<std::int16_t> out = SongLike(frames, sampleRate, seed, level);
  for (std::size_t i = 0; i < frames; ++i) out[2 * i + (silentRight ? 1 : 0)] = 0;
  return out;
}

std::vector<std::int16_t> FullScaleSquares(std::size_t frames, double sampleRate, std::uint64_t seed) {
  // Half periods of about 2.3 ms and 3.1 ms, not tied to any block size. The noise matters: on
  // integer samples the bin at N/4 is a Gaussian integer, and two plain squares give phase
  // differences of exactly pi/4 there, right on the default threshold.
  const double halfL = sampleRate / 437.0;
  const double halfR = sampleRate / 321.0;
  TestRandom random(seed);
  std::vector<std::int16_t> out(2 * frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i);
    const double l = static_cast<long>(t / halfL) % 2 == 0 ? 32767.0 : -32767.0;
    const double r = static_cast<long>(t / halfR) % 2 == 0 ? -32767.0 : 32767.0;
    out[2 * i] = ToSample(l + 4.0 * random.Gaussian());
    out[2 * i + 1] = ToSample(r + 4.0 * random.Gaussian());
  }
  return out;
}

std::vector<std::int16_t> BinTones(std::size_t frames, int blockSize, const std::vector<int>& bins,
                                   double ampL, double ampR, double noiseRms, std::uint64_t seed) {
  TestRandom random(seed);
  const std::size_t n = static_cast<std::size_t>(blockSize);
  std::vector<std::int16_t> out(2 * frames);
  for (std::size_t i = 0; i < frames; ++i) {
    double v = 0.0;
    for (int k : bins) {
      // Angle from the exact index (k i mod n), so long signals keep exact bin frequencies.
      const std::size_t m = (static_cast<std::size_t>(k) * i) % n;
      v += std::cos(kTwoPi * static_cast<double>(m) / static_cast<double>(n));
    }
    out[2 * i] = ToSample(ampL * v + noiseRms * random.Gaussian());
    out[2 * i + 1] = ToSample(ampR * v + noiseRms * random.Gaussian());
  }
  return out;
}

std::vector<double> ChannelOf(const std::vector<std::int16_t>& interleaved, int channel) {
  std::vector<double> out(interleaved.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = interleaved[2 * i + static_cast<std::size_t>(channel)];
  return out;
}

}  // namespace merolune::test
