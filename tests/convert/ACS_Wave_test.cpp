// The WAV pipeline components: reading PCM WAV files, writing them, and the round trip through both.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "ACS_Wave.h"
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


Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void PutU16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void PutU32(Bytes& out, std::uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

void PutTag(Bytes& out, const std::string& tag) { out.insert(out.end(), tag.begin(), tag.end()); }

// The canonical 44-byte PCM header that TWaveOut writes.
Bytes CanonicalHeader(std::uint32_t channels, std::uint32_t rate, std::uint32_t bits,
                      std::uint32_t dataLength) {
  Bytes out;
  PutTag(out, "RIFF");
  PutU32(out, dataLength + 36);
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  PutU32(out, 16);
  PutU16(out, 1);
  PutU16(out, channels);
  PutU32(out, rate);
  PutU32(out, rate * channels * bits / 8);
  PutU16(out, channels * bits / 8);
  PutU16(out, bits);
  PutTag(out, "data");
  PutU32(out, dataLength);
  return out;
}

// A data block with a recognisable, non-repeating pattern.
Bytes Pattern(std::size_t count, int seed) {
  Bytes bytes(count);
  std::uint32_t state = 2463534242U + static_cast<std::uint32_t>(seed);
  for (auto& b : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}


// Everything the input hands out from BeginRead to its end.
Bytes ReadAll(TAuInput& input, std::int32_t blockBytes = 4096) {
  Bytes out;
  input.BeginRead();
  for (;;) {
    const std::uint8_t* data = nullptr;
    std::int32_t bytes = blockBytes;
    input.ReadBlock(data, bytes);
    if (bytes == 0) break;
    out.insert(out.end(), data, data + bytes);
  }
  input.EndRead();
  return out;
}

// Runs `in` → TWaveOut → `path`; the output's error message (empty on success).
std::string Convert(TAuInput& in, const std::string& path) {
  TWaveOut out;
  out.SetInput(&in);
  out.SetFileName(path);
  out.Start();
  EXPECT_TRUE(WaitForOutput(out));
  return out.ErrorMessage();
}

bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// stdout of a shell command.
Bytes Capture(const std::string& command) {
  Bytes out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::uint8_t chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.insert(out.end(), chunk, chunk + n);
  pclose(pipe);
  return out;
}

// An input of 16-bit stereo bytes that either predicts its Size or reports it as unknown.
class TestInput final : public TAuInput {
 public:
  TestInput(Bytes data, std::int64_t predicted) : data_(std::move(data)), predicted_(predicted) {}
  std::int32_t GetBitsPerSample() override { return 16; }
  std::int32_t GetChannels() override { return 2; }
  std::int32_t GetSampleRate() override { return 44100; }
  void BeginRead() override {
    busy_.store(true);
    size_.store(predicted_);
    position_.store(0);
    offset_ = 0;
  }
  void EndRead() override { busy_.store(false); }
  void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) override {
    if (!Busy()) throw EAuException(kAuStreamNotOpened);
    const std::size_t left = data_.size() - offset_;
    std::size_t count = std::min(left, static_cast<std::size_t>(std::min(bytes, 1000)));
    count -= count % 4;
    buffer = count > 0 ? data_.data() + offset_ : nullptr;
    bytes = static_cast<std::int32_t>(count);
    offset_ += count;
    position_.fetch_add(bytes);
  }

 private:
  Bytes data_;
  std::int64_t predicted_;
  std::size_t offset_ = 0;
};

TEST(WaveOut, RoundTripOf16BitStereoIsBitExact) {
  TempDir dir;
  const Bytes data = Pattern(100000, 1);  // several 16384-byte blocks and a partial one
  Bytes file = CanonicalHeader(2, 44100, 16, static_cast<std::uint32_t>(data.size()));
  file.insert(file.end(), data.begin(), data.end());
  WriteFile(dir.File("in.wav"), file);

  TWaveIn in;
  in.SetFileName(dir.File("in.wav"));
  EXPECT_EQ(Convert(in, dir.File("out.wav")), "");
  EXPECT_EQ(ReadFile(dir.File("out.wav")), file);
  EXPECT_FALSE(in.Busy());
}

TEST(WaveOut, RoundTripOf8BitMonoIsBitExact) {
  TempDir dir;
  const Bytes data = Pattern(20001, 2);
  Bytes file = CanonicalHeader(1, 8000, 8, static_cast<std::uint32_t>(data.size()));
  file.insert(file.end(), data.begin(), data.end());
  WriteFile(dir.File("in.wav"), file);

  TWaveIn in;
  in.SetFileName(dir.File("in.wav"));
  EXPECT_EQ(in.BitsPerSample(), 8);
  EXPECT_EQ(in.Channels(), 1);
  EXPECT_EQ(in.SampleRate(), 8000);
  EXPECT_EQ(Convert(in, dir.File("out.wav")), "");
  EXPECT_EQ(ReadFile(dir.File("out.wav")), file);
}

TEST(WaveOut, EmptyDataGivesA44ByteFile) {
  TempDir dir;
  WriteFile(dir.File("in.wav"), CanonicalHeader(2, 48000, 16, 0));
  TWaveIn in;
  in.SetFileName(dir.File("in.wav"));
  EXPECT_EQ(Convert(in, dir.File("out.wav")), "");
  EXPECT_EQ(ReadFile(dir.File("out.wav")), CanonicalHeader(2, 48000, 16, 0));
}

TEST(WaveOut, PredictedLengthIsKeptEvenWhenFewerBytesCome) {
  TempDir dir;
  const Bytes data = Pattern(4000, 3);
  TestInput in(data, 8000);
  EXPECT_EQ(Convert(in, dir.File("out.wav")), "");
  Bytes expected = CanonicalHeader(2, 44100, 16, 8000);
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(ReadFile(dir.File("out.wav")), expected);
}

TEST(WaveOut, UnknownLengthIsPatchedAtTheEnd) {
  TempDir dir;
  const Bytes data = Pattern(40000, 4);
  TestInput in(data, -1);
  EXPECT_EQ(Convert(in, dir.File("out.wav")), "");
  Bytes expected = CanonicalHeader(2, 44100, 16, 40000);
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(ReadFile(dir.File("out.wav")), expected);
}

// A prediction beyond the 32-bit sizes (a damaged source's claim) cannot go into the header; the
// header then tells what really came.
TEST(WaveOut, LengthTooLongForTheHeaderIsPatchedAtTheEnd) {
  TempDir dir;
  const Bytes data = Pattern(12000, 5);
  for (const std::int64_t predicted : {std::int64_t{1} << 32, (std::int64_t{1} << 40) + 12000}) {
    SCOPED_TRACE(predicted);
    TestInput in(data, predicted);
    EXPECT_EQ(Convert(in, dir.File("out.wav")), "");
    Bytes expected = CanonicalHeader(2, 44100, 16, 12000);
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(ReadFile(dir.File("out.wav")), expected);
  }
}

TEST(WaveOut, WriteErrorIsReported) {
  TempDir dir;
  const Bytes data = Pattern(200000, 5);
  TestInput in(data, static_cast<std::int64_t>(data.size()));
  const std::string message = Convert(in, "/dev/full");
  EXPECT_NE(message.find(kAuCannotWriteFile), std::string::npos) << message;
  EXPECT_FALSE(in.Busy());
}

TEST(WaveOut, MissingFileNameIsReported) {
  TestInput in(Pattern(400, 6), 400);
  TWaveOut out;
  out.SetInput(&in);
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), kAuOutputFileNameNotAssigned);
}

TEST(WaveOut, SettersKeepWhatTheyAccept) {
  TWaveOut out;
  EXPECT_EQ(out.WavType(), TWavType::wtPCM);
  EXPECT_EQ(out.BlockSize(), 512);
  out.SetWavType(TWavType::wtMSADPCM);
  EXPECT_EQ(out.WavType(), TWavType::wtPCM);
  out.SetWavType(TWavType::wtACM);
  EXPECT_EQ(out.WavType(), TWavType::wtPCM);
  out.SetWavType(TWavType::wtDVIADPCM);
  EXPECT_EQ(out.WavType(), TWavType::wtDVIADPCM);
  out.SetBlockSize(1024);
  EXPECT_EQ(out.BlockSize(), 1024);
  out.SetFileMode(TFileOutputMode::foAppend);
  EXPECT_EQ(out.FileMode(), TFileOutputMode::foAppend);
}

TEST(WaveOut, AdpcmSettingStillWritesPcm) {
  TempDir dir;
  const Bytes data = Pattern(4000, 7);
  TestInput in(data, 4000);
  TWaveOut out;
  out.SetWavType(TWavType::wtDVIADPCM);
  out.SetInput(&in);
  out.SetFileName(dir.File("out.wav"));
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), "");
  Bytes expected = CanonicalHeader(2, 44100, 16, 4000);
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(ReadFile(dir.File("out.wav")), expected);
}

TEST(WaveOut, AppendLeavesAnExistingFileUntouched) {
  TempDir dir;
  const Bytes existing = Pattern(1000, 8);
  WriteFile(dir.File("out.wav"), existing);
  TestInput in(Pattern(400, 9), 400);
  TWaveOut out;
  out.SetFileMode(TFileOutputMode::foAppend);
  out.SetInput(&in);
  out.SetFileName(dir.File("out.wav"));
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), "Cannot append data to this .wav file.");
  EXPECT_EQ(ReadFile(dir.File("out.wav")), existing);
  EXPECT_FALSE(in.Busy());
}

TEST(WaveIn, EmptyAndNonsenseFilesFailCleanly) {
  TempDir dir;
  WriteFile(dir.File("empty.wav"), {});
  WriteFile(dir.File("nonsense.wav"), Pattern(5000, 10));
  for (const char* name : {"empty.wav", "nonsense.wav"}) {
    TWaveIn in;
    in.SetFileName(dir.File(name));
    EXPECT_THROW(in.BeginRead(), EAuException) << name;
    EXPECT_FALSE(in.Busy());
    EXPECT_FALSE(in.Valid());
    const std::string message = Convert(in, dir.File(std::string("out-") + name));
    EXPECT_NE(message.find("Not a supported"), std::string::npos) << name << ": " << message;
    EXPECT_FALSE(in.Busy());
  }
}

// A frame is handed out whole from a 16384-byte buffer, which 4096 channels of 32 bits fill exactly;
// one channel more could never come out, and is refused instead of read as empty.
TEST(WaveIn, FramesUpToTheBufferAreReadAndWiderOnesRefused) {
  TempDir dir;
  for (const std::uint32_t channels : {4096U, 4097U}) {
    SCOPED_TRACE(channels);
    const Bytes data = Pattern(3 * channels * 4, 11);
    Bytes file = CanonicalHeader(channels, 8000, 32, static_cast<std::uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    MemoryStream stream(file);
    TWaveIn in;
    in.AssignStream(&stream);
    if (channels == 4096) {
      EXPECT_EQ(ReadAll(in, 16384), data);
    } else {
      EXPECT_THROW(in.BeginRead(), EAuException);
      EXPECT_FALSE(in.Busy());
      EXPECT_FALSE(in.Valid());
    }
  }
}

TEST(WaveIn, MissingFileFailsCleanly) {
  TempDir dir;
  TWaveIn in;
  in.SetFileName(dir.File("absent.wav"));
  const std::string message = Convert(in, dir.File("out.wav"));
  EXPECT_NE(message.find(kAuCannotOpenFile), std::string::npos) << message;
}

TEST(WaveIn, ReadBlockBeforeBeginReadThrows) {
  TWaveIn in;
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = 4;
  EXPECT_THROW(in.ReadBlock(data, bytes), EAuException);
}

TEST(WaveIn, ChunksAroundTheDataAndLowerCaseTagsAreHandled) {
  TempDir dir;
  const Bytes data = Pattern(4000, 11);
  Bytes file;
  PutTag(file, "riff");
  PutU32(file, 0);
  PutTag(file, "wave");
  PutTag(file, "fmt ");
  PutU32(file, 16);
  PutU16(file, 1);
  PutU16(file, 2);
  PutU32(file, 22050);
  PutU32(file, 22050 * 4);
  PutU16(file, 4);
  PutU16(file, 16);
  PutTag(file, "LIST");
  PutU32(file, 5);
  PutTag(file, "INFOx");
  file.push_back(0);  // pad byte of the odd-sized chunk
  PutTag(file, "data");
  PutU32(file, static_cast<std::uint32_t>(data.size()));
  file.insert(file.end(), data.begin(), data.end());
  PutTag(file, "junk");
  PutU32(file, 8);
  PutTag(file, "trailing");
  WriteFile(dir.File("in.wav"), file);

  TWaveIn in;
  in.SetFileName(dir.File("in.wav"));
  EXPECT_EQ(ReadAll(in), data);
  EXPECT_EQ(in.TotalSamples(), 1000);
  EXPECT_EQ(in.WavType(), TWavType::wtPCM);
}

TEST(WaveIn, DataIsCutAtTheFileEndToWholeFrames) {
  TempDir dir;
  const Bytes data = Pattern(4003, 12);  // 1000 frames and 3 bytes of a cut one
  Bytes file = CanonicalHeader(2, 44100, 16, 0xFFFFFFFFU);
  file.insert(file.end(), data.begin(), data.end());
  WriteFile(dir.File("in.wav"), file);
  TWaveIn in;
  in.SetFileName(dir.File("in.wav"));
  in.BeginRead();
  EXPECT_EQ(in.Size(), 4000);
  in.EndRead();
  EXPECT_EQ(ReadAll(in, 16384), Bytes(data.begin(), data.begin() + 4000));
}

TEST(WaveIn, AssignedStreamIsReadAndRewound) {
  const Bytes data = Pattern(3000, 13);
  Bytes file = CanonicalHeader(1, 44100, 16, static_cast<std::uint32_t>(data.size()));
  file.insert(file.end(), data.begin(), data.end());
  MemoryStream stream(file);
  TWaveIn in;
  in.AssignStream(&stream);
  EXPECT_EQ(ReadAll(in), data);
  EXPECT_EQ(stream.Position(), 0U);
  EXPECT_EQ(ReadAll(in), data);
}

TEST(WaveIn, LoopStartsOverAtTheEnd) {
  const Bytes data = Pattern(400, 14);
  Bytes file = CanonicalHeader(2, 44100, 16, static_cast<std::uint32_t>(data.size()));
  file.insert(file.end(), data.begin(), data.end());
  MemoryStream stream(file);
  TWaveIn in;
  in.AssignStream(&stream);
  in.SetLoop(true);
  in.BeginRead();
  Bytes got;
  for (int i = 0; i < 3; ++i) {
    const std::uint8_t* block = nullptr;
    std::int32_t bytes = 16384;
    in.ReadBlock(block, bytes);
    ASSERT_EQ(bytes, 400);
    got.insert(got.end(), block, block + bytes);
  }
  in.EndRead();
  Bytes expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(got, expected);
}

TEST(WaveIn, SeekSampleStartsAtTheFrame) {
  const Bytes data = Pattern(4000, 15);
  Bytes file = CanonicalHeader(2, 44100, 16, static_cast<std::uint32_t>(data.size()));
  file.insert(file.end(), data.begin(), data.end());
  MemoryStream stream(file);
  TWaveIn in;
  in.AssignStream(&stream);
  in.SetStartSample(100);
  in.SetEndSample(300);
  EXPECT_EQ(ReadAll(in), Bytes(data.begin() + 400, data.begin() + 1200));
}

// Files made by sox and ffmpeg read back with the samples sox itself decodes.
class WaveInPeerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("sox")) GTEST_SKIP() << "sox is not installed";
  }

  void ExpectSameAsSox(const std::string& path, int bits, int channels, int rate) {
    TWaveIn in;
    in.SetFileName(path);
    EXPECT_EQ(in.BitsPerSample(), bits);
    EXPECT_EQ(in.Channels(), channels);
    EXPECT_EQ(in.SampleRate(), rate);
    const Bytes expected = Capture("sox '" + path + "' -t raw - 2>/dev/null");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(ReadAll(in), expected);

    // And through TWaveOut the same samples come back in a canonical file.
    const std::string out = path + ".out.wav";
    EXPECT_EQ(Convert(in, out), "");
    Bytes canonical =
        CanonicalHeader(static_cast<std::uint32_t>(channels), static_cast<std::uint32_t>(rate),
                        static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(expected.size()));
    canonical.insert(canonical.end(), expected.begin(), expected.end());
    EXPECT_EQ(ReadFile(out), canonical);
  }

  TempDir dir_;
};

TEST_F(WaveInPeerFiles, EightBitMono) {
  const std::string path = dir_.File("a.wav");
  ASSERT_TRUE(
      RunQuietly("sox -R -n -r 22050 -c 1 -b 8 -e unsigned-integer '" + path + "' synth 0.37 sine 440"));
  ExpectSameAsSox(path, 8, 1, 22050);
}

TEST_F(WaveInPeerFiles, SixteenBitStereo48k) {
  const std::string path = dir_.File("b.wav");
  ASSERT_TRUE(RunQuietly("sox -R -n -r 48000 -c 2 -b 16 '" + path + "' synth 0.5 sine 440 sine 660"));
  ExpectSameAsSox(path, 16, 2, 48000);
}

TEST_F(WaveInPeerFiles, SixteenBitMonoWithListChunkFromFfmpeg) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string source = dir_.File("c-src.wav");
  const std::string path = dir_.File("c.wav");
  ASSERT_TRUE(RunQuietly("sox -R -n -r 32000 -c 1 -b 16 '" + source + "' synth 0.3 sine 300"));
  ASSERT_TRUE(RunQuietly("ffmpeg -nostdin -y -i '" + source +
                         "' -c:a pcm_s16le -metadata title=Merolune -metadata artist=Test '" + path + "'"));
  const Bytes file = ReadFile(path);
  ASSERT_NE(std::string(file.begin(), file.end()).find("LIST"), std::string::npos);
  ExpectSameAsSox(path, 16, 1, 32000);
}

// ADPCM files made by sox decode to exactly the samples sox decodes from them. sox decodes every block
// in full, the encoder's padding of the last one included; the "fact" chunk's count (the samples that
// went in) ends the data here, so sox's decode is compared up to that count.
class WaveInAdpcm : public WaveInPeerFiles {
 protected:
  // `encoding` is sox's name; `synth` sox's synth arguments (loud noise reaches the clamps).
  void Check(const std::string& encoding, int channels, const std::string& synth, TWavType kind) {
    const std::string path = dir_.File(encoding + std::to_string(channels) + ".wav");
    ASSERT_TRUE(RunQuietly("sox -R -n -r 44100 -c " + std::to_string(channels) + " -e " + encoding + " '" +
                           path + "' synth " + synth));
    const Bytes file = ReadFile(path);
    const std::string text(file.begin(), file.end());
    const std::size_t fact = text.find("fact");
    ASSERT_NE(fact, std::string::npos);
    const auto frames =
        static_cast<std::int64_t>(file[fact + 8] | (file[fact + 9] << 8) | (file[fact + 10] << 16));
    TWaveIn in;
    in.SetFileName(path);
    EXPECT_EQ(in.BitsPerSample(), 16);
    EXPECT_EQ(in.Channels(), channels);
    EXPECT_EQ(in.SampleRate(), 44100);
    EXPECT_EQ(in.WavType(), kind);
    Bytes expected = Capture("sox '" + path + "' -t raw -e signed-integer -b 16 - 2>/dev/null");
    const auto wanted = static_cast<std::size_t>(frames) * 2 * static_cast<std::size_t>(channels);
    ASSERT_GE(expected.size(), wanted);
    expected.resize(wanted);
    EXPECT_EQ(in.TotalSamples(), frames);
    EXPECT_EQ(ReadAll(in), expected);

    // A range starting inside a block delivers the same samples.
    const auto frameBytes = static_cast<std::size_t>(2 * channels);
    in.SetStartSample(1234);
    in.SetEndSample(5678);
    EXPECT_EQ(ReadAll(in, 1000), Bytes(expected.begin() + static_cast<std::ptrdiff_t>(1234 * frameBytes),
                                       expected.begin() + static_cast<std::ptrdiff_t>(5678 * frameBytes)));

    // And through TWaveOut into a canonical 16-bit PCM file.
    const std::string out = path + ".out.wav";
    EXPECT_EQ(Convert(in, out), "");
    Bytes canonical = CanonicalHeader(static_cast<std::uint32_t>(channels), 44100, 16,
                                      static_cast<std::uint32_t>(expected.size()));
    canonical.insert(canonical.end(), expected.begin(), expected.end());
    EXPECT_EQ(ReadFile(out), canonical);
  }
};

TEST_F(WaveInAdpcm, ImaMono) { Check("ima-adpcm", 1, "0.7371 sine 440 vol 0.8", TWavType::wtDVIADPCM); }
TEST_F(WaveInAdpcm, ImaStereoLoudNoise) {
  Check("ima-adpcm", 2, "0.5123 whitenoise vol 1.0", TWavType::wtDVIADPCM);
}
TEST_F(WaveInAdpcm, MsMono) { Check("ms-adpcm", 1, "0.7371 sine 440 vol 0.8", TWavType::wtMSADPCM); }
TEST_F(WaveInAdpcm, MsStereoLoudNoise) {
  Check("ms-adpcm", 2, "0.5123 whitenoise vol 1.0", TWavType::wtMSADPCM);
}
TEST_F(WaveInAdpcm, MsStereoSquare) {
  Check("ms-adpcm", 2, "0.3 square 100 square 3000", TWavType::wtMSADPCM);
}
TEST_F(WaveInAdpcm, ImaStereoSquare) {
  Check("ima-adpcm", 2, "0.3001 square 100 square 3000", TWavType::wtDVIADPCM);
}

TEST_F(WaveInAdpcm, CorruptMsBlockEndsTheOutputWithAMessage) {
  const std::string path = dir_.File("corrupt.wav");
  ASSERT_TRUE(RunQuietly("sox -R -n -r 8000 -c 1 -e ms-adpcm '" + path + "' synth 0.5 sine 440"));
  Bytes file = ReadFile(path);
  const std::string text(file.begin(), file.end());
  const std::size_t data = text.find("data");
  ASSERT_NE(data, std::string::npos);
  file[data + 8] = 0xFF;  // the first block's predictor index, past the seven coefficient pairs
  WriteFile(path, file);
  TWaveIn in;
  in.SetFileName(path);
  const std::string message = Convert(in, dir_.File("out.wav"));
  EXPECT_NE(message.find("Corrupt Microsoft ADPCM"), std::string::npos) << message;
  EXPECT_FALSE(in.Busy());
}

// A Microsoft ADPCM header stating one sample a block, fewer than the two every block starts with
// (found by fuzzing: the decoder wrote past its block buffer).
TEST_F(WaveInAdpcm, MsBlockOfOneSampleIsRefused) {
  const std::string path = dir_.File("one.wav");
  ASSERT_TRUE(RunQuietly("sox -R -n -r 8000 -c 1 -e ms-adpcm '" + path + "' synth 0.5 sine 440"));
  Bytes file = ReadFile(path);
  const std::size_t fmt = std::string(file.begin(), file.end()).find("fmt ");
  ASSERT_NE(fmt, std::string::npos);
  file[fmt + 8 + 18] = 1;
  file[fmt + 8 + 19] = 0;
  WriteFile(path, file);
  TWaveIn in;
  in.SetFileName(path);
  const std::string message = Convert(in, dir_.File("out.wav"));
  EXPECT_NE(message.find("Not a supported"), std::string::npos) << message;
  EXPECT_FALSE(in.Busy());
}

// A damaged Microsoft ADPCM block whose codes all ask for the largest negative step (8): the
// quantiser's delta grows threefold with every code, which would pass what 32 bits hold after some
// twenty codes (the sanitizer build of ./test.sh reports such an overflow). The samples go down to
// -32768 and stay there for the rest of the block.
TEST_F(WaveInAdpcm, EndlesslyGrowingMsDeltaKeepsTheSamplesAtTheFloor) {
  const std::string path = dir_.File("growing.wav");
  ASSERT_TRUE(RunQuietly("sox -R -n -r 8000 -c 1 -e ms-adpcm '" + path + "' synth 0.5 sine 440"));
  Bytes file = ReadFile(path);
  const std::string text(file.begin(), file.end());
  const std::size_t fmt = text.find("fmt ");
  const std::size_t data = text.find("data");
  ASSERT_NE(fmt, std::string::npos);
  ASSERT_NE(data, std::string::npos);
  const std::size_t blockAlign = test::U16At(file, fmt + 8 + 12);
  const std::size_t samplesPerBlock = test::U16At(file, fmt + 8 + 18);
  // The first coefficient pair predicts the last sample again: (256, 0) in 8.8 fixed point.
  ASSERT_EQ(test::U16At(file, fmt + 8 + 22), 256U);
  ASSERT_EQ(test::U16At(file, fmt + 8 + 24), 0U);
  ASSERT_GT(samplesPerBlock, 40U);
  const std::size_t block = data + 8;
  ASSERT_LE(block + blockAlign, file.size());
  const Bytes header = {0, 16, 0, 0, 0, 0, 0};  // predictor 0, delta 16, both samples 0
  std::copy(header.begin(), header.end(), file.begin() + static_cast<std::ptrdiff_t>(block));
  std::fill(file.begin() + static_cast<std::ptrdiff_t>(block + 7),
            file.begin() + static_cast<std::ptrdiff_t>(block + blockAlign), 0x88);
  WriteFile(path, file);

  TWaveIn in;
  in.SetFileName(path);
  const Bytes pcm = ReadAll(in);
  ASSERT_GE(pcm.size(), samplesPerBlock * 2);
  std::vector<std::int16_t> samples(samplesPerBlock);
  for (std::size_t i = 0; i < samplesPerBlock; ++i) {
    samples[i] = static_cast<std::int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
  }
  EXPECT_EQ(samples[2], -128);  // 0 - 8 * 16
  for (std::size_t i = 3; i < samplesPerBlock; ++i) {
    ASSERT_LE(samples[i], samples[i - 1]) << "sample " << i;
  }
  EXPECT_EQ(samples.back(), -32768);
}

// MPEG layer 3 inside WAV (format tag 85) as ffmpeg writes it with LAME. ffmpeg's own decode of the
// same file is the reference: it hands out every decoded frame, LAME's encoder delay (576) and the
// decoder's (529) included, so the music in it starts 1105 frames late. TWaveIn drops those frames and
// ends at the "fact" count, which gives back the original's length and timing.
struct Mp3WavCase {
  const char* Name;
  std::uint16_t Channels;
  std::uint32_t SampleRate;
};

void PrintTo(const Mp3WavCase& param, std::ostream* out) { *out << param.Name; }

class WaveInMpegLayer3 : public ::testing::TestWithParam<Mp3WavCase> {
 protected:
  void SetUp() override {
    if (!test::ToolAvailable(MEROLUNE_FFMPEG)) GTEST_SKIP() << "ffmpeg is not installed";
  }

  bool Ffmpeg(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {MEROLUNE_FFMPEG, "-nostdin", "-y", "-loglevel", "error"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return test::RunTool(argv) == 0;
  }

  TempDir dir_;
};

// The format tag of the first "fmt " chunk of a RIFF/WAVE file; 0 without one.
std::uint16_t FormatTagOf(const Bytes& file) {
  std::size_t at = 12;
  while (at + 10 <= file.size()) {
    const std::uint32_t size = test::U32At(file, at + 4);
    if (std::string(file.begin() + static_cast<std::ptrdiff_t>(at),
                    file.begin() + static_cast<std::ptrdiff_t>(at + 4)) == "fmt ") {
      return test::U16At(file, at + 8);
    }
    at += 8 + static_cast<std::size_t>(size) + (size & 1U);
  }
  return 0;
}

TEST_P(WaveInMpegLayer3, DecodesToTheOriginalsLengthAndTiming) {
  const Mp3WavCase param = GetParam();
  const std::uint16_t channels = param.Channels;
  // Not a whole number of MPEG frames, so the end is cut by the "fact" count.
  const std::size_t frames = 3 * param.SampleRate + 777;
  const std::vector<std::int16_t> stereo = test::SongLike(frames, param.SampleRate, 85);
  std::vector<std::int16_t> samples = stereo;
  if (channels == 1) {
    samples.clear();
    for (std::size_t i = 0; i < stereo.size(); i += 2) samples.push_back(stereo[i]);
  }
  const std::string source = dir_.File("source.wav");
  const std::string mp3in = dir_.File("mp3in.wav");
  const std::string reference = dir_.File("reference.wav");
  const std::string out = dir_.File("out.wav");
  test::WritePcmWav(source, samples, param.SampleRate, channels);
  ASSERT_TRUE(Ffmpeg({"-i", source, "-c:a", "libmp3lame", "-b:a", "128k", "-f", "wav", mp3in}));
  ASSERT_EQ(FormatTagOf(ReadFile(mp3in)), 0x55);
  ASSERT_TRUE(Ffmpeg({"-i", mp3in, reference}));

  TWaveIn in;
  in.SetFileName(mp3in);
  EXPECT_EQ(in.BitsPerSample(), 16);
  EXPECT_EQ(in.Channels(), channels);
  EXPECT_EQ(in.SampleRate(), static_cast<std::int32_t>(param.SampleRate));
  EXPECT_EQ(in.WavType(), TWavType::wtACM);
  ASSERT_EQ(Convert(in, out), "");
  EXPECT_FALSE(in.Busy());

  // A canonical 16-bit PCM file with exactly the original's frames.
  const Bytes file = ReadFile(out);
  const auto dataBytes = static_cast<std::uint32_t>(frames * channels * 2);
  ASSERT_EQ(file.size(), 44 + static_cast<std::size_t>(dataBytes));
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 44),
            CanonicalHeader(channels, param.SampleRate, 16, dataBytes));

  const std::optional<test::PcmAudio> ours = test::ReadPcmWav(out);
  const std::optional<test::PcmAudio> theirs = test::ReadPcmWav(reference);
  ASSERT_TRUE(ours && theirs);
  ASSERT_EQ(theirs->Channels, channels);
  constexpr std::size_t kDelay = 576 + 529;
  ASSERT_GE(theirs->Frames(), frames + kDelay);
  for (int c = 0; c < channels; ++c) {
    const std::vector<double> got = ours->Channel(c);
    const std::vector<double> ffmpeg = theirs->Channel(c);
    // The same frames through two float decoders: only their rounding to 16 bits may differ (1 seen).
    double worst = 0;
    for (std::size_t i = 0; i < got.size(); ++i)
      worst = std::max(worst, std::abs(got[i] - ffmpeg[i + kDelay]));
    EXPECT_LE(worst, 2.0) << "channel " << c;
    // Lined up with the original to the frame, and at 128 kbit/s the waveform itself survives (0.9987
    // to 0.9999 seen at lag 0).
    const std::vector<double> original = test::ChannelOf(stereo, c);
    EXPECT_EQ(test::BestLag(original, got, 1500, param.SampleRate, 8192), 0) << "channel " << c;
    EXPECT_GT(test::CorrelationAt(original, got, 0, 0, frames), 0.99) << "channel " << c;
  }

  // An assigned stream gives the same samples, and is put back and rewound for the next reading.
  MemoryStream stream(ReadFile(mp3in));
  TWaveIn streamed;
  streamed.AssignStream(&stream);
  const Bytes pcm(file.begin() + 44, file.end());
  EXPECT_EQ(ReadAll(streamed, 16384), pcm);
  EXPECT_EQ(stream.Position(), 0U);
  EXPECT_EQ(streamed.WavType(), TWavType::wtACM);
  EXPECT_EQ(ReadAll(streamed, 1000), pcm);
}

INSTANTIATE_TEST_SUITE_P(FfmpegLame, WaveInMpegLayer3,
                         ::testing::Values(Mp3WavCase{"Stereo44100", 2, 44100},
                                           Mp3WavCase{"Mono22050", 1, 22050}),
                         [](const ::testing::TestParamInfo<Mp3WavCase>& param) { return param.param.Name; });

// A tag-85 WAV laid out as ffmpeg writes one (30-byte "fmt ", "fact"), around the given data.
Bytes MpegWav(const Bytes& data) {
  test::WavSpec wav;
  wav.FormatTag = 85;
  wav.BitsPerSample = 0;
  wav.FormatChunkSize = 30;
  Bytes fact;
  PutU32(fact, 44100);
  wav.Before.push_back({"fact", fact});
  wav.Data = data;
  return test::MakeWav(wav);
}

TEST(WaveInMpegLayer3Failures, UndecodableDataEndsTheOutputWithAMessage) {
  TempDir dir;
  // libmpg123 gives up on the garbage while looking for frames; zeros and nothing hold none.
  const struct {
    const char* Name;
    Bytes Data;
    const char* Reason;
  } cases[] = {{"garbage.wav", Pattern(200000, 85), "MPEG audio in the .wav file could not be decoded"},
               {"silence.wav", Bytes(50000, 0), "No MPEG audio frames"},
               {"empty.wav", {}, "No MPEG audio frames"}};
  for (const auto& c : cases) {
    const std::string path = dir.File(c.Name);
    WriteFile(path, MpegWav(c.Data));
    TWaveIn in;
    in.SetFileName(path);
    TWaveOut out;
    out.SetInput(&in);
    out.SetFileName(dir.File(std::string("out-") + c.Name));
    out.Start();
    ASSERT_TRUE(WaitForOutput(out));
    EXPECT_EQ(out.OutputState(), TOutputState::osIdle);
    EXPECT_EQ(out.ErrorMessage().rfind("Not a supported .wav file: " + path + " (", 0), 0U)
        << c.Name << ": " << out.ErrorMessage();
    EXPECT_NE(out.ErrorMessage().find(c.Reason), std::string::npos) << c.Name << ": " << out.ErrorMessage();
    EXPECT_FALSE(in.Busy());
    EXPECT_FALSE(in.Valid());
    EXPECT_EQ(in.WavType(), TWavType::wtACM);
  }
}

}  // namespace
}  // namespace merolune
