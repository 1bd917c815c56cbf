// The FLAC components: decoding files the flac tool made, encoding files it accepts, and the failures.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ACS_FLAC.h"
#include "ACS_Wave.h"
#include "FLACLib.h"
#include "PeerTools.h"
#include "Signals.h"
#include "PipelineRun.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
using test::WaitForOutput;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kRead = TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite;

#define REQUIRE_FLAC_TOOL()                                                  \
  do {                                                                       \
    if (!test::ToolAvailable(MEROLUNE_FLAC)) GTEST_SKIP() << "no flac tool"; \
  } while (false)


int Flac(std::vector<std::string> args) {
  args.insert(args.begin(), MEROLUNE_FLAC);
  return test::RunTool(args);
}

// Random bytes: as PCM of any width, noise that no predictor can shorten.
Bytes Pattern(std::size_t count, std::uint32_t seed) {
  Bytes bytes(count);
  std::uint32_t state = 2463534242U + seed;
  for (auto& b : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

std::vector<std::int16_t> Signal(std::size_t frames, int channels, std::uint64_t seed) {
  std::vector<std::int16_t> stereo = test::SongLike(frames, 44100, seed);
  if (channels == 2) return stereo;
  std::vector<std::int16_t> mono(frames);
  for (std::size_t i = 0; i < frames; ++i) mono[i] = stereo[2 * i];
  return mono;
}

// The format and data chunk of a WAV file of any layout (flac writes the extensible format for
// samples wider than 16 bits).
struct WavData {
  std::uint16_t channels = 0;
  std::uint16_t bits = 0;
  std::uint32_t rate = 0;
  Bytes data;
};

std::optional<WavData> ReadWavData(const std::string& path) {
  const Bytes file = test::ReadBytes(path);
  if (file.size() < 12 || std::string(file.begin(), file.begin() + 4) != "RIFF") return std::nullopt;
  WavData wav;
  std::size_t at = 12;
  while (at + 8 <= file.size()) {
    const std::string id(file.begin() + static_cast<std::ptrdiff_t>(at),
                         file.begin() + static_cast<std::ptrdiff_t>(at + 4));
    const std::uint32_t size = test::U32At(file, at + 4);
    if (id == "fmt ") {
      wav.channels = test::U16At(file, at + 10);
      wav.rate = test::U32At(file, at + 12);
      wav.bits = test::U16At(file, at + 22);
    } else if (id == "data") {
      const std::size_t end = std::min<std::size_t>(file.size(), at + 8 + size);
      wav.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                      file.begin() + static_cast<std::ptrdiff_t>(end));
      return wav;
    }
    at += 8 + size + (size & 1U);
  }
  return std::nullopt;
}

// The STREAMINFO block, read from the file bytes: "fLaC", a 4-byte block header, then the 34-byte
// body (big-endian): minimum and maximum block size (2 bytes each), minimum and maximum frame size
// (3 each), then 64 bits holding sample rate (20), channels - 1 (3), bits - 1 (5) and total samples
// (36), then the MD5.
struct StreamInfo {
  std::uint32_t minBlock = 0;
  std::uint32_t maxBlock = 0;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  std::uint32_t bits = 0;
  std::uint64_t total = 0;
};

std::optional<StreamInfo> ReadStreamInfo(const Bytes& file) {
  if (file.size() < 42 || std::string(file.begin(), file.begin() + 4) != "fLaC" || (file[4] & 0x7F) != 0) {
    return std::nullopt;
  }
  StreamInfo info;
  info.minBlock = (file[8] << 8) | file[9];
  info.maxBlock = (file[10] << 8) | file[11];
  std::uint64_t packed = 0;
  for (std::size_t i = 18; i < 26; ++i) packed = (packed << 8) | file[i];
  info.rate = static_cast<std::uint32_t>(packed >> 44);
  info.channels = static_cast<std::uint32_t>((packed >> 41) & 0x7) + 1;
  info.bits = static_cast<std::uint32_t>((packed >> 36) & 0x1F) + 1;
  info.total = packed & 0xFFFFFFFFFULL;
  return info;
}

// The audio frames of a FLAC file: what follows the last metadata block.
Bytes AudioFrames(const Bytes& file) {
  std::size_t at = 4;
  for (;;) {
    const bool last = (file.at(at) & 0x80) != 0;
    const std::size_t length = (file.at(at + 1) << 16) | (file.at(at + 2) << 8) | file.at(at + 3);
    at += 4 + length;
    if (last) return Bytes(file.begin() + static_cast<std::ptrdiff_t>(at), file.end());
  }
}

// Decodes with the streams on both ends, as the conversion service does; the output's error message.
std::string Decode(TFLACIn& in, TWaveOut& out, const std::string& flacPath, const std::string& wavPath) {
  return test::RunFiles(in, out, flacPath, wavPath);
}

std::string Encode(TWaveIn& in, TFLACOut& out, const std::string& wavPath, const std::string& flacPath) {
  return test::RunFiles(in, out, wavPath, flacPath);
}

// Reads an input from BeginRead to its end.
Bytes ReadAll(TAuInput& input) {
  Bytes out;
  input.BeginRead();
  for (;;) {
    const std::uint8_t* data = nullptr;
    std::int32_t bytes = 5000;
    input.ReadBlock(data, bytes);
    if (bytes == 0) break;
    out.insert(out.end(), data, data + bytes);
  }
  input.EndRead();
  return out;
}

// A stream in memory that hands its bytes over when it is destroyed, so a test can see both.
class RecordingStream final : public Stream {
 public:
  RecordingStream(Bytes& bytesAtEnd, bool& destroyed) : bytesAtEnd_(bytesAtEnd), destroyed_(destroyed) {}
  ~RecordingStream() override {
    bytesAtEnd_ = memory_.Bytes();
    destroyed_ = true;
  }
  std::size_t Read(void* buffer, std::size_t count) override { return memory_.Read(buffer, count); }
  void Write(const void* buffer, std::size_t count) override { memory_.Write(buffer, count); }
  std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override { return memory_.Seek(offset, origin); }
  std::uint64_t Position() const override { return memory_.Position(); }
  std::uint64_t Size() const override { return memory_.Size(); }

 private:
  MemoryStream memory_;
  Bytes& bytesAtEnd_;
  bool& destroyed_;
};

// A stream that fails like a full disk once `limit` bytes have been written.
class FullAfterStream final : public Stream {
 public:
  static constexpr char kMessage[] = "Cannot write to file test.flac (No space left on device)";
  explicit FullAfterStream(std::size_t limit) : limit_(limit) {}
  std::size_t Read(void* buffer, std::size_t count) override { return memory_.Read(buffer, count); }
  void Write(const void* buffer, std::size_t count) override {
    if (memory_.Position() + count > limit_) throw EAuException(kMessage);
    memory_.Write(buffer, count);
  }
  std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override { return memory_.Seek(offset, origin); }
  std::uint64_t Position() const override { return memory_.Position(); }
  std::uint64_t Size() const override { return memory_.Size(); }

 private:
  MemoryStream memory_;
  std::size_t limit_;
};

// ---------------------------------------------------------------------------------------------------
// Decoding

struct DecodeCase {
  int level;
  int channels;
  std::size_t frames;
};

class FLACDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(FLACDecoding, FilesOfTheFlacToolDecodeBitExactly) {
  REQUIRE_FLAC_TOOL();
  const DecodeCase c = GetParam();
  TempDir dir;
  const std::vector<std::int16_t> samples = Signal(c.frames, c.channels, 7);
  test::WritePcmWav(dir.File("in.wav"), samples, 44100, static_cast<std::uint16_t>(c.channels));
  // Built by appending: g++ 12 warns falsely (-Wrestrict) about "-" + std::string at -O3.
  std::string level = "-";
  level += std::to_string(c.level);
  ASSERT_EQ(Flac({"-s", "-f", level, dir.File("in.wav"), "-o", dir.File("in.flac")}), 0);

  TFLACIn in;
  TWaveOut out;
  EXPECT_EQ(Decode(in, out, dir.File("in.flac"), dir.File("out.wav")), "");
  EXPECT_FALSE(in.Busy());
  const auto result = test::ReadPcmWav(dir.File("out.wav"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Channels, c.channels);
  EXPECT_EQ(result->SampleRate, 44100U);
  EXPECT_EQ(result->Samples, samples);
  // Exactly the announced length: the 44-byte header's data size matches the file.
  const Bytes file = test::ReadBytes(dir.File("out.wav"));
  EXPECT_EQ(file.size(), 44 + samples.size() * 2);
  EXPECT_EQ(test::U32At(file, 40), samples.size() * 2);
}

INSTANTIATE_TEST_SUITE_P(LevelsChannelsLengths, FLACDecoding,
                         ::testing::Values(DecodeCase{0, 2, 250000}, DecodeCase{8, 2, 4097},
                                           DecodeCase{0, 1, 4097}, DecodeCase{8, 1, 250000}),
                         [](const auto& caseInfo) {
                           const DecodeCase& c = caseInfo.param;
                           return "Level" + std::to_string(c.level) + (c.channels == 2 ? "Stereo" : "Mono") +
                                  std::to_string(c.frames) + "Frames";
                         });

struct WidthCase {
  std::uint16_t bits;
  std::uint16_t channels;
};

class FLACWidths : public ::testing::TestWithParam<WidthCase> {};

TEST_P(FLACWidths, OtherSampleWidthsDecodeBitExactly) {
  REQUIRE_FLAC_TOOL();
  const WidthCase c = GetParam();
  TempDir dir;
  test::WavSpec wav;
  wav.Channels = c.channels;
  wav.BitsPerSample = c.bits;
  wav.SampleRate = 22050;
  wav.Data = Pattern(std::size_t{30001} * c.channels * (c.bits / 8), c.bits);
  test::WriteBytes(dir.File("in.wav"), test::MakeWav(wav));
  ASSERT_EQ(Flac({"-s", "-f", "-5", dir.File("in.wav"), "-o", dir.File("in.flac")}), 0);

  TFLACIn in;
  TWaveOut out;
  EXPECT_EQ(Decode(in, out, dir.File("in.flac"), dir.File("out.wav")), "");
  const auto result = ReadWavData(dir.File("out.wav"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->bits, c.bits);
  EXPECT_EQ(result->channels, c.channels);
  EXPECT_EQ(result->rate, 22050U);
  EXPECT_EQ(result->data, wav.Data);
}

TEST_P(FLACWidths, OtherSampleWidthsEncodeLosslessly) {
  REQUIRE_FLAC_TOOL();
  const WidthCase c = GetParam();
  TempDir dir;
  test::WavSpec wav;
  wav.Channels = c.channels;
  wav.BitsPerSample = c.bits;
  wav.SampleRate = 22050;
  wav.Data = Pattern(std::size_t{30001} * c.channels * (c.bits / 8), c.bits + 100U);
  test::WriteBytes(dir.File("in.wav"), test::MakeWav(wav));

  TWaveIn in;
  TFLACOut out;
  EXPECT_EQ(Encode(in, out, dir.File("in.wav"), dir.File("out.flac")), "");
  EXPECT_EQ(Flac({"-s", "-t", dir.File("out.flac")}), 0);
  ASSERT_EQ(Flac({"-s", "-f", "-d", dir.File("out.flac"), "-o", dir.File("back.wav")}), 0);
  const auto result = ReadWavData(dir.File("back.wav"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->bits, c.bits);
  EXPECT_EQ(result->channels, c.channels);
  EXPECT_EQ(result->data, wav.Data);
}

INSTANTIATE_TEST_SUITE_P(BitsAndChannels, FLACWidths,
                         ::testing::Values(WidthCase{8, 1}, WidthCase{8, 2}, WidthCase{24, 2},
                                           WidthCase{24, 1}, WidthCase{32, 2}),
                         [](const auto& caseInfo) {
                           return std::to_string(caseInfo.param.bits) + "Bit" +
                                  (caseInfo.param.channels == 2 ? "Stereo" : "Mono");
                         });

TEST(FLACIn, AnEmptyStreamGivesAnEmptyWav) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  // The tool refuses an empty WAV file but takes empty raw input.
  test::WriteBytes(dir.File("in.raw"), {});
  ASSERT_EQ(Flac({"-s", "-f", "--force-raw-format", "--endian=little", "--sign=signed", "--channels=2",
                  "--bps=16", "--sample-rate=44100", dir.File("in.raw"), "-o", dir.File("in.flac")}),
            0);
  ASSERT_EQ(ReadStreamInfo(test::ReadBytes(dir.File("in.flac"))).value_or(StreamInfo{}).channels, 2U);

  TFLACIn in;
  TWaveOut out;
  EXPECT_EQ(Decode(in, out, dir.File("in.flac"), dir.File("out.wav")), "");
  const Bytes file = test::ReadBytes(dir.File("out.wav"));
  ASSERT_EQ(file.size(), 44U);
  EXPECT_EQ(test::U32At(file, 40), 0U);
  EXPECT_EQ(test::U32At(file, 4), 36U);
}

TEST(FLACIn, AnUnknownLengthIsDecodedToTheEndAndPatched) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  const std::vector<std::int16_t> samples = Signal(30000, 2, 3);
  test::WritePcmWav(dir.File("in.wav"), samples, 44100, 2);
  ASSERT_EQ(Flac({"-s", "-f", dir.File("in.wav"), "-o", dir.File("in.flac")}), 0);
  // Clear the 36-bit total in the STREAMINFO, as an encoder writing to a pipe leaves it.
  Bytes flac = test::ReadBytes(dir.File("in.flac"));
  flac[21] &= 0xF0;
  for (std::size_t i = 22; i < 26; ++i) flac[i] = 0;
  ASSERT_EQ(ReadStreamInfo(flac).value_or(StreamInfo{}).total, 0U);
  test::WriteBytes(dir.File("streamed.flac"), flac);

  TFLACIn in;
  in.SetFileName(dir.File("streamed.flac"));
  EXPECT_EQ(in.TotalSamples(), 0);
  EXPECT_EQ(in.Channels(), 2);  // opens the source
  EXPECT_EQ(in.TotalSamples(), -1);
  TWaveOut out;
  out.SetInput(&in);
  out.SetFileName(dir.File("out.wav"));
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), "");
  const Bytes file = test::ReadBytes(dir.File("out.wav"));
  EXPECT_EQ(test::U32At(file, 40), samples.size() * 2);
  const auto result = test::ReadPcmWav(dir.File("out.wav"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Samples, samples);
}

// Without a count in the STREAMINFO the range asked for is the length announced; a stream that
// ends before its end is reported like a cut file, not delivered short under a header that says
// more. A range inside the stream is delivered exactly.
TEST(FLACIn, ARangePastTheEndOfAStreamOfUnknownLengthIsReported) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  const std::vector<std::int16_t> samples = Signal(30000, 2, 4);
  test::WritePcmWav(dir.File("in.wav"), samples, 44100, 2);
  ASSERT_EQ(Flac({"-s", "-f", dir.File("in.wav"), "-o", dir.File("in.flac")}), 0);
  Bytes flac = test::ReadBytes(dir.File("in.flac"));
  flac[21] &= 0xF0;
  for (std::size_t i = 22; i < 26; ++i) flac[i] = 0;
  ASSERT_EQ(ReadStreamInfo(flac).value_or(StreamInfo{}).total, 0U);
  test::WriteBytes(dir.File("streamed.flac"), flac);

  TFLACIn in;
  in.SetFileName(dir.File("streamed.flac"));
  in.SetStartSample(1000);
  in.SetEndSample(20000);
  const Bytes inside = ReadAll(in);
  ASSERT_EQ(inside.size(), 19000U * 4);
  EXPECT_TRUE(std::equal(inside.begin(), inside.end(), reinterpret_cast<const std::uint8_t*>(&samples[2000])));

  in.SetStartSample(1000);
  in.SetEndSample(40000);
  TWaveOut out;
  EXPECT_EQ(Decode(in, out, dir.File("streamed.flac"), dir.File("out.wav")), kFLACLostSync);
  EXPECT_FALSE(in.Busy());
}

TEST(FLACIn, ACutFileIsReportedInsteadOfDeliveredShort) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  test::WritePcmWav(dir.File("in.wav"), Signal(60000, 2, 5), 44100, 2);
  ASSERT_EQ(Flac({"-s", "-f", dir.File("in.wav"), "-o", dir.File("in.flac")}), 0);
  Bytes flac = test::ReadBytes(dir.File("in.flac"));
  flac.resize(flac.size() - 5000);
  test::WriteBytes(dir.File("cut.flac"), flac);

  TFLACIn in;
  TWaveOut out;
  EXPECT_EQ(Decode(in, out, dir.File("cut.flac"), dir.File("out.wav")), kFLACLostSync);
  EXPECT_EQ(out.OutputState(), TOutputState::osIdle);
  EXPECT_FALSE(in.Busy());
}

// A frame whose checksum fails is replaced by silence, and libFLAC hands that silence and the next
// frame over in one decoding call: both must come out, the whole length, as the flac tool decodes
// the same file when told to go on after errors.
TEST(FLACIn, ADamagedFrameBecomesSilenceAndNothingAfterItIsLost) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  const std::vector<std::int16_t> samples = Signal(44100, 2, 9);
  test::WritePcmWav(dir.File("in.wav"), samples, 44100, 2);
  ASSERT_EQ(Flac({"-s", "-f", "--no-padding", "-b", "1152", dir.File("in.wav"), "-o", dir.File("in.flac")}), 0);
  Bytes flac = test::ReadBytes(dir.File("in.flac"));
  flac[flac.size() * 2 / 5] ^= 0x5A;
  test::WriteBytes(dir.File("damaged.flac"), flac);
  ASSERT_EQ(Flac({"-s", "-d", "-F", "-f", dir.File("damaged.flac"), "-o", dir.File("reference.wav")}), 0);
  const auto reference = test::ReadPcmWav(dir.File("reference.wav"));
  ASSERT_TRUE(reference);
  ASSERT_EQ(reference->Frames(), 44100U);
  ASSERT_NE(reference->Samples, samples) << "the damage went unnoticed";

  TFLACIn in;
  TWaveOut out;
  ASSERT_EQ(Decode(in, out, dir.File("damaged.flac"), dir.File("out.wav")), "");
  const Bytes file = test::ReadBytes(dir.File("out.wav"));
  ASSERT_GE(file.size(), 44U);
  EXPECT_EQ(test::U32At(file, 40), file.size() - 44);
  const auto decoded = test::ReadPcmWav(dir.File("out.wav"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->Frames(), 44100U);
  EXPECT_TRUE(decoded->Samples == reference->Samples);
}

TEST(FLACIn, FormatAndRangeAreServedFromTheFile) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  const std::vector<std::int16_t> samples = Signal(141120, 2, 9);  // 3.2 s
  test::WritePcmWav(dir.File("in.wav"), samples, 44100, 2);
  ASSERT_EQ(Flac({"-s", "-f", dir.File("in.wav"), "-o", dir.File("in.flac")}), 0);

  TFLACIn in;
  in.SetFileName(dir.File("in.flac"));
  EXPECT_EQ(in.Channels(), 2);
  EXPECT_EQ(in.SampleRate(), 44100);
  EXPECT_EQ(in.BitsPerSample(), 16);
  EXPECT_EQ(in.TotalSeconds(), 3);
  EXPECT_EQ(in.TotalSamples(), 141120);

  // A range that starts and ends inside FLAC blocks.
  in.SetStartSample(10000);
  in.SetEndSample(60001);
  const Bytes range = ReadAll(in);
  const Bytes all = test::SampleBytes(samples);
  EXPECT_EQ(range, Bytes(all.begin() + 10000 * 4, all.begin() + 60001 * 4));
  // EndRead went back to the whole file.
  EXPECT_EQ(ReadAll(in), all);
}

TEST(FLACIn, LoopStartsOverAtTheEnd) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  const std::vector<std::int16_t> samples = Signal(9000, 2, 53);
  test::WritePcmWav(dir.File("in.wav"), samples, 44100, 2);
  ASSERT_EQ(Flac({"-s", "-f", dir.File("in.wav"), "-o", dir.File("in.flac")}), 0);
  const Bytes all = test::SampleBytes(samples);

  TFLACIn in;
  in.SetFileName(dir.File("in.flac"));
  in.SetLoop(true);
  in.BeginRead();
  Bytes twice;
  while (twice.size() < 2 * all.size()) {
    const std::uint8_t* data = nullptr;
    std::int32_t bytes = 6000;
    in.ReadBlock(data, bytes);
    ASSERT_GT(bytes, 0);
    twice.insert(twice.end(), data, data + bytes);
  }
  in.EndRead();
  Bytes expected = all;
  expected.insert(expected.end(), all.begin(), all.end());
  twice.resize(expected.size());
  EXPECT_EQ(twice, expected);
}

TEST(FLACIn, EmptyAndNonsenseFilesFailCleanly) {
  TempDir dir;
  Bytes text;
  for (int i = 0; i < 400; ++i) {
    const std::string line = "This is not audio at all.\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"empty.flac", {}}, {"text.flac", text}, {"noise.flac", Pattern(200000, 11)}};
  TFLACIn in;
  TWaveOut out;
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    test::WriteBytes(dir.File(name), bytes);
    in.SetFileName(dir.File(name));
    out.SetInput(&in);
    out.SetFileName(dir.File("out.wav"));
    out.Start();
    ASSERT_TRUE(WaitForOutput(out));
    EXPECT_EQ(out.ErrorMessage(), kFLACNotAFLACFile + dir.File(name));
    EXPECT_EQ(out.OutputState(), TOutputState::osIdle);
    EXPECT_FALSE(in.Busy());
  }
}

TEST(FLACIn, ReadingWithoutSourceOrBeginReadThrows) {
  TFLACIn in;
  try {
    in.Channels();
    ADD_FAILURE() << "no exception";
  } catch (const EAuException& error) {
    EXPECT_STREQ(error.what(), kFLACFileNameNotAssigned);
  }
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = 100;
  try {
    in.ReadBlock(data, bytes);
    ADD_FAILURE() << "no exception";
  } catch (const EAuException& error) {
    EXPECT_STREQ(error.what(), kAuStreamNotOpened);
  }
}

// ---------------------------------------------------------------------------------------------------
// Encoding

struct EncodeCase {
  std::int32_t level;
  int channels;
  std::uint32_t blockSize;  // libFLAC's preset, or BlockSize for the detailed settings
};

class FLACEncoding : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(FLACEncoding, TheFlacToolAcceptsAndDecodesTheResultBitExactly) {
  REQUIRE_FLAC_TOOL();
  const EncodeCase c = GetParam();
  TempDir dir;
  const std::size_t frames = 100003;
  const std::vector<std::int16_t> samples = Signal(frames, c.channels, 13);
  test::WritePcmWav(dir.File("in.wav"), samples, 44100, static_cast<std::uint16_t>(c.channels));

  TWaveIn in;
  TFLACOut out;
  out.SetCompressionLevel(c.level);
  EXPECT_EQ(Encode(in, out, dir.File("in.wav"), dir.File("out.flac")), "");
  EXPECT_FALSE(in.Busy());
  // The MD5 of the STREAMINFO, written at the end, checks every sample.
  EXPECT_EQ(Flac({"-s", "-t", dir.File("out.flac")}), 0);
  ASSERT_EQ(Flac({"-s", "-f", "-d", dir.File("out.flac"), "-o", dir.File("back.wav")}), 0);
  const auto back = test::ReadPcmWav(dir.File("back.wav"));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Samples, samples);

  const Bytes flac = test::ReadBytes(dir.File("out.flac"));
  const auto info = ReadStreamInfo(flac);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->total, frames);
  // The MD5 of the samples (little-endian bytes, as in the WAV) is known only at the end, so finding
  // it proves the STREAMINFO was rewritten through the seek; the tool's test skips an unset one.
  const Bytes pcm = test::SampleBytes(samples);
  const QByteArray md5 = QCryptographicHash::hash(
      QByteArrayView(reinterpret_cast<const char*>(pcm.data()), static_cast<qsizetype>(pcm.size())),
      QCryptographicHash::Md5);
  EXPECT_EQ(Bytes(flac.begin() + 26, flac.begin() + 42), Bytes(md5.begin(), md5.end()));
  EXPECT_EQ(info->minBlock, c.blockSize);
  EXPECT_EQ(info->maxBlock, c.blockSize);
  EXPECT_EQ(info->channels, static_cast<std::uint32_t>(c.channels));
  EXPECT_EQ(info->bits, 16U);
  EXPECT_EQ(info->rate, 44100U);
}

INSTANTIATE_TEST_SUITE_P(Levels, FLACEncoding,
                         ::testing::Values(EncodeCase{-1, 2, 4608}, EncodeCase{0, 2, 1152},
                                           EncodeCase{5, 2, 4096}, EncodeCase{8, 2, 4096},
                                           EncodeCase{9, 2, 4096}, EncodeCase{-1, 1, 4608},
                                           EncodeCase{5, 1, 4096}),
                         [](const auto& caseInfo) {
                           const EncodeCase& c = caseInfo.param;
                           return (c.level < 0 ? std::string("DetailedSettings")
                                               : "Level" + std::to_string(c.level)) +
                                  (c.channels == 2 ? "Stereo" : "Mono");
                         });

TEST(FLACOut, DetailedSettingsEncodeAsTheFlacToolWithFixedPredictors) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  test::WritePcmWav(dir.File("in.wav"), Signal(50000, 2, 17), 44100, 2);
  // The same settings for the tool: block size 4608, mid-side stereo, no LPC, residual partition
  // order 0; its own metadata blocks differ, so only the audio frames are compared.
  ASSERT_EQ(Flac({"-s", "-f", "-b", "4608", "-m", "-l", "0", "-r", "0", "--no-padding", "--no-seektable",
                  dir.File("in.wav"), "-o", dir.File("tool.flac")}),
            0);
  TWaveIn in;
  TFLACOut out;
  EXPECT_EQ(Encode(in, out, dir.File("in.wav"), dir.File("ours.flac")), "");
  const Bytes ours = test::ReadBytes(dir.File("ours.flac"));
  EXPECT_EQ(AudioFrames(ours), AudioFrames(test::ReadBytes(dir.File("tool.flac"))));
}

TEST(FLACOut, LevelAboveEightEncodesAsEight) {
  TempDir dir;
  test::WritePcmWav(dir.File("in.wav"), Signal(30000, 2, 19), 44100, 2);
  TWaveIn in;
  TFLACOut out;
  out.SetCompressionLevel(8);
  EXPECT_EQ(Encode(in, out, dir.File("in.wav"), dir.File("8.flac")), "");
  out.SetCompressionLevel(9);
  EXPECT_EQ(Encode(in, out, dir.File("in.wav"), dir.File("9.flac")), "");
  out.SetCompressionLevel(5);
  EXPECT_EQ(Encode(in, out, dir.File("in.wav"), dir.File("5.flac")), "");
  EXPECT_EQ(test::ReadBytes(dir.File("8.flac")), test::ReadBytes(dir.File("9.flac")));
  // Not a vacuous equality: another level gives another file.
  EXPECT_NE(test::ReadBytes(dir.File("8.flac")), test::ReadBytes(dir.File("5.flac")));
}

TEST(FLACOut, SettingsStartAsDocumentedAndKeepTheirRules) {
  TFLACOut out;
  EXPECT_FALSE(out.Verify());
  EXPECT_EQ(out.BlockSize(), 4608);
  EXPECT_FALSE(out.BestModelSearch());
  EXPECT_TRUE(out.EnableMidSideStereo());
  EXPECT_FALSE(out.EnableLooseMidSideStereo());
  EXPECT_EQ(out.CompressionLevel(), -1);
  EXPECT_EQ(out.MaxLPCOrder(), 0);
  EXPECT_EQ(out.QLPCoeffPrecision(), 0);
  EXPECT_EQ(out.MinResidualPartitionOrder(), 0);
  EXPECT_EQ(out.MaxResidualPartitionOrder(), 0);
  EXPECT_FALSE(out.QLPCoeffPrecisionSearch());

  out.SetCompressionLevel(9);
  EXPECT_EQ(out.CompressionLevel(), 8);
  out.SetCompressionLevel(1000);
  EXPECT_EQ(out.CompressionLevel(), 8);
  out.SetCompressionLevel(3);
  EXPECT_EQ(out.CompressionLevel(), 3);

  out.SetEnableMidSideStereo(false);
  out.SetEnableLooseMidSideStereo(true);
  EXPECT_TRUE(out.EnableMidSideStereo());
  EXPECT_TRUE(out.EnableLooseMidSideStereo());
  out.SetBestModelSearch(true);
  EXPECT_TRUE(out.BestModelSearch());
  EXPECT_TRUE(out.EnableMidSideStereo());
  EXPECT_FALSE(out.EnableLooseMidSideStereo());
  out.SetEnableMidSideStereo(false);
  out.SetBestModelSearch(false);
  EXPECT_FALSE(out.EnableMidSideStereo());
}

TEST(FLACOut, DetailedSettingsAndVerifyStillGiveAValidFile) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  const std::vector<std::int16_t> samples = Signal(40000, 2, 23);
  test::WritePcmWav(dir.File("in.wav"), samples, 44100, 2);
  TWaveIn in;
  TFLACOut out;
  out.SetVerify(true);
  out.SetBlockSize(2048);
  out.SetMaxLPCOrder(12);
  out.SetQLPCoeffPrecision(20);  // too fine for 16 bits: lowered to 15
  out.SetQLPCoeffPrecisionSearch(true);
  out.SetMaxResidualPartitionOrder(6);
  out.SetBestModelSearch(true);
  EXPECT_EQ(Encode(in, out, dir.File("in.wav"), dir.File("out.flac")), "");
  EXPECT_EQ(Flac({"-s", "-t", dir.File("out.flac")}), 0);
  const auto info = ReadStreamInfo(test::ReadBytes(dir.File("out.flac")));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->maxBlock, 2048U);
  EXPECT_EQ(info->total, 40000U);
}

TEST(FLACOut, WriteErrorsEndTheRunWithTheStreamsMessage) {
  TempDir dir;
  test::WritePcmWav(dir.File("in.wav"), Signal(100000, 2, 29), 44100, 2);
  TWaveIn in;
  TFLACOut out;
  out.SetInput(&in);
  in.SetFileName(dir.File("in.wav"));

  // The disk is full from the start: the stream header cannot be written. Opened without a lock, so
  // that other tests writing to /dev/full at the same time do not get in the way.
  TAuFileStream devFull("/dev/full", TAuFileStream::fmOpenWrite | TAuFileStream::fmShareDenyNone);
  out.SetStream(&devFull);
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), "Cannot write to file /dev/full (No space left on device)");
  EXPECT_FALSE(in.Busy());

  // The disk fills up in the middle of the audio.
  FullAfterStream full(20000);
  out.SetStream(&full);
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), FullAfterStream::kMessage);
  EXPECT_FALSE(in.Busy());

  // A destination that cannot be created.
  out.SetStream(nullptr);
  out.SetFileName(dir.File("missing/out.flac"));
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  std::string expected = kAuCannotCreateFile;
  expected.append("\"").append(dir.File("missing/out.flac")).append("\". No such file or directory");
  EXPECT_EQ(out.ErrorMessage(), expected);
  EXPECT_FALSE(in.Busy());
}

TEST(FLACOut, AnInputThatFailsToOpenEndsTheRunCleanly) {
  TempDir dir;
  test::WriteBytes(dir.File("bad.wav"), Pattern(1000, 31));
  TWaveIn in;
  TFLACOut out;
  in.SetFileName(dir.File("bad.wav"));
  out.SetInput(&in);
  out.SetFileName(dir.File("out.flac"));
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), "Not a supported .wav file: " + dir.File("bad.wav"));
  EXPECT_FALSE(in.Busy());
}

TEST(FLACOut, InputOfMoreThanTwoChannelsIsRefused) {
  TempDir dir;
  test::WavSpec wav;
  wav.Channels = 3;
  wav.Data = Pattern(6000, 37);
  test::WriteBytes(dir.File("three.wav"), test::MakeWav(wav));
  TWaveIn in;
  TFLACOut out;
  EXPECT_EQ(Encode(in, out, dir.File("three.wav"), dir.File("out.flac")),
            std::string(kFLACUnsupportedInput) + "3 channels of 16 bits");
  EXPECT_FALSE(in.Busy());
}

TEST(FLACOut, ComponentsServeOneFileAfterAnother) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  const std::vector<std::int16_t> first = Signal(20000, 2, 41);
  const std::vector<std::int16_t> second = Signal(30000, 1, 43);
  test::WritePcmWav(dir.File("a.wav"), first, 44100, 2);
  test::WritePcmWav(dir.File("b.wav"), second, 44100, 1);
  TWaveIn waveIn;
  TFLACOut flacOut;
  EXPECT_EQ(Encode(waveIn, flacOut, dir.File("a.wav"), dir.File("a.flac")), "");
  EXPECT_EQ(Encode(waveIn, flacOut, dir.File("b.wav"), dir.File("b.flac")), "");
  EXPECT_EQ(Flac({"-s", "-t", dir.File("a.flac")}), 0);
  EXPECT_EQ(Flac({"-s", "-t", dir.File("b.flac")}), 0);

  TFLACIn flacIn;
  TWaveOut waveOut;
  EXPECT_EQ(Decode(flacIn, waveOut, dir.File("a.flac"), dir.File("a2.wav")), "");
  EXPECT_EQ(Decode(flacIn, waveOut, dir.File("b.flac"), dir.File("b2.wav")), "");
  EXPECT_EQ(test::ReadPcmWav(dir.File("a2.wav")).value_or(test::PcmAudio{}).Samples, first);
  EXPECT_EQ(test::ReadPcmWav(dir.File("b2.wav")).value_or(test::PcmAudio{}).Samples, second);
}

TEST(FLACOut, AnAdoptedStreamIsFreedWhenTheRunEnds) {
  REQUIRE_FLAC_TOOL();
  TempDir dir;
  test::WritePcmWav(dir.File("in.wav"), Signal(25000, 2, 47), 44100, 2);
  TWaveIn in;
  in.SetFileName(dir.File("in.wav"));
  TFLACOut out;
  out.SetInput(&in);

  Bytes written;
  bool destroyed = false;
  out.AdoptStream(std::make_unique<RecordingStream>(written, destroyed));
  EXPECT_TRUE(out.StreamAssigned());
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), "");
  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(out.StreamAssigned());
  test::WriteBytes(dir.File("adopted.flac"), written);
  EXPECT_EQ(Flac({"-s", "-t", dir.File("adopted.flac")}), 0);

  // Also after a failed run.
  bool failedDestroyed = false;
  in.SetFileName(dir.File("absent.wav"));
  out.AdoptStream(std::make_unique<RecordingStream>(written, failedDestroyed));
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_NE(out.ErrorMessage(), "");
  EXPECT_TRUE(failedDestroyed);

  // And by the output itself when it never ran.
  bool unusedDestroyed = false;
  {
    TFLACOut unused;
    unused.AdoptStream(std::make_unique<RecordingStream>(written, unusedDestroyed));
  }
  EXPECT_TRUE(unusedDestroyed);
}

// ---------------------------------------------------------------------------------------------------
// The library

TEST(FLACLibrary, IsUsableHere) {
  const FLACLib flac{};
  EXPECT_TRUE(flac.Usable());
  EXPECT_NO_THROW(flac.Require());
  EXPECT_EQ(flac.MissingMessage(), "libFLAC.so.12 library could not be loaded.");
}

// Run again by ctest with libFLAC.so.12 hidden.
TEST(FLACMissingLibrary, ComponentsRefuseToBeConstructed) {
  const char* hidden = std::getenv("MEROLUNE_HIDDEN_LIBRARY");
  if (hidden == nullptr) GTEST_SKIP() << "only meaningful with the library hidden";
  ASSERT_STREQ(hidden, "libFLAC.so.12");
  EXPECT_FALSE(FLACLib().Usable());
  try {
    TFLACIn in;
    ADD_FAILURE() << "TFLACIn was constructed";
  } catch (const EAuException& error) {
    EXPECT_STREQ(error.what(), "libFLAC.so.12 library could not be loaded.");
  }
  try {
    TFLACOut out;
    ADD_FAILURE() << "TFLACOut was constructed";
  } catch (const EAuException& error) {
    EXPECT_STREQ(error.what(), "libFLAC.so.12 library could not be loaded.");
  }
}

}  // namespace
}  // namespace merolune
