#pragma once
// WAV header reading and writing, temporary WAV names, and the small helpers of the reduction.

#include <cstdint>
#include <span>
#include <string>

#include "Stream.h"

namespace merolune {

class TWaveFFT;

// The format facts read from a RIFF/WAVE header. The reader only writes fields; those it
// never reaches keep the caller's values (the job passes an all-zero record).
struct WaveFormatInfo {
  bool RiffFound = false;
  std::uint32_t RiffSize = 0;
  bool WaveFound = false;
  // The first 16 bytes of the "fmt " chunk body.
  std::uint16_t FormatTag = 0;
  std::uint16_t Channels = 0;
  std::uint32_t SampleRate = 0;
  std::uint32_t AvgBytesPerSec = 0;
  std::uint16_t BlockAlign = 0;
  std::uint16_t BitsPerSample = 0;
  // For FormatTag 0xFFFE (WAVE_FORMAT_EXTENSIBLE): the format tag inside the sub-format GUID when
  // it is one of the standard KSDATAFORMAT GUIDs (1 for PCM); 0 otherwise.
  std::uint16_t SubFormatTag = 0;
  // Stream offset of the "data" chunk body and its size as stored, in bytes.
  std::uint32_t DataStart = 0;
  std::uint32_t DataSize = 0;
  // Size of the "fmt " chunk as stored; 0 while none was seen. A chunk shorter than 16 bytes
  // holds no usable format and leaves the format fields untouched.
  std::uint32_t FormatChunkSize = 0;
};

// Size of the header that WriteWaveHeader writes.
inline constexpr std::uint32_t kWaveHeaderSize = 44;

// Reads a RIFF/WAVE header from the stream's current position and leaves the stream at
// DataStart when a "data" chunk was found. A stream that is not RIFF/WAVE is not an error:
// the reader returns early with RiffFound or WaveFound false. Chunk sizes that run past the
// end of the stream end the scan. Throws only what the stream throws.
void ReadWaveHeader(Stream& stream, WaveFormatInfo& info);

// Writes the 44-byte header of a 16-bit stereo PCM file at offset 0 in one write, taking only
// FormatTag and SampleRate from `format`; leaves the stream at offset 44.
void WriteWaveHeader(std::uint32_t riffSize, std::uint32_t dataSize, const WaveFormatInfo& format, Stream& stream);

// Creates a new, empty, uniquely named file "cc<hex>.wav" in $TMPDIR (else /tmp), exclusively,
// and returns its absolute path. Throws Exception when no file can be created there.
std::string MakeTempWavName();

// The path made absolute; Linux has no short names, so the components stay as they are.
std::string ExpandLongPath(const std::string& path);

// Key change of one channel's spectrum in place, `semitones` (non-zero) up or down: bins move to
// nearest(b * 2^(semitones/12)), gaps take the mean of their neighbours.
void ShiftKey(int semitones, TWaveFFT& transform);

// The enhancer: phases[k] := WrapAngle(phases[k] + pi/2) for k = 0 .. highest.
void RotatePhases(std::span<double> phases, int highest);

// v limited to the 16-bit range.
constexpr std::int16_t ClampToInt16(std::int32_t v) {
  return static_cast<std::int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
}

}  // namespace merolune
