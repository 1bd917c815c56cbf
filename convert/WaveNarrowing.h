#pragma once
// Hi-res and floating-point WAV files to 16-bit PCM with triangular dither, at their own rate.

#include <cstdint>
#include <functional>
#include <string>

#include "WaveHeader.h"

namespace merolune {

// What a narrowing found.
struct NarrowingResult {
  std::uint64_t Frames = 0;
  std::uint64_t Overs = 0;  // float samples beyond full scale, clipped
  bool Float = false;
  unsigned SourceBits = 0;
};

// Whether `format` holds samples wider than 16 bits that NarrowWave reads: PCM of 24 or 32 bits, IEEE
// float of 32 or 64 bits, plainly or behind WAVE_FORMAT_EXTENSIBLE.
bool IsWideWave(const WaveFormatInfo& format);

// Writes `dest` as a canonical 16-bit PCM WAV with the channels and rate of `source` (a file for which
// IsWideWave holds; EAuException otherwise), each sample dithered to 16 bits (Dither16). The data chunk
// is read as stored, cut at the end of the file and to whole frames. `progress` gets the fraction done
// every few hundred kilobytes and answers false to stop (EAbort follows, with `dest` removed); a failed
// narrowing removes `dest` too. `source` and `dest` must differ.
NarrowingResult NarrowWave(const std::string& source, const std::string& dest,
                           const std::function<bool(double)>& progress = {});

// "32-bit float source: 12 samples beyond full scale were clipped", for the user; empty without overs.
std::string OversNote(const NarrowingResult& result);

}  // namespace merolune
