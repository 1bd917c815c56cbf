// The Monkey's Audio encoder: byte-exact files for known inputs, FFmpeg decoding our files bit for
// bit, the range coder against a decoder written here, and jmac's files.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ApeEncoder.h"
#include "ApeRangeCoder.h"
#include "Md5.h"
#include "PeerTools.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune::test {
namespace {

const std::string kFfmpeg = MEROLUNE_FFMPEG;
const std::string kJmac = MEROLUNE_JMAC;

constexpr std::uint32_t kFrame = 73728;         // blocks per frame, levels 1000-3000
constexpr std::uint32_t kFrameExtra = 294912;   // level 4000
constexpr std::size_t kFixedHead = 52 + 24;     // descriptor and header

std::uint32_t FrameBlocks(int level) { return level == 4000 ? kFrameExtra : kFrame; }

class MemoryOutput : public ApeOutput {
 public:
  void Append(const std::uint8_t* bytes, std::size_t size) override { Bytes.insert(Bytes.end(), bytes, bytes + size); }
  void Overwrite(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) override {
    ASSERT_LE(offset + size, Bytes.size());
    std::copy(bytes, bytes + size, Bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  std::vector<std::uint8_t> Bytes;
};

struct EncodeOptions {
  int Level = 2000;
  std::uint32_t Rate = 44100;
  std::vector<std::uint8_t> WavHeader;
  std::size_t Piece = 0;           // bytes per Write call; 0: all at once
  bool UnknownLength = false;      // else the exact size sizes the seek table
};

EncodeOptions AtLevel(int level, std::uint32_t rate = 44100) {
  EncodeOptions options;
  options.Level = level;
  options.Rate = rate;
  return options;
}

std::vector<std::uint8_t> Encode(const std::vector<std::int16_t>& pcm, const EncodeOptions& options) {
  const std::vector<std::uint8_t> bytes = SampleBytes(pcm);
  MemoryOutput output;
  ApeEncoderSettings settings;
  settings.Level = options.Level;
  settings.SampleRate = options.Rate;
  settings.MaxAudioBytes = options.UnknownLength ? -1 : static_cast<std::int64_t>(bytes.size());
  settings.WavHeader = options.WavHeader;
  ApeEncoder encoder(output, settings);
  const std::size_t piece = options.Piece ? options.Piece : bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    encoder.Write(bytes.data() + at, std::min(piece, bytes.size() - at));
  }
  encoder.Finish();
  return output.Bytes;
}

// The 44-byte header of a canonical WAV file holding `pcm`.
std::vector<std::uint8_t> CanonicalHeader(const std::vector<std::int16_t>& pcm, std::uint32_t rate) {
  WavSpec song;
  song.SampleRate = rate;
  song.Data = SampleBytes(pcm);
  const std::vector<std::uint8_t> wav = MakeWav(song);
  return {wav.begin(), wav.begin() + 44};
}

std::vector<std::uint8_t> FromHex(std::string_view hex) {
  std::vector<std::uint8_t> bytes;
  int pending = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else continue;
    if (pending < 0) {
      pending = v;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(pending * 16 + v));
      pending = -1;
    }
  }
  return bytes;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    constexpr char kDigits[] = "0123456789abcdef";
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

std::string Md5Hex(std::span<const std::uint8_t> bytes) {
  Md5 md5;
  md5.Update(bytes.data(), bytes.size());
  return Hex(md5.Final());
}

std::vector<std::uint32_t> SeekTable(const std::vector<std::uint8_t>& file) {
  std::vector<std::uint32_t> entries;
  for (std::size_t i = 0; i < U32At(file, 16) / 4; ++i) entries.push_back(U32At(file, kFixedHead + 4 * i));
  return entries;
}

// ---------------------------------------------------------------------------------------------
// MD5

struct Md5Case {
  std::string Text;
  std::string Digest;
};

class Md5Test : public ::testing::TestWithParam<Md5Case> {};

TEST_P(Md5Test, MatchesTheReferenceDigestWholeAndInPieces) {
  const std::string& text = GetParam().Text;
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  EXPECT_EQ(Md5Hex(bytes), GetParam().Digest);
  Md5 pieces;
  for (std::size_t at = 0; at < bytes.size(); at += 7) pieces.Update(bytes.data() + at, std::min<std::size_t>(7, bytes.size() - at));
  EXPECT_EQ(Hex(pieces.Final()), GetParam().Digest);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc1321, Md5Test,
    ::testing::Values(Md5Case{"", "d41d8cd98f00b204e9800998ecf8427e"},
                      Md5Case{"abc", "900150983cd24fb0d6963f7d28e17f72"},
                      Md5Case{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
                      Md5Case{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                              "57edf4a22be3c955ac49da2e2107b67a"}));

// ---------------------------------------------------------------------------------------------
// Byte-exact files for tiny inputs, as the reference encoder writes them (no stored WAV header).

struct VectorCase {
  std::string Name;
  std::vector<std::int16_t> Pcm;
  int Level;
  std::uint32_t Rate;
  std::string File;
};

class ApeVectorTest : public ::testing::TestWithParam<VectorCase> {};

TEST_P(ApeVectorTest, FileIsByteIdenticalToTheReference) {
  const VectorCase& c = GetParam();
  EXPECT_EQ(Hex(Encode(c.Pcm, AtLevel(c.Level, c.Rate))), Hex(FromHex(c.File)));
}

INSTANTIATE_TEST_SUITE_P(
    Reference, ApeVectorTest,
    ::testing::Values(
        VectorCase{"OneBlock", {123, -456}, 2000, 44100,
                   "4d414320960f0000340000001800000004000000000000000c0000000000000000000000"
                   "50e080d7757f46174f63b77cda8af168d007200000200100010000000100000010000200"
                   "44ac000050000000b04d706887cc990000000000"},
        // The third and fourth Y residuals need the escape symbol.
        VectorCase{"FiveBlocksWithEscapes", {1, -1, 100, -200, -32768, 32767, 5, 5, 0, 0}, 1000, 44100,
                   "4d414320960f000034000000180000000400000000000000280000000000000000000000"
                   "e9db2286790a027edd6c280e44a0a160e803200000200100050000000100000010000200"
                   "44ac0000500000002c137a05f598000032d964fc1f00903a807d070d00009083705edbcd"
                   "e73de22e000000d600000000"},
        VectorCase{"SilentFrame", std::vector<std::int16_t>(20, 0), 3000, 44100,
                   "4d414320960f000034000000180000000400000000000000100000000000000000000000"
                   "1c3563180238d1638c479cec04a98e3bb80b2000002001000a0000000100000010000200"
                   "44ac000050000000d81ef6f4070000000000010000000000"},
        VectorCase{"PseudoStereo", {1000, 1000, -2000, -2000, 3000, 3000, -4000, -4000}, 4000, 48000,
                   "4d414320960f000034000000180000000400000000000000180000000000000000000000"
                   "802018420581b25dd40ce2ad9134ff8ea00f200000800400040000000100000010000200"
                   "80bb0000500000009edd2fec04000000cb1dd9001d13e43ed427a85200000000"}),
    [](const auto& p) { return p.param.Name; });

// ---------------------------------------------------------------------------------------------
// A longer deterministic signal: several frames at every level, with and without a stored header.

// 300000 blocks from a linear congruential generator: a ramp in c0 plus noise, c1 half of c0 plus
// more noise.
std::vector<std::int16_t> LcgSignal() {
  std::vector<std::int16_t> pcm;
  std::uint32_t s = 1;
  const auto floorDiv = [](std::int32_t a, std::int32_t b) { return a / b - (a % b != 0 && a < 0); };
  for (std::int32_t n = 0; n < 300000; ++n) {
    s = 1664525 * s + 1013904223;
    const std::int32_t r = static_cast<std::int32_t>(s >> 16) - 32768;
    const std::int32_t c0 = 4 * ((97 * n % 8192) - 4096) + floorDiv(r, 64);
    const std::int32_t c1 = c0 / 2 + floorDiv(r, 16);
    pcm.push_back(static_cast<std::int16_t>(c0));
    pcm.push_back(static_cast<std::int16_t>(c1));
  }
  return pcm;
}

struct LongCase {
  int Level;
  std::size_t Size;
  std::string Md5;
  std::vector<std::uint32_t> Seek;
  std::uint32_t FrameAreaBytes;
  std::string StoredMd5;
  std::size_t SizeWithHeader;
  std::string Md5WithHeader;
};

class ApeLongVectorTest : public ::testing::TestWithParam<LongCase> {};

TEST_P(ApeLongVectorTest, FilesMatchTheReferenceWithAndWithoutStoredHeader) {
  static const std::vector<std::int16_t> pcm = LcgSignal();
  ASSERT_EQ(Md5Hex(SampleBytes(pcm)), "287e2c1c0e36dd488c228d1b91fe4f3a");
  const LongCase& c = GetParam();

  const std::vector<std::uint8_t> file = Encode(pcm, AtLevel(c.Level));
  EXPECT_EQ(file.size(), c.Size);
  EXPECT_EQ(Md5Hex(file), c.Md5);
  EXPECT_EQ(SeekTable(file), c.Seek);
  EXPECT_EQ(U32At(file, 24), c.FrameAreaBytes);
  EXPECT_EQ(Hex(std::span(file).subspan(36, 16)), c.StoredMd5);
  EXPECT_EQ(U32At(file, 60), 5088U);  // blocks in the last frame

  EncodeOptions stored = AtLevel(c.Level);
  stored.WavHeader = CanonicalHeader(pcm, 44100);
  const std::vector<std::uint8_t> withHeader = Encode(pcm, stored);
  EXPECT_EQ(withHeader.size(), c.SizeWithHeader);
  EXPECT_EQ(Md5Hex(withHeader), c.Md5WithHeader);
}

INSTANTIATE_TEST_SUITE_P(
    Reference, ApeLongVectorTest,
    ::testing::Values(LongCase{1000, 919296, "668beec088f35839abf513c88649971b", {96, 225857, 451749, 677428, 903235},
                               919200, "03fd27eb344bd8865c54ae8a57a74d6e", 919340, "b8a98996f92784c6748f89d1fa19e223"},
                      LongCase{2000, 925528, "df691b5e48a0d484fe55e3580964ba27", {96, 227369, 454839, 682159, 909660},
                               925432, "45f8f4d381b75adef217aa8a5e7d332f", 925572, "71838c1c89626987a13043ab9972b693"},
                      LongCase{3000, 936416, "b708f7e079ca8b85b74ee199dbfc3b90", {96, 230235, 460140, 690029, 920227},
                               936320, "d17c6352dc3bece65a25fb3a62727a08", 936460, "6e9c070ac80724d93bb031d1f1f5556b"},
                      LongCase{4000, 888580, "783ca346357adf0a3de1e98b7a857e8a", {84, 872563}, 888496,
                               "61c9d7958c721ce029908f8bb33613be", 888624, "58deae31cfcb98feda94ff5e42b8adea"}),
    [](const auto& p) { return "Level" + std::to_string(p.param.Level); });

// ---------------------------------------------------------------------------------------------
// Streaming: the file does not depend on how the PCM is cut into pieces.

class ApePieceTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ApePieceTest, PieceSizeDoesNotChangeTheFile) {
  // Two frames and a bit, so that pieces cross frame boundaries and samples.
  const std::vector<std::int16_t> pcm = SongLike(kFrame * 2 + 1001, 44100, 5);
  EncodeOptions pieces = AtLevel(2000);
  pieces.Piece = GetParam();
  EXPECT_EQ(Encode(pcm, pieces), Encode(pcm, AtLevel(2000)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ApePieceTest, ::testing::Values(1, 3, kFrame * 4 + 4, kFrame * 4 - 3));

// ---------------------------------------------------------------------------------------------
// The range coder against a decoder that follows the decoders' rules: it starts one byte in, with
// a 7-bit window, and widens its range byte by byte.

class RangeDecoder {
 public:
  explicit RangeDecoder(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {
    Next();  // the coder's first byte carries nothing
    buffer_ = Next();
    low_ = buffer_ >> 1;
    range_ = 1U << 7;
  }

  std::int32_t Residual(ApeResidualState& state) {
    const std::uint32_t pivot = std::max<std::uint32_t>(state.Sum / 32, 1);
    std::uint32_t q = Quotient();
    if (q == 63) {
      q = Raw16() << 16;
      q |= Raw16();
    }
    std::uint32_t base;
    if (pivot < 0x10000) {
      base = Uniform(pivot);
    } else {
      int lowBits = 0;
      while ((pivot >> lowBits) > 0xFFFF) ++lowBits;
      const std::uint32_t high = Uniform((pivot >> lowBits) + 1);
      base = (high << lowBits) + Uniform(1U << lowBits);
    }
    const std::uint32_t u = base + q * pivot;
    state.Sum += (u + 1) / 2 - (state.Sum + 16) / 32;
    return (u & 1) ? static_cast<std::int32_t>((u >> 1) + 1) : -static_cast<std::int32_t>(u >> 1);
  }

  // Bytes read after the final normalisation the frame-by-frame decoders do.
  std::size_t End() {
    Normalize();
    return at_;
  }

 private:
  std::uint32_t Next() { return at_ < bytes_.size() ? bytes_[at_++] : (++at_, 0U); }

  void Normalize() {
    while (range_ <= (1U << 23)) {
      buffer_ = (buffer_ << 8) | Next();
      low_ = (low_ << 8) | ((buffer_ >> 1) & 0xFF);
      range_ <<= 8;
    }
  }

  std::uint32_t Quotient() {
    Normalize();
    const std::uint32_t step = range_ >> 16;
    const std::uint32_t cf = low_ / step;
    // The widths of q = 0..20; from 21 on every quotient has width 1.
    static constexpr std::array<std::uint32_t, 21> kWidths = {19578, 16582, 12257, 7906, 4576, 2366, 1170,
                                                              536,   261,   119,   65,   31,   19,   10,
                                                              6,     3,     3,     2,    1,    1,    1};
    std::uint32_t start = 0;
    std::uint32_t q = 0;
    for (; q < kWidths.size() && cf >= start + kWidths[q]; ++q) start += kWidths[q];
    std::uint32_t width = q < kWidths.size() ? kWidths[q] : 1;
    if (q == kWidths.size()) {
      q = cf - 65472;
      start = cf;
    }
    low_ -= step * start;
    range_ = step * width;
    return q;
  }

  std::uint32_t Raw16() {
    Normalize();
    const std::uint32_t step = range_ >> 16;
    const std::uint32_t v = low_ / step;
    low_ -= step * v;
    range_ = step;
    return v;
  }

  std::uint32_t Uniform(std::uint32_t total) {
    Normalize();
    const std::uint32_t step = range_ / total;
    const std::uint32_t v = low_ / step;
    low_ -= step * v;
    range_ = step;
    return v;
  }

  const std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
  std::uint32_t buffer_ = 0;
  std::uint32_t low_ = 0;
  std::uint32_t range_ = 0;
};

struct ResidualMix {
  std::string Name;
  int MaxBits;       // magnitudes up to 2^MaxBits
  double BurstShare;  // share of values drawn full-width instead
};

class ApeRangeCoderTest : public ::testing::TestWithParam<ResidualMix> {};

TEST_P(ApeRangeCoderTest, DecoderReadsBackEveryResidualAndEndsOnTheLastByte) {
  const ResidualMix& mix = GetParam();
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    TestRandom random(seed);
    std::vector<std::int32_t> values(1 + random.Next() % 3000);
    for (std::int32_t& v : values) {
      const int bits = random.Uniform() < mix.BurstShare ? 31 : mix.MaxBits;
      const std::uint64_t magnitude = random.Next() >> (64 - bits);
      v = static_cast<std::int32_t>(random.Next() % 2 ? magnitude : -static_cast<std::int64_t>(magnitude));
    }
    std::vector<std::uint8_t> logical;
    {
      // Collect the logical bytes: undo the packer's group reversal, then drop its padding.
      ApeWordPacker packer([&](const std::uint8_t* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) logical.push_back(bytes[i ^ 3]);
      });
      ApeRangeCoder coder(packer);
      coder.Begin();
      ApeResidualState a, b;
      for (std::size_t i = 0; i < values.size(); ++i) coder.EncodeResidual(values[i], i % 2 ? b : a);
      coder.End();
      const std::uint64_t length = packer.Length();
      packer.Finish();
      logical.resize(length);
    }
    RangeDecoder decoder(logical);
    ApeResidualState a, b;
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(decoder.Residual(i % 2 ? b : a), values[i]) << "seed " << seed << " value " << i;
    }
    EXPECT_EQ(decoder.End(), logical.size()) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, ApeRangeCoderTest,
                         ::testing::Values(ResidualMix{"Small", 6, 0.0}, ResidualMix{"Sixteen", 16, 0.0},
                                           ResidualMix{"SmallWithBursts", 8, 0.01},
                                           ResidualMix{"Huge", 30, 0.1}),
                         [](const auto& p) { return p.param.Name; });

// ---------------------------------------------------------------------------------------------
// FFmpeg decodes our files bit for bit, frame CRCs checked and fatal.

enum class Content { Song, Noise, Squares, SilenceThenBurst, SecondSilent, FirstSilent, Identical, Zeros, Extremes, Mixed };

std::string ContentName(Content c) {
  switch (c) {
    case Content::Song: return "Song";
    case Content::Noise: return "Noise";
    case Content::Squares: return "Squares";
    case Content::SilenceThenBurst: return "SilenceThenBurst";
    case Content::SecondSilent: return "SecondSilent";
    case Content::FirstSilent: return "FirstSilent";
    case Content::Identical: return "Identical";
    case Content::Zeros: return "Zeros";
    case Content::Extremes: return "Extremes";
    case Content::Mixed: return "Mixed";
  }
  return "";
}

// A song-like signal of any length: 3 s made once and repeated.
std::vector<std::int16_t> Song(std::size_t blocks) {
  static const std::vector<std::int16_t> loop = SongLike(3 * 44100, 44100, 11, 0.9);
  std::vector<std::int16_t> pcm(2 * blocks);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = loop[i % loop.size()];
  return pcm;
}

std::int16_t Full(TestRandom& random) { return static_cast<std::int16_t>(random.Next() >> 48); }

std::vector<std::int16_t> MakeContent(Content content, std::size_t blocks, std::uint32_t frameBlocks) {
  std::vector<std::int16_t> pcm = Song(blocks);
  TestRandom random(blocks);
  for (std::size_t n = 0; n < blocks; ++n) {
    std::int16_t& c0 = pcm[2 * n];
    std::int16_t& c1 = pcm[2 * n + 1];
    switch (content) {
      case Content::Song: break;
      case Content::Noise:
        c0 = Full(random);
        c1 = Full(random);
        break;
      case Content::Squares:
        c0 = (n / 50) % 2 ? 32767 : -32768;
        c1 = (n / 37) % 2 ? -32768 : 32767;
        break;
      case Content::SilenceThenBurst:
        c0 = n < blocks * 9 / 10 ? 0 : Full(random);
        c1 = n < blocks * 9 / 10 ? 0 : Full(random);
        break;
      case Content::SecondSilent: c1 = 0; break;
      case Content::FirstSilent: c0 = 0; break;
      case Content::Identical: c1 = c0; break;
      case Content::Zeros: c0 = c1 = 0; break;
      case Content::Extremes:
        // Opposite full-scale values: the channel difference reaches +-65535.
        c0 = random.Next() % 2 ? 32767 : -32768;
        c1 = c0 == 32767 ? -32768 : 32767;
        break;
      case Content::Mixed:
        // Silent, identical-channel, normal and one-silent-channel frames in turn.
        switch (n / frameBlocks % 4) {
          case 0: c0 = c1 = 0; break;
          case 1: c1 = c0; break;
          case 2: break;
          case 3: c0 = 0; break;
        }
        break;
    }
  }
  return pcm;
}

// The file's own bookkeeping: increasing seek entries from the first frame's offset, the size the
// descriptor states, and the stored MD5 over WAV header, frames, header and seek table.
void ExpectConsistentLayout(const std::vector<std::uint8_t>& file) {
  ASSERT_GE(file.size(), kFixedHead);
  const std::uint32_t seekBytes = U32At(file, 16);
  const std::uint32_t wavBytes = U32At(file, 20);
  const std::uint32_t frameBytes = U32At(file, 24);
  const std::size_t firstFrame = kFixedHead + seekBytes + wavBytes;
  ASSERT_EQ(file.size(), firstFrame + frameBytes);
  const std::vector<std::uint32_t> seek = SeekTable(file);
  const std::uint32_t frames = U32At(file, 64);
  ASSERT_GE(seek.size(), frames);
  EXPECT_EQ(seek[0], firstFrame);
  for (std::size_t i = 1; i < frames; ++i) EXPECT_LT(seek[i - 1], seek[i]) << "entry " << i;
  for (std::size_t i = frames; i < seek.size(); ++i) EXPECT_EQ(seek[i], 0U) << "entry " << i;
  Md5 md5;
  md5.Update(file.data() + kFixedHead + seekBytes, wavBytes + frameBytes);
  md5.Update(file.data() + 52, 24 + seekBytes);
  EXPECT_EQ(Hex(md5.Final()), Hex(std::span(file).subspan(36, 16)));
}

// FFmpeg's decoding of `file` as interleaved samples; empty with a failure when it fails. A
// regular file, not a pipe: without the file size FFmpeg misjudges the last frame.
std::vector<std::int16_t> FfmpegDecode(const std::vector<std::uint8_t>& file) {
  TempDir dir;
  WriteBytes(dir.File("in.ape"), file);
  std::string errors;
  const int status = RunTool({kFfmpeg, "-v", "error", "-xerror", "-err_detect", "crccheck+explode", "-i",
                              dir.File("in.ape"), "-f", "s16le", "-y", dir.File("out.raw")},
                             nullptr, &errors);
  EXPECT_EQ(status, 0) << errors;
  EXPECT_EQ(errors, "");
  const std::vector<std::uint8_t> raw = ReadBytes(dir.File("out.raw"));
  std::vector<std::int16_t> pcm(raw.size() / 2);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
  return pcm;
}

struct MatrixCase {
  int Level;
  Content What;
  std::size_t Blocks;
  bool UnknownLength = false;  // the reference encoder's seek table for 2^31 - 1 bytes of audio
};

class ApeFfmpegTest : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(ApeFfmpegTest, FfmpegDecodesTheInputExactly) {
  if (!ToolAvailable(kFfmpeg)) GTEST_SKIP() << "ffmpeg not found";
  const MatrixCase& c = GetParam();
  const std::vector<std::int16_t> pcm = MakeContent(c.What, c.Blocks, FrameBlocks(c.Level));
  EncodeOptions options = AtLevel(c.Level);
  options.UnknownLength = c.UnknownLength;
  const std::vector<std::uint8_t> file = Encode(pcm, options);
  ExpectConsistentLayout(file);
  if (c.UnknownLength) {
    // Room for 2^31 - 1 bytes of audio: ceil(536870911 / blocks per frame) entries.
    EXPECT_EQ(U32At(file, 16) / 4, c.Level == 4000 ? 1821U : 7282U);
  }
  const std::uint32_t frameBlocks = FrameBlocks(c.Level);
  EXPECT_EQ(U32At(file, 64), (c.Blocks + frameBlocks - 1) / frameBlocks);
  const std::vector<std::int16_t> decoded = FfmpegDecode(file);
  ASSERT_EQ(decoded.size(), pcm.size());
  EXPECT_TRUE(decoded == pcm);
}

std::vector<MatrixCase> Matrix() {
  std::vector<MatrixCase> cases;
  for (int level : {1000, 2000, 3000, 4000}) {
    const std::size_t f = FrameBlocks(level);
    // FFmpeg hands out 4608 samples at a time; frame-sized and odd multi-frame lengths put frame
    // starts at every offset within a 32-bit word.
    for (std::size_t blocks : {std::size_t{1}, std::size_t{5}, std::size_t{4607}, std::size_t{4608}, std::size_t{4609},
                               f - 1, f, f + 1, 2 * f, f + 777, 2 * f + 1235}) {
      cases.push_back({level, Content::Song, blocks});
    }
    for (Content content : {Content::Noise, Content::Squares, Content::SilenceThenBurst, Content::SecondSilent,
                            Content::FirstSilent, Content::Identical, Content::Zeros, Content::Extremes}) {
      cases.push_back({level, content, f + 4099});
    }
    cases.push_back({level, Content::Mixed, 4 * f + 333});
  }
  cases.push_back({2000, Content::Song, kFrame + 10, true});
  cases.push_back({4000, Content::Song, kFrameExtra + 10, true});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Matrix, ApeFfmpegTest, ::testing::ValuesIn(Matrix()), [](const auto& p) {
  return "Level" + std::to_string(p.param.Level) + "_" + ContentName(p.param.What) + "_" +
         std::to_string(p.param.Blocks) + (p.param.UnknownLength ? "_UnknownLength" : "");
});

// ---------------------------------------------------------------------------------------------
// What the encoder refuses.

TEST(ApeEncoderTest, RefusesWhatTheFormatCannotHold) {
  MemoryOutput output;
  const auto refuses = [&](auto change) {
    ApeEncoderSettings settings;
    change(settings);
    EXPECT_THROW(ApeEncoder(output, settings), std::invalid_argument);
  };
  refuses([](ApeEncoderSettings& s) { s.Channels = 1; });
  refuses([](ApeEncoderSettings& s) { s.BitsPerSample = 24; });
  refuses([](ApeEncoderSettings& s) { s.Level = 5000; });
  refuses([](ApeEncoderSettings& s) { s.Level = 2500; });
  refuses([](ApeEncoderSettings& s) { s.SampleRate = 0; });
  refuses([](ApeEncoderSettings& s) { s.MaxAudioBytes = 3; });
  const std::vector<std::uint8_t> huge((1 << 20) + 1);
  refuses([&](ApeEncoderSettings& s) { s.WavHeader = huge; });
}

TEST(ApeEncoderTest, EmptyOrBrokenInputFailsAtFinish) {
  const std::uint8_t pcm[6] = {1, 2, 3, 4, 5, 6};
  for (std::size_t bytes : {0, 2, 6}) {
    MemoryOutput output;
    ApeEncoder encoder(output, ApeEncoderSettings{});
    encoder.Write(pcm, bytes);
    EXPECT_THROW(encoder.Finish(), std::runtime_error) << bytes << " bytes";
  }
}

TEST(ApeEncoderTest, MoreAudioThanAnnouncedFailsAtTheFrameThatDoesNotFit) {
  MemoryOutput output;
  ApeEncoderSettings settings;
  settings.MaxAudioBytes = 4 * kFrame;  // one frame
  ApeEncoder encoder(output, settings);
  const std::vector<std::uint8_t> pcm = SampleBytes(Song(kFrame));
  encoder.Write(pcm.data(), pcm.size());
  encoder.Write(pcm.data(), 4);
  EXPECT_EQ(encoder.BlocksWritten(), kFrame + 1);
  EXPECT_THROW(encoder.Finish(), std::length_error);
}

TEST(ApeEncoderTest, WriteAfterFinishIsRefused) {
  MemoryOutput output;
  ApeEncoder encoder(output, ApeEncoderSettings{});
  const std::uint8_t block[4] = {1, 0, 2, 0};
  encoder.Write(block, 4);
  encoder.Finish();
  EXPECT_THROW(encoder.Write(block, 4), std::logic_error);
  EXPECT_THROW(encoder.Finish(), std::logic_error);
}

// ---------------------------------------------------------------------------------------------
// jmac, a Java port of the reference codec, writes the same file (it stores the WAV header).

class ApeJmacTest : public ::testing::TestWithParam<int> {};

TEST_P(ApeJmacTest, SameFileAsJmac) {
  if (!ToolAvailable(kJmac)) GTEST_SKIP() << "jmac not found (Debian package libjmac-java)";
  const int level = GetParam();
  const std::vector<std::int16_t> pcm = MakeContent(Content::Song, 5 * 44100 + 17, FrameBlocks(level));
  TempDir dir;
  WritePcmWav(dir.File("in.wav"), pcm, 44100);
  std::string errors;
  const std::string command = "c" + std::to_string(level / 1000);
  ASSERT_EQ(RunTool({kJmac, command, dir.File("in.wav"), dir.File("out.ape")}, nullptr, &errors), 0) << errors;
  const std::vector<std::uint8_t> wav = ReadBytes(dir.File("in.wav"));
  EncodeOptions options = AtLevel(level);
  options.WavHeader.assign(wav.begin(), wav.begin() + 44);
  EXPECT_TRUE(Encode(pcm, options) == ReadBytes(dir.File("out.ape")));
}

INSTANTIATE_TEST_SUITE_P(Levels, ApeJmacTest, ::testing::Values(1000, 2000, 3000, 4000));

}  // namespace
}  // namespace merolune::test
