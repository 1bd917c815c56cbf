// The monitor on a fake sound device: what reaches the sound buffer, in which order, from which
// file position; the clock, the seek alignment, the volume and the figure's points.

#include "Monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "FakeSoundDevice.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::FakeSoundDevice;

constexpr std::size_t kHalfFrames = kStreamBufferBytes / 8;  // 11025 frames, 44100 bytes

// Audio whose every 4-byte frame differs from its neighbours for a long stretch: a 32-bit LCG.
std::vector<std::uint8_t> DistinctAudio(std::size_t bytes) {
  std::vector<std::uint8_t> audio(bytes);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < bytes; i += 4) {
    state = state * 1664525u + 1013904223u;
    for (std::size_t b = 0; b < 4 && i + b < bytes; ++b) audio[i + b] = static_cast<std::uint8_t>(state >> (8 * b));
  }
  return audio;
}

class RecordingHost final : public Monitor::LoopHost {
 public:
  bool Terminated() override { return false; }
  void Synchronize(std::int64_t dataSize, std::int64_t position) override {
    LastDataSize = dataSize;
    LastPosition = position;
    ++Calls;
  }
  std::int64_t LastDataSize = -1;
  std::int64_t LastPosition = -1;
  int Calls = 0;
};

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() : device_(std::make_shared<FakeSoundDevice::State>()) {
    monitor_ = std::make_unique<Monitor>(std::make_unique<FakeSoundDevice>(device_));
  }

  // A job's start on an output of `audio` at 44100 Hz, with Play enabled and down.
  void StartJob(const std::vector<std::uint8_t>& audio) {
    audio_ = audio;
    test::WavSpec wav;
    wav.Data = audio;
    test::WriteBytes(dir_.File("out.wav"), test::MakeWav(wav));
    monitor_->ResetForJob();
    ASSERT_TRUE(monitor_->RenewStream(44100));
    monitor_->SetOutputFile(dir_.File("out.wav"), static_cast<std::uint32_t>(audio.size()));
    monitor_->SetPlayState(true, true);
    monitor_->SetVolumePosition(0);  // full level: the bytes play unchanged
  }

  // Plays one half of the sound buffer as a device would, a period at a time: once the first
  // period has entered the half, the notification thread fills the half that was left (the test
  // waits for that); then the rest of the half plays and the loop takes its turn.
  void PlayHalf() {
    constexpr std::size_t kPeriod = 441;
    const std::uint64_t fills = monitor_->Fills();
    ASSERT_EQ(FakeSoundDevice::Advance(*device_, kPeriod), 4 * kPeriod);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (monitor_->Fills() == fills && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(monitor_->Fills(), fills) << "no fill after a half began to play";
    FakeSoundDevice::Advance(*device_, kHalfFrames - kPeriod);
    monitor_->Pass(host_);
  }

  std::vector<std::uint8_t> Played() {
    std::lock_guard lock(device_->Lock);
    return device_->Played;
  }

  test::TempDir dir_;
  std::shared_ptr<FakeSoundDevice::State> device_;
  std::unique_ptr<Monitor> monitor_;
  RecordingHost host_;
  std::vector<std::uint8_t> audio_;
};

TEST_F(MonitorTest, FirstRefillReadsFourHalvesAndPrimingPlaysTheStart) {
  StartJob(DistinctAudio(20 * 44100 * 4));
  EXPECT_EQ(monitor_->RefillBytes(), 176400u);
  monitor_->Pass(host_);
  EXPECT_EQ(monitor_->Position(), 176400);
  EXPECT_TRUE(monitor_->Primed());
  EXPECT_FALSE(monitor_->Playing()) << "playback starts on the pass after priming";
  EXPECT_EQ(host_.LastPosition, 176400);
  EXPECT_EQ(host_.LastDataSize, static_cast<std::int64_t>(audio_.size()));

  monitor_->Pass(host_);
  EXPECT_TRUE(monitor_->Playing());
  PlayHalf();
  const std::vector<std::uint8_t> played = Played();
  ASSERT_EQ(played.size(), 44100u);
  EXPECT_TRUE(std::equal(played.begin(), played.end(), audio_.begin()));
  // Each later fill asks for a half's worth.
  EXPECT_EQ(monitor_->RefillBytes(), 44100u);
}

// A finished output plays in order, and from its start again after its end, with nothing from
// an earlier pass of the ring in between: only silence, and only where the audio goes back to its
// start (the reader caught up with what was read).
TEST_F(MonitorTest, FinishedOutputLoopsInOrderWithoutStaleBytes) {
  StartJob(DistinctAudio(100000));
  monitor_->Pass(host_);
  monitor_->Pass(host_);
  for (int half = 0; half < 24; ++half) PlayHalf();

  const std::vector<std::uint8_t> played = Played();
  const std::uint8_t silence[4] = {0, 0, 0, 0};
  std::size_t next = 0;  // the audio's frame expected next
  int loops = 0;
  for (std::size_t i = 0; i < played.size(); i += 4) {
    if (std::equal(played.begin() + i, played.begin() + i + 4, audio_.begin() + next)) {
      next += 4;
      if (next == audio_.size()) next = 0, ++loops;
      continue;
    }
    ASSERT_TRUE(next == 0 && std::equal(silence, silence + 4, played.begin() + i))
        << "byte " << i << " is neither the audio's next frame (" << next << ") nor silence at its start";
  }
  EXPECT_GE(loops, 5);
}

TEST_F(MonitorTest, SeekContinuesFromTheAlignedPositionAfterTheRingsAudio) {
  StartJob(DistinctAudio(30 * 44100 * 4));
  monitor_->Pass(host_);
  monitor_->Pass(host_);
  for (int half = 0; half < 4; ++half) PlayHalf();
  const std::size_t before = Played().size();

  const std::int64_t target = 20 * 44100 * 4 + 6;  // inside a frame: rounded down to it
  monitor_->Seek(target);
  EXPECT_EQ(monitor_->Position(), target - 2);
  monitor_->Pass(host_);
  for (int half = 0; half < 16; ++half) PlayHalf();

  // After the seek: first audio that continues the old position, then the new position's audio
  // without a gap.
  const std::vector<std::uint8_t> played = Played();
  const auto newAudio = audio_.begin() + (target - 2);
  const auto found = std::search(played.begin() + before, played.end(), newAudio, newAudio + 4 * 1024);
  ASSERT_NE(found, played.end()) << "the sought position's audio never played";
  const std::size_t tail = played.end() - found;
  EXPECT_TRUE(std::equal(found, played.end(), newAudio)) << "the audio after the seek is not contiguous";
  EXPECT_GE(tail, 4u * 44100u) << "less than two seconds after the seek point";
  // What played between the seek and the new audio continued the old stream.
  const auto old = played.begin() + before;
  const std::size_t oldOffset = static_cast<std::size_t>(std::search(audio_.begin(), audio_.end(), old, old + 1024) -
                                                         audio_.begin());
  ASSERT_LT(oldOffset, audio_.size());
  EXPECT_TRUE(std::equal(old, found, audio_.begin() + oldOffset)) << "the ring's audio was not played in order";
}

TEST_F(MonitorTest, ShortReadReturnsToTheStart) {
  StartJob(DistinctAudio(10000));
  monitor_->Pass(host_);
  EXPECT_EQ(monitor_->Position(), 0);
  EXPECT_EQ(host_.LastPosition, 0);
}

// A job start deletes the previous output; the loop waits for a file and reads it once it exists.
TEST_F(MonitorTest, MissingOutputIsWaitedFor) {
  monitor_->ResetForJob();
  ASSERT_TRUE(monitor_->RenewStream(44100));
  monitor_->SetOutputFile(dir_.File("later.wav"), 400000);
  monitor_->SetPlayState(true, true);
  EXPECT_EQ(monitor_->Pass(host_), std::chrono::milliseconds(100));
  EXPECT_EQ(host_.Calls, 0);

  test::WavSpec wav;
  wav.Data = DistinctAudio(400000);
  test::WriteBytes(dir_.File("later.wav"), test::MakeWav(wav));
  EXPECT_EQ(monitor_->Pass(host_), std::chrono::milliseconds(10));
  EXPECT_EQ(monitor_->Position(), 176400);
}

TEST_F(MonitorTest, ReleasingPlayStopsTheChannel) {
  StartJob(DistinctAudio(20 * 44100 * 4));
  monitor_->Pass(host_);
  monitor_->Pass(host_);
  ASSERT_TRUE(monitor_->ChannelPlaying());
  monitor_->SetPlayState(true, false);
  EXPECT_EQ(monitor_->Pass(host_), std::chrono::milliseconds(100));
  EXPECT_FALSE(monitor_->Playing());
  EXPECT_FALSE(monitor_->ChannelPlaying());
}

TEST_F(MonitorTest, DisabledPlayReadsButDoesNotPlay) {
  StartJob(DistinctAudio(20 * 44100 * 4));
  monitor_->SetPlayState(false, true);
  monitor_->Pass(host_);
  monitor_->Pass(host_);
  EXPECT_TRUE(monitor_->Primed());
  EXPECT_FALSE(monitor_->Playing());
}

TEST_F(MonitorTest, VolumeSliderSetsTheChannelsAttenuation) {
  monitor_->SetVolumePosition(5000);
  ASSERT_NE(monitor_->Device().Channels(0), nullptr);
  EXPECT_EQ(monitor_->Device().Channels(0)->Volume(), -5000);
}

TEST_F(MonitorTest, WithoutAnOutputDeviceNothingPlays) {
  device_->Available = false;
  monitor_ = std::make_unique<Monitor>(std::make_unique<FakeSoundDevice>(device_));
  test::WavSpec wav;
  wav.Data = DistinctAudio(400000);
  test::WriteBytes(dir_.File("out.wav"), test::MakeWav(wav));
  monitor_->ResetForJob();
  EXPECT_FALSE(monitor_->RenewStream(44100));
  monitor_->SetOutputFile(dir_.File("out.wav"), 400000);
  monitor_->SetPlayState(true, true);
  monitor_->Pass(host_);
  monitor_->Pass(host_);
  EXPECT_FALSE(monitor_->ChannelPlaying());
  EXPECT_EQ(FakeSoundDevice::Advance(*device_, kHalfFrames), 0u);
}

TEST(MonitorClock, ShowsWholeMinutesAndSeconds) {
  const struct {
    std::int64_t Position;
    std::uint32_t Rate;
    const char* Text;
  } cases[] = {
      {0, 44100, "00:00"},          {176399, 44100, "00:00"},        {176400, 44100, "00:01"},
      {61LL * 60 * 176400, 44100, "61:00"}, {59LL * 192000 + 191999, 48000, "00:59"},
      {100LL * 60 * 192000, 48000, "100:00"}, {12345, 0, "00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(ClockText(c.Position, c.Rate), c.Text) << c.Position << " at " << c.Rate;
}

TEST(MonitorSeek, AlignsToWholeFramesInsideTheAudio) {
  const struct {
    std::int64_t Position, DataSize, Aligned;
  } cases[] = {{0, 1000, 0}, {7, 1000, 4}, {8, 1000, 8}, {-5, 1000, 0}, {996, 1000, 996},
               {1000, 1000, 996}, {5000, 1002, 996}, {3, 0, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(AlignSeek(c.Position, c.DataSize), c.Aligned) << c.Position << " in " << c.DataSize;
}

TEST(MonitorFigure, PointsFallAt750PerPixelFromTheCentre) {
  const struct {
    std::int16_t Left, Right;
    int Width, Height;
    std::optional<ScopePoint> Point;
  } cases[] = {
      {0, 0, 103, 103, ScopePoint{51, 51}},
      {32767, -32768, 103, 103, ScopePoint{94, 94}},
      {-32768, 32767, 103, 103, ScopePoint{8, 8}},
      {749, -749, 103, 103, ScopePoint{51, 51}},   // toward zero, both ways
      {-750, 750, 103, 103, ScopePoint{50, 50}},
      {32767, 0, 80, 80, std::nullopt},            // x = 83: outside
      {30000, 0, 81, 81, std::nullopt},            // x = 80 = W - 1: the last column is left out
      {29999, 0, 81, 81, ScopePoint{79, 40}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(LissajousPoint(c.Left, c.Right, c.Width, c.Height), c.Point) << c.Left << "," << c.Right;
}

}  // namespace
}  // namespace merolune
