// merolune-cli as a script would use it: options, exit statuses, messages, cancel and clean-up.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <thread>

#include "Reference.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::TempDir;

struct CliRun {
  int status = -1;
  std::string err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class CliTest : public ::testing::Test {
 protected:
  // Runs the tool with `args` (already quoted where needed) and this test's own TMPDIR.
  CliRun Cli(const std::string& args, const std::string& prefix = "") {
    const std::string errFile = dir_.File("stderr.txt");
    const std::string command = prefix + "env TMPDIR=" + Quote(tmp_.Path()) + " " + Quote(MEROLUNE_CLI) + " " +
                                args + " > /dev/null 2> " + Quote(errFile);
    const int raw = std::system(command.c_str());
    CliRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(errFile);
    std::stringstream text;
    text << in.rdbuf();
    run.err = text.str();
    return run;
  }

  std::string Song(const std::string& name, std::size_t frames, std::uint32_t rate = 44100) {
    samples_ = test::SongLike(frames, rate, 21);
    test::WavSpec wav;
    wav.SampleRate = rate;
    wav.Data = test::SampleBytes(samples_);
    const std::string path = dir_.File(name);
    test::WriteBytes(path, test::MakeWav(wav));
    return path;
  }

  bool TempDirEmpty() const { return std::filesystem::is_empty(tmp_.Path()); }

  TempDir dir_;
  TempDir tmp_;
  std::vector<std::int16_t> samples_;
};

TEST_F(CliTest, OptionsReachTheReductionAsTheControlsWould) {
  const std::string source = Song("song.wav", 9000);
  const std::string out = dir_.File("out.wav");
  const CliRun run = Cli("--precision 0 --p-param 300 --no-synthetic --low 5000 --high 200 --key 2 " + Quote(source) +
                      " " + Quote(out));
  ASSERT_EQ(run.status, 0) << run.err;
  ReductionSettings expected;
  expected.Synthetic = false;
  expected.PThreshold = 30.0 * std::numbers::pi / 180.0;
  expected.RangeRestricted = true;
  expected.LowHz = 200;
  expected.HighHz = 5000;
  expected.KeySemitones = 2;
  const auto reference = test::ReferenceReduce(samples_, 2048, expected, 44100);
  const auto result = test::ReadResultWav(out, 44100);
  ASSERT_EQ(result.size(), reference.size());
  for (std::size_t i = 0; i < result.size(); ++i) ASSERT_LE(std::abs(result[i] - reference[i]), 1) << i;
  EXPECT_TRUE(TempDirEmpty());
}

TEST_F(CliTest, InverseModeIgnoresTheKeyAndRangeZeroProcessesEveryBin) {
  const std::string source = Song("song.wav", 5000);
  const std::string out = dir_.File("out.wav");
  ASSERT_EQ(Cli("--precision 1 --inverse --key -4 --range 0 --enhancer " + Quote(source) + " " + Quote(out)).status, 0);
  ReductionSettings expected;
  expected.Inverse = true;
  expected.Enhancer = true;
  expected.RangeRestricted = false;
  const auto reference = test::ReferenceReduce(samples_, 4096, expected, 44100);
  const auto result = test::ReadResultWav(out, 44100);
  ASSERT_EQ(result.size(), reference.size());
  for (std::size_t i = 0; i < result.size(); ++i) ASSERT_LE(std::abs(result[i] - reference[i]), 1) << i;
}

TEST_F(CliTest, BadUsageExitsWithTwo) {
  const std::string source = Song("song.wav", 100);
  for (const char* args :
       {"", "--bogus a b", "--p-param 901 a b", "--key 6 a b", "--precision x a b", "--range 2 --low 1 a b",
        "only-one-file", "--flac-level 9 a b"}) {
    SCOPED_TRACE(args);
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("merolune-cli: "), std::string::npos);
  }
}

TEST_F(CliTest, FailuresExitWithOneAndTheJobsMessage) {
  const std::string source = Song("song.wav", 3000);
  const std::string aiff = Song("song.aiff", 100);
  test::WriteBytes(dir_.File("mono.wav"), [] {
    test::WavSpec s;
    s.Channels = 1;
    s.Data.assign(100, 0);
    return test::MakeWav(s);
  }());
  test::WriteBytes(dir_.File("exists.wav"), {1});
  struct Case {
    std::string args, message;
  };
  for (const Case& c : {Case{Quote(dir_.File("none.wav")) + " x.wav", "ソースファイルが存在しません。"},
                        Case{Quote(dir_.File("mono.wav")) + " " + Quote(dir_.File("o.wav")), "ステレオではありません"},
                        Case{Quote(aiff) + " " + Quote(dir_.File("o.wav")), "未対応の形式です。"},
                        Case{Quote(source) + " " + Quote(dir_.File("exists.wav")), "already exists"},
                        Case{"--overwrite " + Quote(source) + " /dev/full", "No space left on device"}}) {
    SCOPED_TRACE(c.args);
    const CliRun run = Cli(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(TempDirEmpty());
  }
  EXPECT_EQ(test::ReadBytes(dir_.File("exists.wav")), std::vector<std::uint8_t>{1});
  EXPECT_FALSE(std::filesystem::exists(dir_.File("o.wav")));
}

TEST_F(CliTest, FullTemporaryDiskFailsCleanly) {
  const std::string source = Song("song.wav", 44100 * 2);
  const std::string out = dir_.File("out.wav");
  // A 64 KiB file system as the temporary directory, in a mount namespace of the tool's own.
  const std::string prefix = "unshare -m sh -c " +
                             Quote("mount -t tmpfs -o size=64k tmpfs " + Quote(tmp_.Path()) + " && exec \"$0\" \"$@\"") +
                             " ";
  if (std::system(("unshare -m true 2>/dev/null && unshare -m sh -c 'mount -t tmpfs -o size=4k tmpfs " + tmp_.Path() +
                   "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  const CliRun run = Cli(Quote(source) + " " + Quote(out), prefix);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(CliTest, InterruptCancelsAfterABlockAndCleansUp) {
  const std::string source = Song("long.wav", 44100 * 120);
  const std::string out = dir_.File("out.wav");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("TMPDIR", tmp_.Path().c_str(), 1);
    std::freopen("/dev/null", "w", stderr);
    ::execl(MEROLUNE_CLI, MEROLUNE_CLI, "--precision", "4", source.c_str(), out.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait until the job's temporary files are being written, then interrupt it.
  bool running = false;
  for (int i = 0; i < 3000 && !running; ++i) {
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(tmp_.Path(), ignored))
      if (std::filesystem::file_size(e.path(), ignored) > 44) running = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(running);
  ::kill(child, SIGINT);
  int raw = 0;
  ASSERT_EQ(::waitpid(child, &raw, 0), child);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_TRUE(TempDirEmpty());
}

}  // namespace
}  // namespace merolune
