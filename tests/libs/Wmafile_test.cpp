// libwmafile.so's WMA2WAV and WAV2WMA, linked as the program links them, checked against ffmpeg and ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "PeerTools.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"
#include "wmafile.h"

namespace merolune::test {
namespace {

const std::string kFfmpeg = MEROLUNE_FFMPEG;
const std::string kFfprobe = MEROLUNE_FFPROBE;

// wmav2 codes 2048 samples per frame at 32 kHz and above, 1024 at 22.05 kHz.
constexpr std::ptrdiff_t kFrame = 2048;
// Lags searched when lining signals up: more than a frame either way, so a lost or added frame
// shows as a lag instead of a poor match.
constexpr std::ptrdiff_t kMaxLag = 2500;
// How far a decoded start may sit from the original's: the lapped transform smears a little, the
// cross-correlation peak is sharp, so anything beyond a few samples is a real shift.
constexpr std::ptrdiff_t kStartTolerance = 4;

std::map<std::string, std::string> Probe(const std::string& file, const std::string& entries,
                                         bool audioStream) {
  std::vector<std::string> argv = {kFfprobe, "-v", "error"};
  if (audioStream) argv.insert(argv.end(), {"-select_streams", "a:0"});
  argv.insert(argv.end(), {"-show_entries", entries, "-of", "default=noprint_wrappers=1", file});
  std::string output;
  EXPECT_EQ(RunTool(argv, &output), 0) << "ffprobe failed on " << file;
  std::map<std::string, std::string> values;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// A song-like WAV that does not end on a codec frame; returns its frame count.
std::size_t WriteSong(const std::string& path, std::uint32_t rate, std::uint16_t channels, double seconds,
                      std::uint64_t seed = 11) {
  const std::size_t frames = static_cast<std::size_t>(seconds * rate) + 123;
  std::vector<std::int16_t> stereo = SongLike(frames, rate, seed);
  if (channels == 1) {
    std::vector<std::int16_t> mono(frames);
    for (std::size_t i = 0; i < frames; ++i) mono[i] = stereo[2 * i];
    WritePcmWav(path, mono, rate, 1);
  } else {
    WritePcmWav(path, stereo, rate, 2);
  }
  return frames;
}

// Where `decoded` starts relative to `original` (0: on the first sample), both as one channel.
std::ptrdiff_t StartOffset(const std::vector<double>& original, const std::vector<double>& decoded) {
  return BestLag(original, decoded, kMaxLag, 4096, 8192);
}

class WmafileTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

// ---- Encoding at the bit rates of the settings dialog that the encoder can deliver

class WmafileBitRate : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!ToolAvailable(kFfprobe) || !ToolAvailable(kFfmpeg))
      GTEST_SKIP() << "ffmpeg/ffprobe are not installed";
    frames_ = WriteSong(dir_.File("in.wav"), 44100, 2, 5.0);
    WAV2WMA(dir_.File("in.wav").c_str(), dir_.File("out.wma").c_str(), GetParam());
    ASSERT_TRUE(FileExists(dir_.File("out.wma")));
  }
  TempDir dir_;
  std::size_t frames_ = 0;
};

TEST_P(WmafileBitRate, IsWmav2InAsfAtTheAskedBitRate) {
  const std::string wma = dir_.File("out.wma");
  const auto stream = Probe(wma, "stream=codec_name,bit_rate,sample_rate,channels", true);
  EXPECT_EQ(stream.at("codec_name"), "wmav2");
  EXPECT_EQ(stream.at("sample_rate"), "44100");
  EXPECT_EQ(stream.at("channels"), "2");
  EXPECT_EQ(std::atoll(stream.at("bit_rate").c_str()), GetParam() * 1000LL);
  const auto format = Probe(wma, "format=format_name", false);
  EXPECT_EQ(format.at("format_name"), "asf");
  // The whole file over the audio's duration: ASF adds a header and 17 bytes to each superframe,
  // which weighs most at low rates (a 24 kbit/s superframe is 139 bytes), and there are two frames
  // of lead-in and run-out.
  const auto bytes = static_cast<double>(std::filesystem::file_size(wma));
  const double fileKbps = bytes * 8.0 / (static_cast<double>(frames_) / 44100.0) / 1000.0;
  RecordProperty("FileKbps", std::to_string(fileKbps));
  EXPECT_GT(fileKbps, GetParam() * 0.95);
  EXPECT_LT(fileKbps, GetParam() * 1.35);
  // ffmpeg's own file at that rate pads its 3200-byte ASF packets after the last whole superframe
  // (45 % at 192 kbit/s); ours fits the packets to the superframes, so it is never larger.
  const std::string peer = dir_.File("peer.wma");
  ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-y", "-i", dir_.File("in.wav"), "-c:a", "wmav2", "-b:a",
                     std::to_string(GetParam()) + "k", peer}),
            0);
  EXPECT_LE(bytes, static_cast<double>(std::filesystem::file_size(peer)) * 1.03);
  std::filesystem::remove(peer);
  ExpectOnlyFiles(dir_.Path(), {"in.wav", "out.wma"});
}

TEST_P(WmafileBitRate, FfmpegDecodesItFromTheFirstSample) {
  ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-y", "-i", dir_.File("out.wma"), dir_.File("ref.wav")}), 0);
  const auto ref = ReadPcmWav(dir_.File("ref.wav"));
  const auto original = ReadPcmWav(dir_.File("in.wav"));
  ASSERT_TRUE(ref && original);
  EXPECT_EQ(ref->SampleRate, 44100u);
  // Without our length attribute FFmpeg delivers the silence that completes the last frames.
  EXPECT_GE(ref->Frames(), frames_);
  EXPECT_LE(ref->Frames(), frames_ + 2 * kFrame);
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_LE(std::abs(StartOffset(original->Channel(channel), ref->Channel(channel))), kStartTolerance);
  }
}

TEST_P(WmafileBitRate, RoundTripKeepsStartAndLength) {
  WMA2WAV(dir_.File("out.wma").c_str(), dir_.File("back.wav").c_str());
  const std::vector<std::int16_t> back = ReadResultWav(dir_.File("back.wav"), 44100);
  const auto original = ReadPcmWav(dir_.File("in.wav"));
  ASSERT_TRUE(original);
  EXPECT_EQ(back.size() / 2, frames_);
  PcmAudio decoded{44100, 2, back};
  for (int channel = 0; channel < 2; ++channel) {
    const std::vector<double> a = original->Channel(channel);
    const std::vector<double> b = decoded.Channel(channel);
    const std::ptrdiff_t offset = StartOffset(a, b);
    RecordProperty("Offset" + std::to_string(channel), static_cast<int>(offset));
    EXPECT_LE(std::abs(offset), kStartTolerance);
    // Lossy, so similar rather than equal; the first and the last frame count as much as the rest.
    EXPECT_GT(CorrelationAt(a, b, 0, 0, a.size()), 0.98);
    EXPECT_GT(CorrelationAt(a, b, 0, 0, kFrame), 0.98);
    EXPECT_GT(CorrelationAt(a, b, 0, a.size() - kFrame, kFrame), 0.98);
  }
  ExpectOnlyFiles(dir_.Path(), {"back.wav", "in.wav", "out.wma"});
}

// 32 to 192 kbit/s as everyday choices, 24 as the lowest the encoder takes, 320 as the highest offered.
INSTANTIATE_TEST_SUITE_P(Kbps, WmafileBitRate, ::testing::Values(24, 32, 96, 192, 320));

// ---- Bit rates the encoder refuses: the dialog offers 5 to 22 kbit/s, wmav2 needs 24 or more

class WmafileRefusedBitRate : public ::testing::TestWithParam<int> {};

TEST_P(WmafileRefusedBitRate, LeavesNoFile) {
  TempDir dir;
  WriteSong(dir.File("in.wav"), 44100, 2, 1.0);
  WAV2WMA(dir.File("in.wav").c_str(), dir.File("out.wma").c_str(), GetParam());
  ExpectOnlyFiles(dir.Path(), {"in.wav"});
}

INSTANTIATE_TEST_SUITE_P(Kbps, WmafileRefusedBitRate,
                         ::testing::Values(5, 6, 8, 10, 12, 16, 20, 22, 23, 0, -128));

// ---- Other sample rates and mono

struct Format {
  const char* Name;
  std::uint32_t Rate;
  std::uint16_t Channels;
  int Kbps;
};

// Test names show the case's name, not its bytes.
void PrintTo(const Format& f, std::ostream* os) { *os << f.Name; }

class WmafileFormat : public ::testing::TestWithParam<Format> {};

TEST_P(WmafileFormat, RoundTripKeepsStartAndLengthAndSpreadsMono) {
  const Format& f = GetParam();
  TempDir dir;
  const std::size_t frames = WriteSong(dir.File("in.wav"), f.Rate, f.Channels, 3.0);
  WAV2WMA(dir.File("in.wav").c_str(), dir.File("out.wma").c_str(), f.Kbps);
  ASSERT_TRUE(FileExists(dir.File("out.wma")));
  WMA2WAV(dir.File("out.wma").c_str(), dir.File("back.wav").c_str());
  const std::vector<std::int16_t> back = ReadResultWav(dir.File("back.wav"), f.Rate);
  EXPECT_EQ(back.size() / 2, frames);
  const auto original = ReadPcmWav(dir.File("in.wav"));
  ASSERT_TRUE(original);
  const PcmAudio decoded{f.Rate, 2, back};
  for (int channel = 0; channel < 2; ++channel) {
    const std::vector<double> a = original->Channel(f.Channels == 1 ? 0 : channel);
    const std::vector<double> b = decoded.Channel(channel);
    EXPECT_LE(std::abs(StartOffset(a, b)), kStartTolerance);
    EXPECT_GT(CorrelationAt(a, b, 0, 0, a.size()), 0.98);
  }
  if (f.Channels == 1) {
    EXPECT_EQ(decoded.Channel(0), decoded.Channel(1));
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, WmafileFormat,
                         ::testing::Values(Format{"Stereo32000", 32000, 2, 96},
                                           Format{"Stereo48000", 48000, 2, 128},
                                           Format{"Mono44100", 44100, 1, 64},
                                           Format{"Mono22050", 22050, 1, 48}),
                         [](const ::testing::TestParamInfo<Format>& p) { return std::string(p.param.Name); });

TEST_F(WmafileTest, SourceAbove48kHzLeavesNoFile) {
  WriteSong(dir_.File("in.wav"), 96000, 2, 1.0);
  WAV2WMA(dir_.File("in.wav").c_str(), dir_.File("out.wma").c_str(), 192);
  ExpectOnlyFiles(dir_.Path(), {"in.wav"});
}

// ---- Decoding WMA files that ffmpeg made

struct FfmpegWma {
  const char* Name;
  std::vector<std::string> Options;
  std::uint32_t Rate;
};

void PrintTo(const FfmpegWma& c, std::ostream* os) { *os << c.Name; }

class WmafileFromFfmpeg : public ::testing::TestWithParam<FfmpegWma> {
 protected:
  void SetUp() override {
    if (!ToolAvailable(kFfmpeg)) GTEST_SKIP() << "ffmpeg is not installed";
  }
  TempDir dir_;
};

// Both sides are libavcodec's wmav2 decoder with its own start trimming, so the match is close to
// exact; WMA2WAV only adds the spreading of mono to stereo.
TEST_P(WmafileFromFfmpeg, DecodesLikeFfmpeg) {
  const FfmpegWma& c = GetParam();
  WriteSong(dir_.File("in.wav"), c.Rate, 2, 3.0);
  std::vector<std::string> encode = {kFfmpeg, "-v", "error", "-y", "-i", dir_.File("in.wav")};
  encode.insert(encode.end(), c.Options.begin(), c.Options.end());
  encode.push_back(dir_.File("x.wma"));
  ASSERT_EQ(RunTool(encode), 0);
  ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-y", "-i", dir_.File("x.wma"), dir_.File("ref.wav")}), 0);
  WMA2WAV(dir_.File("x.wma").c_str(), dir_.File("ours.wav").c_str());

  const std::vector<std::int16_t> ours = ReadResultWav(dir_.File("ours.wav"), c.Rate);
  const auto ref = ReadPcmWav(dir_.File("ref.wav"));
  ASSERT_TRUE(ref);
  const std::size_t frames = ours.size() / 2;
  EXPECT_LE(std::abs(static_cast<std::ptrdiff_t>(frames) - static_cast<std::ptrdiff_t>(ref->Frames())),
            kFrame);
  const PcmAudio decoded{c.Rate, 2, ours};
  int worst = 0;
  for (int channel = 0; channel < 2; ++channel) {
    const std::vector<double> a = ref->Channel(ref->Channels == 1 ? 0 : channel);
    const std::vector<double> b = decoded.Channel(channel);
    EXPECT_GT(CorrelationAt(a, b, 0, 0, a.size()), 0.99);
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
      worst = std::max(worst, static_cast<int>(std::abs(a[i] - b[i])));
    }
  }
  RecordProperty("WorstDifference", worst);
  EXPECT_LE(worst, 1);
  ExpectOnlyFiles(dir_.Path(), {"in.wav", "ours.wav", "ref.wav", "x.wma"});
}

INSTANTIATE_TEST_SUITE_P(
    Files, WmafileFromFfmpeg,
    ::testing::Values(FfmpegWma{"Stereo128k", {"-c:a", "wmav2", "-b:a", "128k"}, 44100},
                      FfmpegWma{"Mono64k", {"-c:a", "wmav2", "-b:a", "64k", "-ac", "1"}, 44100},
                      FfmpegWma{"Stereo48000", {"-c:a", "wmav2", "-b:a", "160k"}, 48000},
                      FfmpegWma{"Wmav1", {"-c:a", "wmav1", "-b:a", "128k"}, 44100}),
    [](const ::testing::TestParamInfo<FfmpegWma>& p) { return std::string(p.param.Name); });

// ---- Unusable sources

struct BadFile {
  const char* Name;
  std::string Content;
  bool Exists = true;  // false: no file at all
};

std::string Text() {
  std::string text;
  for (int i = 0; i < 500; ++i) text += "Plain text in a file with an audio name. ";
  return text;
}

std::string RiffWav() {
  WavSpec wav;
  wav.Data = SampleBytes(SongLike(4410, 44100, 3));
  const std::vector<std::uint8_t> bytes = MakeWav(wav);
  return std::string(bytes.begin(), bytes.end());
}

// The ASF header object's identifier and then nothing that makes sense.
std::string AsfStart() {
  const std::uint8_t guid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  return std::string(std::begin(guid), std::end(guid)) + std::string(4000, '\0');
}

void Prepare(const BadFile& bad, const std::string& path) {
  if (bad.Exists) WriteBytes(path, std::vector<std::uint8_t>(bad.Content.begin(), bad.Content.end()));
}

std::vector<std::string> Remaining(const BadFile& bad, const std::string& name) {
  return bad.Exists ? std::vector<std::string>{name} : std::vector<std::string>{};
}

void PrintTo(const BadFile& b, std::ostream* os) { *os << b.Name; }

std::string BadName(const ::testing::TestParamInfo<BadFile>& p) { return p.param.Name; }

class WmafileBadWma : public ::testing::TestWithParam<BadFile> {};

TEST_P(WmafileBadWma, DecodingLeavesNoFile) {
  TempDir dir;
  Prepare(GetParam(), dir.File("in.wma"));
  WMA2WAV(dir.File("in.wma").c_str(), dir.File("out.wav").c_str());
  ExpectOnlyFiles(dir.Path(), Remaining(GetParam(), "in.wma"));
}

INSTANTIATE_TEST_SUITE_P(Files, WmafileBadWma,
                         ::testing::Values(BadFile{"Empty", ""}, BadFile{"Text", Text()},
                                           BadFile{"AsfStartOnly", AsfStart()},
                                           BadFile{"WavNamedWma", RiffWav()}, BadFile{"Missing", "", false}),
                         BadName);

class WmafileBadWav : public ::testing::TestWithParam<BadFile> {};

TEST_P(WmafileBadWav, EncodingLeavesNoFile) {
  TempDir dir;
  Prepare(GetParam(), dir.File("in.wav"));
  WAV2WMA(dir.File("in.wav").c_str(), dir.File("out.wma").c_str(), 128);
  ExpectOnlyFiles(dir.Path(), Remaining(GetParam(), "in.wav"));
}

INSTANTIATE_TEST_SUITE_P(Files, WmafileBadWav,
                         ::testing::Values(BadFile{"Empty", ""}, BadFile{"Text", Text()},
                                           BadFile{"AsfNamedWav", AsfStart()}, BadFile{"Missing", "", false}),
                         BadName);

TEST_F(WmafileTest, DestinationInMissingFolderLeavesNoFile) {
  WriteSong(dir_.File("in.wav"), 44100, 2, 1.0);
  WAV2WMA(dir_.File("in.wav").c_str(), dir_.File("no/such/out.wma").c_str(), 96);
  ExpectOnlyFiles(dir_.Path(), {"in.wav"});
  // And back: a real WMA file into a folder that does not exist.
  WAV2WMA(dir_.File("in.wav").c_str(), dir_.File("out.wma").c_str(), 96);
  WMA2WAV(dir_.File("out.wma").c_str(), dir_.File("no/such/out.wav").c_str());
  ExpectOnlyFiles(dir_.Path(), {"in.wav", "out.wma"});
}

TEST_F(WmafileTest, SuccessReplacesExistingDestination) {
  const std::size_t frames = WriteSong(dir_.File("in.wav"), 44100, 2, 1.0);
  WriteBytes(dir_.File("out.wma"), {'o', 'l', 'd'});
  WriteBytes(dir_.File("out.wav"), {'o', 'l', 'd'});
  WAV2WMA(dir_.File("in.wav").c_str(), dir_.File("out.wma").c_str(), 128);
  WMA2WAV(dir_.File("out.wma").c_str(), dir_.File("out.wav").c_str());
  EXPECT_EQ(ReadResultWav(dir_.File("out.wav"), 44100).size() / 2, frames);
  ExpectOnlyFiles(dir_.Path(), {"in.wav", "out.wav", "out.wma"});
}

// A file cut short (a full disk, an interrupted copy) gives what it holds, from the right start.
TEST_F(WmafileTest, TruncatedFileGivesItsBeginning) {
  const std::size_t frames = WriteSong(dir_.File("in.wav"), 44100, 2, 3.0);
  WAV2WMA(dir_.File("in.wav").c_str(), dir_.File("full.wma").c_str(), 128);
  std::vector<std::uint8_t> bytes = ReadBytes(dir_.File("full.wma"));
  ASSERT_GT(bytes.size(), 20000u);
  bytes.resize(bytes.size() / 2);
  WriteBytes(dir_.File("half.wma"), bytes);
  WMA2WAV(dir_.File("half.wma").c_str(), dir_.File("half.wav").c_str());
  const std::vector<std::int16_t> half = ReadResultWav(dir_.File("half.wav"), 44100);
  EXPECT_GT(half.size() / 2, frames / 4);
  EXPECT_LT(half.size() / 2, frames);
  const auto original = ReadPcmWav(dir_.File("in.wav"));
  ASSERT_TRUE(original);
  const PcmAudio decoded{44100, 2, half};
  EXPECT_LE(std::abs(StartOffset(original->Channel(0), decoded.Channel(0))), kStartTolerance);
}

TEST_F(WmafileTest, SilenceOfNoLengthGivesAnEmptyWav) {
  WritePcmWav(dir_.File("in.wav"), {}, 44100);
  WAV2WMA(dir_.File("in.wav").c_str(), dir_.File("out.wma").c_str(), 96);
  ASSERT_TRUE(FileExists(dir_.File("out.wma")));
  WMA2WAV(dir_.File("out.wma").c_str(), dir_.File("out.wav").c_str());
  EXPECT_TRUE(ReadResultWav(dir_.File("out.wav"), 44100).empty());
}

}  // namespace
}  // namespace merolune::test
