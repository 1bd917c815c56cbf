// The sound module on the fake device: fill requests, writing, volume, the missing device, freeing a
// playing wave, the callback's allocations, channel indices and error codes.

#include "DDSD.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <new>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeSoundDevice.h"

// Allocations made on a thread while it has counting switched on (the rendering thread during Advance).
// The replacements pair malloc with free; GCC, seeing both inlined at a new/delete pair, warns of a
// mismatch that is not one.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
thread_local bool countAllocations = false;
std::atomic<int> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (countAllocations) allocations.fetch_add(1);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace merolune {
namespace {

using test::FakeSoundDevice;
using Bytes = std::vector<std::uint8_t>;

struct Fill {
  std::uint32_t Offset;
  std::uint32_t Size;
  bool operator==(const Fill&) const = default;
};

// Records the fills a wave's notification thread asks for; `Throw` makes the next one fail.
class FillLog {
 public:
  void Attach(TDDSDGenWave& wave) {
    wave.OnFill = [this](TDDSDGenWave&, TDDSDChannel*, std::uint32_t offset, std::uint32_t size) {
      std::lock_guard guard(lock_);
      fills_.push_back({offset, size});
      changed_.notify_all();
      if (throwNext_) {
        throwNext_ = false;
        throw std::runtime_error("fill failed");
      }
    };
  }
  void ThrowNext() {
    std::lock_guard guard(lock_);
    throwNext_ = true;
  }
  // Waits (bounded) until `count` fills have come; true when they did.
  bool WaitFor(std::size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return fills_.size() >= count; });
  }
  std::vector<Fill> Fills() {
    std::lock_guard guard(lock_);
    return fills_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Fill> fills_;
  bool throwNext_ = false;
};

std::size_t ThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// The text of the EDDSD `action` raises; empty when it raises none.
std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDDSD& error) {
    return error.what();
  }
  return {};
}

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(1 + (i * 7 + 3) % 251);
  return bytes;
}

class DDSDTest : public ::testing::Test {
 protected:
  void TearDown() override { dsd.SetDebugOption({TDDSDDebugOption::dsoHaltOnError}); }

  // A streaming wave of `bytes` bytes bound to channel 0 of the opened device, its fills going to `log`.
  std::unique_ptr<TDDSDWaveData> BoundWave(FillLog* log, std::uint32_t bytes = 88200, bool stereo = true,
                                           std::uint16_t bits = 16) {
    EXPECT_TRUE(dsd.Initialize());
    auto wave = std::make_unique<TDDSDWaveData>(dsd, false, bytes, stereo, bits, 44100);
    if (log != nullptr) log->Attach(*wave);
    dsd.setWaveData(0, wave.get());
    return wave;
  }
  // Renders one frame at a time until the play cursor has passed `offset` (0: until it wrapped).
  void AdvancePast(const TDDSDGenWave& wave, std::uint32_t offset) {
    const std::uint32_t from = wave.PlayCursor();
    const auto passed = [&] { const std::uint32_t at = wave.PlayCursor();
      return offset == 0 ? at < from && at > 0 : at > offset; };
    while (!passed()) ASSERT_GT(FakeSoundDevice::Advance(*state, 1), 0u);
  }
  Bytes Played() {
    std::lock_guard guard(state->Lock);
    return state->Played;
  }

  std::shared_ptr<FakeSoundDevice::State> state = std::make_shared<FakeSoundDevice::State>();
  TDDSD dsd{std::make_unique<FakeSoundDevice>(state)};
};

struct HalvesCase {
  std::uint32_t Bytes;
  bool Stereo;
  std::uint16_t Bits;
  Fill Second;
  Fill First;
};

class DDSDHalves : public DDSDTest, public ::testing::WithParamInterface<HalvesCase> {};

// Each fill is awaited before the cursor moves on, as a device's period is short against a half.
TEST_P(DDSDHalves, StartAsksForTheSecondHalfThenHalvesAlternate) {
  const HalvesCase& c = GetParam();
  FillLog log;
  auto wave = BoundWave(&log, c.Bytes, c.Stereo, c.Bits);
  dsd.Play(0, 0);
  FakeSoundDevice::Advance(*state, 1);
  ASSERT_TRUE(log.WaitFor(1));
  for (std::size_t fills = 2; fills <= 5; ++fills) {
    AdvancePast(*wave, fills % 2 == 0 ? wave->Half() : 0);
    ASSERT_TRUE(log.WaitFor(fills)) << "fill " << fills;
  }
  EXPECT_EQ(log.Fills(), (std::vector<Fill>{c.Second, c.First, c.Second, c.First, c.Second}));
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, DDSDHalves,
                         ::testing::Values(HalvesCase{88200, true, 16, {44100, 44100}, {0, 44100}},
                                           HalvesCase{88201, false, 8, {44100, 44101}, {0, 44100}},
                                           HalvesCase{9, false, 8, {4, 5}, {0, 4}}));

TEST_F(DDSDTest, FillThatThrowsDoesNotEndTheNotificationThread) {
  FillLog log;
  log.ThrowNext();
  auto wave = BoundWave(&log);
  dsd.Play(0, 0);
  FakeSoundDevice::Advance(*state, 1);
  ASSERT_TRUE(log.WaitFor(1));
  AdvancePast(*wave, wave->Half());
  EXPECT_TRUE(log.WaitFor(2));
}

struct Region {
  std::size_t Played;  // where in the first pass of the buffer
  std::size_t Data;    // from where in the written data
  std::size_t Length;
};

struct WriteCase {
  std::uint32_t Offset;
  std::uint32_t Size;
  std::vector<Region> Regions;
};

class DDSDWriteBlock : public DDSDTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(DDSDWriteBlock, PlaysTheWrittenBytesWhereTheyWereWritten) {
  const WriteCase& c = GetParam();
  auto wave = BoundWave(nullptr);
  const Bytes data = Pattern(c.Size);
  dsd.WriteBlock(*wave, c.Offset, data.data(), c.Size);
  dsd.Play(0, 0);
  FakeSoundDevice::Advance(*state, 88200 / 4);
  const Bytes played = Played();
  ASSERT_EQ(played.size(), 88200u);
  Bytes expected(88200, 0);
  for (const Region& region : c.Regions)
    std::copy_n(data.begin() + static_cast<long>(region.Data), region.Length,
                expected.begin() + static_cast<long>(region.Played));
  EXPECT_EQ(played, expected);
}

INSTANTIATE_TEST_SUITE_P(Regions, DDSDWriteBlock,
                         ::testing::Values(WriteCase{44100, 44100, {{44100, 0, 44100}}},
                                           WriteCase{87200, 3000, {{87200, 0, 1000}, {0, 1000, 2000}}},
                                           WriteCase{0, 100, {{0, 0, 100}}}));

struct VolumeCase {
  std::int32_t Volume;
  long double Decibels;
};

class DDSDVolume : public DDSDTest, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(DDSDVolume, ScalesSamplesWithinOneStep) {
  const VolumeCase& c = GetParam();
  const std::vector<std::int16_t> samples = {0, 1, -1, 2, -3, 1000, -1000, 12345, -23456, 32767, -32768, 30001};
  Bytes bytes;
  for (std::int16_t sample : samples) {
    const auto bits = static_cast<std::uint16_t>(sample);
    bytes.push_back(static_cast<std::uint8_t>(bits & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
  }
  auto wave = BoundWave(nullptr);
  dsd.WriteBlock(*wave, 0, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  dsd.SetVolume(0, c.Volume);
  EXPECT_EQ(dsd.Channels(0)->Volume(), c.Volume);
  dsd.Play(0, 0);
  FakeSoundDevice::Advance(*state, samples.size() / 2);
  const Bytes played = Played();
  ASSERT_EQ(played.size(), bytes.size());
  if (c.Volume == 0) {
    EXPECT_EQ(played, bytes);
    return;
  }
  const long double factor = std::pow(10.0L, c.Decibels / 20.0L);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto out = static_cast<std::int16_t>(static_cast<std::uint16_t>(played[2 * i] | (played[2 * i + 1] << 8)));
    EXPECT_LE(std::fabs(static_cast<long double>(out) - samples[i] * factor), 1.0L) << "sample " << samples[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, DDSDVolume,
                         ::testing::Values(VolumeCase{0, 0.0L}, VolumeCase{-500, -5.0L}, VolumeCase{-2000, -20.0L},
                                           VolumeCase{-5000, -50.0L}));

TEST_F(DDSDTest, StopRendersSilenceAndKeepsTheCursor) {
  auto wave = BoundWave(nullptr);
  const Bytes data = Pattern(88200);
  dsd.WriteBlock(*wave, 0, data.data(), 88200);
  EXPECT_EQ(dsd.GetStatus(0), 0u);
  dsd.Play(0, 400);
  EXPECT_EQ(dsd.GetStatus(0) & 1u, 1u);
  FakeSoundDevice::Advance(*state, 100);
  dsd.Stop(0);
  EXPECT_EQ(dsd.GetStatus(0), 0u);
  EXPECT_EQ(wave->PlayCursor(), 800u);
  FakeSoundDevice::Advance(*state, 100);
  const Bytes played = Played();
  ASSERT_EQ(played.size(), 800u);
  EXPECT_TRUE(std::equal(played.begin(), played.begin() + 400, data.begin() + 400));
  EXPECT_EQ(Bytes(played.begin() + 400, played.end()), Bytes(400, 0));
  EXPECT_EQ(wave->PlayCursor(), 800u);
}

TEST_F(DDSDTest, WithoutADeviceEverythingDoesNothing) {
  state->Available = false;
  EXPECT_FALSE(dsd.Initialize());
  EXPECT_FALSE(dsd.Ready());
  const std::size_t threads = ThreadCount();
  TDDSDWaveData wave(dsd, false, 88200, true, 16, 44100);
  FillLog log;
  log.Attach(wave);
  EXPECT_FALSE(wave.HasBuffer());
  EXPECT_EQ(ThreadCount(), threads);
  dsd.setWaveData(0, &wave);
  dsd.Play(0, 0);
  dsd.SetVolume(0, -500);
  const Bytes data = Pattern(100);
  dsd.WriteBlock(wave, 0, data.data(), 100);
  EXPECT_EQ(dsd.GetStatus(0), 0u);
  EXPECT_EQ(FakeSoundDevice::Advance(*state, 100), 0u);
  dsd.Stop(0);
  EXPECT_EQ(dsd.GetStatus(0), 0u);
  EXPECT_FALSE(state->Started);
  EXPECT_TRUE(log.Fills().empty());
}

TEST_F(DDSDTest, FreeingAPlayingWaveEndsItsThreadAndClosesItsStream) {
  FillLog log;
  auto wave = BoundWave(&log);
  // Counted with the wave alive: a sanitizer's runtime may add a thread of its own at the first one.
  const std::size_t threads = ThreadCount();
  dsd.Play(0, 0);
  FakeSoundDevice::Advance(*state, 512);
  ASSERT_TRUE(log.WaitFor(1));
  wave.reset();
  EXPECT_EQ(ThreadCount(), threads - 1);
  EXPECT_EQ(dsd.Channels(0)->Wave(), nullptr);
  EXPECT_EQ(FakeSoundDevice::Advance(*state, 22050), 0u);
  EXPECT_EQ(log.Fills().size(), 1u);
}

TEST_F(DDSDTest, RenderingAllocatesNothing) {
  auto wave = BoundWave(nullptr);
  dsd.SetVolume(0, -500);
  dsd.Play(0, 0);
  {
    std::lock_guard guard(state->Lock);
    state->Played.reserve(4 * 88200);
  }
  allocations = 0;
  countAllocations = true;
  for (int period = 0; period < 3 * 88200 / 2048; ++period) FakeSoundDevice::Advance(*state, 512);
  dsd.Stop(0);
  FakeSoundDevice::Advance(*state, 512);
  countAllocations = false;
  EXPECT_EQ(allocations.load(), 0);
}

class DDSDBadChannel : public DDSDTest, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(DDSDBadChannel, IsNullWhenNotHalting) {
  ASSERT_TRUE(dsd.Initialize());
  dsd.SetDebugOption({});
  EXPECT_EQ(dsd.Channels(GetParam()), nullptr);
  dsd.Play(GetParam(), 0);  // does nothing, and does not end the program
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, DDSDBadChannel, ::testing::Values(-1, 8, 1000));

TEST_F(DDSDTest, BadChannelEndsTheProgramUnderHaltOnError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(dsd.Initialize());
  EXPECT_EXIT(dsd.Channels(8), ::testing::ExitedWithCode(EXIT_FAILURE), "0～7");
}

TEST_F(DDSDTest, ExceptOnErrorRaisesTheTextsOfBadChannelsAndNonZeroCodes) {
  ASSERT_TRUE(dsd.Initialize());
  dsd.SetDebugOption({TDDSDDebugOption::dsoExceptOnError});
  EXPECT_EQ(ErrorOf([&] { dsd.Channels(8); }), "チャンネル番号8は無効です、0～7の範囲で指定してください");
  EXPECT_EQ(ErrorOf([] { EXPECT_EQ(CheckResult(0, "一次バッファの解放に失敗しました"), 0); }), "");
  EXPECT_EQ(ErrorOf([] { CheckResult(static_cast<std::int32_t>(0x88780078u), "一次バッファの解放に失敗しました"); }),
            "一次バッファの解放に失敗しました(Error Code(88780078))");
  dsd.SetDebugOption({TDDSDDebugOption::dsoHaltOnError});
  EXPECT_EQ(CheckResult(0x1f, "x"), 0x1f);
}

TEST_F(DDSDTest, DebugMessageAppendsNumberedLinesToTheLog) {
  dsd.SetDebugOption({TDDSDDebugOption::dsoDebugMessage});
  CheckResult(0x1f, "テスト");
  DebugMessage("two");
  const auto log = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "DDSD_DebugLog.txt";
  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 2u);
  std::smatch first;
  std::smatch second;
  ASSERT_TRUE(std::regex_match(lines[lines.size() - 2], first, std::regex(R"(debug#(\d{5}) \.\.\. テスト\(Error Code\(1f\)\))")));
  ASSERT_TRUE(std::regex_match(lines.back(), second, std::regex(R"(debug#(\d{5}) \.\.\. two)")));
  EXPECT_EQ(std::stoi(second[1]), std::stoi(first[1]) + 1);
}

}  // namespace
}  // namespace merolune
