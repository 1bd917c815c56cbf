// merolune-cli as a script would use it: options, exit statuses, messages, cancel and clean-up.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <regex>
#include <set>
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
  std::string out;
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
    const std::string errFile = dir_.File("stderr.txt"), outFile = dir_.File("stdout.txt");
    const std::string command = prefix + "env TMPDIR=" + Quote(tmp_.Path()) + " " + Quote(MEROLUNE_CLI) + " " +
                                args + " > " + Quote(outFile) + " 2> " + Quote(errFile);
    const int raw = std::system(command.c_str());
    CliRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(errFile);
    std::stringstream text;
    text << in.rdbuf();
    run.err = text.str();
    std::ifstream out(outFile);
    std::stringstream outText;
    outText << out.rdbuf();
    run.out = outText.str();
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

  // Starts the tool with `args` and this test's TMPDIR, its stderr into `errFile`; returns its pid.
  pid_t Spawn(const std::vector<std::string>& args, const std::string& errFile) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv("TMPDIR", tmp_.Path().c_str(), 1);
      if (!std::freopen(errFile.c_str(), "w", stderr)) ::_exit(126);
      std::vector<char*> argv{const_cast<char*>(MEROLUNE_CLI)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(MEROLUNE_CLI, argv.data());
      ::_exit(127);
    }
    return child;
  }

  // Whether `ready` comes true within 30 s, asked every 10 ms.
  static bool WaitUntil(const std::function<bool()>& ready) {
    for (int i = 0; i < 3000; ++i) {
      if (ready()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Interrupts `child` and waits for it: its exit status, or -1 when it did not exit by itself.
  static int Interrupt(pid_t child) {
    ::kill(child, SIGINT);
    int raw = 0;
    if (::waitpid(child, &raw, 0) != child || !WIFEXITED(raw)) return -1;
    return WEXITSTATUS(raw);
  }

  // The job's temporary files ("cc…"), not a sanitizer runtime's, which may come and go there as well.
  std::vector<std::string> JobTempFiles() const { return Entries(tmp_.Path(), "cc"); }

  // The paths of the entries in `folder` whose names start with `prefix` (all when empty).
  static std::vector<std::string> Entries(const std::string& folder, const std::string& prefix = "") {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(folder, ignored))
      if (e.path().filename().string().rfind(prefix, 0) == 0) found.push_back(e.path().string());
    return found;
  }

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
        "only-one-file", "--flac-level 9 a b", "--reverb on a b", "--quality --reverb loud a b",
        "--quality --no-synthetic a b", "--shard 0/3 -o d a", "--shard 4/3 -o d a", "--shard 2 -o d a",
        "--format xyz -o d a", "-j 0 -o d a", "--stems a b", "--dry-run a b", "-o d",
        "--vocals v.wav --inverse a b", "--inverse --vocals v.wav a b", "--vocals v.wav --key 1 a b",
        "--vocals '' a b", "--vocals v.wav a", "--vocals v.wav -o d a", "--stems --inverse -o d a",
        "--stems --key 2 -o d a"}) {
    SCOPED_TRACE(args);
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("merolune-cli: "), std::string::npos);
  }
}

// Both modes through the tool (the quality mode with every reverb setting): the source's length, a
// changed result, the removed part (--inverse) adding back to the source within 1 LSB per sample, and
// --vocals writing it beside the karaoke in the same job: the two add up to the source exactly, and the
// vocals are the inverse result (the quality mode's within 1 LSB). With everything bypassed nothing is
// removed: the vocals are silence.
TEST_F(CliTest, ResultsKeepTheLengthAndTheirVocalsAndInverseAddBackToTheSource) {
  const std::string source = Song("song.wav", 3 * 44100 + 17);
  const std::string karaoke = dir_.File("karaoke.wav"), vocals = dir_.File("vocals.wav");
  const std::string inverse = dir_.File("inverse.wav");
  for (const char* mode : {"--quality --reverb auto", "--quality --reverb off", "--quality --reverb on",
                           "--precision 0", "--enhancer"}) {
    SCOPED_TRACE(mode);
    const std::string options = std::string("--quiet --overwrite ") + mode + " ";
    const CliRun run = Cli(options + "--vocals " + Quote(vocals) + " " + Quote(source) + " " + Quote(karaoke));
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(Cli(options + "--inverse " + Quote(source) + " " + Quote(inverse)).status, 0);
    const auto k = test::ReadResultWav(karaoke, 44100);
    const auto v = test::ReadResultWav(vocals, 44100);
    const auto i = test::ReadResultWav(inverse, 44100);
    ASSERT_EQ(k.size(), samples_.size());
    ASSERT_EQ(v.size(), samples_.size());
    ASSERT_EQ(i.size(), samples_.size());
    int withInverse = 0, withVocals = 0, fromInverse = 0, moved = 0;
    for (std::size_t n = 0; n < k.size(); ++n) {
      withInverse = std::max(withInverse, std::abs(k[n] + i[n] - samples_[n]));
      withVocals = std::max(withVocals, std::abs(k[n] + v[n] - samples_[n]));
      fromInverse = std::max(fromInverse, std::abs(v[n] - i[n]));
      moved = std::max(moved, std::abs(k[n] - samples_[n]));
    }
    EXPECT_LE(withInverse, 1);
    EXPECT_EQ(withVocals, 0);
    EXPECT_LE(fromInverse, 1);
    EXPECT_GT(moved, 100);
    EXPECT_TRUE(TempDirEmpty());
  }
  const CliRun bypassed = Cli("--overwrite --bypass-all --vocals " + Quote(vocals) + " " + Quote(source) + " " +
                              Quote(karaoke));
  ASSERT_EQ(bypassed.status, 0) << bypassed.err;
  EXPECT_EQ(test::ReadResultWav(vocals, 44100), std::vector<std::int16_t>(samples_.size(), 0));
}

// Each file takes the format of its own extension; a peer decoder reads both at the source's length,
// and the lossless vocals are the WAV vocals sample for sample.
TEST_F(CliTest, VocalsInACodedFormatDecodeToTheSourcesLength) {
  if (std::system("command -v ffmpeg > /dev/null") != 0) GTEST_SKIP() << "ffmpeg missing";
  const std::string source = Song("song.wav", 44100 + 333);
  ASSERT_EQ(Cli("--quiet --vocals " + Quote(dir_.File("vocals.wav")) + " " + Quote(source) + " " +
                Quote(dir_.File("karaoke.wav")))
                .status,
            0);
  const auto wavVocals = test::ReadResultWav(dir_.File("vocals.wav"), 44100);
  // 16-bit stereo PCM as ffmpeg decodes it.
  const auto decode = [&](const std::string& path) {
    const std::string raw = dir_.File("decoded.raw");
    EXPECT_EQ(std::system(("ffmpeg -v error -y -i " + Quote(path) + " -f s16le " + Quote(raw)).c_str()), 0);
    const auto bytes = test::ReadBytes(raw);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<std::int16_t>(test::U16At(bytes, 2 * i));
    return samples;
  };
  struct Case {
    const char* karaoke;
    const char* vocals;
  };
  for (const Case& c : {Case{"karaoke.mp3", "vocals.flac"}, Case{"karaoke.flac", "vocals.mp3"}}) {
    SCOPED_TRACE(c.vocals);
    const CliRun run = Cli("--quiet --vocals " + Quote(dir_.File(c.vocals)) + " " + Quote(source) + " " +
                           Quote(dir_.File(c.karaoke)));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(decode(dir_.File(c.karaoke)).size(), samples_.size());
    const auto vocals = decode(dir_.File(c.vocals));
    EXPECT_EQ(vocals.size(), samples_.size());
    if (std::string(c.vocals) == "vocals.flac") {
      EXPECT_EQ(vocals, wavVocals);
    }
    EXPECT_TRUE(TempDirEmpty());
  }
}

// A job whose vocals cannot be written fails with the reason, and leaves neither file nor any
// temporary one; an existing vocals file is replaced only with --overwrite.
TEST_F(CliTest, AFailingVocalsJobLeavesNeitherFile) {
  const std::string source = Song("song.wav", 3000);
  test::WriteBytes(dir_.File("plain"), {1});
  test::WriteBytes(dir_.File("exists.wav"), {1});
  const std::string karaoke = dir_.File("karaoke.wav");
  struct Case {
    std::string options, vocals, message;
  };
  for (const Case& c : {Case{"", dir_.File("plain/vocals.wav"), "(Not a directory)"},
                        Case{"--overwrite ", "/dev/full", "No space left on device"},
                        Case{"", dir_.File("exists.wav"), "already exists"},
                        Case{"", karaoke, "ボーカルの保存先がカラオケの保存先と同じです"}}) {
    SCOPED_TRACE(c.vocals);
    const CliRun run = Cli(c.options + "--vocals " + Quote(c.vocals) + " " + Quote(source) + " " + Quote(karaoke));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(karaoke));
    EXPECT_TRUE(TempDirEmpty());
  }
  EXPECT_EQ(test::ReadBytes(dir_.File("exists.wav")), std::vector<std::uint8_t>{1});
}

TEST_F(CliTest, FailuresExitWithOneAndTheJobsMessage) {
  const std::string source = Song("song.wav", 3000);
  // Outside the six formats a file is read by its content: text is no audio.
  const std::string aiff = dir_.File("song.aiff");
  test::WriteBytes(aiff, {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'});
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

// The job's messages in the language the locale or MEROLUNE_LANG asks for; a file name in a
// message is kept as it is.
TEST_F(CliTest, MessagesFollowTheInterfaceLanguage) {
  test::WriteBytes(dir_.File("mono.wav"), [] {
    test::WavSpec s;
    s.Channels = 1;
    s.Data.assign(100, 0);
    return test::MakeWav(s);
  }());
  test::WriteBytes(dir_.File("text.flac"), {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'});
  std::filesystem::create_directory(dir_.File("曲.wav"));
  struct Failure {
    std::string args, japanese, english;
  };
  const Failure failures[] = {
      {Quote(dir_.File("none.wav")) + " x.wav", "ソースファイルが存在しません。パスを確認してください。",
       "The source file does not exist. Please check the path."},
      {Quote(dir_.File("mono.wav")) + " x.wav", "ステレオではありません: モノラルのファイルは",
       "Not stereo: a mono file has the same sound on the left and the right"},
      {Quote(dir_.File("text.flac")) + " x.wav", "デコードに失敗しました: " + dir_.File("text.flac"),
       "Decoding failed: " + dir_.File("text.flac")},
      {Quote(dir_.File("曲.wav")) + " x.wav", "ソースが通常のファイルではありません: " + dir_.File("曲.wav"),
       "The source is not a regular file: " + dir_.File("曲.wav")},
  };
  struct Setting {
    std::string variables;
    bool english;
  };
  const std::string clear = "env -u MEROLUNE_LANG -u LC_ALL -u LC_MESSAGES -u LANG ";
  for (const Setting& setting : {Setting{"MEROLUNE_LANG=en", true}, Setting{"LANG=C", true}, Setting{"", true},
                                 Setting{"LANG=ja_JP.UTF-8", false}, Setting{"LC_ALL=ja_JP.UTF-8 LANG=C", false},
                                 Setting{"LC_ALL=C LANG=ja_JP.UTF-8", true},
                                 Setting{"MEROLUNE_LANG=ja LANG=en_GB.UTF-8", false}}) {
    for (const Failure& f : failures) {
      SCOPED_TRACE(setting.variables + " " + f.args);
      const CliRun run = Cli(f.args, clear + setting.variables + " ");
      EXPECT_EQ(run.status, 1);
      EXPECT_NE(run.err.find(setting.english ? f.english : f.japanese), std::string::npos) << run.err;
      if (setting.english) {
        // Nothing Japanese but the folder's own name.
        std::string rest = run.err;
        if (const std::size_t at = rest.find("曲.wav"); at != std::string::npos) rest.erase(at, std::strlen("曲.wav"));
        EXPECT_TRUE(std::all_of(rest.begin(), rest.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            << run.err;
      }
    }
  }
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
  ASSERT_TRUE(WaitUntil([&] {
    std::error_code ignored;
    for (const std::string& file : JobTempFiles())
      if (std::filesystem::file_size(file, ignored) > 44) return true;
    return false;
  }));
  EXPECT_EQ(Interrupt(child), 1);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_TRUE(TempDirEmpty());
}

// A signal ends the tool cleanly in every phase: the decoding, the reduction and the encoding are
// stopped, the temporary files go, the old destination stays byte for byte, and the status is 1.
TEST_F(CliTest, SignalsStopEveryPhaseAndKeepTheOldDestination) {
  const std::string song = Song("long.wav", 44100 * 150);
  const std::string flac = dir_.File("long.flac");
  ASSERT_EQ(Cli("--quiet --bypass-all " + Quote(song) + " " + Quote(flac)).status, 0);
  const std::vector<std::uint8_t> old{'o', 'l', 'd'};
  struct Phase {
    const char* name;
    std::vector<std::string> args;
    std::string destination;
    // True once the phase runs.
    std::function<bool()> running;
  };
  const std::string wavOut = dir_.File("out.wav");
  const std::string mp3Out = dir_.File("out.mp3");
  const auto growing = [](const std::vector<std::string>& files, std::size_t count) {
    std::error_code ignored;
    return files.size() == count && std::filesystem::file_size(files.back(), ignored) > 44;
  };
  const Phase phases[] = {
      {"decoding", {flac, wavOut}, wavOut, [&] { return growing(JobTempFiles(), 1); }},
      {"reducing", {"--precision", "4", song, wavOut}, wavOut, [&] { return JobTempFiles().size() == 2; }},
      {"encoding", {"--bypass-all", song, mp3Out}, mp3Out, [&] { return growing(Entries(dir_.Path(), ".out.mp3.part-"), 1); }},
  };
  for (const Phase& phase : phases) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
      SCOPED_TRACE(std::string(phase.name) + " " + sigabbrev_np(signal));
      test::WriteBytes(phase.destination, old);
      std::vector<std::string> args{"--overwrite"};
      args.insert(args.end(), phase.args.begin(), phase.args.end());
      const pid_t child = Spawn(args, dir_.File("stderr.txt"));
      ASSERT_GT(child, 0);
      bool reached = false;
      for (int i = 0; i < 20000 && !reached; ++i) {
        reached = phase.running();
        if (!reached) std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
      EXPECT_TRUE(reached);
      ::kill(child, signal);
      int raw = 0;
      ASSERT_EQ(::waitpid(child, &raw, 0), child);
      const auto err = test::ReadBytes(dir_.File("stderr.txt"));
      ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw) << ": " << std::string(err.begin(), err.end());
      EXPECT_EQ(WEXITSTATUS(raw), 1);
      EXPECT_NE(std::string(err.begin(), err.end()).find(std::string("stopped by SIG") + sigabbrev_np(signal)),
                std::string::npos);
      EXPECT_EQ(test::ReadBytes(phase.destination), old);
      EXPECT_TRUE(TempDirEmpty());
      EXPECT_TRUE(Entries(dir_.Path(), ".out").empty());
    }
  }
}

// A destination that cannot be written is refused before any work: with no usable temporary
// folder at all, the message is still the destination's, so no temporary file was ever tried.
TEST_F(CliTest, BadDestinationsAreRefusedBeforeAnyTemporaryFile) {
  const std::string source = Song("song.wav", 3000);
  test::WriteBytes(dir_.File("plain"), {1});
  const std::string longName = dir_.File(std::string(300, 'n') + ".mp3");
  struct Case {
    std::string destination, reason;
  };
  for (const Case& c : {Case{"''", "保存先が指定されていません"},
                        Case{Quote(dir_.File("sub/")), "(Is a directory)"},
                        Case{Quote(dir_.Path()), "(Is a directory)"},
                        Case{Quote(dir_.File("plain/x.ogg")), "(Not a directory)"},
                        Case{Quote(longName), "(File name too long)"}}) {
    SCOPED_TRACE(c.destination);
    const CliRun run = Cli(Quote(source) + " " + c.destination, "TMPDIR=/nonexistent-merolune ");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("sub")));
}

// The tool loads the conversion module (and Qt with it) and a codec library when a job needs them,
// not at start: the dynamic linker's own log (LD_DEBUG=libs on stderr) names every library it
// looks for.
TEST_F(CliTest, CodecLibrariesAreLoadedOnlyByTheJobsThatNeedThem) {
  const std::vector<std::string> codecs = {"libmerolune-conversion.so", "libQt6Core", "libwmafile.so",
                                           "libavcodec", "libFLAC", "libvorbis", "libmp3lame",
                                           "libanyaudio.so", "libtagcopy.so", "libtag.so"};
  const CliRun help = Cli("--help", "LD_DEBUG=libs ");
  ASSERT_EQ(help.status, 0) << help.err;
  for (const std::string& codec : codecs) EXPECT_EQ(help.err.find(codec), std::string::npos) << codec;

  const std::string song = Song("song.wav", 4410);
  const CliRun wav = Cli("--bypass-all " + Quote(song) + " " + Quote(dir_.File("out.wav")), "LD_DEBUG=libs ");
  ASSERT_EQ(wav.status, 0) << wav.err;
  for (const std::string& codec : codecs) EXPECT_EQ(wav.err.find(codec), std::string::npos) << codec;

  // A WAV source with a title in a LIST INFO chunk after its audio: the tag library comes in to copy
  // it, the conversion module does not.
  test::WavSpec tagged;
  tagged.Data = test::SampleBytes(samples_);
  const std::string info("INFOINAM\x06\0\0\0Song!\0", 18);
  tagged.After.push_back({"LIST", std::vector<std::uint8_t>(info.begin(), info.end())});
  test::WriteBytes(dir_.File("tagged.wav"), test::MakeWav(tagged));
  // (Reduced, so that the result's chunks are the job's own, not a copy of the source's.)
  const CliRun tags = Cli(Quote(dir_.File("tagged.wav")) + " " + Quote(dir_.File("tagged_cc.wav")), "LD_DEBUG=libs ");
  ASSERT_EQ(tags.status, 0) << tags.err;
  EXPECT_NE(tags.err.find("libtagcopy.so"), std::string::npos);
  EXPECT_EQ(tags.err.find("libmerolune-conversion.so"), std::string::npos);
  const auto result = test::ReadBytes(dir_.File("tagged_cc.wav"));
  EXPECT_NE(std::search(result.begin(), result.end(), info.begin(), info.end()), result.end());

  const CliRun wma = Cli("--bypass-all " + Quote(song) + " " + Quote(dir_.File("out.wma")), "LD_DEBUG=libs ");
  ASSERT_EQ(wma.status, 0) << wma.err;
  for (const char* codec : {"libmerolune-conversion.so", "libQt6Core", "libwmafile.so", "libavcodec"})
    EXPECT_NE(wma.err.find(codec), std::string::npos) << codec;
}

// The job reads its source twice; a pipe would block it for ever, so it is refused at once.
TEST_F(CliTest, PipeSourceIsRefusedAtOnce) {
  const std::string fifo = dir_.File("song.wav");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const CliRun run = Cli(Quote(fifo) + " " + Quote(dir_.File("out.wav")), "timeout 60 ");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ソースが通常のファイルではありません: " + fifo), std::string::npos) << run.err;
  EXPECT_TRUE(TempDirEmpty());
}

// Every format reaches a link's target, a dangling link's future file, a pipe and a name at the
// file-name limit the same way, with real encoders; what arrives starts as its format does.
// Monkey's Audio: each --ape-level item reaches the header, an .ape source becomes an .ape destination
// sample for sample, and damaged or foreign .ape sources fail with the file named and nothing left.
TEST_F(CliTest, MonkeysAudioJobsAndTheirFailures) {
  const std::string source = Song("song.wav", 3 * 73728 + 50);
  for (int item = 0; item <= 3; ++item) {
    const std::string ape = dir_.File("l" + std::to_string(item) + ".ape");
    ASSERT_EQ(Cli("--quiet --bypass-all --ape-level " + std::to_string(item) + " " + Quote(source) + " " + Quote(ape))
                  .status,
              0);
    EXPECT_EQ(test::U16At(test::ReadBytes(ape), 52), (item + 1) * 1000);
  }
  EXPECT_EQ(Cli("--ape-level 4 " + Quote(source) + " " + Quote(dir_.File("x.ape"))).status, 2);
  ASSERT_EQ(Cli("--quiet --bypass-all " + Quote(dir_.File("l3.ape")) + " " + Quote(dir_.File("again.ape"))).status, 0);
  ASSERT_EQ(Cli("--quiet --bypass-all " + Quote(dir_.File("again.ape")) + " " + Quote(dir_.File("back.wav"))).status,
            0);
  EXPECT_EQ(test::ReadResultWav(dir_.File("back.wav"), 44100), samples_);

  std::vector<std::uint8_t> ape = test::ReadBytes(dir_.File("l1.ape"));
  test::WriteBytes(dir_.File("cut.ape"), std::vector<std::uint8_t>(ape.begin(), ape.begin() + ape.size() / 2));
  ape[ape.size() * 2 / 3] ^= 0x01;
  test::WriteBytes(dir_.File("flipped.ape"), ape);
  test::WriteBytes(dir_.File("empty.ape"), {});
  test::WriteBytes(dir_.File("wave.ape"), test::ReadBytes(source));
  for (const char* name : {"cut.ape", "flipped.ape", "empty.ape", "wave.ape"}) {
    SCOPED_TRACE(name);
    const CliRun run = Cli(Quote(dir_.File(name)) + " " + Quote(dir_.File("out.ape")));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(std::string("デコードに失敗しました: ") + dir_.File(name) + "\nMACDll error: "), std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir_.File("out.ape")));
    EXPECT_TRUE(TempDirEmpty());
  }
}

TEST_F(CliTest, EveryFormatReachesEveryKindOfDestination) {
  const std::string source = Song("song.wav", 44100);
  const std::map<std::string, std::string> magic{
      {".wav", "RIFF"}, {".mp3", "ID3"},  {".ogg", "OggS"},
      {".flac", "fLaC"}, {".ape", "MAC "}, {".wma", "\x30\x26\xB2\x75"},
      {".opus", "OggS"}, {".m4a", "ftyp"}};
  const auto startsRight = [&](const std::string& path, const std::string& ext) {
    const auto bytes = test::ReadBytes(path);
    const std::string head(bytes.begin(), bytes.begin() + std::min<std::size_t>(bytes.size(), 4));
    // LAME writes no ID3 tag without tags: its first frame (the Info tag) starts with a sync word.
    if (ext == ".mp3") return bytes.size() > 2 && bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0;
    // An MP4 file starts with the size of its "ftyp" box.
    if (ext == ".m4a") return bytes.size() > 8 && std::string(bytes.begin() + 4, bytes.begin() + 8) == "ftyp";
    return head.rfind(magic.at(ext), 0) == 0;
  };
  for (const auto& [ext, unused] : magic) {
    SCOPED_TRACE(ext);
    const TempDir place;
    const std::string target = place.File("target" + ext);
    test::WriteBytes(target, {1});
    std::filesystem::create_symlink(target, place.File("link" + ext));
    std::filesystem::create_symlink(place.File("made/later" + ext), place.File("dangling" + ext));
    const std::string longName = place.File(std::string(255 - ext.size(), 'x') + ext);
    for (const std::string& destination : {place.File("link" + ext), place.File("dangling" + ext), longName}) {
      EXPECT_EQ(Cli("--quiet --overwrite --bypass-all " + Quote(source) + " " + Quote(destination)).status, 0)
          << destination;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(place.File("link" + ext)));
    EXPECT_TRUE(std::filesystem::is_symlink(place.File("dangling" + ext)));
    for (const std::string& written : {target, place.File("made/later" + ext), longName})
      EXPECT_TRUE(startsRight(written, ext)) << written;

    const std::string pipe = place.File("pipe" + ext);
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::vector<std::uint8_t> received;
    {
      std::jthread reader([&] { received = test::ReadBytes(pipe); });
      EXPECT_EQ(Cli("--quiet --overwrite --bypass-all " + Quote(source) + " " + Quote(pipe)).status, 0);
    }
    test::WriteBytes(place.File("received" + ext), received);
    EXPECT_TRUE(startsRight(place.File("received" + ext), ext));
    EXPECT_TRUE(std::filesystem::is_fifo(pipe));
    EXPECT_TRUE(Entries(place.Path(), ".").empty());
  }
  EXPECT_TRUE(TempDirEmpty());
}

// On a full disk every format fails with the reason and leaves the old destination as it was.
TEST_F(CliTest, FullDiskKeepsTheOldDestinationInEveryFormat) {
  const std::string source = Song("song.wav", 44100 * 3);
  const std::string disk = dir_.File("disk");
  std::filesystem::create_directory(disk);
  // A 16 KiB file system at `disk`, in a mount namespace of the tool's own (as root, or as the
  // root of a user namespace); the old file is put there first, and the outcome copied out.
  const std::string probe = "mount -t tmpfs -o size=16k tmpfs " + Quote(disk);
  std::string unshare;
  for (const char* tried : {"unshare -m", "unshare -rm"})
    if (std::system((std::string(tried) + " sh -c " + Quote(probe) + " 2>/dev/null").c_str()) == 0) unshare = tried;
  if (unshare.empty()) GTEST_SKIP() << "cannot mount a tmpfs here";
  for (const char* ext : {".wav", ".mp3", ".ogg", ".flac", ".wma", ".ape", ".opus", ".m4a"}) {
    SCOPED_TRACE(ext);
    const std::string out = disk + "/out" + ext;
    const std::string script = probe + " && printf old > " + Quote(out) + " && \"$0\" \"$@\"; s=$?; cat " +
                               Quote(out) + " > " + Quote(dir_.File("kept")) + "; ls -A " + Quote(disk) + " > " +
                               Quote(dir_.File("listing")) + "; exit $s";
    const CliRun run = Cli("--overwrite --bypass-all " + Quote(source) + " " + Quote(out),
                           unshare + " sh -c " + Quote(script) + " ");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
    EXPECT_EQ(test::ReadBytes(dir_.File("kept")), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    const auto listing = test::ReadBytes(dir_.File("listing"));
    EXPECT_EQ(std::string(listing.begin(), listing.end()), std::string("out") + ext + "\n");
  }
  EXPECT_TRUE(TempDirEmpty());
}

// On a terminal the progress line names each phase; a changed sample rate is noted.
TEST_F(CliTest, ProgressNamesThePhaseAndChangedRatesAreNoted) {
  if (std::system("command -v script > /dev/null") != 0) GTEST_SKIP() << "script missing";
  const std::string source = Song("hi.wav", 96000 * 4, 96000);
  const std::string flac = dir_.File("hi.flac");
  ASSERT_EQ(Cli("--quiet --bypass-all " + Quote(source) + " " + Quote(flac)).status, 0);
  const std::string command = "env TMPDIR=" + Quote(tmp_.Path()) + " " + Quote(MEROLUNE_CLI) + " " + Quote(flac) +
                              " " + Quote(dir_.File("out.mp3"));
  const std::string typescript = dir_.File("typescript");
  ASSERT_EQ(std::system(("script -qec " + Quote(command) + " " + Quote(typescript) + " > /dev/null").c_str()), 0);
  const auto bytes = test::ReadBytes(typescript);
  const std::string text(bytes.begin(), bytes.end());
  for (const char* phase : {"decoding", "reducing", "encoding"})
    EXPECT_TRUE(std::regex_search(text, std::regex(std::string(phase) + " +[0-9]+%"))) << phase << " in " << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("reducing +100%")));
  EXPECT_NE(text.find("note: MP3 written at 48000 Hz (the source has 96000 Hz)"), std::string::npos) << text;
}

// ------------------------------------------------------------------------------------ the batch

// The planned destination of every file, "SOURCE\tDEST" a line, from --dry-run.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A folder's files go under DIR with their folders, NAME_cc.EXT in the source's own format or
// --format's, each the same bytes as the single-file form gives; a second run skips them all, and
// --overwrite does them again.
TEST_F(CliTest, BatchKeepsTheLayoutAndSkipsWhatExists) {
  const std::string lib = dir_.File("lib");
  std::filesystem::create_directories(lib + "/disc 1/extra");
  const std::string a = lib + "/a.wav", b = lib + "/disc 1/b.WAV", c = lib + "/disc 1/extra/c.wav";
  std::filesystem::rename(Song("a.wav", 5000), a);
  std::filesystem::rename(Song("b.wav", 7000), b);
  std::filesystem::rename(Song("c.wav", 3000), c);
  WriteText(lib + "/notes.txt", "not audio");
  const std::string out = dir_.File("out");
  struct Case {
    std::string format, extension;
  };
  for (const Case& k : {Case{"", ".wav"}, Case{"--format FLAC", ".flac"}}) {
    SCOPED_TRACE(k.format);
    std::filesystem::remove_all(out);
    CliRun run = Cli("--precision 0 -j 2 " + k.format + " -o " + Quote(out) + " " + Quote(lib));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("3 done, 0 skipped, 0 failed"), std::string::npos) << run.err;
    const std::pair<std::string, std::string> expected[] = {
        {a, out + "/lib/a_cc"}, {b, out + "/lib/disc 1/b_cc"}, {c, out + "/lib/disc 1/extra/c_cc"}};
    for (const auto& [source, destination] : expected) {
      // b.WAV keeps its extension's spelling when its own format is kept.
      const std::string made = destination + (k.extension == ".wav" && source == b ? ".WAV" : k.extension);
      ASSERT_TRUE(std::filesystem::exists(made)) << made;
      const std::string single = dir_.File("single" + k.extension);
      ASSERT_EQ(Cli("--precision 0 --quiet " + Quote(source) + " " + Quote(single) + " --overwrite").status, 0);
      EXPECT_EQ(ReadFile(made), ReadFile(single)) << made;
    }
    EXPECT_EQ(Entries(out + "/lib").size(), 2u);  // a_cc and "disc 1": nothing for notes.txt
    const auto before = std::filesystem::last_write_time(out + "/lib/a_cc" + k.extension);
    // Named with a final "/", the folder still keeps its name.
    run = Cli(k.format + " -o " + Quote(out) + " " + Quote(lib + "/"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("0 done, 3 skipped, 0 failed"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("exists (--overwrite replaces it)"), std::string::npos);
    EXPECT_EQ(std::filesystem::last_write_time(out + "/lib/a_cc" + k.extension), before);
    run = Cli(k.format + " --overwrite -o " + Quote(out) + " " + Quote(lib));
    EXPECT_NE(run.err.find("3 done, 0 skipped, 0 failed"), std::string::npos) << run.err;
  }
  EXPECT_TRUE(TempDirEmpty());
}

// --stems writes NAME_vocals.EXT beside NAME_cc.EXT from the same pass: the two add back to the
// source within 1 LSB, and an existing stem counts as an existing destination.
TEST_F(CliTest, BatchStemsAddBackToTheSource) {
  const std::string lib = dir_.File("stems");
  std::filesystem::create_directories(lib);
  std::filesystem::rename(Song("s.wav", 20000), lib + "/s.wav");
  const std::string out = dir_.File("out");
  CliRun run = Cli("--stems --quality -o " + Quote(out) + " " + Quote(lib));
  ASSERT_EQ(run.status, 0) << run.err;
  const auto karaoke = test::ReadResultWav(out + "/stems/s_cc.wav", 44100);
  const auto vocals = test::ReadResultWav(out + "/stems/s_vocals.wav", 44100);
  ASSERT_EQ(karaoke.size(), samples_.size());
  ASSERT_EQ(vocals.size(), samples_.size());
  int worst = 0;
  for (std::size_t i = 0; i < samples_.size(); ++i) worst = std::max(worst, std::abs(karaoke[i] + vocals[i] - samples_[i]));
  EXPECT_LE(worst, 1);
  std::filesystem::remove(out + "/stems/s_cc.wav");
  run = Cli("--stems -o " + Quote(out) + " " + Quote(lib));
  EXPECT_NE(run.err.find("s_vocals.wav exists"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(out + "/stems/s_cc.wav"));
}

// --shard K/N splits the batch into N disjoint shares that make up the whole, whatever order the
// folder lists its files in.
TEST_F(CliTest, ShardsAreDisjointAndMakeUpTheBatch) {
  const std::string lib = dir_.File("many");
  for (int i = 0; i < 50; ++i) {
    // Made in a scrambled order, across three folders.
    const int n = (i * 37) % 50;
    const std::string folder = lib + "/f" + std::to_string(n % 3);
    std::filesystem::create_directories(folder);
    WriteText(folder + "/t" + std::to_string(n) + (n % 2 ? ".mp3" : ".flac"), "");
  }
  const CliRun whole = Cli("--dry-run -o out " + Quote(lib));
  ASSERT_EQ(whole.status, 0) << whole.err;
  const auto lines = Lines(whole.out);
  const std::multiset<std::string> all(lines.begin(), lines.end());
  ASSERT_EQ(all.size(), 50u);
  for (int n = 1; n <= 7; ++n) {
    std::multiset<std::string> joined;
    for (int k = 1; k <= n; ++k) {
      std::string args = "--dry-run --shard ";
      args += std::to_string(k) + "/" + std::to_string(n) + " -o out " + Quote(lib);
      const auto share = Lines(Cli(args).out);
      // Shares differ in size by one at most.
      EXPECT_LE(share.size(), (50u + n - 1) / n);
      EXPECT_GE(share.size(), 50u / n);
      joined.insert(share.begin(), share.end());
    }
    EXPECT_EQ(joined, all) << n;  // as multisets: nothing twice, nothing missing
  }
}

// Twenty good files and five bad ones: the twenty are done, the five named with their reasons, no
// temporary file is left, and the status is 1.
TEST_F(CliTest, BatchSurvivesBadFilesAndNamesThem) {
  const std::string lib = dir_.File("mixed");
  std::filesystem::create_directories(lib);
  const std::string good = Song("good.wav", 2000);
  for (int i = 0; i < 20; ++i) std::filesystem::copy_file(good, lib + "/good" + std::to_string(i) + ".wav");
  WriteText(lib + "/truncated.wav", ReadFile(good).substr(0, 30));
  WriteText(lib + "/renamed.mp3", "just some text\n");
  WriteText(lib + "/empty.flac", "");
  std::filesystem::create_directories(lib + "/folder.wav");
  // Root reads any file: there, a sixth kind of junk stands in for the unreadable one.
  const std::string fifth = ::geteuid() == 0 ? "junk.ogg" : "unreadable.wav";
  if (::geteuid() == 0) {
    WriteText(lib + "/" + fifth, std::string("OggS") + std::string(200, '\x7f'));
  } else {
    std::filesystem::copy_file(good, lib + "/" + fifth);
    std::filesystem::permissions(lib + "/" + fifth, std::filesystem::perms::none);
  }
  const CliRun run = Cli("-j 2 --format mp3 -o " + Quote(dir_.File("out")) + " " + Quote(lib));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("20 done, 0 skipped, 5 failed"), std::string::npos) << run.err;
  const std::string failures = run.err.substr(run.err.find("failed:"));
  for (const std::string& bad : {std::string("truncated.wav: "), std::string("renamed.mp3: "), std::string("empty.flac: "),
                                 std::string("folder.wav: is a folder"), fifth + ": "})
    EXPECT_NE(failures.find(bad), std::string::npos) << bad << "\n" << run.err;
  EXPECT_EQ(Entries(dir_.File("out") + "/mixed").size(), 20u);
  EXPECT_TRUE(JobTempFiles().empty());
}

// An interrupt stops every running job with its clean-up and starts no other: the status is 1 and no
// temporary file or half-written destination is left (a file done before it stays, whole).
TEST_F(CliTest, BatchInterruptStopsEveryJobAndCleansUp) {
  const std::string lib = dir_.File("long");
  std::filesystem::create_directories(lib);
  const std::string song = Song("song.wav", 44100 * 60);
  for (int i = 0; i < 4; ++i) std::filesystem::copy_file(song, lib + "/s" + std::to_string(i) + ".wav");
  const std::string out = dir_.File("out");
  const pid_t child = Spawn({"--precision", "4", "-j", "2", "--format", "flac", "-o", out, lib}, dir_.File("err.txt"));
  ASSERT_TRUE(WaitUntil([&] { return JobTempFiles().size() >= 2; }));
  EXPECT_EQ(Interrupt(child), 1);
  const std::string err = ReadFile(dir_.File("err.txt"));
  EXPECT_NE(err.find("not started"), std::string::npos) << err;
  EXPECT_NE(err.find("stopped by SIGINT"), std::string::npos) << err;
  // A job that was done before the signal keeps its file, which is whole; no work file is left.
  const auto made = Entries(out + "/long");
  EXPECT_LT(made.size(), 4u);
  for (const std::string& file : made) {
    EXPECT_NE(std::filesystem::path(file).filename().string().front(), '.') << file;
    EXPECT_EQ(std::system(("flac -s -t " + Quote(file)).c_str()), 0) << file;
  }
  EXPECT_TRUE(JobTempFiles().empty());
}

}  // namespace
}  // namespace merolune
