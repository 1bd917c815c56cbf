// Test-side RIFF/WAVE building and reading, byte by byte.
#include "WavFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace merolune::test {

namespace {

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutId(std::vector<std::uint8_t>& out, const std::string& id) {
  for (std::size_t i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(i < id.size() ? id[i] : ' '));
}
void PutChunk(std::vector<std::uint8_t>& out, const Chunk& c) {
  PutId(out, c.Id);
  Put32(out, static_cast<std::uint32_t>(c.Body.size()));
  out.insert(out.end(), c.Body.begin(), c.Body.end());
  if (c.Body.size() % 2) out.push_back(0);
}

}  // namespace

std::vector<std::uint8_t> MakeWav(const WavSpec& wav) {
  std::vector<std::uint8_t> body;
  PutId(body, wav.WaveId);
  if (wav.WithFormat) {
    std::vector<std::uint8_t> fmt;
    const std::uint16_t align = static_cast<std::uint16_t>(wav.Channels * wav.BitsPerSample / 8);
    Put16(fmt, wav.FormatTag);
    Put16(fmt, wav.Channels);
    Put32(fmt, wav.SampleRate);
    Put32(fmt, wav.SampleRate * align);
    Put16(fmt, align);
    Put16(fmt, wav.BitsPerSample);
    fmt.insert(fmt.end(), wav.FormatExtension.begin(), wav.FormatExtension.end());
    fmt.resize(wav.FormatChunkSize, 0);
    PutChunk(body, {"fmt ", fmt});
  }
  for (const Chunk& c : wav.Before) PutChunk(body, c);
  if (wav.WithData) {
    PutId(body, "data");
    Put32(body, wav.DataSizeField.value_or(static_cast<std::uint32_t>(wav.Data.size())));
    body.insert(body.end(), wav.Data.begin(), wav.Data.end());
    if (!wav.After.empty() && wav.Data.size() % 2) body.push_back(0);
  }
  for (const Chunk& c : wav.After) PutChunk(body, c);
  std::vector<std::uint8_t> file;
  PutId(file, wav.RiffId);
  Put32(file, static_cast<std::uint32_t>(body.size()));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

WavSpec Extensible(WavSpec wav, std::uint16_t subFormatTag) {
  wav.FormatTag = 0xFFFE;
  wav.FormatChunkSize = 40;
  std::vector<std::uint8_t> ext;
  Put16(ext, 22);                     // cbSize
  Put16(ext, wav.BitsPerSample);      // valid bits
  Put32(ext, 3);                      // front left and right
  Put16(ext, subFormatTag);           // the GUID's first field, then the fixed KSDATAFORMAT tail
  constexpr std::uint8_t kTail[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  ext.insert(ext.end(), std::begin(kTail), std::end(kTail));
  wav.FormatExtension = ext;
  return wav;
}

std::vector<std::uint8_t> SampleBytes(const std::vector<std::int16_t>& samples) {
  std::vector<std::uint8_t> out;
  out.reserve(samples.size() * 2);
  for (std::int16_t s : samples) Put16(out, static_cast<std::uint16_t>(s));
  return out;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::uint32_t U32At(const std::vector<std::uint8_t>& b, std::size_t o) {
  return static_cast<std::uint32_t>(b.at(o) | (b.at(o + 1) << 8) | (b.at(o + 2) << 16)) |
         (static_cast<std::uint32_t>(b.at(o + 3)) << 24);
}

std::uint16_t U16At(const std::vector<std::uint8_t>& b, std::size_t o) {
  return static_cast<std::uint16_t>(b.at(o) | (b.at(o + 1) << 8));
}

std::vector<std::int16_t> ReadResultWav(const std::string& path, std::uint32_t expectedRate,
                                        std::uint16_t expectedTag) {
  const std::vector<std::uint8_t> b = ReadBytes(path);
  EXPECT_GE(b.size(), 44u);
  if (b.size() < 44) return {};
  const std::uint32_t dataSize = static_cast<std::uint32_t>(b.size() - 44);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  EXPECT_EQ(U32At(b, 4), dataSize + 36);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(U32At(b, 16), 16u);
  EXPECT_EQ(U16At(b, 20), expectedTag);
  EXPECT_EQ(U16At(b, 22), 2u);
  EXPECT_EQ(U32At(b, 24), expectedRate);
  EXPECT_EQ(U32At(b, 28), expectedRate * 4);
  EXPECT_EQ(U16At(b, 32), 4u);
  EXPECT_EQ(U16At(b, 34), 16u);
  EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
  EXPECT_EQ(U32At(b, 40), dataSize);
  EXPECT_EQ(dataSize % 4, 0u);
  std::vector<std::int16_t> samples(dataSize / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(U16At(b, 44 + 2 * i));
  return samples;
}

}  // namespace merolune::test
