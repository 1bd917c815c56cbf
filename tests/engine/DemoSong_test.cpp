// The demo-song generator and the level meter, run as the scripts and benchmarks run them.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"

namespace merolune {
namespace {

const std::string kDemoSong = MEROLUNE_DEMOSONG;

// wavstat is built next to the generator (the generator's target depends on it).
std::string WavStatPath() {
  return (std::filesystem::path(MEROLUNE_DEMOSONG).parent_path() / "merolune-wavstat").string();
}

std::string Quote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command with its output discarded; the exit status, or -1 when it did not exit.
int RunShell(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int MakeSong(const std::string& arguments, const std::string& out) {
  return RunShell(Quote(kDemoSong) + " " + arguments + " " + Quote(out));
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

// The interleaved samples after the 44-byte header the generator writes.
std::vector<int> Samples(const std::vector<std::uint8_t>& bytes) {
  std::vector<int> samples;
  for (std::size_t at = 44; at + 1 < bytes.size(); at += 2)
    samples.push_back(static_cast<std::int16_t>(Le16(bytes, at)));
  return samples;
}

// wavstat's "key value" lines; empty when it failed.
std::map<std::string, std::string> WavStat(const std::string& arguments) {
  std::map<std::string, std::string> values;
  FILE* pipe = popen((Quote(WavStatPath()) + " " + arguments + " 2>/dev/null").c_str(), "r");
  if (!pipe) return values;
  std::string text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
  if (pclose(pipe) != 0) return {};
  std::istringstream lines(text);
  std::string key, value;
  while (lines >> key >> value) values[key] = value;
  return values;
}

class DemoSongTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(DemoSongTest, HeaderAndLengthAreAsAsked) {
  const std::string path = dir_.File("song.wav");
  ASSERT_EQ(MakeSong("--seconds 3 --rate 22050", path), 0);
  const std::vector<std::uint8_t> b = ReadBytes(path);
  const std::uint32_t dataSize = 3 * 22050 * 4;
  ASSERT_EQ(b.size(), 44u + dataSize);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  EXPECT_EQ(Le32(b, 4), 36u + dataSize);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(Le32(b, 16), 16u);
  EXPECT_EQ(Le16(b, 20), 1u);  // PCM
  EXPECT_EQ(Le16(b, 22), 2u);
  EXPECT_EQ(Le32(b, 24), 22050u);
  EXPECT_EQ(Le32(b, 28), 22050u * 4);
  EXPECT_EQ(Le16(b, 32), 4u);
  EXPECT_EQ(Le16(b, 34), 16u);
  EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
  EXPECT_EQ(Le32(b, 40), dataSize);
}

TEST_F(DemoSongTest, SameBytesOnEveryRun) {
  ASSERT_EQ(MakeSong("--seconds 4", dir_.File("a.wav")), 0);
  ASSERT_EQ(MakeSong("--seconds 4", dir_.File("b.wav")), 0);
  const std::vector<std::uint8_t> a = ReadBytes(dir_.File("a.wav"));
  EXPECT_EQ(a.size(), 44u + 4 * 44100 * 4);
  EXPECT_TRUE(a == ReadBytes(dir_.File("b.wav")));
}

TEST_F(DemoSongTest, MixPeaksAtMinusOneDecibel) {
  ASSERT_EQ(MakeSong("--seconds 5 --rate 22050", dir_.File("mix.wav")), 0);
  int peak = 0;
  for (int s : Samples(ReadBytes(dir_.File("mix.wav")))) peak = std::max(peak, std::abs(s));
  EXPECT_EQ(peak, 29204);  // round(32767 * 10^(-1/20))
}

TEST_F(DemoSongTest, VoiceIsExactlyCentredAndThePartsAddUpToTheMix) {
  // Long enough for the singer, who comes in after a bar of band.
  ASSERT_EQ(MakeSong("--seconds 6 --rate 22050", dir_.File("mix.wav")), 0);
  ASSERT_EQ(MakeSong("--seconds 6 --rate 22050 --voice-only", dir_.File("voice.wav")), 0);
  ASSERT_EQ(MakeSong("--seconds 6 --rate 22050 --no-voice", dir_.File("rest.wav")), 0);
  const std::vector<int> mix = Samples(ReadBytes(dir_.File("mix.wav")));
  const std::vector<int> voice = Samples(ReadBytes(dir_.File("voice.wav")));
  const std::vector<int> rest = Samples(ReadBytes(dir_.File("rest.wav")));
  ASSERT_EQ(mix.size(), 2u * 6 * 22050);
  ASSERT_EQ(voice.size(), mix.size());
  ASSERT_EQ(rest.size(), mix.size());

  int voicePeak = 0, unequal = 0, worstSum = 0, sideDifference = 0;
  for (std::size_t i = 0; i < mix.size(); i += 2) {
    if (voice[i] != voice[i + 1]) ++unequal;
    voicePeak = std::max(voicePeak, std::abs(voice[i]));
    worstSum = std::max(
        {worstSum, std::abs(voice[i] + rest[i] - mix[i]), std::abs(voice[i + 1] + rest[i + 1] - mix[i + 1])});
    sideDifference = std::max(sideDifference, std::abs((rest[i] - rest[i + 1]) - (mix[i] - mix[i + 1])));
  }
  EXPECT_EQ(unequal, 0);
  EXPECT_GT(voicePeak, 8000);  // the singer is there, and loud
  EXPECT_LE(worstSum, 2);
  EXPECT_LE(sideDifference, 2);  // the voice adds nothing off centre
}

TEST_F(DemoSongTest, BadUsageAndFailures) {
  EXPECT_EQ(RunShell(Quote(kDemoSong)), 2);
  EXPECT_EQ(MakeSong("--rate 1000", dir_.File("x.wav")), 2);
  EXPECT_EQ(MakeSong("--seconds -1", dir_.File("x.wav")), 2);
  EXPECT_EQ(MakeSong("--seconds abc", dir_.File("x.wav")), 2);
  EXPECT_EQ(MakeSong("--voice-only --no-voice", dir_.File("x.wav")), 2);
  EXPECT_EQ(MakeSong("--bogus", dir_.File("x.wav")), 2);
  EXPECT_EQ(MakeSong("--seconds 1", dir_.File("no/such/dir/x.wav")), 1);
  EXPECT_EQ(RunShell(Quote(kDemoSong) + " --help"), 0);
}

TEST_F(DemoSongTest, WavStatMeasuresCentreAndSide) {
  if (!std::filesystem::exists(WavStatPath())) GTEST_SKIP() << "merolune-wavstat not built";
  ASSERT_EQ(MakeSong("--seconds 6 --rate 22050", dir_.File("mix.wav")), 0);
  ASSERT_EQ(MakeSong("--seconds 6 --rate 22050 --voice-only", dir_.File("voice.wav")), 0);
  ASSERT_EQ(MakeSong("--seconds 6 --rate 22050 --no-voice", dir_.File("rest.wav")), 0);

  auto voice = WavStat(Quote(dir_.File("voice.wav")));
  ASSERT_FALSE(voice.empty());
  EXPECT_EQ(voice["frames"], "132300");
  EXPECT_EQ(voice["rate"], "22050");
  EXPECT_EQ(voice["side_db"], "-inf");
  EXPECT_EQ(voice["centre_db"], voice["left_db"]);
  EXPECT_LT(std::stod(voice["centre_db"]), -10.0);
  EXPECT_GT(std::stod(voice["centre_db"]), -40.0);

  auto mix = WavStat(Quote(dir_.File("mix.wav")));
  EXPECT_EQ(mix["peak"], "29204");
  EXPECT_EQ(mix["peak_db"], "-1.00");

  // Taking the singer away drops the centre by several dB and leaves the side alone.
  auto rest = WavStat(Quote(dir_.File("rest.wav")) + " " + Quote(dir_.File("mix.wav")));
  ASSERT_FALSE(rest.empty());
  const double centreDrop = std::stod(rest["centre_drop_db"]);
  EXPECT_GT(centreDrop, 2.0);
  EXPECT_NEAR(centreDrop, std::stod(mix["centre_db"]) - std::stod(rest["centre_db"]), 0.011);
  EXPECT_NEAR(std::stod(rest["side_drop_db"]), 0.0, 0.01);
}

TEST_F(DemoSongTest, WavStatCountsOnlyTheDataThatIsThere) {
  if (!std::filesystem::exists(WavStatPath())) GTEST_SKIP() << "merolune-wavstat not built";
  ASSERT_EQ(MakeSong("--seconds 1 --rate 8000", dir_.File("song.wav")), 0);
  std::vector<std::uint8_t> bytes = ReadBytes(dir_.File("song.wav"));
  bytes.resize(44 + 1000 * 4 + 3);  // the header still promises 8000 frames; a partial frame at the end
  std::ofstream(dir_.File("cut.wav"), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(WavStat(Quote(dir_.File("cut.wav")))["frames"], "1000");

  std::ofstream(dir_.File("text.wav")) << "not a wave file at all\n";
  EXPECT_TRUE(WavStat(Quote(dir_.File("text.wav"))).empty());
  EXPECT_EQ(RunShell(Quote(WavStatPath()) + " " + Quote(dir_.File("text.wav"))), 1);
  EXPECT_EQ(RunShell(Quote(WavStatPath()) + " " + Quote(dir_.File("missing.wav"))), 1);
  EXPECT_EQ(RunShell(Quote(WavStatPath())), 2);
}

}  // namespace
}  // namespace merolune
