// The Ogg Vorbis components, checked against oggenc, oggdec and ogginfo and by reading Ogg pages by hand.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ACS_Vorbis.h"
#include "ACS_Wave.h"
#include "PeerTools.h"
#include "Signals.h"
#include "PipelineRun.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using namespace std::chrono_literals;
using test::RunFiles;
using test::RunWithStreams;
using test::TempDir;
using test::WaitForOutput;
using Bytes = std::vector<std::uint8_t>;

constexpr char kOpenFailedPrefix[] = "Failed to open an ogg file: ";




bool HaveTools(std::initializer_list<const char*> tools) {
  for (const char* tool : tools) {
    if (!test::ToolAvailable(tool)) return false;
  }
  return true;
}

// A song-like mix (or its left channel alone for mono) of `frames` frames.
std::vector<std::int16_t> TestSignal(std::size_t frames, int rate, int channels, std::uint64_t seed) {
  const std::vector<std::int16_t> stereo = test::SongLike(frames, rate, seed);
  if (channels == 2) return stereo;
  std::vector<std::int16_t> mono(frames);
  for (std::size_t i = 0; i < frames; ++i) mono[i] = stereo[2 * i];
  return mono;
}

std::vector<double> ChannelValues(const std::vector<std::int16_t>& interleaved, int channels, int channel) {
  std::vector<double> out;
  for (std::size_t i = static_cast<std::size_t>(channel); i < interleaved.size(); i += channels) {
    out.push_back(interleaved[i]);
  }
  return out;
}

// One Ogg page header, read by hand: header type flags (4 = end of stream) and stream serial number.
struct OggPage {
  std::uint8_t HeaderType = 0;
  std::uint32_t Serial = 0;
};

// The pages of an Ogg file; empty unless the file is pages back to back up to its last byte.
std::vector<OggPage> ReadPages(const Bytes& bytes) {
  std::vector<OggPage> pages;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 27 || std::memcmp(&bytes[at], "OggS", 4) != 0) return {};
    const std::size_t segments = bytes[at + 26];
    if (bytes.size() - at < 27 + segments) return {};
    std::size_t body = 0;
    for (std::size_t s = 0; s < segments; ++s) body += bytes[at + 27 + s];
    pages.push_back({bytes[at + 5], test::U32At(bytes, at + 14)});
    at += 27 + segments + body;
  }
  return at == bytes.size() ? pages : std::vector<OggPage>{};
}

std::string OggInfo(const std::string& path, int* status) {
  std::string output;
  *status = test::RunTool({MEROLUNE_OGGINFO, path}, &output);
  return output;
}

std::optional<test::PcmAudio> OggDec(const std::string& ogg, const std::string& wav) {
  if (test::RunTool({MEROLUNE_OGGDEC, "-Q", "-o", wav, ogg}) != 0) return std::nullopt;
  return test::ReadPcmWav(wav);
}

// "Failed to open an ogg file: " and vorbisfile's (negative) code.
bool IsOpenFailure(const std::string& message) {
  const std::string prefix = kOpenFailedPrefix;
  if (message.rfind(prefix + "-", 0) != 0 || message.size() == prefix.size() + 1) return false;
  return message.find_first_not_of("0123456789", prefix.size() + 1) == std::string::npos;
}

// ---------------------------------------------------------------------------------------------------
// Decoding

struct DecodeCase {
  const char* Name;
  const char* Quality;  // oggenc -q
  int Channels;
  int Rate;
};

class VorbisInDecodesLikeOggdec : public ::testing::TestWithParam<DecodeCase> {};

// Both decoders are libvorbis's ov_read asking for 16-bit signed little-endian words, so the samples
// must be identical, and vorbisfile trims to the granule positions, so the lengths too.
TEST_P(VorbisInDecodesLikeOggdec, SameFramesAndSamples) {
  if (!HaveTools({MEROLUNE_OGGENC, MEROLUNE_OGGDEC})) GTEST_SKIP() << "oggenc or oggdec missing";
  const DecodeCase c = GetParam();
  TempDir dir;
  const std::size_t frames = static_cast<std::size_t>(c.Rate) * 2 + 1237;
  test::WritePcmWav(dir.File("src.wav"), TestSignal(frames, c.Rate, c.Channels, 11),
                    static_cast<std::uint32_t>(c.Rate), static_cast<std::uint16_t>(c.Channels));
  ASSERT_EQ(
      test::RunTool({MEROLUNE_OGGENC, "-Q", "-q", c.Quality, "-o", dir.File("a.ogg"), dir.File("src.wav")}),
      0);
  const auto reference = OggDec(dir.File("a.ogg"), dir.File("ref.wav"));
  ASSERT_TRUE(reference);

  TVorbisIn in;
  TWaveOut out;
  ASSERT_EQ(RunFiles(in, out, dir.File("a.ogg"), dir.File("out.wav")), "");
  const auto decoded = test::ReadPcmWav(dir.File("out.wav"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->Channels, c.Channels);
  EXPECT_EQ(decoded->SampleRate, static_cast<std::uint32_t>(c.Rate));
  EXPECT_EQ(decoded->Frames(), reference->Frames());
  EXPECT_EQ(decoded->Frames(), frames);
  EXPECT_TRUE(decoded->Samples == reference->Samples);
  // TWaveOut wrote the predicted length up front; it must be what really followed.
  const Bytes file = test::ReadBytes(dir.File("out.wav"));
  ASSERT_GE(file.size(), 44U);
  EXPECT_EQ(test::U32At(file, 40), file.size() - 44);
  EXPECT_EQ(in.TotalTime(), static_cast<std::int32_t>(std::lround(static_cast<double>(frames) / c.Rate)));
}

INSTANTIATE_TEST_SUITE_P(OggencFiles, VorbisInDecodesLikeOggdec,
                         ::testing::Values(DecodeCase{"Q5Stereo44k", "5", 2, 44100},
                                           DecodeCase{"QMinus1Stereo44k", "-1", 2, 44100},
                                           DecodeCase{"Q5Mono48k", "5", 1, 48000},
                                           DecodeCase{"QMinus1Mono44k", "-1", 1, 44100},
                                           DecodeCase{"Q2Stereo48k", "2", 2, 48000}),
                         [](const auto& param) { return std::string(param.param.Name); });

// The Ogg page checksum, computed bit by bit from its definition: CRC-32 with generator 0x04C11DB7,
// most significant bit first, initial value 0 and no final inversion, over the whole page with the
// checksum field taken as zero.
std::uint32_t OggChecksum(const Bytes& bytes, std::size_t begin, std::size_t end) {
  std::uint32_t crc = 0;
  for (std::size_t i = begin; i < end; ++i) {
    crc ^= static_cast<std::uint32_t>(bytes[i]) << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000U) != 0 ? (crc << 1) ^ 0x04C11DB7U : crc << 1;
  }
  return crc;
}

// Writes `granule` into the last page of the Ogg file `bytes` and gives the page a checksum that fits
// again, as a writer with that bug (or an attacker) would.
void SetLastGranule(Bytes& bytes, std::int64_t granule) {
  std::size_t at = 0;
  std::size_t last = bytes.size();
  while (at + 27 <= bytes.size() && std::memcmp(&bytes[at], "OggS", 4) == 0) {
    const std::size_t segments = bytes[at + 26];
    std::size_t body = 0;
    for (std::size_t s = 0; s < segments; ++s) body += bytes[at + 27 + s];
    last = at;
    at += 27 + segments + body;
  }
  ASSERT_EQ(at, bytes.size()) << "not pages back to back";
  ASSERT_LT(last, bytes.size());
  const auto value = static_cast<std::uint64_t>(granule);
  for (int i = 0; i < 8; ++i) bytes[last + 6 + i] = static_cast<std::uint8_t>(value >> (8 * i));
  for (int i = 0; i < 4; ++i) bytes[last + 22 + i] = 0;
  const std::uint32_t crc = OggChecksum(bytes, last, bytes.size());
  for (int i = 0; i < 4; ++i) bytes[last + 22 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

class VorbisInPeerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTools({MEROLUNE_OGGENC, MEROLUNE_OGGDEC})) GTEST_SKIP() << "oggenc or oggdec missing";
    test::WritePcmWav(dir_.File("src.wav"), TestSignal(kFrames, 44100, 2, 21), 44100, 2);
  }
  // Encodes the source with oggenc and the extra arguments into `name`.
  void Encode(const std::string& name, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{MEROLUNE_OGGENC, "-Q", "-q", "3", "-o", dir_.File(name)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(dir_.File("src.wav"));
    ASSERT_EQ(test::RunTool(argv), 0);
  }
  // Decodes `name` with TVorbisIn and with oggdec; both must give the same samples.
  void ExpectSameAsOggdec(TVorbisIn& in, const std::string& name, std::size_t skipFrames = 0) {
    const auto reference = OggDec(dir_.File(name), dir_.File(name + ".ref.wav"));
    ASSERT_TRUE(reference);
    TWaveOut out;
    ASSERT_EQ(RunFiles(in, out, dir_.File(name), dir_.File(name + ".wav")), "");
    const auto decoded = test::ReadPcmWav(dir_.File(name + ".wav"));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->Channels, reference->Channels);
    const std::vector<std::int16_t> expected(
        reference->Samples.begin() + static_cast<std::ptrdiff_t>(skipFrames * reference->Channels),
        reference->Samples.end());
    EXPECT_EQ(decoded->Frames() + skipFrames, reference->Frames());
    EXPECT_TRUE(decoded->Samples == expected);
  }

  static constexpr std::size_t kFrames = 44100 * 3 + 555;
  TempDir dir_;
};

TEST_F(VorbisInPeerFiles, CommentNamesInAnyCaseFillTheTags) {
  Encode("tags.ogg", {"-c", "ARTIST=Sänger 歌手", "-c", "Album=Mixed Case", "-c", "title=lower", "-c",
                      "DATE=2024", "-c", "GENRE=Pop", "-c", "TRACKNUMBER=07/12", "-c", "COMMENT=not kept"});
  TVorbisIn in;
  in.SetFileName(dir_.File("tags.ogg"));
  EXPECT_EQ(in.Channels(), 2);
  const TOggTags tags = in.Tags();
  EXPECT_EQ(tags.Artist, "Sänger 歌手");
  EXPECT_EQ(tags.Album, "Mixed Case");
  EXPECT_EQ(tags.Title, "lower");
  EXPECT_EQ(tags.Date, "2024");
  EXPECT_EQ(tags.Genre, "Pop");
  EXPECT_EQ(tags.Track, 7);
}

TEST_F(VorbisInPeerFiles, StartSampleSkipsExactlyThatManyFrames) {
  Encode("a.ogg");
  TVorbisIn in;
  in.SetStartSample(10007);
  ExpectSameAsOggdec(in, "a.ogg", 10007);
}

TEST_F(VorbisInPeerFiles, TruncatedFileDecodesWhatItHolds) {
  Encode("a.ogg");
  Bytes bytes = test::ReadBytes(dir_.File("a.ogg"));
  bytes.resize(bytes.size() / 2);
  test::WriteBytes(dir_.File("cut.ogg"), bytes);
  TVorbisIn in;
  ExpectSameAsOggdec(in, "cut.ogg");
}

TEST_F(VorbisInPeerFiles, DamagedPagesAreSkippedLikeOggdecSkipsThem) {
  Encode("a.ogg");
  Bytes bytes = test::ReadBytes(dir_.File("a.ogg"));
  for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 300; ++i) bytes[i] ^= 0x5A;
  test::WriteBytes(dir_.File("hole.ogg"), bytes);
  TVorbisIn in;
  ExpectSameAsOggdec(in, "hole.ogg");
}

TEST_F(VorbisInPeerFiles, ChainOfSameFormatDecodesWhole) {
  // The parts of a chain differ in serial number (oggenc would pick the same one twice in a second).
  Encode("a.ogg", {"--serial", "76"});
  Encode("b.ogg", {"--serial", "77"});
  Bytes chain = test::ReadBytes(dir_.File("a.ogg"));
  const Bytes second = test::ReadBytes(dir_.File("b.ogg"));
  chain.insert(chain.end(), second.begin(), second.end());
  test::WriteBytes(dir_.File("chain.ogg"), chain);
  TVorbisIn in;
  ExpectSameAsOggdec(in, "chain.ogg");
}

TEST_F(VorbisInPeerFiles, ChainOfDifferentFormatsIsRefused) {
  Encode("a.ogg", {"--serial", "76"});
  test::WritePcmWav(dir_.File("mono.wav"), TestSignal(30000, 48000, 1, 22), 48000, 1);
  ASSERT_EQ(test::RunTool(
                {MEROLUNE_OGGENC, "-Q", "--serial", "77", "-o", dir_.File("b.ogg"), dir_.File("mono.wav")}),
            0);
  Bytes chain = test::ReadBytes(dir_.File("a.ogg"));
  const Bytes second = test::ReadBytes(dir_.File("b.ogg"));
  chain.insert(chain.end(), second.begin(), second.end());
  test::WriteBytes(dir_.File("chain.ogg"), chain);
  TVorbisIn in;
  TWaveOut out;
  const std::string message = RunFiles(in, out, dir_.File("chain.ogg"), dir_.File("out.wav"));
  EXPECT_EQ(message.rfind(kOpenFailedPrefix, 0), 0U) << message;
  EXPECT_FALSE(in.Busy());
}

// Rewriting the last page of an unchanged file with its own granule position must give the same
// bytes, or the damaged files below would be damaged in more than their granule position.
TEST_F(VorbisInPeerFiles, LastGranuleRewrittenAsItWasGivesTheSameFile) {
  Encode("a.ogg");
  const Bytes original = test::ReadBytes(dir_.File("a.ogg"));
  Bytes copy = original;
  SetLastGranule(copy, static_cast<std::int64_t>(kFrames));
  EXPECT_TRUE(copy == original);
}

// A last granule position that states no length (-1) or one whose bytes cannot be counted
// (2^63 - 1) is not trusted: everything that decodes is delivered, as oggdec delivers it, and the
// WAV header is patched to what was written.
class VorbisInUntrustedLength : public VorbisInPeerFiles,
                                public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(VorbisInUntrustedLength, DecodesEverythingLikeOggdec) {
  Encode("a.ogg");
  Bytes bytes = test::ReadBytes(dir_.File("a.ogg"));
  SetLastGranule(bytes, GetParam());
  test::WriteBytes(dir_.File("damaged.ogg"), bytes);
  TVorbisIn in;
  in.SetFileName(dir_.File("damaged.ogg"));
  EXPECT_EQ(in.Channels(), 2);
  EXPECT_EQ(in.TotalSamples(), -1);
  EXPECT_EQ(in.Size(), -1);
  ExpectSameAsOggdec(in, "damaged.ogg");
  const Bytes wav = test::ReadBytes(dir_.File("damaged.ogg.wav"));
  ASSERT_GE(wav.size(), 44U);
  EXPECT_GE(wav.size() - 44, kFrames * 4);
  EXPECT_EQ(test::U32At(wav, 40), wav.size() - 44);
  EXPECT_EQ(test::U32At(wav, 4), wav.size() - 8);
}

INSTANTIATE_TEST_SUITE_P(LastGranules, VorbisInUntrustedLength,
                         ::testing::Values(std::int64_t{-1}, std::numeric_limits<std::int64_t>::max()),
                         [](const auto& param) { return param.param < 0 ? std::string("MinusOne")
                                                                        : std::string("Int64Max"); });

// oggenc's file for a WAV without samples: headers and a last page at granule position 0.
TEST_F(VorbisInPeerFiles, StreamStatingLengthZeroDecodesToAnEmptyWav) {
  test::WritePcmWav(dir_.File("empty.wav"), {}, 44100, 2);
  ASSERT_EQ(test::RunTool({MEROLUNE_OGGENC, "-Q", "-o", dir_.File("empty.ogg"), dir_.File("empty.wav")}), 0);
  TVorbisIn in;
  TWaveOut out;
  ASSERT_EQ(RunFiles(in, out, dir_.File("empty.ogg"), dir_.File("empty.ogg.wav")), "");
  EXPECT_EQ(in.TotalSamples(), 0);
  const auto decoded = test::ReadPcmWav(dir_.File("empty.ogg.wav"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->Channels, 2);
  EXPECT_EQ(decoded->Frames(), 0U);
}

// The same file with its last granule position made -1 states no length, and nothing decodes from
// it: that is a failed decoding, not an empty song.
TEST_F(VorbisInPeerFiles, StreamWithoutAudioOrStatedLengthFails) {
  test::WritePcmWav(dir_.File("empty.wav"), {}, 44100, 2);
  ASSERT_EQ(test::RunTool({MEROLUNE_OGGENC, "-Q", "-o", dir_.File("empty.ogg"), dir_.File("empty.wav")}), 0);
  Bytes bytes = test::ReadBytes(dir_.File("empty.ogg"));
  SetLastGranule(bytes, -1);
  test::WriteBytes(dir_.File("damaged.ogg"), bytes);
  const auto reference = OggDec(dir_.File("damaged.ogg"), dir_.File("damaged.ref.wav"));
  ASSERT_TRUE(reference);
  ASSERT_EQ(reference->Frames(), 0U) << "oggdec found audio in it after all";
  TVorbisIn in;
  TWaveOut out;
  EXPECT_EQ(RunFiles(in, out, dir_.File("damaged.ogg"), dir_.File("damaged.ogg.wav")),
            "Failed to decode an ogg file: no audio could be decoded from it");
  EXPECT_FALSE(in.Busy());
}

// A stream states its length but every audio packet in it is damaged (each packet's first byte
// marks a header packet, which the decoder skips): nothing decodes, so the decoding fails.
TEST_F(VorbisInPeerFiles, StreamStatingALengthFromWhichNothingDecodesFails) {
  Encode("a.ogg");
  Bytes bytes = test::ReadBytes(dir_.File("a.ogg"));
  std::size_t at = 0;
  int page = 0;
  while (at < bytes.size()) {
    const std::size_t segments = bytes[at + 26];
    std::size_t body = at + 27 + segments;
    bool packetStarts = (bytes[at + 5] & 1) == 0;
    // Pages 0 and 1 hold the three header packets.
    for (std::size_t s = 0; s < segments; ++s) {
      const std::size_t lacing = bytes[at + 27 + s];
      if (page >= 2 && packetStarts && lacing > 0) bytes[body] |= 1;
      packetStarts = lacing < 255;
      body += lacing;
    }
    for (int i = 0; i < 4; ++i) bytes[at + 22 + i] = 0;
    const std::uint32_t crc = OggChecksum(bytes, at, body);
    for (int i = 0; i < 4; ++i) bytes[at + 22 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    at = body;
    ++page;
  }
  test::WriteBytes(dir_.File("noaudio.ogg"), bytes);
  const auto reference = OggDec(dir_.File("noaudio.ogg"), dir_.File("noaudio.ref.wav"));
  ASSERT_TRUE(reference);
  ASSERT_EQ(reference->Frames(), 0U) << "oggdec found audio in it after all";
  TVorbisIn in;
  TWaveOut out;
  EXPECT_EQ(RunFiles(in, out, dir_.File("noaudio.ogg"), dir_.File("noaudio.ogg.wav")),
            "Failed to decode an ogg file: no audio could be decoded from it");
  EXPECT_FALSE(in.Busy());
}

// A stream whose reads fail once `failAt` bytes have been read, as a disk error would.
class FailingStream final : public merolune::Stream {
 public:
  FailingStream(Bytes bytes, std::uint64_t failAt) : memory_(std::move(bytes)), failAt_(failAt) {}
  std::size_t Read(void* buffer, std::size_t count) override {
    if (memory_.Position() + count > failAt_)
      throw EAuException("Cannot read file test.ogg (Input/output error)");
    return memory_.Read(buffer, count);
  }
  void Write(const void* buffer, std::size_t count) override { memory_.Write(buffer, count); }
  std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override { return memory_.Seek(offset, origin); }
  std::uint64_t Position() const override { return memory_.Position(); }
  std::uint64_t Size() const override { return memory_.Size(); }

 private:
  MemoryStream memory_;
  std::uint64_t failAt_;
};

TEST_F(VorbisInPeerFiles, ReadErrorOfTheStreamEndsTheOutputWithItsMessage) {
  Encode("a.ogg");
  Bytes bytes = test::ReadBytes(dir_.File("a.ogg"));
  const std::uint64_t failAt = bytes.size() / 2;
  FailingStream source(std::move(bytes), failAt);
  TVorbisIn in;
  TWaveOut out;
  // The decoder reads the end of the file while opening, so the failure comes either there or mid-way.
  const std::string message = RunWithStreams(in, source, out, dir_.File("out.wav"));
  EXPECT_EQ(message, "Cannot read file test.ogg (Input/output error)");
  EXPECT_FALSE(in.Busy());
}

TEST(VorbisIn, EmptyAndNonsenseFilesFailWithTheOpenMessage) {
  TempDir dir;
  test::WriteBytes(dir.File("empty.ogg"), {});
  Bytes nonsense(20000);
  test::TestRandom random(5);
  for (auto& b : nonsense) b = static_cast<std::uint8_t>(random.Next());
  test::WriteBytes(dir.File("nonsense.ogg"), nonsense);
  test::WritePcmWav(dir.File("wave.ogg"), TestSignal(5000, 44100, 2, 3), 44100, 2);
  // An Ogg page that carries no Vorbis.
  Bytes page = {'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 8};
  for (char ch : std::string("OpusHead")) page.push_back(static_cast<std::uint8_t>(ch));
  test::WriteBytes(dir.File("opus.ogg"), page);
  TVorbisIn in;
  TWaveOut out;
  for (const char* name : {"empty.ogg", "nonsense.ogg", "wave.ogg", "opus.ogg"}) {
    SCOPED_TRACE(name);
    const std::string message = RunFiles(in, out, dir.File(name), dir.File(std::string(name) + ".wav"));
    EXPECT_TRUE(IsOpenFailure(message)) << message;
    EXPECT_FALSE(in.Busy());
    EXPECT_FALSE(in.Valid());
  }
}

// The named-file path keeps the old rule: a file that cannot be opened leaves the input invalid and
// empty rather than throwing.
TEST(VorbisIn, MissingNamedFileLeavesTheInputInvalidAndEmpty) {
  TempDir dir;
  TVorbisIn in;
  in.SetFileName(dir.File("absent.ogg"));
  EXPECT_EQ(in.Channels(), 0);
  EXPECT_FALSE(in.Valid());
  EXPECT_EQ(in.TotalSamples(), 0);
}

TEST(VorbisIn, ReadBlockBeforeBeginReadThrows) {
  TVorbisIn in;
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = 4;
  EXPECT_THROW(in.ReadBlock(data, bytes), EAuException);
}

// ---------------------------------------------------------------------------------------------------
// Encoding

// Encodes `wav` to `ogg` with `out` through a TWaveIn, as the service does.
std::string Encode(TWaveIn& in, TVorbisOut& out, const std::string& wav, const std::string& ogg) {
  return RunFiles(in, out, wav, ogg);
}

class VorbisOutPeerTools : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTools({MEROLUNE_OGGDEC, MEROLUNE_OGGINFO})) GTEST_SKIP() << "oggdec or ogginfo missing";
  }
  // Checks an encoding of `source` by ogginfo, by reading its pages and by decoding it with oggdec; the
  // decoded signal must correlate with the source at least `minCorrelation` in every channel, at lag 0.
  void ExpectGoodOgg(const std::string& ogg, const std::vector<std::int16_t>& source, int channels, int rate,
                     double minCorrelation, std::uint32_t serial) {
    int status = -1;
    const std::string info = OggInfo(ogg, &status);
    EXPECT_EQ(status, 0) << info;
    const std::vector<OggPage> pages = ReadPages(test::ReadBytes(ogg));
    ASSERT_GE(pages.size(), 3U);
    for (std::size_t i = 0; i < pages.size(); ++i) {
      EXPECT_EQ(pages[i].Serial, serial);
      // Only the last page ends the stream.
      EXPECT_EQ((pages[i].HeaderType & 4) != 0, i + 1 == pages.size()) << "page " << i;
    }
    const auto decoded = OggDec(ogg, ogg + ".wav");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->Channels, channels);
    EXPECT_EQ(decoded->SampleRate, static_cast<std::uint32_t>(rate));
    const std::size_t frames = source.size() / static_cast<std::size_t>(channels);
    ASSERT_EQ(decoded->Frames(), frames);
    for (int c = 0; c < channels; ++c) {
      const std::vector<double> a = ChannelValues(source, channels, c);
      const std::vector<double> b = decoded->Channel(c);
      EXPECT_EQ(test::BestLag(a, b, 32, 0, frames), 0) << "channel " << c;
      EXPECT_GT(test::CorrelationAt(a, b, 0, 0, frames), minCorrelation) << "channel " << c;
      // Correlation ignores the scale; the level must come back too (a lossy coder keeps it within a
      // fraction of a dB).
      double sourceEnergy = 0;
      double decodedEnergy = 0;
      for (std::size_t i = 0; i < frames; ++i) {
        sourceEnergy += a[i] * a[i];
        decodedEnergy += b[i] * b[i];
      }
      EXPECT_NEAR(10 * std::log10(decodedEnergy / sourceEnergy), 0.0, 0.5) << "channel " << c;
    }
  }
  TempDir dir_;
};

// The encoder is lossy and at -0.1 it keeps only about 45 kbit/s for 44.1 kHz stereo, cutting the top
// octave; the song-like signal has most of its energy far below that, so even then the waveform stays
// well correlated (about 0.99 here, 0.9999 at 1.0). 0.98 leaves room for that coarse quantisation while
// still failing for swapped channels, a shift, a lost block or garbage; the level check catches a wrong
// scale.
TEST_F(VorbisOutPeerTools, QualitiesFromLowestToBestMakeValidFilesThatGrow) {
  const std::size_t frames = 44100 * 3 + 321;
  const std::vector<std::int16_t> source = TestSignal(frames, 44100, 2, 31);
  test::WritePcmWav(dir_.File("src.wav"), source, 44100, 2);
  TWaveIn in;
  TVorbisOut out;
  EXPECT_FLOAT_EQ(out.Compression(), 0.2F);
  out.SetSerial(0x1234567);
  std::uintmax_t lastSize = 0;
  for (const float quality : {-0.1F, 0.2F, 0.5F, 1.0F}) {
    SCOPED_TRACE(quality);
    const std::string ogg = dir_.File("q" + std::to_string(quality) + ".ogg");
    out.SetCompression(quality);
    out.SetComments({"Album", "Artist Name", "2024", "Pop", "Title", 3});
    ASSERT_EQ(Encode(in, out, dir_.File("src.wav"), ogg), "");
    ExpectGoodOgg(ogg, source, 2, 44100, 0.98, 0x1234567);
    const std::uintmax_t size = test::ReadBytes(ogg).size();
    EXPECT_GT(size, lastSize);
    lastSize = size;
    int status = -1;
    const std::string info = OggInfo(ogg, &status);
    EXPECT_NE(info.find("ARTIST=Artist Name"), std::string::npos) << info;
    EXPECT_NE(info.find("TRACKNUMBER=3"), std::string::npos) << info;
    // The comments belonged to that file.
    EXPECT_EQ(out.Comments(), TOggTags{});
  }
}

struct PcmCase {
  const char* Name;
  int Channels;
  int Rate;
  int Bits;
};

class VorbisOutTakesPcm : public VorbisOutPeerTools, public ::testing::WithParamInterface<PcmCase> {};

// 8-bit samples are unsigned, 24-bit ones three bytes little-endian: a wrong conversion turns the signal
// into noise, which the correlation check sees.
TEST_P(VorbisOutTakesPcm, OfEveryWidthAndChannelCount) {
  const PcmCase c = GetParam();
  const std::size_t frames = static_cast<std::size_t>(c.Rate) * 2 + 99;
  const std::vector<std::int16_t> source = TestSignal(frames, c.Rate, c.Channels, 41);
  test::WavSpec wav;
  wav.Channels = static_cast<std::uint16_t>(c.Channels);
  wav.SampleRate = static_cast<std::uint32_t>(c.Rate);
  wav.BitsPerSample = static_cast<std::uint16_t>(c.Bits);
  for (const std::int16_t s : source) {
    if (c.Bits == 8) {
      wav.Data.push_back(static_cast<std::uint8_t>((s >> 8) + 128));
    } else {
      // 24-bit: the 16-bit value in the top two bytes and a changing low byte.
      const std::int32_t v = c.Bits == 16 ? s : s * 256 + (s & 0xFF);
      for (int b = 0; b < c.Bits / 8; ++b) wav.Data.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    }
  }
  test::WriteBytes(dir_.File("src.wav"), test::MakeWav(wav));
  TWaveIn in;
  TVorbisOut out;
  out.SetCompression(0.4F);
  ASSERT_EQ(Encode(in, out, dir_.File("src.wav"), dir_.File("a.ogg")), "");
  // 8-bit quantisation noise (about -42 dB under this signal) costs a little correlation on top.
  ExpectGoodOgg(dir_.File("a.ogg"), source, c.Channels, c.Rate, 0.98, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, VorbisOutTakesPcm,
                         ::testing::Values(PcmCase{"Mono16Bit48k", 1, 48000, 16},
                                           PcmCase{"Mono8Bit22k", 1, 22050, 8},
                                           PcmCase{"Stereo24Bit44k", 2, 44100, 24}),
                         [](const auto& param) { return std::string(param.param.Name); });

TEST_F(VorbisOutPeerTools, ConsecutiveEncodingsWithTheSameComponentsSucceed) {
  const std::vector<std::int16_t> first = TestSignal(70000, 44100, 2, 51);
  const std::vector<std::int16_t> second = TestSignal(50000, 48000, 1, 52);
  test::WritePcmWav(dir_.File("1.wav"), first, 44100, 2);
  test::WritePcmWav(dir_.File("2.wav"), second, 48000, 1);
  TWaveIn in;
  TVorbisOut out;
  ASSERT_EQ(Encode(in, out, dir_.File("1.wav"), dir_.File("1.ogg")), "");
  ASSERT_EQ(Encode(in, out, dir_.File("2.wav"), dir_.File("2.ogg")), "");
  // And the first file again to the same destination.
  ASSERT_EQ(Encode(in, out, dir_.File("1.wav"), dir_.File("1.ogg")), "");
  ExpectGoodOgg(dir_.File("1.ogg"), first, 2, 44100, 0.98, 0);
  ExpectGoodOgg(dir_.File("2.ogg"), second, 1, 48000, 0.98, 0);

  // The same holds for decoding them back with one TVorbisIn and one TWaveOut.
  TVorbisIn vorbisIn;
  TWaveOut waveOut;
  for (const char* name : {"1.ogg", "2.ogg"}) {
    ASSERT_EQ(RunFiles(vorbisIn, waveOut, dir_.File(name), dir_.File(std::string(name) + ".back.wav")), "");
    const auto back = test::ReadPcmWav(dir_.File(std::string(name) + ".back.wav"));
    const auto reference = test::ReadPcmWav(dir_.File(std::string(name) + ".wav"));
    ASSERT_TRUE(back && reference);
    EXPECT_TRUE(back->Samples == reference->Samples) << name;
  }
}

TEST_F(VorbisOutPeerTools, ManagedBitRateIsWrittenAndReadBack) {
  const std::vector<std::int16_t> source = TestSignal(90000, 44100, 2, 61);
  test::WritePcmWav(dir_.File("src.wav"), source, 44100, 2);
  TWaveIn in;
  TVorbisOut out;
  out.SetDesiredNominalBitrate(TVorbisBitRate::br128);
  ASSERT_EQ(Encode(in, out, dir_.File("src.wav"), dir_.File("a.ogg")), "");
  ExpectGoodOgg(dir_.File("a.ogg"), source, 2, 44100, 0.98, 0);
  int status = -1;
  const std::string info = OggInfo(dir_.File("a.ogg"), &status);
  EXPECT_NE(info.find("Nominal bitrate: 128.000000 kb/s"), std::string::npos) << info;
  TVorbisIn vorbisIn;
  vorbisIn.SetFileName(dir_.File("a.ogg"));
  EXPECT_EQ(vorbisIn.SampleRate(), 44100);
  EXPECT_EQ(vorbisIn.NominalBitrate(), 128000);
}

// ---------------------------------------------------------------------------------------------------
// Encoder failures

class VorbisOutFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WritePcmWav(dir_.File("stereo.wav"), TestSignal(30000, 44100, 2, 71), 44100, 2);
    test::WritePcmWav(dir_.File("mono.wav"), TestSignal(30000, 44100, 1, 72), 44100, 1);
  }
  // After a failure the same components encode the next file.
  void ExpectNextEncodingWorks(TWaveIn& in, TVorbisOut& out) {
    out.SetDesiredNominalBitrate(TVorbisBitRate::brAutoSelect);
    out.SetCompression(0.2F);
    EXPECT_EQ(Encode(in, out, dir_.File("stereo.wav"), dir_.File("next.ogg")), "");
    EXPECT_FALSE(ReadPages(test::ReadBytes(dir_.File("next.ogg"))).empty());
  }
  TempDir dir_;
};

TEST_F(VorbisOutFailures, RefusedManagedBitRateSaysTryLower) {
  TWaveIn in;
  TVorbisOut out;
  // The encoder has no mode for 320 kbit/s mono at 44.1 kHz.
  out.SetDesiredNominalBitrate(TVorbisBitRate::br320);
  EXPECT_EQ(Encode(in, out, dir_.File("mono.wav"), dir_.File("a.ogg")),
            "Vorbis codec setup with the requested bitrate failed. Try lower bitrate");
  EXPECT_FALSE(in.Busy());
  ExpectNextEncodingWorks(in, out);
}

TEST_F(VorbisOutFailures, RefusedQualityIsReportedNotPassedOff) {
  TWaveIn in;
  TVorbisOut out;
  for (const float quality : {-0.5F, -0.2F, std::numeric_limits<float>::quiet_NaN()}) {
    SCOPED_TRACE(quality);
    out.SetCompression(quality);
    const std::string message = Encode(in, out, dir_.File("stereo.wav"), dir_.File("a.ogg"));
    EXPECT_EQ(message.rfind("Vorbis codec setup with the requested quality failed: ", 0), 0U) << message;
    EXPECT_FALSE(in.Busy());
    EXPECT_EQ(test::ReadBytes(dir_.File("a.ogg")).size(), 0U);
  }
  ExpectNextEncodingWorks(in, out);
}

TEST_F(VorbisOutFailures, WriteErrorOfTheDestinationEndsTheOutput) {
  TWaveIn in;
  TVorbisOut out;
  const std::string message = Encode(in, out, dir_.File("stereo.wav"), "/dev/full");
  EXPECT_EQ(message.rfind(kAuCannotWriteFile, 0), 0U) << message;
  EXPECT_FALSE(in.Busy());
  ExpectNextEncodingWorks(in, out);
}

TEST_F(VorbisOutPeerTools, EmptyInputGivesAValidStreamWithoutAudio) {
  test::WritePcmWav(dir_.File("empty.wav"), {}, 44100, 2);
  TWaveIn in;
  TVorbisOut out;
  ASSERT_EQ(Encode(in, out, dir_.File("empty.wav"), dir_.File("a.ogg")), "");
  const std::vector<OggPage> pages = ReadPages(test::ReadBytes(dir_.File("a.ogg")));
  ASSERT_FALSE(pages.empty());
  EXPECT_NE(pages.back().HeaderType & 4, 0);
  const auto decoded = OggDec(dir_.File("a.ogg"), dir_.File("a.wav"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->Frames(), 0U);
}

TEST(VorbisOut, SettingsAfterConstructionAndWhatTheSettersKeep) {
  TVorbisOut out;
  EXPECT_FLOAT_EQ(out.Compression(), 0.2F);
  EXPECT_EQ(out.DesiredNominalBitrate(), TVorbisBitRate::brAutoSelect);
  EXPECT_EQ(out.DesiredMaximumBitrate(), TVorbisBitRate::brAutoSelect);
  EXPECT_EQ(out.MinimumBitrate(), TVorbisBitRate::brAutoSelect);
  EXPECT_EQ(out.Serial(), 0);
  EXPECT_EQ(out.Comments(), TOggTags{});
  out.SetFileMode(TFileOutputMode::foAppend);
  EXPECT_EQ(out.FileMode(), TFileOutputMode::foAppend);
  out.SetDesiredMaximumBitrate(TVorbisBitRate::br499);
  EXPECT_EQ(out.DesiredMaximumBitrate(), TVorbisBitRate::br499);
  EXPECT_EQ(VorbisBitRateBps(TVorbisBitRate::br45), 45000);
  EXPECT_EQ(VorbisBitRateBps(TVorbisBitRate::brAutoSelect), -1);
}

// ---------------------------------------------------------------------------------------------------
// Missing libraries (run with one library hidden; skipped otherwise)

TEST(VorbisMissingLibrary, ConstructorsNameTheHiddenLibrary) {
  const char* hidden = std::getenv("MEROLUNE_HIDDEN_LIBRARY");
  if (hidden == nullptr) GTEST_SKIP() << "runs only with a library hidden";
  const std::string expected = std::string(hidden) + " library could not be loaded.";
  try {
    TVorbisIn in;
    ADD_FAILURE() << "TVorbisIn was constructed";
  } catch (const EAuException& e) {
    EXPECT_EQ(std::string(e.what()), expected);
  }
  try {
    TVorbisOut out;
    ADD_FAILURE() << "TVorbisOut was constructed";
  } catch (const EAuException& e) {
    EXPECT_EQ(std::string(e.what()), expected);
  }
}

}  // namespace
}  // namespace merolune
