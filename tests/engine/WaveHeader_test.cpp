// ReadWaveHeader and WriteWaveHeader against hand-built bytes and files the peer tools write.

#include "WaveHeader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "Stream.h"
#include "TempDir.h"
#include "WaveFFT.h"

namespace merolune {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Byte builders: every multi-byte value is spelled out little-endian, independently of the code
// under test.

void PutTag(Bytes& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(tag[i]));
}

void PutU16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(Bytes& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
}

// "RIFF", a size the reader does not use, "WAVE".
Bytes RiffWave(std::uint32_t riffSize = 0) {
  Bytes out;
  PutTag(out, "RIFF");
  PutU32(out, riffSize);
  PutTag(out, "WAVE");
  return out;
}

// A chunk whose stored size is the body's length, padded to an even length as RIFF requires.
void PutChunk(Bytes& out, const char* tag, const Bytes& body) {
  PutTag(out, tag);
  PutU32(out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  if (body.size() % 2 != 0) out.push_back(0);
}

// A chunk header with any stored size, for sizes that lie about the body.
void PutChunkHeader(Bytes& out, const char* tag, std::uint32_t size) {
  PutTag(out, tag);
  PutU32(out, size);
}

// The 16-byte format block of integer PCM (or any tag).
Bytes FormatBlock(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  Bytes out;
  const auto align = static_cast<std::uint16_t>(channels * bits / 8);
  PutU16(out, tag);
  PutU16(out, channels);
  PutU32(out, rate);
  PutU32(out, rate * align);
  PutU16(out, align);
  PutU16(out, bits);
  return out;
}

Bytes Filler(std::size_t n, std::uint8_t value = 0x5A) { return Bytes(n, value); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A record with a distinct value in every field, so that a field the reader must not touch shows
// up if it was touched.
WaveFormatInfo Preset() {
  WaveFormatInfo info;
  info.RiffFound = false;
  info.RiffSize = 0x11111111;
  info.WaveFound = false;
  info.FormatTag = 0x2222;
  info.Channels = 0x3333;
  info.SampleRate = 0x44444444;
  info.AvgBytesPerSec = 0x55555555;
  info.BlockAlign = 0x6666;
  info.BitsPerSample = 0x7777;
  info.DataStart = 0x88888888;
  info.DataSize = 0x99999999;
  info.FormatChunkSize = 0xAAAAAAAA;
  return info;
}

// One line naming every field, so that a mismatch shows the whole record at once.
std::string Describe(const WaveFormatInfo& i) {
  std::ostringstream s;
  s << "Riff=" << i.RiffFound << " RiffSize=" << i.RiffSize << " Wave=" << i.WaveFound << " Tag=" << i.FormatTag
    << " Channels=" << i.Channels << " Rate=" << i.SampleRate << " Avg=" << i.AvgBytesPerSec
    << " Align=" << i.BlockAlign << " Bits=" << i.BitsPerSample << " DataStart=" << i.DataStart
    << " DataSize=" << i.DataSize << " FmtSize=" << i.FormatChunkSize;
  return s.str();
}

// Expected record after a RIFF/WAVE header of the given RIFF size.
WaveFormatInfo Riff(std::uint32_t riffSize = 0) {
  WaveFormatInfo e = Preset();
  e.RiffFound = true;
  e.RiffSize = riffSize;
  e.WaveFound = true;
  return e;
}

WaveFormatInfo WithFormat(WaveFormatInfo e, std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                          std::uint16_t bits, std::uint32_t fmtSize) {
  e.FormatTag = tag;
  e.Channels = channels;
  e.SampleRate = rate;
  e.BlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
  e.AvgBytesPerSec = rate * e.BlockAlign;
  e.BitsPerSample = bits;
  e.FormatChunkSize = fmtSize;
  return e;
}

WaveFormatInfo WithData(WaveFormatInfo e, std::uint32_t start, std::uint32_t size) {
  e.DataStart = start;
  e.DataSize = size;
  return e;
}

WaveFormatInfo PcmStereo44k(std::uint32_t fmtSize = 16) { return WithFormat(Riff(), 1, 2, 44100, 16, fmtSize); }

// ---------------------------------------------------------------------------------------------
// ReadWaveHeader on hand-built headers. Every expected DataStart is counted by hand:
// 12 bytes of RIFF/size/WAVE, 8 per chunk header, then the bodies with their pad bytes.

struct ReadCase {
  std::string name;
  Bytes bytes;
  WaveFormatInfo expected;
  // Where the stream must be left; only checked when a "data" chunk is found.
  std::optional<std::uint64_t> position;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

std::vector<ReadCase> ReadCases() {
  std::vector<ReadCase> cases;
  const Bytes pcm = FormatBlock(1, 2, 44100, 16);

  {
    Bytes b = RiffWave(36 + 8);
    PutChunk(b, "fmt ", pcm);
    PutChunk(b, "data", Filler(8));
    cases.push_back({"CanonicalPcmHeaderGivesDataAt44", b, WithData(WithFormat(Riff(44), 1, 2, 44100, 16, 16), 44, 8), 44});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", pcm);
    PutChunk(b, "LIST", Filler(27));  // skipped as 27 + 1 pad byte
    PutChunk(b, "data", Filler(4));
    cases.push_back({"OddSizedListChunkIsSkippedWithItsPadByte", b, WithData(PcmStereo44k(), 12 + 24 + 36 + 8, 4), 80});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", Concat(pcm, {0, 0}));  // size 18, extra count 0
    PutChunk(b, "data", Filler(4));
    cases.push_back({"FmtOfSize18WithZeroExtraCount", b, WithData(PcmStereo44k(18), 12 + 26 + 8, 4), 46});
  }
  {
    Bytes ext = FormatBlock(0xFFFE, 2, 48000, 24);
    PutU16(ext, 22);  // extra count
    const Bytes extra = Filler(22, 0x33);
    ext.insert(ext.end(), extra.begin(), extra.end());
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", ext);  // size 40
    PutChunk(b, "data", Filler(6));
    cases.push_back(
        {"FmtOfSize40WithExtraCount22", b, WithData(WithFormat(Riff(), 0xFFFE, 2, 48000, 24, 40), 12 + 48 + 8, 6), 68});
  }
  {
    // A writer that stores 22 as the extra count but only 2 bytes of body after the block: the
    // chunk size wins, so the "data" chunk right after it is found.
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", Concat(pcm, {22, 0}));
    PutChunk(b, "data", Filler(40));
    cases.push_back({"FmtExtraCountDisagreeingWithSizeFollowsTheSize", b, WithData(PcmStereo44k(18), 46, 40), 46});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", Concat(pcm, {7, 7, 7}));  // size 19 + 1 pad byte
    PutChunk(b, "data", Filler(4));
    cases.push_back({"FmtOfOddSizeIsSkippedWithItsPadByte", b, WithData(PcmStereo44k(19), 12 + 28 + 8, 4), 48});
  }
  {
    // 14 bytes cannot hold the format; the bytes after them (the next chunk's header) must not
    // be taken for the missing two.
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", Bytes(pcm.begin(), pcm.begin() + 14));
    PutChunk(b, "data", Filler(4));
    WaveFormatInfo e = WithData(Riff(), 12 + 22 + 8, 4);
    e.FormatChunkSize = 14;
    cases.push_back({"ShortFmtChunkIsSkippedAndLeavesTheFormatUntouched", b, e, 42});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", Bytes(pcm.begin(), pcm.begin() + 14));
    PutChunk(b, "fmt ", FormatBlock(1, 1, 8000, 8));
    PutChunk(b, "data", Filler(4));
    cases.push_back({"ProperFmtAfterAShortOneIsRead", b,
                     WithData(WithFormat(Riff(), 1, 1, 8000, 8, 16), 12 + 22 + 24 + 8, 4), 66});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "FMT ", pcm);
    PutChunk(b, "DATA", Filler(4));
    cases.push_back({"UppercaseChunkNamesAreRecognised", b, WithData(PcmStereo44k(), 44, 4), 44});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "Fmt ", pcm);
    PutChunk(b, "dAtA", Filler(4));
    cases.push_back({"MixedCaseChunkNamesAreRecognised", b, WithData(PcmStereo44k(), 44, 4), 44});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "JUNK", Filler(28));
    PutChunk(b, "fmt ", pcm);
    PutChunk(b, "fact", {0x10, 0x27, 0, 0});
    PutChunk(b, "bext", Filler(1));
    PutChunk(b, "data", Filler(4));
    cases.push_back(
        {"UnknownChunksAroundFmtAreSkipped", b, WithData(PcmStereo44k(), 12 + 36 + 24 + 12 + 10 + 8, 4), 102});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "LIST", {});
    PutChunk(b, "fmt ", pcm);
    PutChunk(b, "data", {});
    cases.push_back({"EmptyChunksAreSkippedAndAnEmptyDataChunkIsFound", b, WithData(PcmStereo44k(), 52, 0), 52});
  }
  {
    // Streaming writers leave the size at its maximum; it is kept as stored.
    Bytes b = RiffWave(0xFFFFFFFF);
    PutChunk(b, "fmt ", pcm);
    PutChunkHeader(b, "data", 0xFFFFFFFF);
    const Bytes some = Filler(12);
    b.insert(b.end(), some.begin(), some.end());
    WaveFormatInfo e = WithData(PcmStereo44k(), 44, 0xFFFFFFFF);
    e.RiffSize = 0xFFFFFFFF;
    cases.push_back({"DataSizePastTheEndIsKeptAsStored", b, e, 44});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "data", Filler(4));
    PutChunk(b, "fmt ", pcm);
    cases.push_back({"DataBeforeFmtEndsTheScanWithoutAFormat", b, WithData(Riff(), 20, 4), 20});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", pcm);
    cases.push_back({"FmtAndNothingElseFindsNoData", b, PcmStereo44k(), std::nullopt});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", pcm);
    const Bytes partial = {'d', 'a', 't', 'a', 8, 0, 0};
    b.insert(b.end(), partial.begin(), partial.end());
    cases.push_back({"ChunkHeaderCutShortEndsTheScan", b, PcmStereo44k(), std::nullopt});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", pcm);
    PutChunkHeader(b, "JUNK", 0xFFFFFFF0);
    PutChunk(b, "data", Filler(4));
    cases.push_back({"ChunkSizePastTheEndEndsTheScan", b, PcmStereo44k(), std::nullopt});
  }
  {
    // 0xFFFFFFFF plus its pad byte is 2^32: in 32-bit arithmetic the skip would be 0 and the scan
    // would read the "data" header that follows as if nothing had been skipped.
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", pcm);
    PutChunkHeader(b, "JUNK", 0xFFFFFFFF);
    PutChunk(b, "data", Filler(4));
    cases.push_back({"MaximalOddChunkSizeDoesNotWrapAround", b, PcmStereo44k(), std::nullopt});
  }
  {
    Bytes b = RiffWave();
    PutChunk(b, "fmt ", pcm);
    PutChunkHeader(b, "LIST", 5);  // one byte short of its body
    const Bytes body = Filler(4);
    b.insert(b.end(), body.begin(), body.end());
    cases.push_back({"ChunkOneBytePastTheEndEndsTheScan", b, PcmStereo44k(), std::nullopt});
  }
  {
    Bytes b = RiffWave();
    PutChunkHeader(b, "fmt ", 16);
    const Bytes body(pcm.begin(), pcm.begin() + 10);
    b.insert(b.end(), body.begin(), body.end());
    WaveFormatInfo e = Riff();
    e.FormatChunkSize = 16;
    cases.push_back({"FmtBodyCutShortLeavesTheFormatUntouched", b, e, std::nullopt});
  }
  {
    Bytes b = RiffWave();
    PutChunkHeader(b, "fmt ", 0xFFFFFFF0);
    b.insert(b.end(), pcm.begin(), pcm.end());
    WaveFormatInfo e = PcmStereo44k(0xFFFFFFF0);
    cases.push_back({"FmtSizePastTheEndStillGivesTheFormatBlock", b, e, std::nullopt});
  }
  {
    Bytes b = RiffWave();
    for (int i = 0; i < 50; ++i) PutChunk(b, "pad ", {});
    WaveFormatInfo e = Riff();
    cases.push_back({"ManyEmptyChunksWithoutDataEndTheScan", b, e, std::nullopt});
  }
  cases.push_back({"RiffAndWaveOnlyFindsNothingMore", RiffWave(4), Riff(4), std::nullopt});
  return cases;
}

class ReadWaveHeaderLayout : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadWaveHeaderLayout, FillsTheRecordAsCountedByHand) {
  const ReadCase& c = GetParam();
  MemoryStream stream(c.bytes);
  WaveFormatInfo info = Preset();
  ReadWaveHeader(stream, info);
  EXPECT_EQ(Describe(info), Describe(c.expected));
  if (c.position) {
    EXPECT_EQ(stream.Position(), *c.position);
  }
}

TEST_P(ReadWaveHeaderLayout, ReadsTheSameFromAFileOnDisk) {
  const ReadCase& c = GetParam();
  test::TempDir dir;
  const std::string path = dir.File("layout.wav");
  {
    FileStream out(path, FileStream::Mode::Create);
    out.Write(c.bytes.data(), c.bytes.size());
    out.Close();
  }
  FileStream stream(path, FileStream::Mode::Read);
  WaveFormatInfo info = Preset();
  ReadWaveHeader(stream, info);
  EXPECT_EQ(Describe(info), Describe(c.expected));
  if (c.position) {
    EXPECT_EQ(stream.Position(), *c.position);
  }
}

INSTANTIATE_TEST_SUITE_P(Chunks, ReadWaveHeaderLayout, ::testing::ValuesIn(ReadCases()),
                         [](const ::testing::TestParamInfo<ReadCase>& param) { return param.param.name; });

// Streams that are not RIFF/WAVE: the reader stops at the first mismatch and touches nothing
// after it.
struct NotWaveCase {
  std::string name;
  Bytes bytes;
  WaveFormatInfo expected;
};

void PrintTo(const NotWaveCase& c, std::ostream* os) { *os << c.name; }

std::vector<NotWaveCase> NotWaveCases() {
  Bytes rifx = {'R', 'I', 'F', 'X', 0, 0, 0, 36, 'W', 'A', 'V', 'E'};
  PutChunk(rifx, "fmt ", {0, 1, 0, 2, 0, 0, 0xAC, 0x44, 0, 2, 0xB1, 0x10, 0, 4, 0, 16});
  PutChunk(rifx, "data", Filler(4));
  Bytes rf64 = {'R', 'F', '6', '4', 0xFF, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E'};
  PutChunk(rf64, "ds64", Filler(28, 0));
  PutChunk(rf64, "fmt ", FormatBlock(1, 2, 44100, 16));
  Bytes lowerRiff = RiffWave();
  lowerRiff[0] = 'r';
  Bytes lowerWave = RiffWave(7);
  lowerWave[8] = 'w';
  PutChunk(lowerWave, "fmt ", FormatBlock(1, 2, 44100, 16));
  Bytes avi = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '};

  WaveFormatInfo riffOnly = Preset();
  riffOnly.RiffFound = true;
  WaveFormatInfo riffSizeOnly = riffOnly;
  riffSizeOnly.RiffSize = 7;
  WaveFormatInfo riffSize4 = riffOnly;
  riffSize4.RiffSize = 4;

  return {
      {"EmptyStream", {}, Preset()},
      {"ThreeBytes", {'R', 'I', 'F'}, Preset()},
      {"BigEndianRifx", rifx, Preset()},
      {"Rf64", rf64, Preset()},
      {"LowercaseRiff", lowerRiff, Preset()},
      {"RiffWithoutSize", {'R', 'I', 'F', 'F', 1, 2}, riffOnly},
      {"LowercaseWave", lowerWave, riffSizeOnly},
      {"AviForm", avi, riffSize4},
  };
}

class ReadWaveHeaderNotWave : public ::testing::TestWithParam<NotWaveCase> {};

TEST_P(ReadWaveHeaderNotWave, StopsAndLeavesTheRestUntouched) {
  const NotWaveCase& c = GetParam();
  MemoryStream stream(c.bytes);
  WaveFormatInfo info = Preset();
  ReadWaveHeader(stream, info);
  EXPECT_EQ(Describe(info), Describe(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Forms, ReadWaveHeaderNotWave, ::testing::ValuesIn(NotWaveCases()),
                         [](const ::testing::TestParamInfo<NotWaveCase>& param) { return param.param.name; });

TEST(ReadWaveHeader, StartsAtTheStreamPositionAndReportsAbsoluteOffsets) {
  Bytes b = Filler(100, 0xEE);
  Bytes wave = RiffWave();
  PutChunk(wave, "fmt ", FormatBlock(1, 2, 44100, 16));
  PutChunk(wave, "data", Filler(4));
  b.insert(b.end(), wave.begin(), wave.end());
  MemoryStream stream(b);
  stream.Seek(100, SeekOrigin::Begin);
  WaveFormatInfo info{};
  ReadWaveHeader(stream, info);
  EXPECT_TRUE(info.WaveFound);
  EXPECT_EQ(info.DataStart, 144u);
  EXPECT_EQ(stream.Position(), 144u);
}

TEST(ReadWaveHeader, ZeroRecordOfANonWaveFileKeepsChannelsAndBitsZero) {
  MemoryStream stream(Bytes{'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0});
  WaveFormatInfo info{};
  ReadWaveHeader(stream, info);
  EXPECT_FALSE(info.RiffFound);
  EXPECT_EQ(info.Channels, 0);
  EXPECT_EQ(info.BitsPerSample, 0);
  EXPECT_EQ(info.FormatChunkSize, 0u);
}

// ---------------------------------------------------------------------------------------------
// WriteWaveHeader

WaveFormatInfo SourceFormat(std::uint16_t tag, std::uint32_t rate) {
  WaveFormatInfo f{};
  f.FormatTag = tag;
  f.SampleRate = rate;
  return f;
}

Bytes HeaderBytes(std::uint32_t riffSize, std::uint32_t dataSize, const WaveFormatInfo& format) {
  MemoryStream stream;
  WriteWaveHeader(riffSize, dataSize, format, stream);
  return stream.Bytes();
}

TEST(WriteWaveHeader, FinishedJobOf1000FramesMatchesTheHandWrittenHeader) {
  const Bytes expected = {
      'R',  'I',  'F',  'F',  0xC4, 0x0F, 0x00, 0x00,  // 4036
      'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',   //
      0x10, 0x00, 0x00, 0x00,                          // fmt size 16
      0x01, 0x00,                                      // PCM
      0x02, 0x00,                                      // 2 channels
      0x44, 0xAC, 0x00, 0x00,                          // 44100
      0x10, 0xB1, 0x02, 0x00,                          // 176400
      0x04, 0x00,                                      // 4 bytes per frame
      0x10, 0x00,                                      // 16 bits
      'd',  'a',  't',  'a',  0xA0, 0x0F, 0x00, 0x00,  // 4000
  };
  EXPECT_EQ(HeaderBytes(4036, 4000, SourceFormat(1, 44100)), expected);
}

TEST(WriteWaveHeader, RunningJobHeaderHasZeroSizes) {
  const Bytes bytes = HeaderBytes(0, 0, SourceFormat(1, 44100));
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(Bytes(bytes.begin() + 4, bytes.begin() + 8), Bytes(4, 0));
  EXPECT_EQ(Bytes(bytes.begin() + 40, bytes.begin() + 44), Bytes(4, 0));
}

struct RateCase {
  std::uint32_t rate;
  Bytes rateBytes;
  Bytes bytesPerSecond;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.rate << " Hz"; }

class WriteWaveHeaderRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(WriteWaveHeaderRate, StoresTheRateAndFourBytesPerFrame) {
  const Bytes bytes = HeaderBytes(0, 0, SourceFormat(1, GetParam().rate));
  EXPECT_EQ(Bytes(bytes.begin() + 24, bytes.begin() + 28), GetParam().rateBytes);
  EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.begin() + 32), GetParam().bytesPerSecond);
}

INSTANTIATE_TEST_SUITE_P(Rates, WriteWaveHeaderRate,
                         ::testing::Values(RateCase{22050, {0x22, 0x56, 0, 0}, {0x88, 0x58, 0x01, 0}},  // 88200
                                           RateCase{8000, {0x40, 0x1F, 0, 0}, {0x00, 0x7D, 0, 0}},      // 32000
                                           RateCase{48000, {0x80, 0xBB, 0, 0}, {0x00, 0xEE, 0x02, 0}},  // 192000
                                           RateCase{192000, {0x00, 0xEE, 0x02, 0}, {0x00, 0xB8, 0x0B, 0}}),
                         [](const ::testing::TestParamInfo<RateCase>& param) {
                           return "Hz" + std::to_string(param.param.rate);
                         });

class WriteWaveHeaderTag : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(WriteWaveHeaderTag, CopiesTheSourceTagUnchanged) {
  const Bytes bytes = HeaderBytes(0, 0, SourceFormat(GetParam(), 44100));
  EXPECT_EQ(bytes[20], GetParam() & 0xFF);
  EXPECT_EQ(bytes[21], GetParam() >> 8);
}

INSTANTIATE_TEST_SUITE_P(Tags, WriteWaveHeaderTag, ::testing::Values(0x0001, 0x0003, 0xFFFE, 0x0000));

TEST(WriteWaveHeader, TakesOnlyTagAndRateFromTheSource) {
  WaveFormatInfo source = Preset();
  source.FormatTag = 1;
  source.SampleRate = 44100;
  EXPECT_EQ(HeaderBytes(4036, 4000, source), HeaderBytes(4036, 4000, SourceFormat(1, 44100)));
}

// Counts the writes that reach the stream, to see that the header goes out in one piece.
class CountingStream final : public Stream {
 public:
  std::size_t Read(void* buffer, std::size_t count) override { return inner.Read(buffer, count); }
  void Write(const void* buffer, std::size_t count) override {
    ++writes;
    writeOffsets.push_back(inner.Position());
    inner.Write(buffer, count);
  }
  std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override { return inner.Seek(offset, origin); }
  std::uint64_t Position() const override { return inner.Position(); }
  std::uint64_t Size() const override { return inner.Size(); }

  MemoryStream inner;
  int writes = 0;
  std::vector<std::uint64_t> writeOffsets;
};

TEST(WriteWaveHeader, WritesOnceAtOffsetZeroAndLeavesTheStreamAt44) {
  CountingStream stream;
  const Bytes samples = Filler(4000, 0x12);
  stream.inner.Write(samples.data(), samples.size());  // the stream sits at 4000
  WriteWaveHeader(0, 0, SourceFormat(1, 44100), stream);
  EXPECT_EQ(stream.writes, 1);
  ASSERT_EQ(stream.writeOffsets.size(), 1u);
  EXPECT_EQ(stream.writeOffsets[0], 0u);
  EXPECT_EQ(stream.Position(), 44u);
}

TEST(WriteWaveHeader, PatchingTheHeaderKeepsTheSamplesBehindIt) {
  MemoryStream stream;
  WriteWaveHeader(0, 0, SourceFormat(1, 44100), stream);
  const Bytes samples = Filler(4000, 0x12);
  stream.Write(samples.data(), samples.size());
  WriteWaveHeader(4036, 4000, SourceFormat(1, 44100), stream);
  ASSERT_EQ(stream.Size(), 4044u);
  EXPECT_EQ(Bytes(stream.Bytes().begin() + 44, stream.Bytes().end()), samples);
  EXPECT_EQ(Bytes(stream.Bytes().begin(), stream.Bytes().begin() + 44), HeaderBytes(4036, 4000, SourceFormat(1, 44100)));
}

TEST(WriteWaveHeader, ReadsBackThroughReadWaveHeader) {
  MemoryStream stream;
  WriteWaveHeader(4036, 4000, SourceFormat(1, 22050), stream);
  const Bytes samples = Filler(4000, 0);
  stream.Write(samples.data(), samples.size());
  stream.Seek(0, SeekOrigin::Begin);
  WaveFormatInfo info{};
  ReadWaveHeader(stream, info);
  WaveFormatInfo expected{};
  expected.RiffFound = true;
  expected.RiffSize = 4036;
  expected.WaveFound = true;
  EXPECT_EQ(Describe(info), Describe(WithData(WithFormat(expected, 1, 2, 22050, 16, 16), 44, 4000)));
}

// ---------------------------------------------------------------------------------------------
// MakeWaveHeader, PcmWaveFormat, ScanChunks and the little-endian helpers

TEST(MakeWaveHeader, MonoEightBitHeaderMatchesTheHandWrittenOne) {
  const Bytes expected = {
      'R',  'I',  'F',  'F',  0x2E, 0x00, 0x00, 0x00,  // 46
      'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',   //
      0x10, 0x00, 0x00, 0x00,                          // fmt size 16
      0x01, 0x00,                                      // PCM
      0x01, 0x00,                                      // 1 channel
      0x40, 0x1F, 0x00, 0x00,                          // 8000
      0x40, 0x1F, 0x00, 0x00,                          // 8000 bytes a second
      0x01, 0x00,                                      // 1 byte per frame
      0x08, 0x00,                                      // 8 bits
      'd',  'a',  't',  'a',  0x0A, 0x00, 0x00, 0x00,  // 10
  };
  const auto header = MakeWaveHeader(PcmWaveFormat(1, 8000, 8), 46, 10);
  EXPECT_EQ(Bytes(header.begin(), header.end()), expected);
}

TEST(PcmWaveFormat, SixChannelsOf24BitsTake18BytesAFrame) {
  const WaveFormatInfo f = PcmWaveFormat(6, 48000, 24);
  EXPECT_EQ(f.FormatTag, 1);
  EXPECT_EQ(f.Channels, 6);
  EXPECT_EQ(f.SampleRate, 48000u);
  EXPECT_EQ(f.BlockAlign, 18);
  EXPECT_EQ(f.AvgBytesPerSec, 864000u);
  EXPECT_EQ(f.BitsPerSample, 24);
}

TEST(ScanChunks, VisitsEachChunkOnceWithItsBodyOffsetAndSkipsThePadByte) {
  // 12 bytes of RIFF/WAVE, then "abcd" with 3 bytes (+1 pad) at 20, "efgh" with 2 bytes at 32.
  Bytes bytes = RiffWave();
  PutChunk(bytes, "abcd", Filler(3));
  PutChunk(bytes, "efgh", Filler(2));
  MemoryStream stream(bytes);
  stream.SeekTo(12);
  std::vector<std::pair<std::string, std::uint64_t>> seen;
  ScanChunks(stream, [&](const RiffChunk& chunk) {
    seen.emplace_back(std::string(chunk.Tag.begin(), chunk.Tag.end()), chunk.Body);
    EXPECT_EQ(stream.Position(), chunk.Body);
    return ChunkScan::Next;
  });
  const std::vector<std::pair<std::string, std::uint64_t>> expected = {{"abcd", 20}, {"efgh", 32}};
  EXPECT_EQ(seen, expected);
}

TEST(ScanChunks, StopsWhenTheVisitorSaysSoAndAtAChunkRunningPastTheEnd) {
  Bytes bytes = RiffWave();
  PutChunk(bytes, "abcd", Filler(2));
  PutChunk(bytes, "efgh", Filler(2));
  int visits = 0;
  MemoryStream first(bytes);
  first.SeekTo(12);
  ScanChunks(first, [&](const RiffChunk&) {
    ++visits;
    return ChunkScan::Stop;
  });
  EXPECT_EQ(visits, 1);

  Bytes cut = RiffWave();
  PutChunkHeader(cut, "long", 1000);
  PutChunk(cut, "late", Filler(2));
  visits = 0;
  MemoryStream second(cut);
  second.SeekTo(12);
  ScanChunks(second, [&](const RiffChunk& chunk) {
    ++visits;
    EXPECT_EQ(chunk.Size, 1000u);
    return ChunkScan::Next;
  });
  EXPECT_EQ(visits, 1);
}

TEST(LittleEndian, StoresAndLoadsLowByteFirst) {
  std::array<std::uint8_t, 4> bytes{};
  StoreU32(bytes.data(), 0x12345678);
  EXPECT_EQ(bytes, (std::array<std::uint8_t, 4>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(LoadU32(bytes.data()), 0x12345678u);
  EXPECT_EQ(LoadU16(bytes.data() + 2), 0x1234);
  StoreU16(bytes.data(), 0x18000);  // only the low 16 bits are kept
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[1], 0x80);
  EXPECT_EQ(LoadS16(bytes.data()), -32768);
}

TEST(LittleEndian, WideSamplesKeepTheirSign) {
  const std::array<std::uint8_t, 4> minusTwo24 = {0xFE, 0xFF, 0xFF, 0x00};  // the fourth byte is not read
  EXPECT_EQ(LoadS24(minusTwo24.data()), -2);
  const std::array<std::uint8_t, 3> maxPositive24 = {0xFF, 0xFF, 0x7F};
  EXPECT_EQ(LoadS24(maxPositive24.data()), 8388607);
  const std::array<std::uint8_t, 3> mostNegative24 = {0x00, 0x00, 0x80};
  EXPECT_EQ(LoadS24(mostNegative24.data()), -8388608);
  const std::array<std::uint8_t, 4> minusOne32 = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(LoadS32(minusOne32.data()), -1);
  const std::array<std::uint8_t, 4> mostNegative32 = {0x00, 0x00, 0x00, 0x80};
  EXPECT_EQ(LoadS32(mostNegative32.data()), INT32_MIN);
}

// ---------------------------------------------------------------------------------------------
// Peer tools: files written by sox and ffmpeg, read back and checked against what the tools
// themselves report and against the raw sample bytes ffmpeg extracts.

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char ch : s) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return out + "'";
}

// Runs a shell command and returns its standard output; nullopt when it fails.
std::optional<std::string> Capture(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  std::array<char, 4096> chunk{};
  std::size_t n = 0;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) out.append(chunk.data(), n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return out;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct PeerCase {
  std::string name;
  std::string tool;
  // The command's arguments; "{}" stands for the output path.
  std::string arguments;
  std::uint16_t formatTag;
  std::uint32_t fmtSize;
  bool riff = true;
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.tool << " " << c.arguments; }

std::string Substitute(std::string text, const std::string& path) {
  const auto at = text.find("{}");
  if (at != std::string::npos) text.replace(at, 2, Quote(path));
  return text;
}

class PeerWaveFile : public ::testing::TestWithParam<PeerCase> {};

TEST_P(PeerWaveFile, ReadsTheFormatAndSampleBytesThePeersSee) {
  const PeerCase& c = GetParam();
  for (const char* tool : {c.tool.c_str(), "ffprobe", "ffmpeg"}) {
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  test::TempDir dir;
  const std::string path = dir.File("peer.wav");
  const std::string command =
      c.tool == "sox" ? "sox -n " + Substitute(c.arguments, path)
                      : "ffmpeg -nostdin -v error -y -f lavfi -i sine=f=440:d=0.1 " + Substitute(c.arguments, path);
  ASSERT_TRUE(Capture(command)) << command;

  FileStream stream(path, FileStream::Mode::Read);
  WaveFormatInfo info{};
  ReadWaveHeader(stream, info);
  if (!c.riff) {
    EXPECT_FALSE(info.RiffFound);
    EXPECT_EQ(info.Channels, 0);
    return;
  }

  const auto probe = Capture("ffprobe -v error -select_streams a:0 -show_entries "
                             "stream=sample_rate,channels,bits_per_sample -of csv=p=0 " +
                             Quote(path));
  ASSERT_TRUE(probe);
  unsigned rate = 0, channels = 0, bits = 0;
  ASSERT_EQ(std::sscanf(probe->c_str(), "%u,%u,%u", &rate, &channels, &bits), 3) << *probe;

  EXPECT_TRUE(info.RiffFound);
  EXPECT_TRUE(info.WaveFound);
  EXPECT_EQ(info.FormatTag, c.formatTag);
  EXPECT_EQ(info.FormatChunkSize, c.fmtSize);
  EXPECT_EQ(info.SampleRate, rate);
  EXPECT_EQ(info.Channels, channels);
  EXPECT_EQ(info.BitsPerSample, bits);
  EXPECT_EQ(stream.Position(), info.DataStart);

  // These writers put nothing after the samples but the pad byte.
  const std::uint64_t fileSize = std::filesystem::file_size(path);
  EXPECT_EQ(std::uint64_t{info.DataStart} + info.DataSize + (info.DataSize & 1U), fileSize);

  const std::string raw = dir.File("peer.raw");
  ASSERT_TRUE(Capture("ffmpeg -nostdin -v error -y -i " + Quote(path) + " -map 0:a -c copy -f data " + Quote(raw)));
  const Bytes samples = ReadAll(raw);
  const Bytes file = ReadAll(path);
  ASSERT_EQ(samples.size(), info.DataSize);
  ASSERT_LE(std::uint64_t{info.DataStart} + info.DataSize, file.size());
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), file.begin() + info.DataStart));
}

INSTANTIATE_TEST_SUITE_P(
    Writers, PeerWaveFile,
    ::testing::Values(
        PeerCase{"SoxPcm16Stereo", "sox", "-r 44100 -c 2 -b 16 -t wavpcm {} synth 0.1 sine 440", 1, 16},
        PeerCase{"SoxPcm8MonoOddDataSize", "sox", "-r 22050 -c 1 -b 8 -t wavpcm {} synth 0.1 sine 440", 1, 16},
        PeerCase{"SoxPcm24Extensible", "sox", "-r 48000 -c 2 -b 24 {} synth 0.1 sine 440", 0xFFFE, 40},
        PeerCase{"SoxSixChannelsExtensible", "sox", "-r 44100 -c 6 -b 16 {} synth 0.1 sine 440", 0xFFFE, 40},
        PeerCase{"SoxFloatWithFactChunk", "sox", "-r 44100 -c 2 -e floating-point -b 32 {} synth 0.1 sine 440", 3, 18},
        PeerCase{"FfmpegBitexactCanonical", "ffmpeg", "-ac 2 -c:a pcm_s16le -bitexact {}", 1, 16},
        PeerCase{"FfmpegEncoderListChunk", "ffmpeg", "-ac 2 -c:a pcm_s16le {}", 1, 16},
        PeerCase{"FfmpegTitleListChunk", "ffmpeg", "-ac 2 -c:a pcm_s16le -bitexact -metadata title=x {}", 1, 16},
        PeerCase{"FfmpegRf64AutoJunkChunk", "ffmpeg", "-ac 2 -c:a pcm_s16le -bitexact -rf64 auto {}", 1, 16},
        PeerCase{"FfmpegRf64AlwaysIsNotRiff", "ffmpeg", "-ac 2 -c:a pcm_s16le -bitexact -rf64 always {}", 1, 16,
                 false},
        PeerCase{"FfmpegUnsigned8Mono", "ffmpeg", "-ar 32000 -ac 1 -c:a pcm_u8 -bitexact {}", 1, 16},
        PeerCase{"FfmpegPcm24Extensible", "ffmpeg", "-ac 2 -c:a pcm_s24le -bitexact {}", 0xFFFE, 40},
        PeerCase{"FfmpegFloatExtensible", "ffmpeg", "-ac 2 -c:a pcm_f32le -bitexact {}", 0xFFFE, 40}),
    [](const ::testing::TestParamInfo<PeerCase>& param) { return param.param.name; });

TEST(WriteWaveHeader, FinishedFileIsReadByPeersAs1000StereoFrames) {
  if (!HaveTool("soxi") || !HaveTool("ffprobe")) GTEST_SKIP() << "soxi or ffprobe is not installed";
  test::TempDir dir;
  const std::string path = dir.File("result.wav");
  {
    FileStream out(path, FileStream::Mode::Create);
    WriteWaveHeader(0, 0, SourceFormat(1, 22050), out);
    Bytes samples;
    for (int frame = 0; frame < 1000; ++frame) {
      PutU16(samples, static_cast<std::uint16_t>(frame * 7));
      PutU16(samples, static_cast<std::uint16_t>(-frame * 5));
    }
    out.Write(samples.data(), samples.size());
    WriteWaveHeader(4036, 4000, SourceFormat(1, 22050), out);
    EXPECT_EQ(out.Position(), 44u);
    out.Close();
  }
  EXPECT_EQ(std::filesystem::file_size(path), 4044u);
  EXPECT_EQ(Capture("soxi -s " + Quote(path)), "1000\n");
  EXPECT_EQ(Capture("soxi -r " + Quote(path)), "22050\n");
  EXPECT_EQ(Capture("soxi -c " + Quote(path)), "2\n");
  EXPECT_EQ(Capture("soxi -b " + Quote(path)), "16\n");
  EXPECT_EQ(Capture("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,duration_ts -of csv=p=0 " +
                    Quote(path)),
            "pcm_s16le,22050,2,1000\n");
}

}  // namespace
}  // namespace merolune
