// libwmafile.so's entry points, linked as the program links them, checked against ffmpeg, ffprobe and sox.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
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
const std::string kSox = MEROLUNE_SOX;

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

// A song-like WAV of exactly `frames` frames; mono is the song's left channel. Songs longer than
// kSongLoop repeat their first kSongLoop frames, which is as good for a codec and much faster to make.
constexpr std::size_t kSongLoop = 3 * 44100;

void WriteSongFrames(const std::string& path, std::uint32_t rate, std::uint16_t channels, std::size_t frames,
                     std::uint64_t seed = 11) {
  std::vector<std::int16_t> stereo = SongLike(std::min(frames, kSongLoop), rate, seed);
  for (std::size_t i = 0; stereo.size() < 2 * frames; ++i) stereo.push_back(stereo[i]);
  if (channels == 1) {
    std::vector<std::int16_t> mono(frames);
    for (std::size_t i = 0; i < frames; ++i) mono[i] = stereo[2 * i];
    WritePcmWav(path, mono, rate, 1);
  } else {
    WritePcmWav(path, stereo, rate, 2);
  }
}

// A song-like WAV that does not end on a codec frame; returns its frame count.
std::size_t WriteSong(const std::string& path, std::uint32_t rate, std::uint16_t channels, double seconds,
                      std::uint64_t seed = 11) {
  const std::size_t frames = static_cast<std::size_t>(seconds * rate) + 123;
  WriteSongFrames(path, rate, channels, frames, seed);
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

// ---- Encoding at every bit rate of the settings dialog

// What a bit rate gives for a 44.1 kHz stereo song of SourceFrames frames: the written rate and
// channels, and the frames WMA2WAV gives back, SourceFrames x Rate / 44100 rounded to nearest
// (halves up), worked out by hand. Low rates get longer songs so that the file's fixed costs (the
// ASF header, the padded last data packet) weigh as little as at the high rates.
struct Profile {
  int Kbps;
  std::uint32_t Rate;
  std::uint16_t Channels;
  std::size_t SourceFrames;  // seconds x 44100 + 123
  std::size_t Frames;
  double MinCorrelation;  // of the decoded audio with the source at the written rate
};

void PrintTo(const Profile& p, std::ostream* os) { *os << p.Kbps << " kbit/s"; }

constexpr std::uint32_t kSongRate = 44100;

// clang-format off
const Profile kProfiles[] = {
    {5, 11025, 1, 2116923, 529231, 0.93},   // 48 s; 529230.75
    {6, 11025, 1, 1764123, 441031, 0.95},   // 40 s; 441030.75
    {8, 8000, 1, 1323123, 240022, 0.97},    // 30 s; 240022.31
    {10, 11025, 1, 1058523, 264631, 0.98},  // 24 s; 264630.75
    {12, 16000, 1, 882123, 320045, 0.98},   // 20 s; 320044.63
    {16, 16000, 1, 661623, 240045, 0.98},   // 15 s; 240044.63
    {20, 16000, 2, 529323, 192045, 0.98},   // 12 s; 192044.63
    {22, 22050, 1, 485223, 242612, 0.98},   // 11 s; 242611.5, a half rounded up
    {24, 44100, 2, 441123, 441123, 0.99},   // 10 s; the lowest rate that keeps the source's rate
    {32, 44100, 2, 352923, 352923, 0.99},   // 8 s
    {40, 44100, 2, 264723, 264723, 0.99},   // 6 s
    {48, 44100, 2, 220623, 220623, 0.99},   // 5 s from here on
    {64, 44100, 2, 220623, 220623, 0.99},
    {80, 44100, 2, 220623, 220623, 0.99},
    {96, 44100, 2, 220623, 220623, 0.99},
    {112, 44100, 2, 220623, 220623, 0.99},
    {128, 44100, 2, 220623, 220623, 0.99},
    {160, 44100, 2, 220623, 220623, 0.99},
    {192, 44100, 2, 220623, 220623, 0.99},
    {224, 44100, 2, 220623, 220623, 0.99},
    {256, 44100, 2, 220623, 220623, 0.99},
    {320, 44100, 2, 220623, 220623, 0.99},
};
// clang-format on

class WmafileBitRate : public ::testing::TestWithParam<Profile> {
 protected:
  void SetUp() override {
    if (!ToolAvailable(kFfprobe) || !ToolAvailable(kFfmpeg) || !ToolAvailable(kSox))
      GTEST_SKIP() << "ffmpeg/ffprobe/sox are not installed";
    WriteSongFrames(wav_, kSongRate, 2, GetParam().SourceFrames);
    WAV2WMA(wav_.c_str(), wma_.c_str(), GetParam().Kbps);
    ExpectOnlyFiles(dir_.Path(), {"in.wav", "out.wma"});
    ASSERT_TRUE(FileExists(wma_));
  }

  // The source at the written rate and channels, by sox (its own resampler; mono as the mean).
  PcmAudio Reference() const {
    const Profile& p = GetParam();
    const std::string ref = dir_.File("ref.wav");
    EXPECT_EQ(RunTool({kSox, wav_, "-r", std::to_string(p.Rate), "-c", std::to_string(p.Channels), ref}), 0);
    const auto audio = ReadPcmWav(ref);
    EXPECT_TRUE(audio);
    return audio ? *audio : PcmAudio{};
  }

  TempDir dir_;
  const std::string wav_ = dir_.File("in.wav");
  const std::string wma_ = dir_.File("out.wma");
};

TEST_P(WmafileBitRate, IsWmav2InAsfAtTheProfilesRateAndTheAskedSize) {
  const Profile& p = GetParam();
  const auto stream = Probe(wma_, "stream=codec_name,bit_rate,sample_rate,channels", true);
  EXPECT_EQ(stream.at("codec_name"), "wmav2");
  EXPECT_EQ(stream.at("sample_rate"), std::to_string(p.Rate));
  EXPECT_EQ(stream.at("channels"), std::to_string(p.Channels));
  EXPECT_EQ(std::atoll(stream.at("bit_rate").c_str()), p.Kbps * 1000LL);
  const auto format = Probe(wma_, "format=format_name", false);
  EXPECT_EQ(format.at("format_name"), "asf");
  // The whole file over the audio's duration. On top of the audio come the ASF header (about half a
  // kilobyte), 17 bytes for each kilobyte of superframes and a packet header for each data packet,
  // the padding of the last data packet and two frames of lead-in and run-out.
  const auto bytes = static_cast<double>(std::filesystem::file_size(wma_));
  const double fileKbps = bytes * 8.0 / (static_cast<double>(p.SourceFrames) / kSongRate) / 1000.0;
  RecordProperty("FileKbps", std::to_string(fileKbps));
  EXPECT_GT(fileKbps, p.Kbps * 0.97);
  EXPECT_LT(fileKbps, p.Kbps * 1.15);
  if (p.Kbps >= 24) {
    // ffmpeg's own file at that rate pads its 3200-byte ASF packets after the last whole
    // superframe (45 % at 192 kbit/s); ours fits the packets to the payloads, so it is never larger.
    const std::string peer = dir_.File("peer.wma");
    ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-y", "-i", wav_, "-c:a", "wmav2", "-b:a",
                       std::to_string(p.Kbps) + "k", peer}),
              0);
    EXPECT_LE(bytes, static_cast<double>(std::filesystem::file_size(peer)) * 1.03);
  }
}

// ffmpeg takes the file without a complaint: a coding parameter on which the encoder and a decoder
// reading the file's header disagreed would throw the decoder out of step at the first superframe.
TEST_P(WmafileBitRate, FfmpegDecodesItWithoutErrorsFromTheFirstSample) {
  const Profile& p = GetParam();
  std::string errors;
  ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-y", "-i", wma_, dir_.File("dec.wav")}, nullptr, &errors), 0);
  EXPECT_EQ(errors, "");
  const auto decoded = ReadPcmWav(dir_.File("dec.wav"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->SampleRate, p.Rate);
  EXPECT_EQ(decoded->Channels, p.Channels);
  // Without our length attribute FFmpeg delivers the silence that completes the last frames.
  const std::size_t frame = p.Rate > 22050 ? 2048 : p.Rate > 16000 ? 1024 : 512;
  EXPECT_GE(decoded->Frames(), p.Frames);
  EXPECT_LE(decoded->Frames(), p.Frames + 2 * frame);
  const PcmAudio ref = Reference();
  for (int channel = 0; channel < p.Channels; ++channel) {
    EXPECT_LE(std::abs(StartOffset(ref.Channel(channel), decoded->Channel(channel))), kStartTolerance);
  }
}

TEST_P(WmafileBitRate, RoundTripIsStereoOfTheExactLength) {
  const Profile& p = GetParam();
  WMA2WAV(wma_.c_str(), dir_.File("back.wav").c_str());
  const std::vector<std::int16_t> back = ReadResultWav(dir_.File("back.wav"), p.Rate);
  EXPECT_EQ(back.size() / 2, p.Frames);
  const PcmAudio decoded{p.Rate, 2, back};
  const PcmAudio ref = Reference();
  for (int channel = 0; channel < 2; ++channel) {
    const std::vector<double> a = ref.Channel(p.Channels == 1 ? 0 : channel);
    const std::vector<double> b = decoded.Channel(channel);
    const std::ptrdiff_t offset = StartOffset(a, b);
    RecordProperty("Offset" + std::to_string(channel), static_cast<int>(offset));
    EXPECT_LE(std::abs(offset), kStartTolerance);
    // Lossy, and lossier the lower the rate, so similar rather than equal.
    const double correlation = CorrelationAt(a, b, 0, 0, a.size());
    RecordProperty("Correlation" + std::to_string(channel), std::to_string(correlation));
    EXPECT_GT(correlation, p.MinCorrelation);
  }
  // A mono file comes back on both channels alike.
  if (p.Channels == 1) {
    EXPECT_EQ(decoded.Channel(0), decoded.Channel(1));
  }
  ExpectOnlyFiles(dir_.Path(), {"back.wav", "in.wav", "out.wma", "ref.wav"});
}

INSTANTIATE_TEST_SUITE_P(Kbps, WmafileBitRate, ::testing::ValuesIn(kProfiles),
                         [](const ::testing::TestParamInfo<Profile>& p) {
                           return std::to_string(p.param.Kbps);
                         });

// ---- The length at other source rates: round(frames x written rate / source rate), halves up

struct Length {
  const char* Name;
  std::uint32_t SourceRate;
  std::uint16_t SourceChannels;
  std::size_t SourceFrames;
  int Kbps;
  std::uint32_t Rate;
  std::size_t Frames;  // worked out by hand
};

void PrintTo(const Length& l, std::ostream* os) { *os << l.Name; }

class WmafileLength : public ::testing::TestWithParam<Length> {};

TEST_P(WmafileLength, RoundTripGivesTheRoundedLengthAtTheWrittenRate) {
  const Length& l = GetParam();
  TempDir dir;
  WriteSongFrames(dir.File("in.wav"), l.SourceRate, l.SourceChannels, l.SourceFrames);
  WAV2WMA(dir.File("in.wav").c_str(), dir.File("out.wma").c_str(), l.Kbps);
  ASSERT_TRUE(FileExists(dir.File("out.wma")));
  WMA2WAV(dir.File("out.wma").c_str(), dir.File("back.wav").c_str());
  EXPECT_EQ(ReadResultWav(dir.File("back.wav"), l.Rate).size() / 2, l.Frames);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, WmafileLength,
    ::testing::Values(Length{"Stereo48000To22050", 48000, 2, 48001, 22, 22050, 22050},  // 22050.46
                      Length{"Mono32000To16000", 32000, 1, 32001, 20, 16000, 16001},    // 16000.5
                      Length{"Stereo8000To11025", 8000, 2, 8001, 5, 11025, 11026},      // 11026.38
                      Length{"Stereo48000Kept", 48000, 2, 48001, 128, 48000, 48001}),
    [](const ::testing::TestParamInfo<Length>& p) { return std::string(p.param.Name); });

// ---- Bit rates no profile covers

class WmafileRefusedBitRate : public ::testing::TestWithParam<int> {};

TEST_P(WmafileRefusedBitRate, LeavesNoFile) {
  TempDir dir;
  WriteSong(dir.File("in.wav"), 44100, 2, 1.0);
  WAV2WMA(dir.File("in.wav").c_str(), dir.File("out.wma").c_str(), GetParam());
  ExpectOnlyFiles(dir.Path(), {"in.wav"});
}

INSTANTIATE_TEST_SUITE_P(Kbps, WmafileRefusedBitRate, ::testing::Values(4, 1, 0, -128, 10001));

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
  // A mono file comes back as stereo with both channels alike.
  if (ref->Channels == 1) {
    EXPECT_EQ(decoded.Channel(0), decoded.Channel(1));
  }
  ExpectOnlyFiles(dir_.Path(), {"in.wav", "ours.wav", "ref.wav", "x.wma"});
}

INSTANTIATE_TEST_SUITE_P(
    Files, WmafileFromFfmpeg,
    ::testing::Values(FfmpegWma{"Stereo128k", {"-c:a", "wmav2", "-b:a", "128k"}, 44100},
                      FfmpegWma{"Mono64k", {"-c:a", "wmav2", "-b:a", "64k", "-ac", "1"}, 44100},
                      FfmpegWma{"Mono22050", {"-c:a", "wmav2", "-b:a", "32k", "-ac", "1"}, 22050},
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

// An ASF file whose PCM stream claims 1,445,200,036 Hz, more than a WAV header can state (made
// from a short ffmpeg file by rewriting the rate in its stream properties).
std::string AbsurdRateAsf() {
  if (!ToolAvailable(kFfmpeg)) return "";
  TempDir dir;
  if (RunTool({kFfmpeg, "-v", "error", "-f", "lavfi", "-i", "sine=f=440:r=8000", "-t", "0.2", "-ac", "2", "-c:a",
               "pcm_s16le", "-f", "asf", dir.File("pcm.wma")}) != 0) {
    return "";
  }
  const std::vector<std::uint8_t> bytes = ReadBytes(dir.File("pcm.wma"));
  std::string asf(bytes.begin(), bytes.end());
  // WAVEFORMATEX: tag 1, 2 channels, 8000 Hz, 32000 bytes a second.
  const std::string format("\x01\x00\x02\x00\x40\x1f\x00\x00\x00\x7d\x00\x00", 12);
  const std::size_t at = asf.find(format);
  if (at == std::string::npos) return "";
  asf.replace(at + 4, 4, std::string("\xa4\x00\x24\x56", 4));
  return asf;
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

// FFmpeg's own complaints about such a file stay out of the user's terminal.
TEST_P(WmafileBadWma, DecodingLeavesNoFileAndNothingOnStderr) {
  TempDir dir;
  Prepare(GetParam(), dir.File("in.wma"));
  CapturedStderr errors;
  WMA2WAV(dir.File("in.wma").c_str(), dir.File("out.wav").c_str());
  EXPECT_EQ(errors.Release(), "");
  ExpectOnlyFiles(dir.Path(), Remaining(GetParam(), "in.wma"));
}

INSTANTIATE_TEST_SUITE_P(Files, WmafileBadWma,
                         ::testing::Values(BadFile{"Empty", ""}, BadFile{"Text", Text()},
                                           BadFile{"AsfStartOnly", AsfStart()},
                                           BadFile{"WavNamedWma", RiffWav()}, BadFile{"Missing", "", false},
                                           BadFile{"RateAboveWhatAWavStates", AbsurdRateAsf()}),
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

// ---- Real files damaged in ways that make FFmpeg's libraries complain

// The file properties object of an ASF header, and in it the minimum and maximum data packet size.
constexpr std::uint8_t kFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                  0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr std::size_t kMinPacketSizeAt = 92;
constexpr std::size_t kMaxPacketSizeAt = 96;
// The header object's size, where the data object starts.
constexpr std::size_t kHeaderSizeAt = 16;

void PutU32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Data packets of size 0: the demuxer finds no packet at all.
void ZeroPacketSize(std::vector<std::uint8_t>& bytes) {
  const auto at =
      std::search(bytes.begin(), bytes.end(), std::begin(kFilePropertiesGuid), std::end(kFilePropertiesGuid));
  ASSERT_NE(at, bytes.end());
  const auto object = static_cast<std::size_t>(at - bytes.begin());
  PutU32(bytes, object + kMinPacketSizeAt, 0);
  PutU32(bytes, object + kMaxPacketSizeAt, 0);
}

// Runs of random bytes all through the data: payload headers and superframes alike.
void Garble(std::vector<std::uint8_t>& bytes) {
  TestRandom random(5);
  for (std::size_t at = U32At(bytes, kHeaderSizeAt) + 3000; at + 3000 < bytes.size(); at += 4000) {
    for (std::size_t i = at; i < at + 300; ++i) bytes[i] = static_cast<std::uint8_t>(random.Next());
  }
}

struct Damage {
  const char* Name;
  void (*Apply)(std::vector<std::uint8_t>&);
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.Name; }

class WmafileDamagedWma : public ::testing::TestWithParam<Damage> {};

TEST_P(WmafileDamagedWma, DecodingPrintsNothingAndLeavesNoFile) {
  if (!ToolAvailable(kFfmpeg)) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  WriteSong(dir.File("in.wav"), 44100, 2, 3.0);
  WAV2WMA(dir.File("in.wav").c_str(), dir.File("good.wma").c_str(), 96);
  std::vector<std::uint8_t> bytes = ReadBytes(dir.File("good.wma"));
  ASSERT_FALSE(bytes.empty());
  GetParam().Apply(bytes);
  WriteBytes(dir.File("in.wma"), bytes);
  // The case is one that FFmpeg's libraries report errors about ("[asf @ 0x...] ...").
  std::string peerErrors;
  RunTool({kFfmpeg, "-v", "error", "-i", dir.File("in.wma"), "-f", "null", "-"}, nullptr, &peerErrors);
  EXPECT_NE(peerErrors.find(" @ 0x"), std::string::npos) << peerErrors;

  CapturedStderr errors;
  WMA2WAV(dir.File("in.wma").c_str(), dir.File("out.wav").c_str());
  EXPECT_EQ(errors.Release(), "");
  ExpectOnlyFiles(dir.Path(), {"good.wma", "in.wav", "in.wma"});
}

// A file whose packets cannot be found decodes to nothing, which is a failure rather than an empty
// WAV (an empty WAV comes only from a file that says it holds no audio, as in
// SilenceOfNoLengthGivesAnEmptyWav). wmav2 rejects a damaged superframe with a plain error, which
// fails the decoding.
INSTANTIATE_TEST_SUITE_P(Files, WmafileDamagedWma,
                         ::testing::Values(Damage{"PacketSizeZero", ZeroPacketSize},
                                           Damage{"Garbled", Garble}),
                         [](const ::testing::TestParamInfo<Damage>& p) { return std::string(p.param.Name); });

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

// A destination name of 240 bytes, legal on every Linux file system: the temporary file beside it
// must have a name that fits too.
TEST_F(WmafileTest, LongDestinationNamesWork) {
  const std::string stem(236, 'n');
  const std::size_t frames = WriteSong(dir_.File("in.wav"), 44100, 2, 1.0);
  WAV2WMA(dir_.File("in.wav").c_str(), dir_.File(stem + ".wma").c_str(), 96);
  ASSERT_TRUE(FileExists(dir_.File(stem + ".wma")));
  WMA2WAV(dir_.File(stem + ".wma").c_str(), dir_.File(stem + ".wav").c_str());
  EXPECT_EQ(ReadResultWav(dir_.File(stem + ".wav"), 44100).size() / 2, frames);
  ExpectOnlyFiles(dir_.Path(), {"in.wav", stem + ".wav", stem + ".wma"});
}

// ---- Progress and cancelling

// What a conversion told its progress function, and at which call it was answered "stop".
struct ProgressLog {
  std::vector<int> Calls;
  std::size_t StopAtCall = 0;  // 1: the first call; 0: never
  std::thread::id Thread = std::this_thread::get_id();
  bool OtherThread = false;
};

std::int32_t RecordProgress(void* user, std::int32_t permille) {
  auto* log = static_cast<ProgressLog*>(user);
  if (std::this_thread::get_id() != log->Thread) log->OtherThread = true;
  log->Calls.push_back(permille);
  return log->Calls.size() == log->StopAtCall ? 1 : 0;
}

struct Conversion {
  const char* Name;
  bool Decode;  // WMA2WAVEx of a WMA file; else WAV2WMAEx of a WAV file
  int Kbps;
};

void PrintTo(const Conversion& c, std::ostream* os) { *os << c.Name; }

class WmafileProgress : public ::testing::TestWithParam<Conversion> {
 protected:
  void SetUp() override {
    WriteSong(dir_.File("in.wav"), 44100, 2, 5.0);
    if (!GetParam().Decode) return;
    WAV2WMA(dir_.File("in.wav").c_str(), dir_.File("in.wma").c_str(), 96);
    std::filesystem::remove(dir_.File("in.wav"));
  }
  void Run(ProgressLog& log) const {
    if (GetParam().Decode) {
      WMA2WAVEx(dir_.File(source_).c_str(), dir_.File(destination_).c_str(), RecordProgress, &log);
    } else {
      WAV2WMAEx(dir_.File(source_).c_str(), dir_.File(destination_).c_str(), GetParam().Kbps, RecordProgress,
                &log);
    }
  }
  TempDir dir_;
  const std::string source_ = GetParam().Decode ? "in.wma" : "in.wav";
  const std::string destination_ = GetParam().Decode ? "out.wav" : "out.wma";
};

TEST_P(WmafileProgress, RisesFromZeroToAThousandOnTheCallingThread) {
  ProgressLog log;
  Run(log);
  EXPECT_TRUE(FileExists(dir_.File(destination_)));
  ASSERT_GE(log.Calls.size(), 4u);  // the start, the end and some in between
  EXPECT_EQ(log.Calls.front(), 0);
  EXPECT_EQ(log.Calls.back(), 1000);
  EXPECT_TRUE(std::is_sorted(log.Calls.begin(), log.Calls.end()));
  EXPECT_GT(std::count_if(log.Calls.begin(), log.Calls.end(), [](int p) { return p > 0 && p < 1000; }), 0);
  EXPECT_FALSE(log.OtherThread);
}

// A stop leaves no destination and no temporary file, calls the function no more, and leaves an
// existing destination exactly as it was.
TEST_P(WmafileProgress, StopLeavesNoDestinationAndKeepsAnExistingOne) {
  for (const std::size_t stopAt : {std::size_t{1}, std::size_t{3}}) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE("stop at call " + std::to_string(stopAt) + (existing ? ", existing destination" : ""));
      const std::vector<std::uint8_t> old = {'o', 'l', 'd', '\0', 0xFF};
      if (existing) WriteBytes(dir_.File(destination_), old);
      ProgressLog log;
      log.StopAtCall = stopAt;
      Run(log);
      EXPECT_EQ(log.Calls.size(), stopAt);
      if (existing) {
        EXPECT_EQ(ReadBytes(dir_.File(destination_)), old);
        ExpectOnlyFiles(dir_.Path(), {source_, destination_});
        std::filesystem::remove(dir_.File(destination_));
      } else {
        ExpectOnlyFiles(dir_.Path(), {source_});
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Conversions, WmafileProgress,
                         ::testing::Values(Conversion{"Decode", true, 0}, Conversion{"Encode", false, 96},
                                           Conversion{"EncodeResampled", false, 8}),
                         [](const ::testing::TestParamInfo<Conversion>& p) {
                           return std::string(p.param.Name);
                         });

}  // namespace
}  // namespace merolune::test
