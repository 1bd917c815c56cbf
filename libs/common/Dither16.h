#pragma once
// Wider samples (24/32-bit integers, floating point) to 16 bits with triangular dither, overs clipped and counted.

#include <cmath>
#include <cstdint>

namespace merolune {

// One narrowing per file: a sample's value in 16-bit steps gets triangular (TPDF) dither of ±1 step
// added before it is rounded, so the rounding error becomes a steady noise floor (0.5 step RMS in all)
// instead of distortion that follows the signal. What lies beyond the 16-bit range after that is
// clipped; Overs() counts the samples that were beyond full scale already in the source (a float
// source's values above 1.0), which the user is told about. The noise comes from a fixed seed, so
// the same file always gives the same samples.
class Dither16 {
 public:
  // `steps` is the sample in 16-bit steps: an integer of `bits` bits shifted to 16, or a float times 32768.
  std::int16_t Narrow(double steps) {
    if (steps > 32768.0 || steps < -32768.0) ++overs_;
    const double dithered = std::floor(steps + Triangular() + 0.5);
    if (dithered > 32767.0) return 32767;
    if (dithered < -32768.0) return -32768;
    return static_cast<std::int16_t>(dithered);
  }
  // A float sample, full scale ±1.0 (NaN counts as silence).
  std::int16_t FromFloat(double value) { return Narrow(std::isnan(value) ? 0.0 : value * 32768.0); }
  // A signed integer whose full scale is 2^31 (24-bit samples left-aligned in 32 bits, or 32-bit ones).
  std::int16_t FromInt32(std::int32_t value) { return Narrow(value / 65536.0); }

  std::uint64_t Overs() const { return overs_; }

 private:
  // The sum of two independent uniform values in [-0.5, 0.5): triangular over (-1, 1).
  double Triangular() { return Uniform() + Uniform() - 1.0; }
  double Uniform() {
    // xorshift32: fast, and the noise needs no more than a flat spectrum.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_ * (1.0 / 4294967296.0);
  }

  std::uint32_t state_ = 0x9E3779B9u;
  std::uint64_t overs_ = 0;
};

}  // namespace merolune
