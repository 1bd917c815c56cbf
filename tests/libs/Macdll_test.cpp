// libmacdll.so's entry points, linked as a caller links them: files made through the buffer calls
// equal the encoder core's, FFmpeg and jmac agree with what the decompressor gives back, and every
// failure comes back as the right code with nothing left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ApeEncoder.h"
#include "ApeHeader.h"
#include "MacErrors.h"
#include "PeerTools.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"
#include "macdll.h"

namespace merolune::test {
namespace {

const std::string kFfmpeg = MEROLUNE_FFMPEG;
const std::string kJmac = MEROLUNE_JMAC;

constexpr std::size_t kFrame = 73728;        // blocks per frame, levels 1000-3000
constexpr std::size_t kFrameExtra = 294912;  // level 4000
constexpr std::int32_t kUnknownLength = -1;

std::size_t FrameBlocks(int level) { return level == 4000 ? kFrameExtra : kFrame; }

std::vector<std::uint8_t> SongBytes(std::size_t blocks, std::uint32_t rate = 44100) {
  return SampleBytes(SongLike(blocks, rate, 5));
}

std::wstring Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

struct CompressOptions {
  int Level = 2000;
  std::int32_t MaxAudioBytes = kUnknownLength;
  std::size_t Piece = 0;  // bytes the caller hands over per LockBuffer/UnlockBuffer pair; 0: all
  bool Process = true;    // UnlockBuffer's "process now"
  std::vector<std::uint8_t> Header;
  std::uint32_t Rate = 44100;
};

// Compresses as the output component does: lock, copy what fits, unlock with processing on.
std::int32_t Compress(const std::string& path, const std::vector<std::uint8_t>& pcm,
                      const CompressOptions& o) {
  std::int32_t error = -1;
  APE_COMPRESS_HANDLE compressor = c_APECompress_Create(&error);
  EXPECT_EQ(error, 0);
  MacWaveFormat format;
  EXPECT_EQ(FillWaveFormatEx(&format, static_cast<std::int32_t>(o.Rate), 16, 2), 0);
  std::int32_t result =
      c_APECompress_Start(compressor, path.c_str(), &format, o.MaxAudioBytes, o.Level,
                          o.Header.empty() ? nullptr : o.Header.data(),
                          o.Header.empty() ? -1 : static_cast<std::int32_t>(o.Header.size()));
  const std::size_t piece = o.Piece ? o.Piece : pcm.size();
  for (std::size_t at = 0; result == 0 && at < pcm.size();) {
    std::int32_t room = 0;
    unsigned char* buffer = c_APECompress_LockBuffer(compressor, &room);
    const std::size_t take = std::min({static_cast<std::size_t>(room), piece, pcm.size() - at});
    std::memcpy(buffer, pcm.data() + at, take);
    result = c_APECompress_UnlockBuffer(compressor, static_cast<std::int32_t>(take), o.Process ? 1 : 0);
    at += take;
  }
  if (result == 0) result = c_APECompress_Finish(compressor, nullptr, 0, 0);
  c_APECompress_Destroy(compressor);
  return result;
}

class MemoryOutput : public ApeOutput {
 public:
  void Append(const std::uint8_t* bytes, std::size_t size) override {
    Bytes.insert(Bytes.end(), bytes, bytes + size);
  }
  void Overwrite(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) override {
    std::copy(bytes, bytes + size, Bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  std::vector<std::uint8_t> Bytes;
};

std::vector<std::uint8_t> CoreEncode(const std::vector<std::uint8_t>& pcm, const CompressOptions& o) {
  MemoryOutput output;
  ApeEncoderSettings settings;
  settings.Level = o.Level;
  settings.SampleRate = o.Rate;
  settings.MaxAudioBytes = o.MaxAudioBytes;
  settings.WavHeader = o.Header;
  ApeEncoder encoder(output, settings);
  encoder.Write(pcm.data(), pcm.size());
  encoder.Finish();
  return output.Bytes;
}

struct Decoded {
  std::int32_t CreateError = -1;
  std::int32_t DataError = 0;
  std::int32_t NextError = 0;  // a further GetData after the one that gave 0 blocks or failed
  std::vector<std::uint8_t> Pcm;
};

// Everything the decompressor delivers, `blocks` per call, until it gives 0 or fails.
Decoded Decompress(const std::wstring& path, std::int32_t blocks = 1000) {
  Decoded result;
  APE_DECOMPRESS_HANDLE decompressor = c_APEDecompress_CreateW(path.c_str(), &result.CreateError);
  if (!decompressor) return result;
  const auto align =
      static_cast<std::size_t>(c_APEDecompress_GetInfo(decompressor, MAC_INFO_BLOCK_ALIGN, 0, 0));
  std::vector<char> buffer(align * static_cast<std::size_t>(blocks));
  for (;;) {
    std::int32_t got = -1;
    result.DataError = c_APEDecompress_GetData(decompressor, buffer.data(), blocks, &got);
    result.Pcm.insert(result.Pcm.end(), buffer.begin(),
                      buffer.begin() + static_cast<std::ptrdiff_t>(align) * got);
    if (result.DataError != 0 || got == 0) break;
  }
  std::int32_t got = -1;
  result.NextError = c_APEDecompress_GetData(decompressor, buffer.data(), blocks, &got);
  EXPECT_EQ(got, 0);
  c_APEDecompress_Destroy(decompressor);
  return result;
}

// FFmpeg's decoding with every frame's checksum checked, as little-endian 16-bit bytes.
std::vector<std::uint8_t> FfmpegDecode(const std::string& ape, const std::string& raw) {
  std::string errors;
  EXPECT_EQ(RunTool({kFfmpeg, "-v", "error", "-xerror", "-err_detect", "crccheck+explode", "-i", ape, "-f",
                     "s16le", "-y", raw},
                    nullptr, &errors),
            0)
      << errors;
  return ReadBytes(raw);
}

// ---- Error texts

struct TextCase {
  std::int32_t Code;
  std::string Text;
};

class MacErrorTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(MacErrorTextTest, CodeHasItsText) { EXPECT_EQ(MacErrorText(GetParam().Code), GetParam().Text); }

INSTANTIATE_TEST_SUITE_P(
    Table, MacErrorTextTest,
    ::testing::Values(TextCase{0, "OK"}, TextCase{1000, "I/O read error"}, TextCase{1001, "I/O write error"},
                      TextCase{1002, "invalid input file"}, TextCase{1003, "invalid output file"},
                      TextCase{1004, "input file file too large"},
                      TextCase{1005, "input file unsupported bit depth"},
                      TextCase{1006, "input file unsupported sample rate"},
                      TextCase{1007, "input file unsupported channel count"},
                      TextCase{1008, "input file too small"}, TextCase{1009, "invalid checksum"},
                      TextCase{1010, "decompressing frame"}, TextCase{1011, "initializing unmac"},
                      TextCase{1012, "invalid function parameter"}, TextCase{1013, "unsupported file type"},
                      TextCase{2000, "insufficient memory"}, TextCase{3000, "loading MAC.dll"},
                      TextCase{3001, "loading MACinfo.dll"}, TextCase{3002, "loading UnMAC.dll"},
                      TextCase{4000, "user stopped processing"}, TextCase{4001, "skipped..."},
                      TextCase{5000, "bad parameter"}, TextCase{6000, "APE compress too much data"},
                      TextCase{7777, "undefined (7777)"}, TextCase{-1, "undefined (-1)"},
                      TextCase{1014, "undefined (1014)"}));

// ---- The header check

// The start of a file of version 3990: the descriptor's byte counts of what precedes the audio.
std::vector<std::uint8_t> Descriptor(std::uint32_t descriptor, std::uint32_t header, std::uint32_t seek,
                                     std::uint32_t wav) {
  std::vector<std::uint8_t> head = {'M', 'A', 'C', ' ', 0x96, 0x0F, 0, 0};
  for (std::uint32_t v : {descriptor, header, seek, wav}) {
    for (int shift = 0; shift < 32; shift += 8) head.push_back(static_cast<std::uint8_t>(v >> shift));
  }
  head.resize(52);
  return head;
}

// The header before version 3980: 32 bytes, then (flag 4) a peak level and (flag 16) the seek-table
// count `seekEntries`.
std::vector<std::uint8_t> OldHeader(std::uint16_t version, std::uint16_t flags, std::uint32_t wavBytes,
                                    std::uint32_t frames, std::uint32_t seekEntries = 0) {
  const std::size_t peak = flags & 4 ? 4 : 0;
  std::vector<std::uint8_t> head(32 + peak + (flags & 16 ? 4 : 0));
  const auto put = [&](std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      head[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(0, 0x2043414D, 4);  // "MAC "
  put(4, version, 2);
  put(6, 2000, 2);
  put(8, flags, 2);
  put(10, 2, 2);
  put(12, 44100, 4);
  put(16, wavBytes, 4);
  put(24, frames, 4);
  put(28, 1000, 4);
  if (flags & 16) put(32 + peak, seekEntries, 4);
  return head;
}

struct HeadCase {
  std::string Name;
  std::vector<std::uint8_t> Head;
  std::uint64_t FileSize;
  ApeHead Expected;
};

class ApeHeadTest : public ::testing::TestWithParam<HeadCase> {};

TEST_P(ApeHeadTest, JudgesTheFileFromItsFirstBytes) {
  EXPECT_EQ(CheckApeHead(GetParam().Head, GetParam().FileSize), GetParam().Expected);
}

std::vector<std::uint8_t> Cut(std::vector<std::uint8_t> bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

// Sizes before the audio, by hand: ours 52 + 24 + 4 (one seek entry); with a stored WAV header
// 52 + 24 + 8 + 44 = 128; a 3970 file of 10 frames 32 + 10 * 4 = 72; with a peak level and a count
// of 20 seek entries 40 + 80 plus a 44-byte WAV header = 164; before 3810 one more byte a frame,
// 32 + 40 + 10 = 82.
INSTANTIATE_TEST_SUITE_P(
    Table, ApeHeadTest,
    ::testing::Values(
        HeadCase{"Empty", {}, 0, ApeHead::Unusable},
        HeadCase{"ThreeBytes", {'M', 'A', 'C'}, 3, ApeHead::Unusable},
        HeadCase{"Wav", {'R', 'I', 'F', 'F', 0, 0, 0, 0}, 1000, ApeHead::NotMonkeysAudio},
        HeadCase{"FloatingPoint", {'M', 'A', 'C', 'F', 0x96, 0x0F, 0, 0}, 1000, ApeHead::NotMonkeysAudio},
        HeadCase{"MagicAndHalfAVersion", {'M', 'A', 'C', ' ', 0x96}, 5, ApeHead::Unusable},
        HeadCase{"DescriptorCut", Cut(Descriptor(52, 24, 4, 0), 51), 1000, ApeHead::Unusable},
        HeadCase{"OursWithAudio", Descriptor(52, 24, 4, 0), 81, ApeHead::Usable},
        HeadCase{"OursWithoutAudio", Descriptor(52, 24, 4, 0), 80, ApeHead::Unusable},
        HeadCase{"StoredWavHeaderWithAudio", Descriptor(52, 24, 8, 44), 129, ApeHead::Usable},
        HeadCase{"StoredWavHeaderWithout", Descriptor(52, 24, 8, 44), 128, ApeHead::Unusable},
        // 0x80000000 twice: 76 in 32 bits.
        HeadCase{"CountsThatWrapIn32Bits", Descriptor(52, 24, 0x80000000U, 0x80000000U), 1000,
                 ApeHead::Unusable},
        HeadCase{"Old3970WithAudio", OldHeader(3970, 32, 0, 10), 73, ApeHead::Usable},
        HeadCase{"Old3970SeekTableToTheEnd", OldHeader(3970, 32, 0, 10), 72, ApeHead::Unusable},
        HeadCase{"Old3970SixtyMillionFrames", OldHeader(3970, 32, 0, 60000000), 1000, ApeHead::Unusable},
        HeadCase{"OldPeakSeekCountStoredWav", OldHeader(3900, 4 | 16, 44, 10, 20), 165, ApeHead::Usable},
        HeadCase{"OldPeakSeekCountStoredWavCut", OldHeader(3900, 4 | 16, 44, 10, 20), 164, ApeHead::Unusable},
        HeadCase{"OldSeekCountMissing", Cut(OldHeader(3900, 16, 0, 10, 20), 35), 1000, ApeHead::Unusable},
        HeadCase{"Old3800BitTable", OldHeader(3800, 32, 0, 10), 83, ApeHead::Usable},
        HeadCase{"Old3800BitTableCut", OldHeader(3800, 32, 0, 10), 82, ApeHead::Unusable}),
    [](const auto& p) { return p.param.Name; });

// ---- The wave-format record

TEST(MacdllTest, FillWaveFormatExWritesThePlatformLayout) {
  MacWaveFormat format;
  ASSERT_EQ(FillWaveFormatEx(&format, 48000, 24, 2), 0);
  unsigned char bytes[18];
  std::memcpy(bytes, &format, sizeof bytes);
  // tag 1, 2 channels, 48000 Hz, 288000 bytes/s, 6 bytes per block, 24 bits, no extra bytes
  const unsigned char expected[18] = {1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0x65, 0x04, 0, 6, 0, 24, 0, 0, 0};
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 18),
            std::vector<unsigned char>(expected, expected + 18));
  EXPECT_EQ(FillWaveFormatEx(nullptr, 44100, 16, 2), MAC_ERROR_BAD_PARAMETER);
  EXPECT_EQ(FillWaveFormatEx(&format, 44100, 12, 2), MAC_ERROR_BAD_PARAMETER);
}

// ---- Compression through the buffer calls

struct PieceCase {
  std::size_t Piece;
  std::int32_t MaxAudioBytes;
  bool Process = true;
};

class MacdllPieces : public ::testing::TestWithParam<PieceCase> {};

TEST_P(MacdllPieces, FileEqualsTheEncoderCoresWhateverThePieces) {
  TempDir dir;
  const std::vector<std::uint8_t> pcm = SongBytes(2 * kFrame + 777);
  CompressOptions options;
  options.Piece = GetParam().Piece;
  options.MaxAudioBytes = GetParam().MaxAudioBytes;
  options.Process = GetParam().Process;
  ASSERT_EQ(Compress(dir.File("out.ape"), pcm, options), 0);
  ExpectOnlyFiles(dir.Path(), {"out.ape"});
  EXPECT_TRUE(ReadBytes(dir.File("out.ape")) == CoreEncode(pcm, options));
}

INSTANTIATE_TEST_SUITE_P(Pieces, MacdllPieces,
                         ::testing::Values(PieceCase{0, kUnknownLength}, PieceCase{1, kUnknownLength},
                                           PieceCase{3, kUnknownLength},
                                           PieceCase{4 * kFrame + 1, kUnknownLength},
                                           PieceCase{3, static_cast<std::int32_t>(4 * (2 * kFrame + 777))},
                                           PieceCase{1001, kUnknownLength, false}));

class MacdllLevels : public ::testing::TestWithParam<int> {};

// Our files back through FFmpeg (frame checksums checked) and through the decompressor, exactly.
TEST_P(MacdllLevels, FilesDecodeExactlyWithFfmpegAndTheDecompressor) {
  const int level = GetParam();
  TempDir dir;
  const std::size_t blocks = FrameBlocks(level) + 4099;
  const std::vector<std::uint8_t> pcm = SongBytes(blocks, 48000);
  CompressOptions options;
  options.Level = level;
  options.Rate = 48000;
  ASSERT_EQ(Compress(dir.File("out.ape"), pcm, options), 0);
  if (ToolAvailable(kFfmpeg)) {
    EXPECT_TRUE(FfmpegDecode(dir.File("out.ape"), dir.File("out.raw")) == pcm);
  }

  const Decoded decoded = Decompress(Wide(dir.File("out.ape")), 4321);
  EXPECT_EQ(decoded.CreateError, 0);
  EXPECT_EQ(decoded.DataError, 0);
  EXPECT_EQ(decoded.NextError, 0);
  EXPECT_TRUE(decoded.Pcm == pcm);

  APE_DECOMPRESS_HANDLE decompressor = c_APEDecompress_CreateW(Wide(dir.File("out.ape")).c_str(), nullptr);
  ASSERT_NE(decompressor, nullptr);
  const auto info = [&](std::int32_t field) { return c_APEDecompress_GetInfo(decompressor, field, 0, 0); };
  EXPECT_EQ(info(MAC_INFO_FILE_VERSION), 3990);
  EXPECT_EQ(info(MAC_INFO_COMPRESSION_LEVEL), level);
  EXPECT_EQ(info(MAC_INFO_SAMPLE_RATE), 48000);
  EXPECT_EQ(info(MAC_INFO_BITS_PER_SAMPLE), 16);
  EXPECT_EQ(info(MAC_INFO_BYTES_PER_SAMPLE), 2);
  EXPECT_EQ(info(MAC_INFO_CHANNELS), 2);
  EXPECT_EQ(info(MAC_INFO_BLOCK_ALIGN), 4);
  EXPECT_EQ(info(MAC_INFO_BLOCKS_PER_FRAME), static_cast<std::intptr_t>(FrameBlocks(level)));
  EXPECT_EQ(info(MAC_INFO_TOTAL_FRAMES), 2);
  EXPECT_EQ(info(MAC_INFO_FINAL_FRAME_BLOCKS), 4099);
  EXPECT_EQ(info(MAC_INFO_TOTAL_BLOCKS), static_cast<std::intptr_t>(blocks));
  EXPECT_EQ(info(MAC_INFO_WAV_TOTAL_BYTES), static_cast<std::intptr_t>(pcm.size()));
  // (73728 + 4099) / 48 = 1621.4 ms; (294912 + 4099) / 48 = 6229.4 ms
  const std::intptr_t ms = level == 4000 ? 6229 : 1621;
  EXPECT_EQ(info(MAC_INFO_LENGTH_MS), ms);
  EXPECT_EQ(info(MAC_DECOMPRESS_LENGTH_MS), ms);
  EXPECT_EQ(info(4242), -1);
  c_APEDecompress_Destroy(decompressor);
}

INSTANTIATE_TEST_SUITE_P(Levels, MacdllLevels, ::testing::Values(1000, 2000, 3000, 4000));

TEST(MacdllTest, StoredWavHeaderTakes44BytesAndChangesNoAudio) {
  TempDir dir;
  const std::vector<std::int16_t> samples = SongLike(5000, 44100, 3);
  const std::vector<std::uint8_t> pcm = SampleBytes(samples);
  WavSpec wavFile;
  wavFile.Data = pcm;
  const std::vector<std::uint8_t> wav = MakeWav(wavFile);
  CompressOptions stored;
  stored.Header.assign(wav.begin(), wav.begin() + 44);
  ASSERT_EQ(Compress(dir.File("plain.ape"), pcm, CompressOptions{}), 0);
  ASSERT_EQ(Compress(dir.File("stored.ape"), pcm, stored), 0);
  const std::vector<std::uint8_t> plain = ReadBytes(dir.File("plain.ape"));
  const std::vector<std::uint8_t> withHeader = ReadBytes(dir.File("stored.ape"));
  EXPECT_EQ(withHeader.size(), plain.size() + 44);
  EXPECT_EQ(U32At(plain, 20), 0U);  // header data bytes
  EXPECT_EQ(U32At(withHeader, 20), 44U);
  EXPECT_EQ(U16At(plain, 54), 32);  // "create the WAV header on decoding"
  EXPECT_EQ(U16At(withHeader, 54), 0);
  const std::size_t headerAt = 76 + U32At(withHeader, 16);
  EXPECT_TRUE(
      std::equal(wav.begin(), wav.begin() + 44, withHeader.begin() + static_cast<std::ptrdiff_t>(headerAt)));
  EXPECT_TRUE(Decompress(Wide(dir.File("stored.ape"))).Pcm == pcm);
  EXPECT_TRUE(Decompress(Wide(dir.File("plain.ape"))).Pcm == pcm);
}

// ---- Seeking

TEST(MacdllTest, SeekThenGetDataGivesTheSamplesFromThatBlock) {
  TempDir dir;
  const std::size_t blocks = 3 * kFrame + 100;
  const std::vector<std::uint8_t> pcm = SongBytes(blocks);
  CompressOptions options;
  options.Level = 1000;
  ASSERT_EQ(Compress(dir.File("s.ape"), pcm, options), 0);
  APE_DECOMPRESS_HANDLE decompressor = c_APEDecompress_CreateW(Wide(dir.File("s.ape")).c_str(), nullptr);
  ASSERT_NE(decompressor, nullptr);
  std::vector<char> buffer(4 * 5000);
  // Frame starts and ends, a block inside a decoder sub-frame, backwards and forwards, the last block.
  for (std::size_t block : {std::size_t{100000}, std::size_t{0}, std::size_t{4609}, kFrame - 1, kFrame,
                            2 * kFrame + 3, std::size_t{1}, blocks - 1}) {
    ASSERT_EQ(c_APEDecompress_Seek(decompressor, static_cast<std::int32_t>(block)), 0);
    EXPECT_EQ(c_APEDecompress_GetInfo(decompressor, MAC_DECOMPRESS_CURRENT_BLOCK, 0, 0),
              static_cast<std::intptr_t>(block));
    std::int32_t got = -1;
    ASSERT_EQ(c_APEDecompress_GetData(decompressor, buffer.data(), 5000, &got), 0);
    const std::size_t expected = std::min<std::size_t>(5000, blocks - block);
    ASSERT_EQ(static_cast<std::size_t>(got), expected) << "block " << block;
    EXPECT_EQ(std::memcmp(buffer.data(), pcm.data() + 4 * block, 4 * expected), 0) << "block " << block;
  }
  std::int32_t got = -1;
  ASSERT_EQ(c_APEDecompress_Seek(decompressor, static_cast<std::int32_t>(blocks)), 0);
  EXPECT_EQ(c_APEDecompress_GetData(decompressor, buffer.data(), 5000, &got), 0);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(c_APEDecompress_Seek(decompressor, static_cast<std::int32_t>(blocks + 1)),
            MAC_ERROR_BAD_PARAMETER);
  c_APEDecompress_Destroy(decompressor);
}

// ---- jmac's files: other bit depths and mono

struct JmacCase {
  int Level;
  std::uint16_t Bits;
  std::uint16_t Channels;
};

class MacdllJmac : public ::testing::TestWithParam<JmacCase> {};

TEST_P(MacdllJmac, DecompressorGivesBackTheWavData) {
  if (!ToolAvailable(kJmac)) GTEST_SKIP() << "jmac not found (Debian package libjmac-java)";
  const JmacCase& c = GetParam();
  TempDir dir;
  // The song's 16-bit samples widened or narrowed: every byte of a 24-bit sample varies.
  const std::vector<std::int16_t> song = SongLike(kFrame + 999, 44100, 8);
  WavSpec wavFile;
  wavFile.Channels = c.Channels;
  wavFile.BitsPerSample = c.Bits;
  for (std::size_t i = 0; i < song.size(); i += 2 / c.Channels) {
    const std::int32_t s = song[i];
    if (c.Bits == 8) wavFile.Data.push_back(static_cast<std::uint8_t>((s >> 8) + 128));
    if (c.Bits == 16)
      wavFile.Data.insert(wavFile.Data.end(),
                          {static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(s >> 8)});
    if (c.Bits == 24) {
      const std::int32_t wide = s * 256 + static_cast<std::int32_t>(i % 251);
      wavFile.Data.insert(wavFile.Data.end(),
                          {static_cast<std::uint8_t>(wide), static_cast<std::uint8_t>(wide >> 8),
                           static_cast<std::uint8_t>(wide >> 16)});
    }
  }
  WriteBytes(dir.File("in.wav"), MakeWav(wavFile));
  std::string command = "c";
  command += std::to_string(c.Level / 1000);
  std::string errors;
  ASSERT_EQ(RunTool({kJmac, command, dir.File("in.wav"), dir.File("in.ape")}, nullptr, &errors), 0) << errors;
  const Decoded decoded = Decompress(Wide(dir.File("in.ape")), 777);
  EXPECT_EQ(decoded.CreateError, 0);
  EXPECT_EQ(decoded.DataError, 0);
  EXPECT_TRUE(decoded.Pcm == wavFile.Data);
}

INSTANTIATE_TEST_SUITE_P(Files, MacdllJmac,
                         ::testing::Values(JmacCase{1000, 16, 2}, JmacCase{2000, 16, 2},
                                           JmacCase{3000, 16, 2}, JmacCase{4000, 16, 2},
                                           JmacCase{2000, 16, 1}, JmacCase{2000, 8, 2}, JmacCase{3000, 24, 2},
                                           JmacCase{2000, 24, 1}));

// ---- Failures

TEST(MacdllTest, FilesThatAreNotUsableMonkeysAudioAreRefusedAtCreate) {
  TempDir dir;
  WriteBytes(dir.File("empty.ape"), {});
  WavSpec wav;
  wav.Data = SongBytes(1000);
  WriteBytes(dir.File("wav.ape"), MakeWav(wav));
  const struct {
    std::string Name;
    std::int32_t Error;
  } cases[] = {{"missing.ape", MAC_ERROR_INVALID_INPUT_FILE},
               {"empty.ape", MAC_ERROR_INVALID_INPUT_FILE},
               {"wav.ape", MAC_ERROR_UNSUPPORTED_FILE_TYPE}};
  for (const auto& c : cases) {
    std::int32_t error = -1;
    EXPECT_EQ(c_APEDecompress_CreateW(Wide(dir.File(c.Name)).c_str(), &error), nullptr) << c.Name;
    EXPECT_EQ(error, c.Error) << c.Name;
  }
}

TEST(MacdllTest, TruncatedFileIsAnErrorNotAShortSuccess) {
  TempDir dir;
  const std::vector<std::uint8_t> pcm = SongBytes(3 * kFrame);
  ASSERT_EQ(Compress(dir.File("whole.ape"), pcm, CompressOptions{}), 0);
  const std::vector<std::uint8_t> whole = ReadBytes(dir.File("whole.ape"));
  // Inside the last frame and inside the first: the header is whole, the audio is not. Inside the
  // seek table: the header is unusable.
  const struct {
    std::size_t Keep;
    std::int32_t CreateError;
  } cases[] = {{whole.size() - 1000, 0}, {whole.size() / 4, 0}, {76 + 12, MAC_ERROR_INVALID_INPUT_FILE}};
  for (const auto& c : cases) {
    WriteBytes(dir.File("cut.ape"),
               std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(c.Keep)));
    const Decoded decoded = Decompress(Wide(dir.File("cut.ape")));
    EXPECT_EQ(decoded.CreateError, c.CreateError) << c.Keep << " bytes";
    if (decoded.CreateError == 0) {
      EXPECT_EQ(decoded.DataError, MAC_ERROR_DECOMPRESSING_FRAME) << c.Keep << " bytes";
      EXPECT_EQ(decoded.NextError, MAC_ERROR_DECOMPRESSING_FRAME) << c.Keep << " bytes";
      EXPECT_LT(decoded.Pcm.size(), pcm.size());
    }
  }
}

TEST(MacdllTest, StartRefusesWhatTheEncoderCannotWriteAndLeavesNothing) {
  TempDir dir;
  const auto start = [&](MacWaveFormat format, int level, const std::string& path) {
    APE_COMPRESS_HANDLE compressor = c_APECompress_Create(nullptr);
    const std::int32_t result =
        c_APECompress_Start(compressor, path.c_str(), &format, -1, level, nullptr, -1);
    c_APECompress_Destroy(compressor);
    return result;
  };
  MacWaveFormat cd;
  FillWaveFormatEx(&cd, 44100, 16, 2);
  MacWaveFormat format;
  FillWaveFormatEx(&format, 44100, 24, 2);
  EXPECT_EQ(start(format, 2000, dir.File("a.ape")), MAC_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH);
  FillWaveFormatEx(&format, 44100, 8, 2);
  EXPECT_EQ(start(format, 2000, dir.File("a.ape")), MAC_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH);
  FillWaveFormatEx(&format, 44100, 16, 1);
  EXPECT_EQ(start(format, 2000, dir.File("a.ape")), MAC_ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT);
  format = cd;
  format.SamplesPerSecond = 0;
  EXPECT_EQ(start(format, 2000, dir.File("a.ape")), MAC_ERROR_INPUT_FILE_UNSUPPORTED_SAMPLE_RATE);
  EXPECT_EQ(start(cd, 2500, dir.File("a.ape")), MAC_ERROR_BAD_PARAMETER);
  EXPECT_EQ(start(cd, 2000, dir.File("no/such/folder/a.ape")), MAC_ERROR_INVALID_OUTPUT_FILE);
  ExpectOnlyFiles(dir.Path(), {});
}

// A link stands for the file it names, which gets the result while the link stays; a folder or a
// pipe (or a device) is refused at Start, never replaced by a file.
TEST(MacdllTest, LinksAreFollowedAndOtherKindsOfFileRefused) {
  TempDir dir;
  const std::vector<std::uint8_t> pcm = SongBytes(5000);
  std::filesystem::create_directory(dir.File("sub"));
  WriteBytes(dir.File("sub/target.ape"), {1});
  std::filesystem::create_symlink("sub/target.ape", dir.File("link.ape"));
  std::filesystem::create_symlink("sub/later.ape", dir.File("dangling.ape"));
  for (const char* name : {"link.ape", "dangling.ape"}) {
    ASSERT_EQ(Compress(dir.File(name), pcm, CompressOptions{}), 0) << name;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File(name))) << name;
  }
  for (const char* written : {"sub/target.ape", "sub/later.ape"})
    EXPECT_EQ(FfmpegDecode(dir.File(written), dir.File("raw")), pcm) << written;

  ASSERT_EQ(::mkfifo(dir.File("pipe.ape").c_str(), 0600), 0);
  for (const char* refused : {"pipe.ape", "sub"})
    EXPECT_EQ(Compress(dir.File(refused), pcm, CompressOptions{}), MAC_ERROR_INVALID_OUTPUT_FILE) << refused;
  EXPECT_TRUE(std::filesystem::is_fifo(dir.File("pipe.ape")));
  ExpectOnlyFiles(dir.Path(), {"dangling.ape", "link.ape", "pipe.ape", "raw", "sub"});
}

TEST(MacdllTest, UnfinishedOrFailedCompressionLeavesNothing) {
  TempDir dir;
  const std::vector<std::uint8_t> pcm = SongBytes(1000);
  MacWaveFormat format;
  FillWaveFormatEx(&format, 44100, 16, 2);
  // Destroyed without Finish.
  APE_COMPRESS_HANDLE compressor = c_APECompress_Create(nullptr);
  ASSERT_EQ(c_APECompress_Start(compressor, dir.File("a.ape").c_str(), &format, -1, 2000, nullptr, -1), 0);
  std::int32_t room = 0;
  std::memcpy(c_APECompress_LockBuffer(compressor, &room), pcm.data(), pcm.size());
  EXPECT_EQ(c_APECompress_UnlockBuffer(compressor, static_cast<std::int32_t>(pcm.size()), 1), 0);
  c_APECompress_Destroy(compressor);
  ExpectOnlyFiles(dir.Path(), {});
  // Finished without audio.
  EXPECT_EQ(Compress(dir.File("b.ape"), {}, CompressOptions{}), MAC_ERROR_INPUT_FILE_TOO_SMALL);
  // More than announced: 400 bytes (100 blocks) announced, 404 handed over.
  CompressOptions bounded;
  bounded.MaxAudioBytes = 400;
  EXPECT_EQ(Compress(dir.File("c.ape"), SongBytes(101), bounded), MAC_ERROR_APE_COMPRESS_TOO_MUCH_DATA);
  ExpectOnlyFiles(dir.Path(), {});
}

TEST(MacdllTest, WideNamesReachTheFileSystemAsUtf8) {
  TempDir dir;
  const std::vector<std::uint8_t> pcm = SongBytes(2000);
  ASSERT_EQ(Compress(dir.File("chanson-\xC3\xA9t\xC3\xA9-\xE2\x99\xAA.ape"), pcm, CompressOptions{}), 0);
  EXPECT_TRUE(Decompress(Wide(dir.File("chanson-")) + L"\u00E9t\u00E9-\u266A.ape").Pcm == pcm);
}

}  // namespace
}  // namespace merolune::test
