#pragma once
// Test-side RIFF/WAVE building and reading, written byte by byte, independent of the engine's code.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace merolune::test {

struct Chunk {
  std::string Id;  // four characters
  std::vector<std::uint8_t> Body;
};

// What to put into a WAV file; the defaults make a canonical 16-bit stereo 44.1 kHz file.
struct WavSpec {
  std::string RiffId = "RIFF";
  std::string WaveId = "WAVE";
  std::uint16_t FormatTag = 1;
  std::uint16_t Channels = 2;
  std::uint32_t SampleRate = 44100;
  std::uint16_t BitsPerSample = 16;
  std::uint32_t FormatChunkSize = 16;  // bytes past 16 are zeros; a smaller size truncates the body
  std::vector<std::uint8_t> FormatExtension;  // the first bytes past 16 (FormatChunkSize still rules)
  bool WithFormat = true;
  std::vector<Chunk> Before;  // chunks between "fmt " and "data"
  bool WithData = true;
  std::vector<std::uint8_t> Data;
  std::optional<std::uint32_t> DataSizeField;  // the stored "data" size when not Data.size()
  std::vector<Chunk> After;                    // chunks after "data"
};

std::vector<std::uint8_t> MakeWav(const WavSpec& wav);
// `wav` as WAVE_FORMAT_EXTENSIBLE: format tag 0xFFFE, a 40-byte "fmt " chunk whose sub-format GUID
// carries `subFormatTag` (1 PCM, 3 float) in the standard KSDATAFORMAT form.
WavSpec Extensible(WavSpec wav, std::uint16_t subFormatTag);
// Interleaved 16-bit samples as little-endian bytes.
std::vector<std::uint8_t> SampleBytes(const std::vector<std::int16_t>& samples);

std::vector<std::uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

std::uint32_t U32At(const std::vector<std::uint8_t>& bytes, std::size_t offset);
std::uint16_t U16At(const std::vector<std::uint8_t>& bytes, std::size_t offset);

// A result file as the job writes it: checks the fixed 44-byte layout (gtest failures) and
// returns the interleaved samples after it.
std::vector<std::int16_t> ReadResultWav(const std::string& path, std::uint32_t expectedRate,
                                        std::uint16_t expectedTag = 1);

}  // namespace merolune::test
