// The job from source file to destination: formats, lengths, chunks, cancel, errors and clean-up.

#include "ReductionJob.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <functional>
#include <thread>

#include "Exception.h"
#include "Reference.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::Chunk;
using test::MakeWav;
using test::ReadBytes;
using test::ReadResultWav;
using test::SampleBytes;
using test::TempDir;
using test::WavSpec;
using test::WriteBytes;

// A host that records what the job asked and told, with the request the test chooses.
class RecordingHost : public JobProgress, public JobQuestions, public JobMonitor {
 public:
  JobRequest request = [] {
    JobRequest r;
    r.BlockSize = 2048;
    return r;
  }();
  bool overwrite = true;
  bool soundAvailable = false;
  std::function<void()> onPump;
  std::function<void()> onProgress;
  std::function<void(EncoderSettings&)> onChooseEncoder;

  std::vector<std::string> errors;
  int overwriteQuestions = 0;
  int pumps = 0;
  int locks = 0, unlocks = 0;
  std::vector<bool> playEnabled;
  std::vector<std::string> phases;
  std::vector<FileFormat> encoderPages;

  void PumpMessages() override {
    ++pumps;
    if (onPump) onPump();
  }
  void ShowError(const std::string& message) override { errors.push_back(message); }
  bool ConfirmOverwrite(const std::string&) override {
    ++overwriteQuestions;
    return overwrite;
  }
  void ChooseEncoderSettings(FileFormat format, EncoderSettings& settings) override {
    encoderPages.push_back(format);
    if (onChooseEncoder) onChooseEncoder(settings);
  }
  void LockControls() override { ++locks; }
  void UnlockControls() override { ++unlocks; }
  bool RenewStream(std::uint32_t) override { return soundAvailable; }
  void SetPlayEnabled(bool enabled) override { playEnabled.push_back(enabled); }
  void SetProgress(std::uint64_t, std::uint64_t, std::uint64_t maximum) override {
    if (onProgress && maximum > 0) onProgress();
  }
  void BeginConversion(ConversionPhase p) override {
    phases.push_back(p == ConversionPhase::Decoding ? "begin-decode" : "begin-encode");
  }
  void EndConversion(ConversionPhase p) override {
    phases.push_back(p == ConversionPhase::Decoding ? "end-decode" : "end-encode");
  }
};

// Each test gets its own temporary directory, which also serves as $TMPDIR so that the job's
// temporary files can be counted.
class ReductionJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    if (old) oldTmp_ = old;
    ::setenv("TMPDIR", tmp_.Path().c_str(), 1);
  }
  void TearDown() override {
    if (oldTmp_.empty()) ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", oldTmp_.c_str(), 1);
  }

  int TempFilesLeft() const {
    int count = 0;
    for (const auto& e : std::filesystem::directory_iterator(tmp_.Path()))
      if (e.path().filename().string().rfind("cc", 0) == 0) ++count;
    return count;
  }

  std::string Write(const std::string& name, const WavSpec& wav) {
    const std::string path = dir_.File(name);
    WriteBytes(path, MakeWav(wav));
    return path;
  }

  static WavSpec Stereo16(const std::vector<std::int16_t>& samples, std::uint32_t rate = 44100) {
    WavSpec wav;
    wav.SampleRate = rate;
    wav.Data = SampleBytes(samples);
    return wav;
  }

  TempDir dir_;
  TempDir tmp_;
  RecordingHost host_;
  std::string oldTmp_;
};

std::size_t MaxDifference(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b) {
  EXPECT_EQ(a.size(), b.size());
  std::size_t worst = 0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    worst = std::max<std::size_t>(worst, static_cast<std::size_t>(std::abs(a[i] - b[i])));
  return worst;
}

TEST_F(ReductionJobTest, ResultMatchesTheLiteralReductionAndHasOneFramePerSourceFrame) {
  for (std::size_t frames : {std::size_t{1}, std::size_t{1000}, std::size_t{4000}, std::size_t{2048 * 5 + 17}}) {
    SCOPED_TRACE(frames);
    const auto samples = test::SongLike(frames, 44100, 7);
    const std::string source = Write("song.wav", Stereo16(samples));
    const std::string destination = dir_.File("out.wav");
    ReductionJob job(host_, host_, host_);
    ASSERT_EQ(job.DoReduce(source, destination, host_.request), JobResult::Completed);
    const auto result = ReadResultWav(destination, 44100);
    EXPECT_EQ(result.size(), samples.size());
    EXPECT_LE(MaxDifference(result, test::ReferenceReduce(samples, 2048, host_.request.Settings, 44100)), 1u);
  }
}

TEST_F(ReductionJobTest, EightBitSourceIsWidenedToSixteenBits) {
  std::vector<std::uint8_t> bytes;
  const auto wide = test::SongLike(5000, 22050, 3);
  std::vector<std::int16_t> widened;
  for (std::int16_t s : wide) {
    const auto b = static_cast<std::uint8_t>(std::clamp(s / 256 + 128, 0, 255));
    bytes.push_back(b);
    widened.push_back(static_cast<std::int16_t>((b - 128) * 256));
  }
  WavSpec wav;
  wav.BitsPerSample = 8;
  wav.SampleRate = 22050;
  wav.Data = bytes;
  const std::string destination = dir_.File("out.wav");
  ReductionJob job(host_, host_, host_);
  ASSERT_EQ(job.DoReduce(Write("eight.wav", wav), destination, host_.request), JobResult::Completed);
  const auto result = ReadResultWav(destination, 22050);
  EXPECT_EQ(result.size(), widened.size());
  EXPECT_LE(MaxDifference(result, test::ReferenceReduce(widened, 2048, host_.request.Settings, 22050)), 1u);
  EXPECT_EQ(job.SourceFormat().DataSize, widened.size() * 2);
}

TEST_F(ReductionJobTest, OnlyTheDataChunkIsAudio) {
  const auto samples = test::SongLike(3000, 44100, 11);
  WavSpec wav = Stereo16(samples);
  wav.FormatTag = 1;
  wav.FormatChunkSize = 18;
  // A chunk larger than half a block before the data, and tags after it.
  wav.Before.push_back({"LIST", std::vector<std::uint8_t>(4 * 2048 + 13, 0x55)});
  wav.After.push_back({"LIST", std::vector<std::uint8_t>(999, 0x7f)});
  wav.After.push_back({"id3 ", std::vector<std::uint8_t>(128, 0x33)});
  const std::string destination = dir_.File("out.wav");
  ReductionJob job(host_, host_, host_);
  ASSERT_EQ(job.DoReduce(Write("tagged.wav", wav), destination, host_.request), JobResult::Completed);
  const auto result = ReadResultWav(destination, 44100);
  EXPECT_LE(MaxDifference(result, test::ReferenceReduce(samples, 2048, host_.request.Settings, 44100)), 1u);
}

TEST_F(ReductionJobTest, DataSizeThatIsZeroOrTooLargeReadsToTheEndOfTheFile) {
  const auto samples = test::SongLike(2500, 44100, 5);
  for (std::uint32_t stored : {0u, 0xFFFFFFF0u, static_cast<std::uint32_t>(samples.size() * 2 + 400)}) {
    SCOPED_TRACE(stored);
    WavSpec wav = Stereo16(samples);
    wav.DataSizeField = stored;
    wav.Data.push_back(0x12);  // a trailing partial frame, ignored
    const std::string destination = dir_.File("out.wav");
    ReductionJob job(host_, host_, host_);
    ASSERT_EQ(job.DoReduce(Write("sized.wav", wav), destination, host_.request), JobResult::Completed);
    const auto result = ReadResultWav(destination, 44100);
    EXPECT_LE(MaxDifference(result, test::ReferenceReduce(samples, 2048, host_.request.Settings, 44100)), 1u);
  }
}

TEST_F(ReductionJobTest, EmptyOrMissingDataGivesAnEmptyResult) {
  WavSpec empty;
  WavSpec none;
  none.WithData = false;
  // Less than a frame of data, with tags after it that must not be taken for audio.
  WavSpec partial;
  partial.Data = {1, 2};
  partial.After.push_back({"LIST", std::vector<std::uint8_t>(4000, 0x40)});
  for (const WavSpec* wav : {&empty, &none, &partial}) {
    const std::string destination = dir_.File("out.wav");
    ReductionJob job(host_, host_, host_);
    ASSERT_EQ(job.DoReduce(Write("empty.wav", *wav), destination, host_.request), JobResult::Completed);
    EXPECT_EQ(ReadBytes(destination).size(), 44u);
    EXPECT_TRUE(ReadResultWav(destination, 44100).empty());
  }
}

TEST_F(ReductionJobTest, ExtensibleSourceGivesAPlainPcmResultThatPeersRead) {
  const auto samples = test::SongLike(3000, 48000, 12);
  const WavSpec wav = test::Extensible(Stereo16(samples, 48000), 1);
  const std::string destination = dir_.File("out.wav");
  ReductionJob job(host_, host_, host_);
  ASSERT_EQ(job.DoReduce(Write("extensible.wav", wav), destination, host_.request), JobResult::Completed);
  EXPECT_EQ(ReadResultWav(destination, 48000, 1).size(), samples.size());
  if (std::system("command -v soxi > /dev/null") != 0) GTEST_SKIP() << "soxi missing";
  const std::string command = "soxi -s " + destination + " > " + dir_.File("soxi.txt") + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::vector<std::uint8_t> text = ReadBytes(dir_.File("soxi.txt"));
  EXPECT_EQ(std::stoul(std::string(text.begin(), text.end())), 3000u);
}

TEST_F(ReductionJobTest, BypassAllCopiesTheSourceByteForByte) {
  WavSpec wav = Stereo16(test::SongLike(3000, 48000, 2), 48000);
  wav.After.push_back({"LIST", std::vector<std::uint8_t>(31, 1)});
  host_.request.BypassAll = true;
  const std::string source = Write("song.wav", wav);
  const std::string destination = dir_.File("copy.wav");
  ReductionJob job(host_, host_, host_);
  ASSERT_EQ(job.DoReduce(source, destination, host_.request), JobResult::Completed);
  EXPECT_EQ(ReadBytes(destination), ReadBytes(source));
}

TEST_F(ReductionJobTest, ExtensionsAreCaseBlindAndUnknownDestinationsGetTheWav) {
  const auto samples = test::SongLike(1500, 44100, 9);
  const std::string source = Write("SONG.WAV", Stereo16(samples));
  const std::string destination = dir_.File("sub/dir/result.karaoke");
  ReductionJob job(host_, host_, host_);
  ASSERT_EQ(job.DoReduce(source, destination, host_.request), JobResult::Completed);
  EXPECT_EQ(ReadResultWav(destination, 44100).size(), samples.size());
  EXPECT_EQ(FormatFromExtension("a.Flac"), FileFormat::Flac);
  EXPECT_EQ(FormatFromExtension("a.wav.bak"), FileFormat::Unknown);
  EXPECT_EQ(FormatFromExtension("noext"), FileFormat::Unknown);
}

TEST_F(ReductionJobTest, CancelAfterABlockLeavesAValidPartialResultAndNoDestination) {
  const auto samples = test::SongLike(2048 * 6, 44100, 4);
  int blocks = 0;
  ReductionJob job(host_, host_, host_);
  // Progress is reported once per block, just before the job looks for a cancel request.
  host_.onProgress = [&] {
    if (++blocks == 3) job.RequestCancel();
  };
  const std::string destination = dir_.File("out.wav");
  ASSERT_EQ(job.DoReduce(Write("song.wav", Stereo16(samples)), destination, host_.request), JobResult::Cancelled);
  EXPECT_FALSE(std::filesystem::exists(destination));
  const auto partial = ReadResultWav(job.LastOutputTempFile(), 44100);
  EXPECT_EQ(partial.size(), 2u * 1024 * 3);
  EXPECT_EQ(host_.unlocks, 1);
}

TEST_F(ReductionJobTest, OverwriteIsAskedAndNoLeavesEverythingAsItWas) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(1000, 44100, 1)));
  const std::string destination = dir_.File("out.wav");
  WriteBytes(destination, {1, 2, 3});
  host_.overwrite = false;
  {
    ReductionJob job(host_, host_, host_);
    EXPECT_EQ(job.DoReduce(source, destination, host_.request), JobResult::NotStarted);
  }
  EXPECT_EQ(host_.overwriteQuestions, 1);
  EXPECT_EQ(ReadBytes(destination), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(host_.locks, 0);
  EXPECT_EQ(TempFilesLeft(), 0);
  host_.overwrite = true;
  ReductionJob job(host_, host_, host_);
  EXPECT_EQ(job.DoReduce(source, destination, host_.request), JobResult::Completed);
  EXPECT_EQ(ReadResultWav(destination, 44100).size(), 2000u);
}

TEST_F(ReductionJobTest, PlayIsOfferedOnlyAfterTenSecondsOfOutputWithSound) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(8000 * 12, 8000, 6), 8000));
  host_.soundAvailable = true;
  ReductionJob job(host_, host_, host_);
  ASSERT_EQ(job.DoReduce(source, dir_.File("out.wav"), host_.request), JobResult::Completed);
  // 1024 frames per block at 8000 Hz: more than 80000 frames after block 79.
  ASSERT_EQ(host_.playEnabled.size(), 94u);
  for (std::size_t i = 0; i < host_.playEnabled.size(); ++i) EXPECT_EQ(host_.playEnabled[i], i >= 78) << i;
  host_.soundAvailable = false;
  host_.playEnabled.clear();
  ASSERT_EQ(job.DoReduce(source, dir_.File("out.wav"), host_.request), JobResult::Completed);
  for (bool enabled : host_.playEnabled) EXPECT_FALSE(enabled);
}

TEST_F(ReductionJobTest, LatestResultStaysUntilTheNextJobAndGoesWithTheJob) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(1000, 44100, 1)));
  std::string first;
  {
    ReductionJob job(host_, host_, host_);
    ASSERT_EQ(job.DoReduce(source, dir_.File("a.wav"), host_.request), JobResult::Completed);
    first = job.LastOutputTempFile();
    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_EQ(TempFilesLeft(), 1);
    ASSERT_EQ(job.DoReduce(source, dir_.File("b.wav"), host_.request), JobResult::Completed);
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_TRUE(std::filesystem::exists(job.LastOutputTempFile()));
    EXPECT_EQ(TempFilesLeft(), 1);
  }
  EXPECT_EQ(TempFilesLeft(), 0);
}

struct BadSource {
  const char* name;
  std::function<std::vector<std::uint8_t>()> bytes;
  std::string message;
};

class ReductionJobRefusesTest : public ReductionJobTest, public ::testing::WithParamInterface<BadSource> {};

TEST_P(ReductionJobRefusesTest, WithItsMessageAndLeavesNothingBehind) {
  const std::string source = dir_.File(std::string(GetParam().name) + ".wav");
  WriteBytes(source, GetParam().bytes());
  const std::string destination = dir_.File("out.wav");
  {
    ReductionJob job(host_, host_, host_);
    try {
      job.DoReduce(source, destination, host_.request);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.what(), GetParam().message);
    }
  }
  EXPECT_EQ(host_.locks, host_.unlocks);
  EXPECT_FALSE(std::filesystem::exists(destination));
  EXPECT_EQ(TempFilesLeft(), 0);
}

WavSpec With(std::function<void(WavSpec&)> change) {
  WavSpec wav;
  wav.Data = SampleBytes(std::vector<std::int16_t>(400, 100));
  change(wav);
  return wav;
}

INSTANTIATE_TEST_SUITE_P(
    BadHeaders, ReductionJobRefusesTest,
    ::testing::Values(
        BadSource{"not_riff", [] { return std::vector<std::uint8_t>(100, 'x'); }, kNotWav},
        BadSource{"empty_file", [] { return std::vector<std::uint8_t>(); }, kNotWav},
        BadSource{"truncated_header", [] { return std::vector<std::uint8_t>{'R', 'I', 'F', 'F', 4, 0}; }, kNotWav},
        BadSource{"rifx", [] { return MakeWav(With([](WavSpec& s) { s.RiffId = "RIFX"; })); }, kNotWav},
        BadSource{"rf64", [] { return MakeWav(With([](WavSpec& s) { s.RiffId = "RF64"; })); }, kNotWav},
        BadSource{"no_fmt", [] { return MakeWav(With([](WavSpec& s) { s.WithFormat = false; })); }, kNotWav},
        // Codings other than PCM, refused before anything reads their bytes as samples.
        BadSource{"mu_law", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 7, s.BitsPerSample = 8; })); },
                  std::string(kNotPcm) + "µ-law (format tag 0x0007)"},
        BadSource{"a_law", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 6, s.BitsPerSample = 8; })); },
                  std::string(kNotPcm) + "A-law (format tag 0x0006)"},
        BadSource{"tag_0", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 0; })); },
                  std::string(kNotPcm) + "unknown coding (format tag 0x0000)"},
        BadSource{"ms_adpcm", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 2; })); },
                  std::string(kNotPcm) + "Microsoft ADPCM (format tag 0x0002)"},
        BadSource{"float", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 3, s.BitsPerSample = 32; })); },
                  std::string(kNotPcm) + "IEEE float (format tag 0x0003)"},
        BadSource{"ima_adpcm", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 0x11; })); },
                  std::string(kNotPcm) + "IMA ADPCM (format tag 0x0011)"},
        BadSource{"mpeg_layer3", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 0x55; })); },
                  std::string(kNotPcm) + "MPEG layer 3 (format tag 0x0055)"},
        BadSource{"wma", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 0x161; })); },
                  std::string(kNotPcm) + "Windows Media Audio (format tag 0x0161)"},
        BadSource{"tag_ffff", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 0xFFFF; })); },
                  std::string(kNotPcm) + "unknown coding (format tag 0xFFFF)"},
        BadSource{"extensible_float", [] { return MakeWav(test::Extensible(With([](WavSpec& s) { s.BitsPerSample = 32; }), 3)); },
                  std::string(kNotPcm) + "IEEE float (WAVE_FORMAT_EXTENSIBLE, sub-format 0x0003)"},
        BadSource{"extensible_without_subformat", [] { return MakeWav(With([](WavSpec& s) { s.FormatTag = 0xFFFE, s.FormatChunkSize = 40; })); },
                  std::string(kNotPcm) + "WAVE_FORMAT_EXTENSIBLE without a known sub-format"},
        BadSource{"fmt_size_14", [] { return MakeWav(With([](WavSpec& s) { s.FormatChunkSize = 14; })); },
                  kShortFormatChunk},
        BadSource{"mono", [] { return MakeWav(With([](WavSpec& s) { s.Channels = 1; })); }, kMonoSource},
        BadSource{"six_channels", [] { return MakeWav(With([](WavSpec& s) { s.Channels = 6; })); },
                  std::string(kNotStereo) + ": このファイルは 6 チャンネルです（2 チャンネルのステレオだけに対応しています）"},
        BadSource{"bits_24", [] { return MakeWav(With([](WavSpec& s) { s.BitsPerSample = 24; })); },
                  kUnsupportedBits},
        BadSource{"bits_32", [] { return MakeWav(With([](WavSpec& s) { s.BitsPerSample = 32; })); },
                  kUnsupportedBits},
        BadSource{"rate_0", [] { return MakeWav(With([](WavSpec& s) { s.SampleRate = 0; })); }, kZeroSampleRate}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ReductionJobTest, MissingSourceAndUnsupportedFormatsAreShownNotThrown) {
  const std::string wav = Write("song.wav", Stereo16(test::SongLike(500, 44100, 1)));
  const std::string mp3 = dir_.File("song.mp3");
  WriteBytes(mp3, {0xFF, 0xFB, 0x90, 0x00});
  const std::string xyz = dir_.File("song.xyz");
  WriteBytes(xyz, MakeWav(Stereo16(test::SongLike(500, 44100, 1))));
  struct Case {
    std::string source, destination;
    const char* message;
  };
  for (const Case& c : {Case{dir_.File("missing.wav"), dir_.File("out.wav"), kSourceMissing},
                        Case{xyz, dir_.File("out.wav"), kUnsupportedFormat},
                        Case{mp3, dir_.File("out.wav"), kUnsupportedFormat},
                        Case{wav, dir_.File("out.flac"), kUnsupportedFormat}}) {
    SCOPED_TRACE(c.source + " -> " + c.destination);
    host_.errors.clear();
    {
      ReductionJob job(host_, host_, host_);
      EXPECT_EQ(job.DoReduce(c.source, c.destination, host_.request), JobResult::NotStarted);
    }
    EXPECT_EQ(host_.errors, std::vector<std::string>{c.message});
    EXPECT_FALSE(std::filesystem::exists(c.destination));
    EXPECT_EQ(host_.locks, host_.unlocks);
    EXPECT_EQ(TempFilesLeft(), 0);
  }
}

TEST_F(ReductionJobTest, UnwritableDestinationsFailWithAClearMessage) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(3000, 44100, 1)));
  WriteBytes(dir_.File("plain"), {0});
  const std::string cannot = kCannotWriteDestination;
  struct Case {
    std::string destination;
    std::string message;
    bool beforeWork;  // refused with the job's own box before any temporary file
  };
  for (const Case& c : {
           Case{dir_.File("plain/out.wav"), cannot + dir_.File("plain/out.wav") + " (Not a directory)", true},
           Case{dir_.File("plain/deeper/out.wav"), cannot + dir_.File("plain/deeper/out.wav") + " (Not a directory)", true},
           Case{dir_.Path(), cannot + dir_.Path() + " (Is a directory)", true},
           Case{dir_.File("song.wav/"), cannot + dir_.File("song.wav/") + " (Is a directory)", true},
           Case{"", kNoDestination, true},
           Case{dir_.File(std::string(256, 'n') + ".wav"),
                cannot + dir_.File(std::string(256, 'n') + ".wav") + " (File name too long)", true},
           Case{"/dev/full", "ファイルに書き込めません: /dev/full (No space left on device)", false}}) {
    SCOPED_TRACE(c.destination);
    host_.errors.clear();
    std::string message;
    {
      ReductionJob job(host_, host_, host_);
      try {
        const JobResult result = job.DoReduce(source, c.destination, host_.request);
        EXPECT_EQ(result, c.beforeWork ? JobResult::NotStarted : JobResult::Completed);
        if (!host_.errors.empty()) message = host_.errors.front();
      } catch (const Exception& e) {
        EXPECT_FALSE(c.beforeWork);
        message = e.what();
      }
      EXPECT_EQ(host_.locks, host_.unlocks);
    }
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(TempFilesLeft(), 0);
  }
  for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("plain/deeper")));
}

TEST_F(ReductionJobTest, ReplacingADestinationKeepsItsLinkAndNeverLeavesItHalfWritten) {
  const auto samples = test::SongLike(1200, 44100, 8);
  const std::string source = Write("song.wav", Stereo16(samples));
  const std::string target = dir_.File("target.wav");
  WriteBytes(target, {9, 9, 9});
  const std::string link = dir_.File("link.wav");
  std::filesystem::create_symlink(target, link);
  ReductionJob job(host_, host_, host_);
  ASSERT_EQ(job.DoReduce(source, link, host_.request), JobResult::Completed);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadResultWav(target, 44100).size(), samples.size());
}

// A converter whose encodings write `bytes` to the file they are given and then do what the test
// asks: finish, fail, or stop as a cancel does.
class ScriptedConverter : public FormatConverter {
 public:
  enum class Ending { Finish, Fail, Cancel };
  Ending ending = Ending::Finish;
  // The encodings before this one finish whatever `ending` says.
  std::size_t endingFrom = 0;
  std::vector<std::uint8_t> bytes{'e', 'n', 'c', 'o', 'd', 'e', 'd'};
  ReductionJob* job = nullptr;
  std::vector<double> progress;
  std::vector<std::pair<FileFormat, EncoderSettings>> encoded;

  void Decode(FileFormat, const std::string&, const std::string&, ConversionObserver*) override {
    throw Exception("no decoding here");
  }
  void Encode(FileFormat format, const std::string&, const std::string& destination,
              const EncoderSettings& settings, ConversionObserver* observer) override {
    encoded.push_back({format, settings});
    WriteBytes(destination, bytes);
    observer->Progress(0.5);
    if (encoded.size() <= endingFrom) return;
    if (ending == Ending::Fail) throw Exception("encoder failed");
    if (ending == Ending::Cancel) {
      job->RequestCancel();
      if (observer->StopRequested()) throw EAbort();
    }
  }
};

// Whatever the format, a failed or cancelled encoding (or copy) leaves the old destination as it was
// and nothing beside it.
TEST_F(ReductionJobTest, FailedOrCancelledEncodingsKeepTheOldDestination) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(3000, 44100, 3)));
  const std::vector<std::uint8_t> old{'o', 'l', 'd', 0, 1, 2};
  for (const char* ext : {".wav", ".mp3", ".ogg", ".flac", ".wma"}) {
    for (const auto ending : {ScriptedConverter::Ending::Fail, ScriptedConverter::Ending::Cancel}) {
      SCOPED_TRACE(std::string(ext) + (ending == ScriptedConverter::Ending::Fail ? " fail" : " cancel"));
      const std::string destination = dir_.File(std::string("out") + ext);
      WriteBytes(destination, old);
      ScriptedConverter converter;
      converter.ending = ending;
      ReductionJob job(host_, host_, host_, &converter);
      converter.job = &job;
      // A plain copy has no encoder to fail: a write error or a cancel comes from the copy itself.
      const bool wav = std::string(ext) == ".wav";
      if (wav && ending == ScriptedConverter::Ending::Fail) continue;
      if (wav) host_.onProgress = [&job] { job.RequestCancel(); };
      if (ending == ScriptedConverter::Ending::Fail) {
        EXPECT_THROW(job.DoReduce(source, destination, host_.request), Exception);
      } else {
        EXPECT_EQ(job.DoReduce(source, destination, host_.request), JobResult::Cancelled);
      }
      host_.onProgress = nullptr;
      EXPECT_EQ(ReadBytes(destination), old);
      EXPECT_EQ(host_.locks, host_.unlocks);
      for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        EXPECT_EQ(e.path().filename().string().rfind("out", 0) == 0 || e.path().filename() == "song.wav", true)
            << e.path();
      EXPECT_EQ(TempFilesLeft(), 1) << "only the latest result";
    }
  }
}

// Vocals that cannot be the karaoke's complement, or cannot be written, end the job before any work
// with their message, and nothing is made.
TEST_F(ReductionJobTest, VocalsThatCannotBeMadeOrWrittenAreRefusedBeforeAnyWork) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(3000, 44100, 1)));
  WriteBytes(dir_.File("plain"), {0});
  const std::string destination = dir_.File("out.wav"), link = dir_.File("link.wav");
  std::filesystem::create_symlink(destination, link);
  struct Case {
    std::function<void(JobRequest&)> change;
    std::string message;
  };
  for (const Case& c :
       {Case{[](JobRequest& r) { r.Settings.Inverse = true; }, kVocalsWithInverse},
        Case{[](JobRequest& r) { r.Settings.KeySemitones = -3; }, kVocalsWithKeyChange},
        Case{[&](JobRequest& r) { r.VocalsDestination = link; }, kVocalsSameAsDestination + link},
        Case{[&](JobRequest& r) { r.VocalsDestination = dir_.File("plain/v.wav"); },
             kCannotWriteDestination + dir_.File("plain/v.wav") + " (Not a directory)"},
        Case{[&](JobRequest& r) { r.VocalsDestination = dir_.File("v.mp3"); }, kUnsupportedFormat}}) {
    SCOPED_TRACE(c.message);
    host_.errors.clear();
    JobRequest request = host_.request;
    request.VocalsDestination = dir_.File("vocals.wav");
    c.change(request);
    {
      ReductionJob job(host_, host_, host_);
      EXPECT_EQ(job.DoReduce(source, destination, request), JobResult::NotStarted);
    }
    EXPECT_EQ(host_.errors, std::vector<std::string>{c.message});
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_FALSE(std::filesystem::exists(request.VocalsDestination));
    EXPECT_EQ(host_.locks, 0);
    EXPECT_EQ(TempFilesLeft(), 0);
  }
}

// The vocals go the karaoke's way in their own format: each coded format's settings are asked once
// and each encoding has its banner; both files are put in place only once both are complete, so a
// failed or cancelled encoding of either leaves both old files as they were.
TEST_F(ReductionJobTest, VocalsAreEncodedLikeTheKaraokeAndPutInPlaceOnlyWithIt) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(3000, 44100, 3)));
  const std::vector<std::uint8_t> old{'o', 'l', 'd'};
  const std::string destination = dir_.File("out.mp3");
  using Ending = ScriptedConverter::Ending;
  struct Case {
    const char* vocals;
    Ending ending;
    std::size_t endingFrom;  // 0: the karaoke's encoding ends so, 1: the vocals'
    std::vector<FileFormat> pages;
  };
  for (const Case& c : {Case{"v.mp3", Ending::Finish, 0, {FileFormat::Mp3}},
                        Case{"v.ogg", Ending::Finish, 0, {FileFormat::Mp3, FileFormat::Ogg}},
                        Case{"v.ogg", Ending::Fail, 0, {FileFormat::Mp3, FileFormat::Ogg}},
                        Case{"v.ogg", Ending::Fail, 1, {FileFormat::Mp3, FileFormat::Ogg}},
                        Case{"v.ogg", Ending::Cancel, 0, {FileFormat::Mp3, FileFormat::Ogg}},
                        Case{"v.ogg", Ending::Cancel, 1, {FileFormat::Mp3, FileFormat::Ogg}}}) {
    SCOPED_TRACE(testing::Message() << c.vocals << " ending " << static_cast<int>(c.ending) << " from "
                                    << c.endingFrom);
    host_.request.VocalsDestination = dir_.File(c.vocals);
    host_.encoderPages.clear();
    host_.phases.clear();
    WriteBytes(destination, old);
    WriteBytes(host_.request.VocalsDestination, old);
    ScriptedConverter converter;
    converter.ending = c.ending;
    converter.endingFrom = c.endingFrom;
    ReductionJob job(host_, host_, host_, &converter);
    converter.job = &job;
    JobResult result = JobResult::NotStarted;
    try {
      result = job.DoReduce(source, destination, host_.request);
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.what()), "encoder failed");
    }
    const bool finished = c.ending == Ending::Finish;
    EXPECT_EQ(result, finished                      ? JobResult::Completed
                      : c.ending == Ending::Cancel ? JobResult::Cancelled
                                                  : JobResult::NotStarted);
    EXPECT_EQ(host_.encoderPages, c.pages);
    const auto encodings = std::count(host_.phases.begin(), host_.phases.end(), "begin-encode");
    EXPECT_EQ(encodings, finished ? 2 : c.endingFrom + 1);
    EXPECT_EQ(ReadBytes(destination), finished ? converter.bytes : old);
    EXPECT_EQ(ReadBytes(host_.request.VocalsDestination), finished ? converter.bytes : old);
    EXPECT_EQ(host_.locks, host_.unlocks);
    EXPECT_EQ(TempFilesLeft(), 1) << "only the latest result";
  }
}

// The encoder receives the request's settings, as the questions leave them after being asked for
// the destination's format; a WAV destination asks nothing.
TEST_F(ReductionJobTest, TheEncoderReceivesTheRequestsSettingsAsTheQuestionsLeaveThem) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(3000, 44100, 5)));
  ScriptedConverter converter;
  ReductionJob job(host_, host_, host_, &converter);
  host_.request.Encoder.Mp3Kbps = 320;
  host_.request.Encoder.OggQuality = -0.1;
  ASSERT_EQ(job.DoReduce(source, dir_.File("a.mp3"), host_.request), JobResult::Completed);
  host_.onChooseEncoder = [](EncoderSettings& settings) { settings.OggQuality = 1.0; };
  ASSERT_EQ(job.DoReduce(source, dir_.File("b.ogg"), host_.request), JobResult::Completed);
  ASSERT_EQ(job.DoReduce(source, dir_.File("c.wav"), host_.request), JobResult::Completed);

  EXPECT_EQ(host_.encoderPages, (std::vector<FileFormat>{FileFormat::Mp3, FileFormat::Ogg}));
  ASSERT_EQ(converter.encoded.size(), 2u);
  EXPECT_EQ(converter.encoded[0].first, FileFormat::Mp3);
  EXPECT_EQ(converter.encoded[0].second.Mp3Kbps, 320);
  EXPECT_DOUBLE_EQ(converter.encoded[0].second.OggQuality, -0.1);
  EXPECT_EQ(converter.encoded[1].first, FileFormat::Ogg);
  EXPECT_DOUBLE_EQ(converter.encoded[1].second.OggQuality, 1.0);
  EXPECT_EQ(converter.encoded[1].second.Mp3Kbps, 320);
  // The request itself is the caller's and stays as it was.
  EXPECT_DOUBLE_EQ(host_.request.Encoder.OggQuality, -0.1);
}

// One rule for what is at the destination path: a link stays a link and the file it leads to
// (also one yet to be made) receives the result; a pipe receives it as a stream; a name at the
// file-name limit works; a new file takes the old one's permissions.
TEST_F(ReductionJobTest, DestinationsOfEveryKindReceiveTheResultTheSameWay) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(3000, 44100, 4)));
  for (const char* ext : {".wav", ".mp3", ".ogg", ".flac", ".wma"}) {
    SCOPED_TRACE(ext);
    ScriptedConverter converter;
    ReductionJob job(host_, host_, host_, &converter);
    const bool wav = std::string(ext) == ".wav";
    const auto expectResult = [&](const std::string& path) {
      if (wav) {
        EXPECT_EQ(ReadResultWav(path, 44100).size(), 6000u);
      } else {
        EXPECT_EQ(ReadBytes(path), converter.bytes);
      }
    };
    const TempDir place;

    const std::string target = place.File(std::string("target") + ext);
    WriteBytes(target, {1});
    ::chmod(target.c_str(), 0640);
    const std::string link = place.File(std::string("link") + ext);
    std::filesystem::create_symlink(target, link);
    ASSERT_EQ(job.DoReduce(source, link, host_.request), JobResult::Completed);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    expectResult(target);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    const std::string dangling = place.File(std::string("dangling") + ext);
    const std::string missing = place.File(std::string("later/made") + ext);
    std::filesystem::create_symlink(missing, dangling);
    ASSERT_EQ(job.DoReduce(source, dangling, host_.request), JobResult::Completed);
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
    expectResult(missing);

    const std::string longName = place.File(std::string(255 - std::strlen(ext), 'x') + ext);
    ASSERT_EQ(job.DoReduce(source, longName, host_.request), JobResult::Completed);
    expectResult(longName);

    const std::string pipe = place.File(std::string("pipe") + ext);
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::vector<std::uint8_t> received;
    {
      std::jthread reader([&] { received = ReadBytes(pipe); });
      EXPECT_EQ(job.DoReduce(source, pipe, host_.request), JobResult::Completed);
    }
    struct stat pipeStat {};
    ASSERT_EQ(::lstat(pipe.c_str(), &pipeStat), 0);
    EXPECT_TRUE(S_ISFIFO(pipeStat.st_mode));
    EXPECT_EQ(received.size(), wav ? 44u + 12000u : converter.bytes.size());

    ASSERT_EQ(job.DoReduce(source, "/dev/null", host_.request), JobResult::Completed);
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    for (const auto& e : std::filesystem::directory_iterator(place.Path()))
      EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
  }
  EXPECT_EQ(TempFilesLeft(), 0);
}

TEST_F(ReductionJobTest, SourcesThatAreNoRegularFilesAreRefusedAtOnce) {
  const std::string fifo = dir_.File("song.wav");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& source : {fifo, dir_.Path(), std::string("/dev/zero")}) {
    SCOPED_TRACE(source);
    host_.errors.clear();
    ReductionJob job(host_, host_, host_);
    EXPECT_EQ(job.DoReduce(source, dir_.File("out.wav"), host_.request), JobResult::NotStarted);
    EXPECT_EQ(host_.errors, std::vector<std::string>{kSourceNotFile + source});
    EXPECT_EQ(host_.locks, 0);
  }
  EXPECT_EQ(TempFilesLeft(), 0);
}

TEST_F(ReductionJobTest, MissingTemporaryDirectoryFailsCleanly) {
  const std::string source = Write("song.wav", Stereo16(test::SongLike(500, 44100, 1)));
  ::setenv("TMPDIR", dir_.File("no-such-dir").c_str(), 1);
  ReductionJob job(host_, host_, host_);
  EXPECT_THROW(job.DoReduce(source, dir_.File("out.wav"), host_.request), Exception);
  EXPECT_EQ(host_.locks, host_.unlocks);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out.wav")));
}

}  // namespace
}  // namespace merolune
