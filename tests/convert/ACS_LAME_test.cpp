// The MP3 encoder component: what TMP3Out writes, checked by decoding it with mpg123 and ffmpeg.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ACS_LAME.h"
#include "ACS_Wave.h"
#include "PeerTools.h"
#include "PipelineRun.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using namespace std::chrono_literals;
using test::PcmAudio;
using test::TempDir;
using test::WaitForOutput;

const std::string kMpg123 = MEROLUNE_MPG123;
const std::string kFfmpeg = MEROLUNE_FFMPEG;
const std::string kFfprobe = MEROLUNE_FFPROBE;
constexpr double kPi = 3.14159265358979323846;


// Three tones of unrelated frequencies under 1.1 kHz per channel, different in each channel, under a slow
// swell: no period within the file, so a correlation peaks at one lag only, and all of it lies below
// what even the smallest bit rates keep.
std::vector<std::int16_t> Tones(std::size_t frames, double rate, int channels) {
  const double freq[2][3] = {{220.0, 563.0, 1013.0}, {311.0, 467.0, 877.0}};
  const double gain[3] = {1.0, 0.6, 0.3};
  std::vector<std::int16_t> out;
  out.reserve(frames * static_cast<std::size_t>(channels));
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double swell = 1.0 + 0.5 * std::sin(2 * kPi * 1.3 * t);
    for (int c = 0; c < channels; ++c) {
      double v = 0;
      for (int k = 0; k < 3; ++k) v += gain[k] * std::sin(2 * kPi * freq[c][k] * t + k);
      out.push_back(static_cast<std::int16_t>(std::lround(4000.0 * swell * v)));
    }
  }
  return out;
}

// The conversion service's way: the source file's stream assigned to a TWaveIn feeding the encoder, the
// destination's stream assigned to the encoder. Returns ErrorMessage.
std::string Encode(TMP3Out& out, TWaveIn& in, const std::string& wav, const std::string& mp3) {
  return test::RunFiles(in, out, wav, mp3);
}

std::string Encode(TMP3Out& out, const std::string& wav, const std::string& mp3) {
  TWaveIn in;
  return Encode(out, in, wav, mp3);
}

bool HaveDecoders() { return test::ToolAvailable(kMpg123) && test::ToolAvailable(kFfmpeg); }

// mpg123 decodes to a WAV file, removing delay and padding when the file says how much.
std::optional<PcmAudio> DecodeWithMpg123(const std::string& mp3, const std::string& wav) {
  if (test::RunTool({kMpg123, "-q", "-w", wav, mp3}) != 0) return std::nullopt;
  return test::ReadPcmWav(wav);
}

// ffmpeg decodes to 16-bit WAV, resampled to `rate` when it is not 0.
std::optional<PcmAudio> DecodeWithFfmpeg(const std::string& input, const std::string& wav, int rate = 0) {
  std::vector<std::string> args = {kFfmpeg, "-v", "error", "-y", "-i", input, "-c:a", "pcm_s16le"};
  if (rate != 0) args.insert(args.end(), {"-ar", std::to_string(rate)});
  args.push_back(wav);
  if (test::RunTool(args) != 0) return std::nullopt;
  return test::ReadPcmWav(wav);
}

struct StreamInfo {
  int SampleRate = 0;
  int Channels = 0;
  int BitRate = 0;  // bit/s
};

// What ffprobe says about the first audio stream.
std::optional<StreamInfo> Probe(const std::string& mp3) {
  std::string text;
  if (test::RunTool({kFfprobe, "-v", "error", "-select_streams", "a:0", "-show_entries",
                     "stream=sample_rate,channels,bit_rate", "-of", "default=nw=1", mp3},
                    &text) != 0) {
    return std::nullopt;
  }
  StreamInfo info;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const int value = std::atoi(line.c_str() + eq + 1);
    if (key == "sample_rate") info.SampleRate = value;
    if (key == "channels") info.Channels = value;
    if (key == "bit_rate") info.BitRate = value;
  }
  return info;
}

// Correlation of the reference's channel with the decoded one at the lag where they match best within
// ±maxLag, leaving out the first and last 2048 frames (the coder's edges); the lag goes to `lag`.
double BestCorrelation(const PcmAudio& reference, int refChannel, const PcmAudio& decoded, int channel,
                       std::ptrdiff_t maxLag, std::ptrdiff_t* lag = nullptr) {
  const std::vector<double> a = reference.Channel(refChannel);
  const std::vector<double> b = decoded.Channel(channel);
  const std::size_t edge = 2048;
  if (a.size() < 3 * edge) return 0;
  const std::size_t count = a.size() - 2 * edge;
  // Half a second decides the lag; the correlation then covers everything.
  const std::ptrdiff_t best = test::BestLag(a, b, maxLag, edge, std::min<std::size_t>(count, 16384));
  if (lag != nullptr) *lag = best;
  return test::CorrelationAt(a, b, best, edge, count);
}

// One MPEG audio frame header, decoded from its four bytes by the layout of the standard.
struct FrameHeader {
  bool Crc = false;
  int Mode = 0;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
  bool Copyright = false;
  bool Original = false;
  std::size_t Length = 0;  // bytes, header included
};

// The Layer III header at `at`, if there is one.
std::optional<FrameHeader> HeaderAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  if (at + 4 > bytes.size() || bytes[at] != 0xFF || (bytes[at + 1] & 0xE0) != 0xE0) return std::nullopt;
  const int version = (bytes[at + 1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  if (((bytes[at + 1] >> 1) & 3) != 1 || version == 1) return std::nullopt;
  static const int kMpeg1Kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static const int kMpeg2Kbps[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  static const int kRates[] = {44100, 48000, 32000};
  const int rateIndex = (bytes[at + 2] >> 2) & 3;
  const int bitrateIndex = bytes[at + 2] >> 4;
  if (rateIndex == 3 || bitrateIndex == 0 || bitrateIndex == 15) return std::nullopt;
  const int rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  const int kbps = version == 3 ? kMpeg1Kbps[bitrateIndex] : kMpeg2Kbps[bitrateIndex];
  FrameHeader h;
  h.Crc = (bytes[at + 1] & 1) == 0;
  h.Mode = bytes[at + 3] >> 6;
  h.Copyright = (bytes[at + 3] & 8) != 0;
  h.Original = (bytes[at + 3] & 4) != 0;
  h.Length =
      static_cast<std::size_t>((version == 3 ? 144 : 72) * kbps * 1000 / rate + ((bytes[at + 2] >> 1) & 1));
  return h;
}

// Whether `text` occurs in bytes [from, to).
bool Contains(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to,
              const std::string& text) {
  const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size()));
  const auto last = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size()));
  return std::search(first, last, text.begin(), text.end()) != last;
}

TEST(MP3BitRateTable, GivesTheKbpsOfEachNameAndBack) {
  EXPECT_EQ(KbpsOf(TMP3BitRate::br8), 8);
  EXPECT_EQ(KbpsOf(TMP3BitRate::br40), 40);
  EXPECT_EQ(KbpsOf(TMP3BitRate::br128), 128);
  EXPECT_EQ(KbpsOf(TMP3BitRate::br144), 144);
  EXPECT_EQ(KbpsOf(TMP3BitRate::br320), 320);
  for (int i = 0; i <= static_cast<int>(TMP3BitRate::br320); ++i) {
    const auto rate = static_cast<TMP3BitRate>(i);
    EXPECT_EQ(BitRateForKbps(KbpsOf(rate)), rate) << i;
    if (i > 0) {
      EXPECT_LT(KbpsOf(static_cast<TMP3BitRate>(i - 1)), KbpsOf(rate)) << i;
    }
  }
  for (const int kbps : {100, 0, -8, 9, 321, 384}) EXPECT_EQ(BitRateForKbps(kbps), std::nullopt) << kbps;
}

TEST(MP3Out, StartsWithTheDocumentedSettings) {
  TMP3Out out;
  EXPECT_EQ(out.BitRate(), TMP3BitRate::br128);
  EXPECT_EQ(out.Quality(), TMP3Quality::ql5);
  EXPECT_EQ(out.SampleRate(), TMP3SampleRate::srDefault);
  EXPECT_EQ(out.Mode(), TMP3Mode::STEREO);
  EXPECT_FALSE(out.CRC());
  EXPECT_FALSE(out.Copyright());
  EXPECT_TRUE(out.Original());
  EXPECT_FALSE(out.WriteVBRHeader());
  EXPECT_FALSE(out.EnableVBR());
  EXPECT_EQ(out.VBRQuality(), TMP3Quality::ql5);
  EXPECT_EQ(out.VBRMinBitrate(), 128);
  EXPECT_EQ(out.VBRMaxBitrate(), 192);
  out.SetBitRate(TMP3BitRate::br320);
  out.SetMode(TMP3Mode::JOINT_STEREO);
  EXPECT_EQ(out.BitRate(), TMP3BitRate::br320);
  EXPECT_EQ(out.Mode(), TMP3Mode::JOINT_STEREO);
}

const char* SettingName(TMP3SampleRate rate) {
  switch (rate) {
    case TMP3SampleRate::srDefault:
      return "Default";
    case TMP3SampleRate::sr32kHz:
      return "Setting32kHz";
    case TMP3SampleRate::sr41kHz:
      return "Setting41kHz";
    case TMP3SampleRate::sr48kHz:
      return "Setting48kHz";
  }
  return "";
}

// A 44.1 kHz stereo source at a constant bit rate, with the sample rate setting given.
struct BitRateCase {
  TMP3BitRate BitRate;
  TMP3SampleRate SampleRate;
  int ExpectedRate;  // Hz of the MP3
  int ExpectedKbps;  // what the frames carry
  bool Gapless;      // whether the frames are big enough for LAME's Info tag
  double MinCorrelation;
};

std::string BitRateCaseName(const ::testing::TestParamInfo<BitRateCase>& info) {
  return "Kbps" + std::to_string(KbpsOf(info.param.BitRate)) + "_" + SettingName(info.param.SampleRate);
}

class MP3BitRates : public ::testing::TestWithParam<BitRateCase> {};

// The decoders give back the source: at the asked bit rate where the MPEG version allows it, with
// exactly the source's frame count when LAME's Info tag fits into the first frame.
TEST_P(MP3BitRates, EncodeWhatTheDecodersGiveBack) {
  if (!HaveDecoders() || !test::ToolAvailable(kFfprobe)) GTEST_SKIP() << "mpg123, ffmpeg or ffprobe missing";
  const BitRateCase& c = GetParam();
  TempDir dir;
  const std::size_t frames = 3 * 44100 + 777;
  test::WritePcmWav(dir.File("in.wav"), Tones(frames, 44100, 2), 44100, 2);
  TMP3Out out;
  out.SetBitRate(c.BitRate);
  out.SetSampleRate(c.SampleRate);
  ASSERT_EQ(Encode(out, dir.File("in.wav"), dir.File("out.mp3")), "");

  const std::optional<StreamInfo> info = Probe(dir.File("out.mp3"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->SampleRate, c.ExpectedRate);
  EXPECT_EQ(info->Channels, 2);
  EXPECT_EQ(info->BitRate, c.ExpectedKbps * 1000);

  const std::optional<PcmAudio> source = test::ReadPcmWav(dir.File("in.wav"));
  // At another rate, ffmpeg brings the source to the MP3's rate for the comparison.
  const std::optional<PcmAudio> reference =
      c.ExpectedRate == 44100 ? source
                              : DecodeWithFfmpeg(dir.File("in.wav"), dir.File("ref.wav"), c.ExpectedRate);
  ASSERT_TRUE(source && reference);
  const std::optional<PcmAudio> mpg123 = DecodeWithMpg123(dir.File("out.mp3"), dir.File("mpg123.wav"));
  const std::optional<PcmAudio> ffmpeg = DecodeWithFfmpeg(dir.File("out.mp3"), dir.File("ffmpeg.wav"));
  ASSERT_TRUE(mpg123 && ffmpeg);
  for (const PcmAudio* decoded : {&*mpg123, &*ffmpeg}) {
    ASSERT_EQ(decoded->Channels, 2);
    EXPECT_EQ(decoded->SampleRate, static_cast<std::uint32_t>(c.ExpectedRate));
    const double resampled = static_cast<double>(frames) * c.ExpectedRate / 44100.0;
    if (c.Gapless) {
      EXPECT_EQ(decoded->Frames(), frames);
    } else {
      // Without the tag the decoders keep LAME's delay (576 + 529 samples) and the padding of the last
      // frame, so the length exceeds the source's by less than three granules of 1152.
      EXPECT_GE(static_cast<double>(decoded->Frames()), resampled);
      EXPECT_LT(static_cast<double>(decoded->Frames()), resampled + 3 * 1152);
    }
    for (int channel = 0; channel < 2; ++channel) {
      std::ptrdiff_t lag = 0;
      const double r =
          BestCorrelation(*reference, channel, *decoded, channel, c.Gapless ? 8 : 3 * 1152, &lag);
      EXPECT_GT(r, c.MinCorrelation) << "channel " << channel;
      // The swapped channels must match far worse: the channels were not mixed up.
      EXPECT_LT(BestCorrelation(*reference, channel, *decoded, 1 - channel, 8), 0.5);
      // With the tag the decoders remove LAME's delay: the decoded signal lines up with the source.
      if (c.Gapless) {
        EXPECT_EQ(lag, 0) << "channel " << channel;
      }
    }
  }
}

// Thresholds: a correlation r leaves an error about 10 log10(r² / (1 - r²)) dB below the signal. MP3
// keeps these low tones nearly intact at 128 kbit/s and above (0.999: about 27 dB, measured higher);
// at 8 and 32 kbit/s the coarse quantisation leaves less (0.98: about 14 dB). A swapped channel, a
// shifted signal or samples read with the wrong layout stay far below either.
INSTANTIATE_TEST_SUITE_P(
    AtFortyFourKilohertz, MP3BitRates,
    ::testing::Values(
        // 8 kbit/s is below MPEG-1's smallest rate; left to choose, LAME goes down to 8 kHz MPEG-2.5 and
        // keeps 8 kbit/s. Its 72-byte frames cannot hold the Info tag.
        BitRateCase{TMP3BitRate::br8, TMP3SampleRate::srDefault, 8000, 8, false, 0.98},
        // Held at 44.1 kHz, LAME raises 8 to the nearest rate MPEG-1 has: 32 kbit/s (still no room for the
        // tag).
        BitRateCase{TMP3BitRate::br8, TMP3SampleRate::sr41kHz, 44100, 32, false, 0.98},
        BitRateCase{TMP3BitRate::br128, TMP3SampleRate::srDefault, 44100, 128, true, 0.999},
        BitRateCase{TMP3BitRate::br192, TMP3SampleRate::srDefault, 44100, 192, true, 0.999},
        BitRateCase{TMP3BitRate::br320, TMP3SampleRate::srDefault, 44100, 320, true, 0.999},
        BitRateCase{TMP3BitRate::br320, TMP3SampleRate::sr41kHz, 44100, 320, true, 0.999}),
    BitRateCaseName);

// The frames from the start of the file, walked header by header; `end` gets the offset after the last.
std::vector<FrameHeader> WalkFrames(const std::vector<std::uint8_t>& bytes, std::size_t& end) {
  std::vector<FrameHeader> frames;
  end = 0;
  while (const std::optional<FrameHeader> h = HeaderAt(bytes, end)) {
    if (h->Length < 4 || end + h->Length > bytes.size()) break;
    frames.push_back(*h);
    end += h->Length;
  }
  return frames;
}

bool EndsWithId3v1(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() >= 128 && std::string(bytes.end() - 128, bytes.end() - 125) == "TAG";
}

// One source rate, the sample rate setting and the MP3's rate that follows.
struct RateCase {
  int SourceRate;
  TMP3SampleRate Setting;
  int ExpectedRate;
  TMP3BitRate BitRate;
};

std::string RateCaseName(const ::testing::TestParamInfo<RateCase>& info) {
  return "From" + std::to_string(info.param.SourceRate) + "Hz_" + SettingName(info.param.Setting);
}

class MP3SampleRates : public ::testing::TestWithParam<RateCase> {};

// Sources below 41000 Hz are resampled to 32000 Hz, others get the setting's rate (LAME's choice by
// default). LAME resamples with the length scaled exactly, give or take the last sample.
TEST_P(MP3SampleRates, EncodeAtTheRateThatFollowsFromSourceAndSetting) {
  if (!HaveDecoders() || !test::ToolAvailable(kFfprobe)) GTEST_SKIP() << "mpg123, ffmpeg or ffprobe missing";
  const RateCase& c = GetParam();
  TempDir dir;
  const std::size_t frames = static_cast<std::size_t>(c.SourceRate) * 2 + 333;
  test::WritePcmWav(dir.File("in.wav"), Tones(frames, c.SourceRate, 2),
                    static_cast<std::uint32_t>(c.SourceRate), 2);
  TMP3Out out;
  out.SetSampleRate(c.Setting);
  out.SetBitRate(c.BitRate);
  ASSERT_EQ(Encode(out, dir.File("in.wav"), dir.File("out.mp3")), "");

  const std::optional<StreamInfo> info = Probe(dir.File("out.mp3"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->SampleRate, c.ExpectedRate);
  const std::optional<PcmAudio> decoded = DecodeWithMpg123(dir.File("out.mp3"), dir.File("mpg123.wav"));
  const std::optional<PcmAudio> reference =
      DecodeWithFfmpeg(dir.File("in.wav"), dir.File("ref.wav"), c.ExpectedRate);
  ASSERT_TRUE(decoded && reference);
  EXPECT_EQ(decoded->SampleRate, static_cast<std::uint32_t>(c.ExpectedRate));
  EXPECT_NEAR(static_cast<double>(decoded->Frames()), static_cast<double>(reference->Frames()), 1.0);
  // Two resamplers agree on these low tones to well within the 0.999 of the bit rate tests; the lag
  // allows for their different filter delays.
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_GT(BestCorrelation(*reference, channel, *decoded, channel, 4), 0.995) << "channel " << channel;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SourcesAndSettings, MP3SampleRates,
    ::testing::Values(RateCase{32000, TMP3SampleRate::srDefault, 32000, TMP3BitRate::br128},
                      RateCase{44100, TMP3SampleRate::srDefault, 44100, TMP3BitRate::br128},
                      RateCase{48000, TMP3SampleRate::srDefault, 48000, TMP3BitRate::br128},
                      RateCase{44100, TMP3SampleRate::sr32kHz, 32000, TMP3BitRate::br128},
                      RateCase{44100, TMP3SampleRate::sr48kHz, 48000, TMP3BitRate::br128},
                      RateCase{48000, TMP3SampleRate::sr41kHz, 44100, TMP3BitRate::br128},
                      // The setting only counts for sources of 41000 Hz or more.
                      RateCase{24000, TMP3SampleRate::sr48kHz, 32000, TMP3BitRate::br128},
                      RateCase{22050, TMP3SampleRate::srDefault, 32000, TMP3BitRate::br128},
                      RateCase{16000, TMP3SampleRate::srDefault, 32000, TMP3BitRate::br128},
                      RateCase{11025, TMP3SampleRate::srDefault, 32000, TMP3BitRate::br128},
                      // Four times as many samples come out as go in, at the largest frames.
                      RateCase{8000, TMP3SampleRate::srDefault, 32000, TMP3BitRate::br320}),
    RateCaseName);

TEST(MP3Out, EncodesAOneChannelSourceAsMono) {
  if (!HaveDecoders() || !test::ToolAvailable(kFfprobe)) GTEST_SKIP() << "mpg123, ffmpeg or ffprobe missing";
  TempDir dir;
  const std::size_t frames = 2 * 44100 + 55;
  test::WritePcmWav(dir.File("in.wav"), Tones(frames, 44100, 1), 44100, 1);
  TMP3Out out;
  out.SetMode(TMP3Mode::JOINT_STEREO);  // a one-channel source overrides the mode
  ASSERT_EQ(Encode(out, dir.File("in.wav"), dir.File("out.mp3")), "");

  const std::optional<StreamInfo> info = Probe(dir.File("out.mp3"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Channels, 1);
  std::size_t end = 0;
  const std::vector<FrameHeader> headers = WalkFrames(test::ReadBytes(dir.File("out.mp3")), end);
  ASSERT_GT(headers.size(), 2U);
  EXPECT_EQ(headers[1].Mode, 3);

  const std::optional<PcmAudio> source = test::ReadPcmWav(dir.File("in.wav"));
  const std::optional<PcmAudio> mpg123 = DecodeWithMpg123(dir.File("out.mp3"), dir.File("mpg123.wav"));
  ASSERT_TRUE(source && mpg123);
  ASSERT_EQ(mpg123->Channels, 1);
  // Spread over both sides and mixed down again by LAME, the one channel comes back whole: all frames,
  // in place, not halved in time or mixed with a neighbour.
  EXPECT_EQ(mpg123->Frames(), frames);
  std::ptrdiff_t lag = -1;
  EXPECT_GT(BestCorrelation(*source, 0, *mpg123, 0, 8, &lag), 0.999);
  EXPECT_EQ(lag, 0);
  // Played as stereo, both loudspeakers carry it.
  const std::optional<PcmAudio> ffmpeg = [&] {
    if (test::RunTool({kFfmpeg, "-v", "error", "-y", "-i", dir.File("out.mp3"), "-ac", "2", "-c:a",
                       "pcm_s16le", dir.File("ffmpeg.wav")}) != 0) {
      return std::optional<PcmAudio>();
    }
    return test::ReadPcmWav(dir.File("ffmpeg.wav"));
  }();
  ASSERT_TRUE(ffmpeg);
  ASSERT_EQ(ffmpeg->Channels, 2);
  EXPECT_EQ(ffmpeg->Frames(), frames);
  for (int channel = 0; channel < 2; ++channel)
    EXPECT_GT(BestCorrelation(*source, 0, *ffmpeg, channel, 8), 0.999);
}

std::string WidthName(const ::testing::TestParamInfo<int>& info) {
  return "Bits" + std::to_string(info.param);
}

class MP3SampleWidths : public ::testing::TestWithParam<int> {};

// 8-bit (unsigned), 24-bit and 32-bit sources are taken at their top 16 bits; the bytes below must not
// disturb anything.
TEST_P(MP3SampleWidths, EncodeTheSameSignalAsSixteenBits) {
  if (!HaveDecoders()) GTEST_SKIP() << "mpg123 or ffmpeg missing";
  const int bits = GetParam();
  TempDir dir;
  const std::size_t frames = 2 * 44100;
  const std::vector<std::int16_t> tones = Tones(frames, 44100, 2);
  test::WavSpec wav;
  wav.BitsPerSample = static_cast<std::uint16_t>(bits);
  std::vector<std::int16_t> expected;  // what the source holds, as 16 bits
  for (const std::int16_t s : tones) {
    const auto u = static_cast<std::uint16_t>(s);
    if (bits == 8) {
      wav.Data.push_back(static_cast<std::uint8_t>((u >> 8) ^ 0x80));
      expected.push_back(static_cast<std::int16_t>((s >> 8) * 256));
      continue;
    }
    for (int low = 0; low < bits / 8 - 2; ++low) wav.Data.push_back(low == 0 ? 0xA5 : 0x5A);
    wav.Data.push_back(static_cast<std::uint8_t>(u & 0xFF));
    wav.Data.push_back(static_cast<std::uint8_t>(u >> 8));
    expected.push_back(s);
  }
  test::WriteBytes(dir.File("in.wav"), test::MakeWav(wav));
  test::WritePcmWav(dir.File("expected.wav"), expected, 44100, 2);
  TMP3Out out;
  ASSERT_EQ(Encode(out, dir.File("in.wav"), dir.File("out.mp3")), "");

  const std::optional<PcmAudio> reference = test::ReadPcmWav(dir.File("expected.wav"));
  const std::optional<PcmAudio> decoded = DecodeWithMpg123(dir.File("out.mp3"), dir.File("mpg123.wav"));
  ASSERT_TRUE(reference && decoded);
  ASSERT_EQ(decoded->Channels, 2);
  EXPECT_EQ(decoded->Frames(), frames);
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_GT(BestCorrelation(*reference, channel, *decoded, channel, 8), 0.999) << "channel " << channel;
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, MP3SampleWidths, ::testing::Values(8, 24, 32), WidthName);

// The header flags and the channel mode, read back from every frame header by hand.
struct HeaderCase {
  TMP3Mode Mode;
  bool Crc;
  bool Copyright;
  bool Original;
  int ExpectedMode;
};

std::string HeaderCaseName(const ::testing::TestParamInfo<HeaderCase>& info) {
  static const char* const kModes[] = {"Stereo", "JointStereo", "DualChannel", "Mono"};
  return std::string(kModes[static_cast<int>(info.param.Mode)]) + (info.param.Crc ? "_Crc" : "") +
         (info.param.Copyright ? "_Copyright" : "") + (info.param.Original ? "_Original" : "");
}

class MP3Headers : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(MP3Headers, CarryTheModeAndFlagsInEveryFrame) {
  const HeaderCase& c = GetParam();
  TempDir dir;
  test::WritePcmWav(dir.File("in.wav"), Tones(44100, 44100, 2), 44100, 2);
  TMP3Out out;
  out.SetMode(c.Mode);
  out.SetCRC(c.Crc);
  out.SetCopyright(c.Copyright);
  out.SetOriginal(c.Original);
  ASSERT_EQ(Encode(out, dir.File("in.wav"), dir.File("out.mp3")), "");
  const std::vector<std::uint8_t> bytes = test::ReadBytes(dir.File("out.mp3"));
  std::size_t end = 0;
  const std::vector<FrameHeader> headers = WalkFrames(bytes, end);
  // One second is about 38 frames of 1152 samples, plus LAME's delay and the Info frame.
  ASSERT_GE(headers.size(), 39U);
  EXPECT_EQ(end, bytes.size()) << "bytes that are not frames; no ID3v1 tag is expected without tags";
  EXPECT_FALSE(EndsWithId3v1(bytes));
  // The first frame holds LAME's Info tag (after the 4-byte header, the side information and, with CRC
  // protection, the 2 CRC bytes).
  EXPECT_TRUE(Contains(bytes, 0, headers[0].Length, "Info"));
  for (std::size_t i = 0; i < headers.size(); ++i) {
    const FrameHeader& h = headers[i];
    EXPECT_EQ(h.Crc, c.Crc) << "frame " << i;
    EXPECT_EQ(h.Copyright, c.Copyright) << "frame " << i;
    EXPECT_EQ(h.Original, c.Original) << "frame " << i;
    if (i > 0) {
      EXPECT_EQ(h.Mode, c.ExpectedMode) << "frame " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ModesAndFlags, MP3Headers,
                         ::testing::Values(HeaderCase{TMP3Mode::STEREO, false, false, true, 0},
                                           HeaderCase{TMP3Mode::JOINT_STEREO, true, true, false, 1},
                                           HeaderCase{TMP3Mode::DUAL_CHANNEL, false, true, true, 2},
                                           HeaderCase{TMP3Mode::MONO, true, false, false, 3}),
                         HeaderCaseName);

TEST(MP3Out, AppendsAnId3v1TagWhenTagsAreSet) {
  TempDir dir;
  test::WritePcmWav(dir.File("in.wav"), Tones(44100, 44100, 2), 44100, 2);
  TMP3Out out;
  TId3v1Tags tags;
  tags.Title = "Night Song";
  tags.Artist = "K\xc3\xa4the";  // UTF-8 for "Käthe"; ID3v1 stores Latin-1
  tags.Album = "Album";
  tags.Year = 1999;
  tags.Track = 7;
  tags.Comment = "made here";
  tags.Genre = "Pop";  // number 13 in the ID3v1 genre list
  out.SetId3v1Tags(tags);
  ASSERT_EQ(Encode(out, dir.File("in.wav"), dir.File("out.mp3")), "");
  const std::vector<std::uint8_t> bytes = test::ReadBytes(dir.File("out.mp3"));
  ASSERT_TRUE(EndsWithId3v1(bytes));
  std::size_t end = 0;
  WalkFrames(bytes, end);
  EXPECT_EQ(end, bytes.size() - 128) << "the tag follows the last frame";
  // ID3v1.1: title 3..32, artist 33..62, album 63..92, year 93..96, comment 97..124, 0, track, genre.
  const std::uint8_t* tag = bytes.data() + bytes.size() - 128;
  const auto field = [tag](std::size_t at, std::size_t length) {
    std::string text(reinterpret_cast<const char*>(tag + at), length);
    return text.substr(0, text.find('\0'));
  };
  EXPECT_EQ(field(3, 30), "Night Song");
  EXPECT_EQ(field(33, 30), "K\xe4the");
  EXPECT_EQ(field(63, 30), "Album");
  EXPECT_EQ(field(93, 4), "1999");
  EXPECT_EQ(field(97, 28), "made here");
  EXPECT_EQ(tag[125], 0);
  EXPECT_EQ(tag[126], 7);
  EXPECT_EQ(tag[127], 13);
}

TEST(MP3Out, WritesTheXingHeaderOfAVariableBitRateOnlyWhenAsked) {
  if (!test::ToolAvailable(kMpg123)) GTEST_SKIP() << "mpg123 missing";
  TempDir dir;
  const std::size_t frames = 2 * 44100 + 99;
  test::WritePcmWav(dir.File("in.wav"), Tones(frames, 44100, 2), 44100, 2);
  TMP3Out out;
  out.SetEnableVBR(true);
  out.SetVBRQuality(TMP3Quality::ql2);
  for (const bool header : {true, false}) {
    out.SetWriteVBRHeader(header);
    ASSERT_EQ(Encode(out, dir.File("in.wav"), dir.File("out.mp3")), "") << header;
    const std::vector<std::uint8_t> bytes = test::ReadBytes(dir.File("out.mp3"));
    std::size_t end = 0;
    const std::vector<FrameHeader> headers = WalkFrames(bytes, end);
    ASSERT_GT(headers.size(), 2U);
    EXPECT_EQ(end, bytes.size());
    EXPECT_EQ(Contains(bytes, 0, headers[0].Length, "Xing"), header);
    EXPECT_FALSE(Contains(bytes, 0, headers[0].Length, "Info"));
    const std::optional<PcmAudio> decoded = DecodeWithMpg123(dir.File("out.mp3"), dir.File("mpg123.wav"));
    ASSERT_TRUE(decoded);
    // Only the header tells the decoder LAME's delay and padding.
    if (header) {
      EXPECT_EQ(decoded->Frames(), frames);
    } else {
      EXPECT_GT(decoded->Frames(), frames);
    }
  }
}

TEST(MP3Out, EmptySourceGivesADecodableFileWithoutSound) {
  TempDir dir;
  test::WavSpec wav;  // header only
  test::WriteBytes(dir.File("in.wav"), test::MakeWav(wav));
  TMP3Out out;
  TWaveIn in;
  EXPECT_EQ(Encode(out, in, dir.File("in.wav"), dir.File("out.mp3")), "");
  EXPECT_EQ(out.OutputState(), TOutputState::osIdle);
  if (!test::ToolAvailable(kMpg123)) GTEST_SKIP() << "mpg123 missing";
  const std::optional<PcmAudio> decoded = DecodeWithMpg123(dir.File("out.mp3"), dir.File("mpg123.wav"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->Frames(), 0U);
}

TEST(MP3Out, WriteErrorEndsTheOutputWithTheStreamsMessage) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
  TempDir dir;
  test::WritePcmWav(dir.File("in.wav"), Tones(44100, 44100, 2), 44100, 2);
  TWaveIn in;
  in.SetFileName(dir.File("in.wav"));
  TMP3Out out;
  out.SetInput(&in);
  out.SetFileName("/dev/full");
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), "Cannot write to file /dev/full (No space left on device)");
  EXPECT_FALSE(in.Busy());
}

TEST(MP3Out, RefusesSourcesOfMoreThanTwoChannelsAndStaysUsable) {
  if (!test::ToolAvailable(kMpg123)) GTEST_SKIP() << "mpg123 missing";
  TempDir dir;
  test::WavSpec wav;
  wav.Channels = 6;
  wav.Data = test::SampleBytes(std::vector<std::int16_t>(6 * 1000, 100));
  test::WriteBytes(dir.File("six.wav"), test::MakeWav(wav));
  test::WritePcmWav(dir.File("two.wav"), Tones(44100, 44100, 2), 44100, 2);
  TMP3Out out;
  TWaveIn in;
  EXPECT_EQ(Encode(out, in, dir.File("six.wav"), dir.File("six.mp3")),
            "MP3 encoding takes one or two channels; the source has 6");
  EXPECT_EQ(Encode(out, in, dir.File("two.wav"), dir.File("two.mp3")), "");
  const std::optional<PcmAudio> decoded = DecodeWithMpg123(dir.File("two.mp3"), dir.File("two-mp3.wav"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->Frames(), 44100U);
}

// An input that claims a sample rate of 0, which no WAV reader lets through.
class RatelessInput final : public TAuInput {
 public:
  std::int32_t GetBitsPerSample() override { return 16; }
  std::int32_t GetChannels() override { return 2; }
  std::int32_t GetSampleRate() override { return 0; }
  void BeginRead() override {
    busy_.store(true);
    size_.store(4000);
    position_.store(0);
  }
  void EndRead() override { busy_.store(false); }
  void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) override {
    buffer = nullptr;
    bytes = 0;
  }
};

TEST(MP3Out, SourceWithoutSampleRateFailsLameInit) {
  TempDir dir;
  RatelessInput in;
  TMP3Out out;
  out.SetInput(&in);
  out.SetFileName(dir.File("out.mp3"));
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), "LAME init failed");
  EXPECT_FALSE(in.Busy());
}

// The same component (and the same input) for several files in a row, of different formats, as the
// conversion service uses it; one of them through a file name of its own.
TEST(MP3Out, EncodesOneFileAfterAnother) {
  if (!test::ToolAvailable(kMpg123)) GTEST_SKIP() << "mpg123 missing";
  TempDir dir;
  test::WritePcmWav(dir.File("a.wav"), Tones(44100 + 1, 44100, 2), 44100, 2);
  test::WritePcmWav(dir.File("b.wav"), Tones(32000 + 2, 32000, 1), 32000, 1);
  test::WritePcmWav(dir.File("c.wav"), Tones(48000 + 3, 48000, 2), 48000, 2);
  TMP3Out out;
  TWaveIn in;
  ASSERT_EQ(Encode(out, in, dir.File("a.wav"), dir.File("a.mp3")), "");
  ASSERT_EQ(Encode(out, in, dir.File("b.wav"), dir.File("b.mp3")), "");
  in.SetFileName(dir.File("c.wav"));
  out.SetInput(&in);
  out.SetFileName(dir.File("c.mp3"));
  out.Start();
  ASSERT_TRUE(WaitForOutput(out));
  ASSERT_EQ(out.ErrorMessage(), "");
  const struct {
    const char* Name;
    std::uint32_t Rate;
    std::uint16_t Channels;
    std::size_t Frames;
  } expected[] = {{"a", 44100, 2, 44101}, {"b", 32000, 1, 32002}, {"c", 48000, 2, 48003}};
  for (const auto& e : expected) {
    const std::string name = e.Name;
    const std::optional<PcmAudio> decoded =
        DecodeWithMpg123(dir.File(name + ".mp3"), dir.File(name + "-mp3.wav"));
    ASSERT_TRUE(decoded) << name;
    EXPECT_EQ(decoded->SampleRate, e.Rate) << name;
    EXPECT_EQ(decoded->Channels, e.Channels) << name;
    EXPECT_EQ(decoded->Frames(), e.Frames) << name;
  }
}

TEST(MP3Out, MissingLibrary) {
  const char* hidden = std::getenv("MEROLUNE_HIDDEN_LIBRARY");
  if (hidden == nullptr) GTEST_SKIP() << "runs only with libmp3lame.so.0 hidden";
  ASSERT_STREQ(hidden, "libmp3lame.so.0");
  try {
    TMP3Out out;
    FAIL() << "constructed without the library";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "libmp3lame.so.0 library could not be loaded.");
  }
}

}  // namespace
}  // namespace merolune
