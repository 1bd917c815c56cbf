#pragma once
// RIFF/WAVE headers: the format record, the canonical 44-byte header, and the chunk scan that reads one.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "LittleEndian.h"

namespace merolune {

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

// The canonical header: "RIFF", its size, "WAVE", a 16-byte "fmt " chunk, then the "data" chunk's
// header; the samples follow at kWaveHeaderSize.
inline constexpr std::uint32_t kWaveHeaderSize = 44;
inline constexpr std::uint32_t kRiffSizeOffset = 4;
inline constexpr std::uint32_t kDataSizeOffset = 40;
// The format block every "fmt " chunk starts with.
inline constexpr std::uint32_t kWaveFormatSize = 16;
inline constexpr std::uint16_t kWaveFormatPcm = 1;
inline constexpr std::uint16_t kWaveFormatExtensible = 0xFFFE;

// The four bytes of a chunk name.
inline void StoreTag(std::uint8_t* p, const char* tag) noexcept { std::memcpy(p, tag, 4); }

inline bool TagIs(const std::uint8_t* p, const char* tag) noexcept { return std::memcmp(p, tag, 4) == 0; }

// Writers disagree on the case of chunk names ("DATA" turns up), so those compare without case;
// ASCII folding only, independent of the locale.
constexpr bool TagIsNoCase(const std::uint8_t* p, const char* tag) noexcept {
  for (int i = 0; i < 4; ++i) {
    auto fold = [](unsigned c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    if (fold(p[i]) != fold(static_cast<unsigned char>(tag[i]))) return false;
  }
  return true;
}

// The format of interleaved integer PCM: tag 1, whole bytes per sample. The block and byte rate are
// worked out in 32 bits and stored cut to their fields' widths, as every writer here always did.
constexpr WaveFormatInfo PcmWaveFormat(std::uint32_t channels, std::uint32_t sampleRate, std::uint32_t bits) noexcept {
  const std::uint32_t blockAlign = channels * bits / 8;
  WaveFormatInfo f;
  f.FormatTag = kWaveFormatPcm;
  f.Channels = static_cast<std::uint16_t>(channels);
  f.SampleRate = sampleRate;
  f.AvgBytesPerSec = sampleRate * blockAlign;
  f.BlockAlign = static_cast<std::uint16_t>(blockAlign);
  f.BitsPerSample = static_cast<std::uint16_t>(bits);
  return f;
}

// The 16-byte format block of `format` at `p`, and back.
constexpr void StoreWaveFormat(std::uint8_t* p, const WaveFormatInfo& format) noexcept {
  StoreU16(p, format.FormatTag);
  StoreU16(p + 2, format.Channels);
  StoreU32(p + 4, format.SampleRate);
  StoreU32(p + 8, format.AvgBytesPerSec);
  StoreU16(p + 12, format.BlockAlign);
  StoreU16(p + 14, format.BitsPerSample);
}

constexpr void LoadWaveFormat(const std::uint8_t* p, WaveFormatInfo& format) noexcept {
  format.FormatTag = LoadU16(p);
  format.Channels = LoadU16(p + 2);
  format.SampleRate = LoadU32(p + 4);
  format.AvgBytesPerSec = LoadU32(p + 8);
  format.BlockAlign = LoadU16(p + 12);
  format.BitsPerSample = LoadU16(p + 14);
}

// The canonical header for `format` (only its six format fields are used), with the sizes as given:
// a file still being written states 0, or whatever its writer patches in later.
inline std::array<std::uint8_t, kWaveHeaderSize> MakeWaveHeader(const WaveFormatInfo& format, std::uint32_t riffSize,
                                                                std::uint32_t dataSize) noexcept {
  std::array<std::uint8_t, kWaveHeaderSize> h{};
  StoreTag(&h[0], "RIFF");
  StoreU32(&h[kRiffSizeOffset], riffSize);
  StoreTag(&h[8], "WAVE");
  StoreTag(&h[12], "fmt ");
  StoreU32(&h[16], kWaveFormatSize);
  StoreWaveFormat(&h[20], format);
  StoreTag(&h[36], "data");
  StoreU32(&h[kDataSizeOffset], dataSize);
  return h;
}

// The readers below take any byte source with
//   bool ReadExact(void* buffer, std::size_t count)  -- false when the source ends first
//   void SeekTo(std::uint64_t position)
//   std::uint64_t Position() const, std::uint64_t Size() const
// and throw only what the source throws.

// One chunk as the scan meets it: its name, its size as stored, where its body starts.
struct RiffChunk {
  std::array<std::uint8_t, 4> Tag{};
  std::uint32_t Size = 0;
  std::uint64_t Body = 0;
};

enum class ChunkScan { Next, Stop };

// Walks the chunks from the source's current position, which must be the start of a chunk header,
// calling visit(const RiffChunk&) with the source at the chunk's body; the visitor may read the body
// and returns ChunkScan::Stop to end the walk. The stored size (padded to an even count), not anything
// inside the body, decides where the next chunk starts: some writers get the counts inside wrong, and
// following them would misalign the scan. The walk also ends at the end of the source, at a header cut
// short, and at a chunk that runs past the end. Positions are 64-bit so that a stored size near 4 GiB
// cannot wrap around and send the scan backwards into chunks already seen.
template <class Source, class Visit>
void ScanChunks(Source& source, Visit&& visit) {
  const std::uint64_t end = source.Size();
  std::uint64_t position = source.Position();
  std::array<std::uint8_t, 8> head{};
  while (position < end && end - position >= head.size()) {
    if (!source.ReadExact(head.data(), head.size())) return;
    RiffChunk chunk;
    std::copy_n(head.begin(), 4, chunk.Tag.begin());
    chunk.Size = LoadU32(&head[4]);
    chunk.Body = position + head.size();
    if (visit(static_cast<const RiffChunk&>(chunk)) == ChunkScan::Stop) return;
    const std::uint64_t next = chunk.Body + chunk.Size + (chunk.Size & 1U);
    if (next > end) return;
    source.SeekTo(next);
    position = next;
  }
}

// Reads a RIFF/WAVE header from the source's current position and leaves the source at
// DataStart when a "data" chunk was found. A source that is not RIFF/WAVE is not an error:
// the reader returns early with RiffFound or WaveFound false. Chunk sizes that run past the
// end of the source end the scan.
template <class Source>
void ReadWaveHeader(Source& source, WaveFormatInfo& info) {
  std::array<std::uint8_t, 4> word{};
  if (!source.ReadExact(word.data(), 4) || !TagIs(word.data(), "RIFF")) return;
  info.RiffFound = true;
  if (!source.ReadExact(word.data(), 4)) return;
  info.RiffSize = LoadU32(word.data());
  if (!source.ReadExact(word.data(), 4) || !TagIs(word.data(), "WAVE")) return;
  info.WaveFound = true;

  ScanChunks(source, [&](const RiffChunk& chunk) {
    if (TagIsNoCase(chunk.Tag.data(), "data")) {
      // DataStart cannot express a body beyond 4 GiB; such a chunk is as good as absent.
      if (chunk.Body <= UINT32_MAX) {
        info.DataStart = static_cast<std::uint32_t>(chunk.Body);
        info.DataSize = chunk.Size;
      }
      return ChunkScan::Stop;
    }
    if (TagIsNoCase(chunk.Tag.data(), "fmt ")) {
      info.FormatChunkSize = chunk.Size;
      // Fewer than 16 bytes cannot hold the format block; whatever follows belongs to the
      // next chunk and must not be taken for it.
      std::array<std::uint8_t, kWaveFormatSize> format{};
      if (chunk.Size >= format.size()) {
        if (!source.ReadExact(format.data(), format.size())) return ChunkScan::Stop;
        LoadWaveFormat(format.data(), info);
      }
      // WAVE_FORMAT_EXTENSIBLE: cbSize 22, valid bits, channel mask, then the sub-format GUID,
      // whose first two bytes are a format tag when the rest is the standard KSDATAFORMAT tail.
      constexpr std::array<std::uint8_t, 14> kGuidTail{0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
      std::array<std::uint8_t, 24> extension{};
      if (info.FormatTag == kWaveFormatExtensible && chunk.Size >= format.size() + extension.size()) {
        if (!source.ReadExact(extension.data(), extension.size())) return ChunkScan::Stop;
        if (LoadU16(extension.data()) >= 22 &&
            std::equal(kGuidTail.begin(), kGuidTail.end(), extension.begin() + 10))
          info.SubFormatTag = LoadU16(extension.data() + 8);
      }
    }
    return ChunkScan::Next;
  });
}

// Writes the 44-byte header of a 16-bit stereo PCM file at offset 0 in one write, taking only
// FormatTag and SampleRate from `format`; leaves the sink at offset 44. The sink has
// void SeekTo(std::uint64_t) and void Write(const void*, std::size_t).
template <class Sink>
void WriteWaveHeader(std::uint32_t riffSize, std::uint32_t dataSize, const WaveFormatInfo& format, Sink& sink) {
  WaveFormatInfo stereo = PcmWaveFormat(2, format.SampleRate, 16);
  stereo.FormatTag = format.FormatTag;
  const auto header = MakeWaveHeader(stereo, riffSize, dataSize);
  sink.SeekTo(0);
  sink.Write(header.data(), header.size());
}

}  // namespace merolune
