// libvbmp3.so loaded by name and driven as the conversion service drives it, checked against lame and mpg123.
#include <dlfcn.h>
#include <link.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "PeerTools.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"
#include "vbmp3.h"  // the entry points' types; the symbols themselves come from dlsym

namespace merolune::test {
namespace {

const std::string kLame = MEROLUNE_LAME;
const std::string kMpg123 = MEROLUNE_MPG123;

// The program polls every 10 ms without a time-out; the tests give up after a minute, so that a
// decoding that never ends fails the test instead of hanging it.
constexpr int kPollLimit = 6000;

// The entry points, resolved by name in the library loaded by name. The program loads the library
// again at each decoding and never unloads it; dlopen then hands back the same instance.
struct Vbmp3 {
  decltype(&vbmp3_init) Init = nullptr;
  decltype(&vbmp3_free) Free = nullptr;
  decltype(&vbmp3_open) Open = nullptr;
  decltype(&vbmp3_close) Close = nullptr;
  decltype(&vbmp3_decodeWave) DecodeWave = nullptr;
  decltype(&vbmp3_getState) GetState = nullptr;
  void* Handle = nullptr;
  bool Complete() const { return Init && Free && Open && Close && DecodeWave && GetState; }
};

template <class F>
void Resolve(void* handle, const char* name, F& function) {
  function = reinterpret_cast<F>(dlsym(handle, name));
}

Vbmp3 LoadVbmp3() {
  Vbmp3 lib;
  lib.Handle = dlopen("libvbmp3.so", RTLD_NOW);
  if (!lib.Handle) return lib;
  Resolve(lib.Handle, "vbmp3_init", lib.Init);
  Resolve(lib.Handle, "vbmp3_free", lib.Free);
  Resolve(lib.Handle, "vbmp3_open", lib.Open);
  Resolve(lib.Handle, "vbmp3_close", lib.Close);
  Resolve(lib.Handle, "vbmp3_decodeWave", lib.DecodeWave);
  Resolve(lib.Handle, "vbmp3_getState", lib.GetState);
  return lib;
}

// One MP3 decoding, step by step as the program runs it: init, open with a 272-byte record,
// decodeWave, poll getState every 10 ms while it answers 1, close. False when the library could
// not be used or the decoding never ended.
bool DecodeLikeTheProgram(const std::string& source, const std::string& destination) {
  const Vbmp3 lib = LoadVbmp3();
  if (!lib.Handle || !lib.Complete()) {
    ADD_FAILURE() << "libvbmp3.so: " << (lib.Handle ? "entry point missing" : dlerror());
    return false;
  }
  std::array<std::uint8_t, VBMP3_INFO_SIZE> info{};
  lib.Init();
  lib.Open(source.c_str(), info.data());
  lib.DecodeWave(destination.c_str());
  std::int32_t value = 0;
  int polls = 0;
  while (lib.GetState(&value) == 1) {
    if (++polls > kPollLimit) {
      ADD_FAILURE() << "decoding of " << source << " never ended";
      lib.Close();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  lib.Close();
  return true;
}

// A WAV of a song-like mix, encoded with lame; returns the WAV's frame count.
std::size_t MakeMp3(const TempDir& dir, const std::string& mp3, std::uint32_t rate, double seconds,
                    const std::vector<std::string>& lameOptions, std::uint64_t seed = 7) {
  const std::size_t frames = static_cast<std::size_t>(seconds * rate) + 123;  // not a whole MP3 frame
  const std::string wav = dir.File("original.wav");
  WritePcmWav(wav, SongLike(frames, rate, seed), rate);
  std::vector<std::string> argv = {kLame, "--quiet"};
  argv.insert(argv.end(), lameOptions.begin(), lameOptions.end());
  argv.push_back(wav);
  argv.push_back(mp3);
  EXPECT_EQ(RunTool(argv), 0) << "lame failed";
  std::filesystem::remove(wav);
  return frames;
}

class Vbmp3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolAvailable(kLame)) GTEST_SKIP() << "lame is not installed";
  }
  TempDir dir_;
};

TEST(Vbmp3Library, IsTheOneBuiltHereFoundByItsName) {
  const Vbmp3 lib = LoadVbmp3();
  ASSERT_NE(lib.Handle, nullptr) << dlerror();
  EXPECT_TRUE(lib.Complete());
  link_map* map = nullptr;
  ASSERT_EQ(dlinfo(lib.Handle, RTLD_DI_LINKMAP, &map), 0);
  EXPECT_TRUE(std::filesystem::equivalent(map->l_name, MEROLUNE_VBMP3_FILE)) << map->l_name;
  // Loading it again, as every decoding does, gives the same instance.
  EXPECT_EQ(dlopen("libvbmp3.so", RTLD_NOW), lib.Handle);
}

struct Mp3Case {
  const char* Name;
  std::uint32_t Rate;
  std::vector<std::string> LameOptions;
};

// Test names show the case's name, not its bytes.
void PrintTo(const Mp3Case& c, std::ostream* os) { *os << c.Name; }

class Vbmp3AgainstMpg123 : public ::testing::TestWithParam<Mp3Case> {
 protected:
  void SetUp() override {
    if (!ToolAvailable(kLame)) GTEST_SKIP() << "lame is not installed";
    if (!ToolAvailable(kMpg123)) GTEST_SKIP() << "mpg123 is not installed";
  }
  TempDir dir_;
};

// Both decoders are libmpg123 with gapless trimming from the LAME tag, so they agree sample for
// sample; one LSB is allowed in case the two ever round their 16-bit output differently (the
// command-line tool may convert from a wider format). The length is the original WAV's length.
TEST_P(Vbmp3AgainstMpg123, DecodesLikeMpg123ToTheOriginalsLength) {
  const Mp3Case& c = GetParam();
  const std::string mp3 = dir_.File("song.mp3");
  const std::size_t frames = MakeMp3(dir_, mp3, c.Rate, 3.0, c.LameOptions);
  const std::string ours = dir_.File("ours.wav");
  ASSERT_TRUE(DecodeLikeTheProgram(mp3, ours));
  const std::vector<std::int16_t> decoded = ReadResultWav(ours, c.Rate);
  ASSERT_EQ(RunTool({kMpg123, "-q", "-w", dir_.File("ref.wav"), mp3}), 0);
  const std::optional<PcmAudio> ref = ReadPcmWav(dir_.File("ref.wav"));
  ASSERT_TRUE(ref);
  EXPECT_EQ(ref->SampleRate, c.Rate);

  EXPECT_EQ(decoded.size() / 2, frames) << "not gapless";
  ASSERT_EQ(decoded.size() / 2, ref->Frames());
  // A mono MP3 is spread to both channels.
  int worst = 0;
  std::size_t differing = 0;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const std::size_t frame = i / 2;
    const std::size_t channel = ref->Channels == 1 ? 0 : i % 2;
    const int diff = std::abs(decoded[i] - ref->Samples[frame * ref->Channels + channel]);
    worst = std::max(worst, diff);
    differing += diff != 0;
  }
  EXPECT_LE(worst, 1);
  RecordProperty("DifferingSamples", static_cast<int>(differing));
  ExpectOnlyFiles(dir_.Path(), {"ours.wav", "ref.wav", "song.mp3"});
}

INSTANTIATE_TEST_SUITE_P(LameFiles, Vbmp3AgainstMpg123,
                         ::testing::Values(Mp3Case{"Cbr128At44100", 44100, {"-b", "128"}},
                                           Mp3Case{"VbrAt44100", 44100, {"-V", "2"}},
                                           Mp3Case{"MonoAt44100", 44100, {"-m", "m", "-b", "64"}},
                                           Mp3Case{"Cbr128At32000", 32000, {"-b", "128"}},
                                           Mp3Case{"Cbr128At48000", 48000, {"-b", "128"}}),
                         [](const ::testing::TestParamInfo<Mp3Case>& p) {
                           return std::string(p.param.Name);
                         });

struct BadSource {
  const char* Name;
  std::string Content;
};

void PrintTo(const BadSource& b, std::ostream* os) { *os << b.Name; }

class Vbmp3BadSource : public ::testing::TestWithParam<BadSource> {
 protected:
  TempDir dir_;
};

TEST_P(Vbmp3BadSource, EndsWithoutDestination) {
  const std::string source = dir_.File("bad.mp3");
  WriteBytes(source, std::vector<std::uint8_t>(GetParam().Content.begin(), GetParam().Content.end()));
  ASSERT_TRUE(DecodeLikeTheProgram(source, dir_.File("out.wav")));
  ExpectOnlyFiles(dir_.Path(), {"bad.mp3"});
}

std::string Nonsense() {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "This is a text file with an MP3 name, not audio. ";
  return text;
}

// Bytes with no MPEG frame structure; a fixed seed, so every run sees the same file.
std::string RandomBytes() {
  TestRandom random(20240607);
  std::string bytes(200000, '\0');
  for (char& c : bytes) c = static_cast<char>(random.Next() & 0xFF);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(Files, Vbmp3BadSource,
                         ::testing::Values(BadSource{"Empty", ""}, BadSource{"Text", Nonsense()},
                                           BadSource{"RandomBytes", RandomBytes()}),
                         [](const ::testing::TestParamInfo<BadSource>& p) {
                           return std::string(p.param.Name);
                         });

TEST(Vbmp3Failures, MissingSourceEndsWithoutDestination) {
  TempDir dir;
  ASSERT_TRUE(DecodeLikeTheProgram(dir.File("missing.mp3"), dir.File("out.wav")));
  ExpectOnlyFiles(dir.Path(), {});
}

TEST_F(Vbmp3Test, DestinationInMissingFolderEndsWithoutFile) {
  const std::string mp3 = dir_.File("song.mp3");
  MakeMp3(dir_, mp3, 44100, 1.0, {"-b", "128"});
  ASSERT_TRUE(DecodeLikeTheProgram(mp3, dir_.File("no/such/folder/out.wav")));
  ExpectOnlyFiles(dir_.Path(), {"song.mp3"});
}

// The program's temporary WAV exists (empty) before decoding; a failure leaves it as it was.
TEST(Vbmp3Failures, FailureLeavesExistingDestinationAlone) {
  TempDir dir;
  const std::string source = dir.File("bad.mp3");
  const std::string destination = dir.File("out.wav");
  WriteBytes(source, {'n', 'o', 't', ' ', 'm', 'p', '3'});
  WriteBytes(destination, {'o', 'l', 'd'});
  ASSERT_TRUE(DecodeLikeTheProgram(source, destination));
  EXPECT_EQ(ReadBytes(destination), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  ExpectOnlyFiles(dir.Path(), {"bad.mp3", "out.wav"});
}

TEST_F(Vbmp3Test, SuccessReplacesExistingDestination) {
  const std::string mp3 = dir_.File("song.mp3");
  const std::size_t frames = MakeMp3(dir_, mp3, 44100, 1.0, {"-b", "128"});
  const std::string destination = dir_.File("out.wav");
  WriteBytes(destination, {});
  ASSERT_TRUE(DecodeLikeTheProgram(mp3, destination));
  EXPECT_EQ(ReadResultWav(destination, 44100).size() / 2, frames);
}

// The program loads the library again for every MP3 of a session; successes and failures follow
// each other in one process and each decoding starts afresh.
TEST_F(Vbmp3Test, RepeatedDecodingsInOneProcessGiveTheSameFile) {
  const std::string mp3 = dir_.File("song.mp3");
  MakeMp3(dir_, mp3, 44100, 1.0, {"-b", "160"});
  const std::string bad = dir_.File("bad.mp3");
  WriteBytes(bad, {'x'});
  ASSERT_TRUE(DecodeLikeTheProgram(mp3, dir_.File("first.wav")));
  const std::vector<std::uint8_t> first = ReadBytes(dir_.File("first.wav"));
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    const std::string out = dir_.File("again.wav");
    ASSERT_TRUE(DecodeLikeTheProgram(mp3, out));
    EXPECT_EQ(ReadBytes(out), first);
    std::filesystem::remove(out);
    ASSERT_TRUE(DecodeLikeTheProgram(bad, out));
    EXPECT_FALSE(FileExists(out));
  }
  ExpectOnlyFiles(dir_.Path(), {"bad.mp3", "first.wav", "song.mp3"});
}

// Closing while the decoding runs stops it: the destination is then either missing or, if the
// decoding won the race, complete; never a part of it.
TEST_F(Vbmp3Test, CloseDuringDecodingLeavesNoPartialFile) {
  const std::string mp3 = dir_.File("long.mp3");
  const std::size_t frames = MakeMp3(dir_, mp3, 44100, 20.0, {"-b", "128"});
  const Vbmp3 lib = LoadVbmp3();
  ASSERT_TRUE(lib.Complete());
  const std::string out = dir_.File("out.wav");
  std::array<std::uint8_t, VBMP3_INFO_SIZE> info{};
  lib.Init();
  lib.Open(mp3.c_str(), info.data());
  lib.DecodeWave(out.c_str());
  lib.Close();
  std::int32_t value = 0;
  EXPECT_NE(lib.GetState(&value), 1);
  if (FileExists(out)) {
    EXPECT_EQ(ReadResultWav(out, 44100).size() / 2, frames);
    ExpectOnlyFiles(dir_.Path(), {"long.mp3", "out.wav"});
  } else {
    ExpectOnlyFiles(dir_.Path(), {"long.mp3"});
  }
}

// Busy from the moment decodeWave returns, so the caller's first poll cannot miss the decoding.
TEST_F(Vbmp3Test, StateIsBusyUntilTheFileIsComplete) {
  const std::string mp3 = dir_.File("song.mp3");
  const std::size_t frames = MakeMp3(dir_, mp3, 44100, 2.0, {"-b", "128"});
  const Vbmp3 lib = LoadVbmp3();
  ASSERT_TRUE(lib.Complete());
  const std::string out = dir_.File("out.wav");
  std::array<std::uint8_t, VBMP3_INFO_SIZE> info{};
  lib.Init();
  lib.Open(mp3.c_str(), info.data());
  lib.DecodeWave(out.c_str());
  std::int32_t value = -1;
  int polls = 0;
  while (lib.GetState(&value) == 1) {
    // While busy, the destination name is not yet taken.
    ASSERT_FALSE(FileExists(out));
    ASSERT_LT(++polls, kPollLimit);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(value, 100);
  lib.Close();
  EXPECT_EQ(ReadResultWav(out, 44100).size() / 2, frames);
}

// The record is the caller's 272 bytes; nothing past them is touched.
TEST_F(Vbmp3Test, OpenWritesOnlyTheInformationRecord) {
  const std::string mp3 = dir_.File("song.mp3");
  MakeMp3(dir_, mp3, 44100, 1.0, {"-b", "128"});
  const Vbmp3 lib = LoadVbmp3();
  ASSERT_TRUE(lib.Complete());
  constexpr std::uint8_t kGuard = 0xA5;
  std::vector<std::uint8_t> memory(VBMP3_INFO_SIZE + 64, kGuard);
  lib.Init();
  lib.Open(mp3.c_str(), memory.data());
  lib.Close();
  for (std::size_t i = VBMP3_INFO_SIZE; i < memory.size(); ++i) EXPECT_EQ(memory[i], kGuard) << i;
  lib.Open(dir_.File("missing.mp3").c_str(), memory.data());
  lib.Close();
  for (std::size_t i = VBMP3_INFO_SIZE; i < memory.size(); ++i) EXPECT_EQ(memory[i], kGuard) << i;
}

}  // namespace
}  // namespace merolune::test
