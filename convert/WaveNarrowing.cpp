// Hi-res and floating-point WAV files to 16-bit PCM with triangular dither, at their own rate.

#include "WaveNarrowing.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "AuException.h"
#include "Dither16.h"
#include "Exception.h"
#include "LittleEndian.h"
#include "Stream.h"

namespace merolune {

namespace {

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;
constexpr std::uint16_t kExtensible = 0xFFFE;
constexpr std::size_t kChunkFrames = 16384;

std::uint16_t Coding(const WaveFormatInfo& f) { return f.FormatTag == kExtensible ? f.SubFormatTag : f.FormatTag; }

// One stored sample in 16-bit steps' terms, dithered.
std::int16_t NarrowSample(const std::uint8_t* p, bool isFloat, unsigned bits, Dither16& dither) {
  if (isFloat) {
    if (bits == 32) return dither.FromFloat(std::bit_cast<float>(LoadU32(p)));
    std::uint64_t raw = 0;
    std::memcpy(&raw, p, 8);
    return dither.FromFloat(std::bit_cast<double>(raw));
  }
  if (bits == 24) return dither.Narrow(LoadS24(p) / 256.0);
  return dither.FromInt32(LoadS32(p));
}

}  // namespace

bool IsWideWave(const WaveFormatInfo& f) {
  if (!f.RiffFound || !f.WaveFound || f.FormatChunkSize < 16 || f.Channels == 0) return false;
  switch (Coding(f)) {
    case kPcm:
      return f.BitsPerSample == 24 || f.BitsPerSample == 32;
    case kFloat:
      return f.BitsPerSample == 32 || f.BitsPerSample == 64;
    default:
      return false;
  }
}

NarrowingResult NarrowWave(const std::string& source, const std::string& dest,
                           const std::function<bool(double)>& progress) {
  FileStream in(source, FileStream::Mode::Read);
  WaveFormatInfo info{};
  ReadWaveHeader(in, info);
  if (!IsWideWave(info)) throw EAuException("Not a 24/32-bit or floating-point WAV file: " + source);
  NarrowingResult result;
  result.Float = Coding(info) == kFloat;
  result.SourceBits = info.BitsPerSample;
  const unsigned channels = info.Channels;
  const std::size_t bytesPerSample = info.BitsPerSample / 8;
  const std::size_t bytesPerFrame = bytesPerSample * channels;
  const std::uint64_t size = in.Size();
  const std::uint64_t start = std::min<std::uint64_t>(info.DataStart, size);
  std::uint64_t end = start + info.DataSize;
  if (info.DataSize == 0 || end > size) end = size;
  const std::uint64_t frames = (end - start) / bytesPerFrame;
  // The 16-bit result must fit the header's 32-bit sizes.
  const std::uint64_t outBytes = frames * channels * 2;
  if (outBytes > 0xFFFFFFFFull - 36) throw EAuException("The 16-bit result would exceed 4 GiB: " + source);

  struct Remove {
    const std::string& path;
    bool keep = false;
    ~Remove() {
      if (!keep) DeleteFileIfExists(path);
    }
  } remove{dest};
  FileStream out(dest, FileStream::Mode::Create);
  WaveFormatInfo header = PcmWaveFormat(channels, info.SampleRate, 16);
  const auto head = MakeWaveHeader(header, static_cast<std::uint32_t>(36 + outBytes), static_cast<std::uint32_t>(outBytes));
  out.Write(head.data(), head.size());

  Dither16 dither;
  std::vector<std::uint8_t> raw(kChunkFrames * bytesPerFrame);
  std::vector<std::uint8_t> narrow(kChunkFrames * channels * 2);
  in.SeekTo(start);
  for (std::uint64_t done = 0; done < frames;) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkFrames, frames - done));
    if (!in.ReadExact(raw.data(), count * bytesPerFrame)) throw EAuException("Unexpected end of " + source);
    for (std::size_t i = 0; i < count * channels; ++i) {
      const std::int16_t value = NarrowSample(&raw[i * bytesPerSample], result.Float, info.BitsPerSample, dither);
      StoreU16(&narrow[2 * i], static_cast<std::uint16_t>(value));
    }
    out.Write(narrow.data(), count * channels * 2);
    done += count;
    if (progress && !progress(static_cast<double>(done) / static_cast<double>(frames))) throw EAbort();
  }
  out.Close();
  remove.keep = true;
  result.Frames = frames;
  result.Overs = dither.Overs();
  return result;
}

std::string OversNote(const NarrowingResult& result) {
  if (result.Overs == 0) return {};
  return std::to_string(result.SourceBits) + "-bit float source: " + std::to_string(result.Overs) +
         " samples beyond full scale were clipped";
}

}  // namespace merolune
