// Fuzz target: ReadWaveHeader on arbitrary bytes in memory.
//
// Besides crashes, undefined behaviour and hangs, it checks what callers rely on: the reader
// only writes fields (so a field either comes out the same whatever the caller put in, or keeps
// the caller's value), never writes the stream, stops at the "data" chunk's body inside the
// stream, and reads from the stream's current position rather than from offset 0.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Stream.h"
#include "WaveHeader.h"

namespace {

using namespace merolune;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "FuzzWaveHeader: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// A record whose every number differs from the all-zero one: a field the reader wrote is equal in
// the two results, a field it left alone is zero in one and this value in the other. The flags are
// only ever set to true, so both records start them false.
WaveFormatInfo Prefilled() {
  WaveFormatInfo info;
  info.RiffSize = 0xA5A5A5A5;
  info.FormatTag = 0xA5A5;
  info.Channels = 0xA5A5;
  info.SampleRate = 0xA5A5A5A5;
  info.AvgBytesPerSec = 0xA5A5A5A5;
  info.BlockAlign = 0xA5A5;
  info.BitsPerSample = 0xA5A5;
  info.DataStart = 0xA5A5A5A5;
  info.DataSize = 0xA5A5A5A5;
  info.FormatChunkSize = 0xA5A5A5A5;
  return info;
}

// Which fields a read wrote, told apart by the two starting records.
struct Written {
  bool RiffSize, FormatTag, Channels, SampleRate, AvgBytesPerSec, BlockAlign, BitsPerSample, DataStart,
      DataSize, FormatChunkSize;
};

template <class T>
bool WasWritten(T fromZero, T fromFilled, T filled) {
  if (fromZero == fromFilled) return true;
  // Anything else than "kept the caller's value in both" means the result depends on the caller's
  // record, or on something else that changed between the two reads.
  Check(fromZero == 0 && fromFilled == filled, "a field depends on the caller's starting value");
  return false;
}

Written Compare(const WaveFormatInfo& z, const WaveFormatInfo& f) {
  const WaveFormatInfo p = Prefilled();
  Check(z.RiffFound == f.RiffFound && z.WaveFound == f.WaveFound, "the flags depend on the caller's record");
  return Written{
      WasWritten(z.RiffSize, f.RiffSize, p.RiffSize),
      WasWritten(z.FormatTag, f.FormatTag, p.FormatTag),
      WasWritten(z.Channels, f.Channels, p.Channels),
      WasWritten(z.SampleRate, f.SampleRate, p.SampleRate),
      WasWritten(z.AvgBytesPerSec, f.AvgBytesPerSec, p.AvgBytesPerSec),
      WasWritten(z.BlockAlign, f.BlockAlign, p.BlockAlign),
      WasWritten(z.BitsPerSample, f.BitsPerSample, p.BitsPerSample),
      WasWritten(z.DataStart, f.DataStart, p.DataStart),
      WasWritten(z.DataSize, f.DataSize, p.DataSize),
      WasWritten(z.FormatChunkSize, f.FormatChunkSize, p.FormatChunkSize),
  };
}

// Reads the header of `bytes` placed after `offset` bytes of filler, starting at that offset;
// returns the stream's position after the read.
std::uint64_t Read(const std::uint8_t* data, std::size_t size, std::size_t offset, WaveFormatInfo& info) {
  std::vector<std::uint8_t> bytes(offset, 0xFF);
  bytes.insert(bytes.end(), data, data + size);
  MemoryStream stream(bytes);
  stream.Seek(static_cast<std::int64_t>(offset), SeekOrigin::Begin);
  ReadWaveHeader(stream, info);
  Check(stream.Bytes() == bytes, "the reader changed the stream");
  return stream.Position();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  WaveFormatInfo fromZero{};
  const std::uint64_t position = Read(data, size, 0, fromZero);
  WaveFormatInfo fromFilled = Prefilled();
  Read(data, size, 0, fromFilled);
  const Written w = Compare(fromZero, fromFilled);
  const WaveFormatInfo& info = fromZero;

  // The two tags decide the flags, and nothing beyond the RIFF size is read without both.
  const bool riff = size >= 4 && std::memcmp(data, "RIFF", 4) == 0;
  const bool wave = riff && size >= 12 && std::memcmp(data + 8, "WAVE", 4) == 0;
  Check(info.RiffFound == riff, "RiffFound does not match the first four bytes");
  Check(info.WaveFound == wave, "WaveFound does not match bytes 8..11");
  Check(w.RiffSize == (riff && size >= 8), "RiffSize written without a RIFF tag and size");
  if (w.RiffSize) Check(info.RiffSize == LoadU32(data + 4), "RiffSize is not the stored value");
  if (!wave) {
    Check(!(w.FormatTag || w.Channels || w.SampleRate || w.AvgBytesPerSec || w.BlockAlign ||
            w.BitsPerSample || w.DataStart || w.DataSize || w.FormatChunkSize),
          "a chunk field was written for a stream that is not RIFF/WAVE");
  }

  // The six format fields come from one 16-byte block: all of them or none, and only from a
  // "fmt " chunk the scan reached.
  const int formatFields =
      w.FormatTag + w.Channels + w.SampleRate + w.AvgBytesPerSec + w.BlockAlign + w.BitsPerSample;
  Check(formatFields == 0 || formatFields == 6, "only some of the format fields were written");
  if (formatFields == 6) {
    Check(w.FormatChunkSize, "format fields written without a format chunk size");
    Check(size >= 12 + 8 + 16, "format fields written from a stream too short to hold them");
  }

  // A "data" chunk: its body starts inside the stream (its size may run past the end, the job
  // cuts it), on a chunk boundary after the first chunk header, right after a header naming it.
  Check(w.DataStart == w.DataSize, "DataStart and DataSize were not written together");
  if (w.DataStart) {
    Check(info.DataStart >= 20 && info.DataStart <= size, "DataStart outside the stream");
    Check(info.DataStart % 2 == 0, "DataStart is not on a chunk boundary");
    Check(TagIsNoCase(data + info.DataStart - 8, "data"), "DataStart does not follow a data chunk header");
    Check(info.DataSize == LoadU32(data + info.DataStart - 4), "DataSize is not the stored value");
    Check(position == info.DataStart, "the stream is not left at DataStart");
  }

  // The same bytes further into a stream give the same header, with DataStart moved along.
  constexpr std::size_t kOffset = 7;
  WaveFormatInfo shifted{};
  Read(data, size, kOffset, shifted);
  WaveFormatInfo expected = info;
  if (w.DataStart) expected.DataStart += kOffset;
  Check(shifted.RiffSize == expected.RiffSize && shifted.RiffFound == expected.RiffFound &&
            shifted.WaveFound == expected.WaveFound && shifted.FormatTag == expected.FormatTag &&
            shifted.Channels == expected.Channels && shifted.SampleRate == expected.SampleRate &&
            shifted.AvgBytesPerSec == expected.AvgBytesPerSec && shifted.BlockAlign == expected.BlockAlign &&
            shifted.BitsPerSample == expected.BitsPerSample && shifted.DataStart == expected.DataStart &&
            shifted.DataSize == expected.DataSize && shifted.FormatChunkSize == expected.FormatChunkSize,
        "the header read from a later stream position differs");
  return 0;
}
