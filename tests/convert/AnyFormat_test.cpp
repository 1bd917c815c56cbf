// Sources outside the six formats, and WAV files in other codings and sample sizes, through
// merolune-cli --bypass-all: the peer decoder's samples, dither on hi-res sources, clear failures.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "PeerTools.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::ReadPcmWav;
using test::RunTool;
using test::TempDir;
using test::ToolAvailable;

const std::string kFfmpeg = MEROLUNE_FFMPEG;
const std::string kFfprobe = MEROLUNE_FFPROBE;
const std::string kCli = MEROLUNE_CLI;

#define REQUIRE_FFMPEG() \
  if (!ToolAvailable(kFfmpeg)) GTEST_SKIP() << "ffmpeg is missing"

class AnyFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TMPDIR", tmp_.Path().c_str(), 1);
    song_ = dir_.File("song.wav");
    test::WritePcmWav(song_, test::SongLike(kFrames, 44100, 13), 44100, 2);
  }
  void TearDown() override { ::unsetenv("TMPDIR"); }

  // ffmpeg with `args` before the output file `name` in this test's folder; its path.
  std::string Make(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> argv{kFfmpeg, "-v", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(dir_.File(name));
    EXPECT_EQ(RunTool(argv), 0) << name;
    return dir_.File(name);
  }
  // The peer's decoding of `source` to 16-bit stereo PCM, or as 64-bit floats in 16-bit steps.
  test::PcmAudio PeerPcm(const std::string& source) {
    const std::string out = dir_.File("peer.wav");
    EXPECT_EQ(RunTool({kFfmpeg, "-v", "error", "-y", "-i", source, "-map", "0:a:0", "-c:a", "pcm_s16le", out}), 0);
    return ReadPcmWav(out).value_or(test::PcmAudio{});
  }
  std::vector<double> PeerSteps(const std::string& source) {
    std::string raw;
    EXPECT_EQ(RunTool({kFfmpeg, "-v", "error", "-i", source, "-map", "0:a:0", "-f", "f64le", "-"}, &raw), 0);
    std::vector<double> values(raw.size() / sizeof(double));
    std::memcpy(values.data(), raw.data(), values.size() * sizeof(double));
    for (double& v : values) v *= 32768.0;
    return values;
  }
  // merolune-cli --bypass-all from `source` to out.wav; the exit status, stderr in `err`.
  int Bypass(const std::string& source, std::string* err = nullptr, const std::string& out = "out.wav") {
    std::filesystem::remove(dir_.File(out));
    return RunTool({kCli, "--bypass-all", "--quiet", source, dir_.File(out)}, nullptr, err);
  }
  bool TempEmpty() const { return std::filesystem::is_empty(tmp_.Path()); }

  static constexpr std::size_t kFrames = 2 * 44100 + 777;
  TempDir dir_;
  TempDir tmp_;
  std::string song_;
};

struct PeerCase {
  const char* name;  // the file made, its extension choosing nothing but the test's name
  std::vector<std::string> encoding;
  int tolerance;  // 0 for a lossless coding, else 1 LSB after the same 16-bit conversion
};

// Every source format the peer makes decodes to the peer decoder's samples, frame for frame.
TEST_F(AnyFormatTest, PeerMadeSourcesGiveThePeerDecodersSamples) {
  REQUIRE_FFMPEG();
  const std::vector<PeerCase> cases{
      {"aac.m4a", {"-i", song_, "-c:a", "aac", "-b:a", "160k"}, 1},
      {"alac.m4a", {"-i", song_, "-c:a", "alac"}, 0},
      {"aac.mp4", {"-i", song_, "-c:a", "aac"}, 1},
      {"adts.aac", {"-i", song_, "-c:a", "aac"}, 1},
      {"opus.opus", {"-i", song_, "-c:a", "libopus", "-b:a", "128k"}, 1},
      {"opus.webm", {"-i", song_, "-c:a", "libopus"}, 1},
      {"alac.mka", {"-i", song_, "-c:a", "alac"}, 0},
      {"wavpack.wv", {"-i", song_, "-c:a", "wavpack"}, 0},
      {"s16be.aif", {"-i", song_, "-c:a", "pcm_s16be"}, 0},
      {"ac3.ac3", {"-i", song_, "-c:a", "ac3"}, 1},
      {"alac.caf", {"-i", song_, "-c:a", "alac"}, 0},
      {"song", {"-i", song_, "-c:a", "wavpack", "-f", "wv"}, 0},
      // A video's first audio stream: the second one is a different signal.
      {"video.mkv",
       {"-f", "lavfi", "-i", "testsrc=duration=2:size=96x64:rate=10", "-i", song_, "-f", "lavfi", "-i",
        "sine=frequency=1000:duration=2", "-map", "0:v", "-map", "1:a", "-map", "2:a", "-c:v", "mpeg4", "-c:a", "aac"},
       1},
  };
  for (const PeerCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = Make(c.name, c.encoding);
    std::string err;
    ASSERT_EQ(Bypass(source, &err), 0) << err;
    const auto ours = ReadPcmWav(dir_.File("out.wav"));
    const test::PcmAudio peer = PeerPcm(source);
    ASSERT_TRUE(ours.has_value());
    EXPECT_EQ(ours->SampleRate, peer.SampleRate);
    // An MP4 file states the stream's length, which ffmpeg's decoding runs past by the encoder's
    // padding: ours ends there.
    std::size_t frames = peer.Frames();
    if (const std::string name = c.name; name.ends_with(".m4a") || name.ends_with(".mp4")) {
      std::string stated;
      ASSERT_EQ(RunTool({kFfprobe, "-v", "error", "-select_streams", "a:0", "-show_entries",
                         "stream=time_base,duration_ts", "-of", "default=noprint_wrappers=1:nokey=1", source},
                        &stated),
                0);
      std::istringstream fields(stated);
      std::string timeBase;
      std::size_t length = 0;
      fields >> timeBase >> length;
      ASSERT_EQ(timeBase, "1/" + std::to_string(peer.SampleRate));
      ASSERT_LE(length, frames);
      ASSERT_GT(length + 2048, frames);  // no more than the last AAC frame's padding
      frames = length;
    }
    ASSERT_EQ(ours->Frames(), frames);
    ASSERT_GT(peer.Frames(), 0u);
    int worst = 0;
    for (std::size_t i = 0; i < 2 * frames; ++i)
      worst = std::max(worst, std::abs(ours->Samples[i] - peer.Samples[i]));
    EXPECT_LE(worst, c.tolerance);
    EXPECT_TRUE(TempEmpty());
  }
}

struct HiResCase {
  const char* name;
  std::vector<std::string> encoding;
};

// 24-bit and float sources become 16 bits with triangular dither: within 1 LSB plus the dither of the
// peer's exact values, the error's RMS the 0.5 LSB that rounding after ±1 LSB triangular dither gives
// (0.29 without dither), its mean near 0; a float source's overs are clipped and noted.
TEST_F(AnyFormatTest, HiResSourcesAreDitheredTo16Bits) {
  REQUIRE_FFMPEG();
  const std::string hot = "aevalsrc=0.7*sin(2*PI*440*t)+0.2*sin(2*PI*3001*t)|0.6*sin(2*PI*660*t):s=48000:d=2";
  const std::vector<HiResCase> cases{
      {"s24.flac", {"-f", "lavfi", "-i", hot, "-c:a", "flac", "-sample_fmt", "s32", "-bits_per_raw_sample", "24"}},
      {"f32.wav", {"-f", "lavfi", "-i", hot, "-c:a", "pcm_f32le"}},
      {"f64.wav", {"-f", "lavfi", "-i", hot, "-c:a", "pcm_f64le"}},
      {"s24.wav", {"-f", "lavfi", "-i", hot, "-c:a", "pcm_s24le"}},
      {"s32.wav", {"-f", "lavfi", "-i", hot, "-c:a", "pcm_s32le"}},
      {"s24be.aiff", {"-f", "lavfi", "-i", hot, "-c:a", "pcm_s24be"}},
      {"s24.wv", {"-f", "lavfi", "-i", hot, "-c:a", "wavpack", "-sample_fmt", "s32p"}},
  };
  for (const HiResCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = Make(c.name, c.encoding);
    std::string err;
    ASSERT_EQ(Bypass(source, &err), 0) << err;
    const auto ours = ReadPcmWav(dir_.File("out.wav"));
    const std::vector<double> exact = PeerSteps(source);
    ASSERT_TRUE(ours.has_value());
    EXPECT_EQ(ours->SampleRate, 48000u);
    ASSERT_EQ(ours->Samples.size(), exact.size());
    double sum = 0.0, squares = 0.0, worst = 0.0;
    for (std::size_t i = 0; i < exact.size(); ++i) {
      const double error = ours->Samples[i] - exact[i];
      sum += error, squares += error * error, worst = std::max(worst, std::abs(error));
    }
    const double count = static_cast<double>(exact.size());
    const double rms = std::sqrt(squares / count);
    RecordProperty(std::string(c.name) + "_dither_rms_lsb", std::to_string(rms));
    std::printf("%s: dither noise %.3f LSB RMS, mean %.4f, worst %.3f\n", c.name, rms, sum / count, worst);
    EXPECT_LT(worst, 1.5);
    EXPECT_NEAR(rms, 0.5, 0.03);
    EXPECT_NEAR(sum / count, 0.0, 0.02);
  }
  const std::string over = Make("over.wav", {"-f", "lavfi", "-i", "aevalsrc=1.25*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=48000:d=1", "-c:a", "pcm_f32le"});
  std::string err;
  ASSERT_EQ(RunTool({kCli, "--bypass-all", over, dir_.File("over-out.wav")}, nullptr, &err), 0) << err;
  EXPECT_NE(err.find("32-bit float source: "), std::string::npos) << err;
  EXPECT_NE(err.find(" samples beyond full scale were clipped"), std::string::npos) << err;
  const auto clipped = ReadPcmWav(dir_.File("over-out.wav"));
  ASSERT_TRUE(clipped.has_value());
  EXPECT_EQ(*std::max_element(clipped->Samples.begin(), clipped->Samples.end()), 32767);
}

// ADPCM and MPEG layer 3 inside WAV go through the WAV input's own decoders.
TEST_F(AnyFormatTest, WavCodingsAreDecodedInsteadOfRefused) {
  REQUIRE_FFMPEG();
  for (const char* codec : {"adpcm_ima_wav", "adpcm_ms", "libmp3lame"}) {
    SCOPED_TRACE(codec);
    const std::string source = Make(std::string(codec) + ".wav", {"-i", song_, "-c:a", codec});
    std::string err;
    ASSERT_EQ(Bypass(source, &err), 0) << err;
    const auto ours = ReadPcmWav(dir_.File("out.wav"));
    const test::PcmAudio peer = PeerPcm(source);
    ASSERT_TRUE(ours.has_value());
    // The MP3 decoders may differ in the padding they keep; their audio lines up.
    const std::size_t frames = std::min(ours->Frames(), peer.Frames());
    EXPECT_NEAR(static_cast<double>(ours->Frames()), static_cast<double>(peer.Frames()), 2 * 1152.0);
    for (int channel = 0; channel < 2; ++channel) {
      const std::vector<double> a = ours->Channel(channel), b = peer.Channel(channel);
      const std::ptrdiff_t lag = test::BestLag(a, b, 2400, 4096, frames / 2);
      EXPECT_GT(test::CorrelationAt(a, b, lag, 4096, frames / 2), 0.999);
      if (std::string(codec) != "libmp3lame") {
        EXPECT_EQ(lag, 0);
      }
    }
  }
}

struct BadCase {
  std::string name;
  std::string reason;  // what the message says after the file's name
};

// Damaged sources, files without audio and sources that cannot become karaoke fail with the file
// named and the reason, exit status 1, nothing left behind.
TEST_F(AnyFormatTest, BadSourcesFailClearlyAndLeaveNothing) {
  REQUIRE_FFMPEG();
  const auto cut = [&](const std::string& name, double part) {
    std::vector<std::uint8_t> bytes = test::ReadBytes(dir_.File(name));
    bytes.resize(static_cast<std::size_t>(static_cast<double>(bytes.size()) * part));
    test::WriteBytes(dir_.File("cut-" + name), bytes);
  };
  const auto flip = [&](const std::string& name, double at) {
    std::vector<std::uint8_t> bytes = test::ReadBytes(dir_.File(name));
    bytes[static_cast<std::size_t>(static_cast<double>(bytes.size()) * at)] ^= 0x10;
    test::WriteBytes(dir_.File("flip-" + name), bytes);
  };
  for (const auto& [name, codec] : std::vector<std::pair<std::string, std::string>>{
           {"a.m4a", "aac"}, {"a.opus", "libopus"}, {"a.webm", "libopus"}, {"a.wv", "wavpack"},
           {"a.caf", "alac"}, {"a.mka", "alac"}}) {
    Make(name, {"-i", song_, "-c:a", codec});
    cut(name, 0.5);
  }
  Make("a.aiff", {"-i", song_, "-c:a", "pcm_s24be"});
  cut("a.aiff", 0.5);
  flip("a.wv", 0.5);
  flip("a.opus", 0.5);
  Make("silent.mp4", {"-f", "lavfi", "-i", "testsrc=duration=1:size=96x64:rate=10", "-c:v", "mpeg4"});
  Make("mono.m4a", {"-i", song_, "-ac", "1", "-c:a", "aac"});
  Make("six.opus", {"-i", song_, "-af", "pan=5.1|c0=c0|c1=c1|c2=c0|c3=c1|c4=c0|c5=c1", "-c:a", "libopus"});
  test::WriteBytes(dir_.File("text.m4a"), {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'});
  const std::string damaged = "ファイルが壊れているか、途中で切れています: ";
  const std::vector<BadCase> cases{
      {"cut-a.m4a", damaged}, {"cut-a.opus", damaged}, {"cut-a.webm", damaged}, {"cut-a.wv", damaged},
      {"cut-a.caf", damaged}, {"cut-a.mka", damaged}, {"cut-a.aiff", damaged}, {"flip-a.wv", damaged},
      {"flip-a.opus", damaged},
      {"silent.mp4", "音声ストリームがありません"},
      {"text.m4a", "未対応の形式です。"},
      {"mono.m4a", "ステレオではありません: モノラルのファイルは左右が同じ音なので"},
      {"six.opus", "ステレオではありません: このファイルは 6 チャンネルです"},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string err;
    EXPECT_EQ(Bypass(dir_.File(c.name), &err), 1);
    EXPECT_NE(err.find("デコードに失敗しました: " + dir_.File(c.name) + "\n" + c.reason), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(dir_.File("out.wav")));
    EXPECT_TRUE(TempEmpty());
  }
}

// The generic decoder is a library of its own, loaded only when such a source is met.
TEST_F(AnyFormatTest, TheDecoderLibraryIsLoadedOnlyForSuchSources) {
  REQUIRE_FFMPEG();
  const std::string m4a = Make("a.m4a", {"-i", song_, "-c:a", "aac"});
  for (const auto& [source, loaded] : std::vector<std::pair<std::string, bool>>{{m4a, true}, {song_, false}}) {
    SCOPED_TRACE(source);
    ::setenv("LD_DEBUG", "libs", 1);
    std::string err;
    EXPECT_EQ(Bypass(source, &err), 0);
    ::unsetenv("LD_DEBUG");
    EXPECT_EQ(err.find("libanyaudio.so") != std::string::npos, loaded);
  }
}

}  // namespace
}  // namespace merolune
