// The sound module on the real PortAudio device: what a streaming wave plays reaches ALSA's default
// PCM byte for byte (recorded by the file tap in front of JACK's dummy driver), at full level and
// attenuated, and the fills keep up while both cores are busy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AlsaFileTap.h"
#include "DDSD.h"
#include "SoundDevice.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune::test {
namespace {

using namespace std::chrono_literals;

// Half a second of 16-bit stereo at 44.1 kHz, as the monitor makes it.
constexpr std::uint32_t kBufferBytes = 88200;
constexpr std::uint32_t kFrameBytes = 4;

// Left: a sine whose period shares no divisor with the buffer's halves; right: a ramp through all
// 65536 sample values, one step per frame. A block played twice, skipped or swapped, or the
// channels crossed, cannot match.
std::vector<std::int16_t> TestSignal(double seconds, std::uint32_t rate) {
  const auto frames = static_cast<std::size_t>(seconds * rate);
  std::vector<std::int16_t> out(2 * frames);
  for (std::size_t n = 0; n < frames; ++n) {
    const double phase = 2.0 * std::numbers::pi * 523.1 * static_cast<double>(n) / rate;
    out[2 * n] = static_cast<std::int16_t>(std::lround(12000.0 * std::sin(phase)));
    out[2 * n + 1] = static_cast<std::int16_t>(static_cast<std::uint16_t>(n));
  }
  return out;
}

// What the device should play at a gain: each sample scaled and rounded to nearest.
std::vector<std::int16_t> Scaled(const std::vector<std::int16_t>& samples, double gain) {
  std::vector<std::int16_t> out(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    out[i] = static_cast<std::int16_t>(std::lround(samples[i] * gain));
  }
  return out;
}

struct PlaybackRun {
  std::vector<std::uint8_t> Recording;
  std::uint64_t Underruns = 0;
  std::uint32_t Fills = 0;
};

// Plays `signal` on channel 0 of a TDDSD over MakePortAudioDevice() through the file tap until
// `seconds` of it have passed the play cursor, waiting in real time. The wave asks for each half as
// the play cursor leaves it and gets the next block of the signal (silence once it runs out); the
// first half is written before Play, as the monitor primes it.
void PlayThroughTap(const std::vector<std::int16_t>& signal, std::uint32_t rate, std::int32_t volume, double seconds,
                    PlaybackRun& run) {
  TempDir dir;
  AlsaFileTap tap(dir.Path(), dir.File("played.raw"));
  // What the fills use outlives the wave, whose notification thread ends with it.
  const std::vector<std::uint8_t> bytes = SampleBytes(signal);
  const std::vector<std::uint8_t> silence(kBufferBytes, 0);  // as much as one fill can ask for
  std::atomic<std::size_t> next{0};  // bytes of `bytes` handed out so far
  std::atomic<std::uint32_t> fills{0};
  {
    TDDSD ddsd(MakePortAudioDevice());
    ASSERT_TRUE(ddsd.Initialize()) << "no output device: is the tap's JACK server running?";
    TDDSDWaveData wave(ddsd, false, kBufferBytes, true, 16, rate);
    ASSERT_TRUE(wave.HasBuffer());

    auto writeNext = [&](std::uint32_t offset, std::uint32_t size) {
      const std::size_t from = next.fetch_add(size);
      const bool available = from + size <= bytes.size();
      ddsd.WriteBlock(wave, offset, available ? bytes.data() + from : silence.data(), size);
    };
    wave.OnFill = [&](TDDSDGenWave&, TDDSDChannel*, std::uint32_t offset, std::uint32_t size) {
      fills.fetch_add(1);
      writeNext(offset, size);
    };
    ddsd.setWaveData(0, &wave);
    ddsd.SetVolume(0, volume);
    writeNext(0, wave.Half());
    ddsd.Play(0, 0);
    EXPECT_EQ(ddsd.GetStatus(0) & 1u, 1u) << "not playing after Play";
    // The dummy driver's clock falls behind the wall clock when the machine is busy: wait for the
    // fills rather than for a time. A device that plays at under a quarter of its rate has failed.
    const auto played = static_cast<std::size_t>(seconds * rate) * kFrameBytes + kBufferBytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(4.0 * seconds);
    while (next.load() < played && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    ddsd.Stop(0);
    EXPECT_GE(next.load(), played) << "the device asked for " << next.load() << " bytes in " << 4.0 * seconds << " s";
    run.Underruns = wave.Underruns();
    run.Fills = fills.load();
  }
  // The file plugin writes out what it still holds when the stream closes, with the device.
  run.Recording = tap.Recording();
}

// Where the match ends, for a failure message: silence there means the device ran dry and was
// primed again; other audio means a fill came late or went to the wrong place.
std::string WhereItBreaks(const std::vector<std::uint8_t>& recording, const TapMatch& match, std::uint32_t rate) {
  const std::size_t end = match.Offset + match.Length;
  std::size_t silent = 0;
  while (end + silent < recording.size() && recording[end + silent] == 0) ++silent;
  std::ostringstream out;
  out << "the signal breaks off after " << static_cast<double>(match.Length) / (rate * kFrameBytes) << " s (byte "
      << end << " of " << recording.size() << "); " << silent << " bytes of silence follow";
  return out.str();
}

class DDSDPlayback : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = PlaybackUnavailableReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
  }
};

struct LevelCase {
  std::uint32_t Rate;
  std::int32_t Volume;  // hundredths of a dB
  double Gain;          // 10^(Volume/2000), worked out by hand
  int Tolerance;        // LSB; 0 asks for the bytes themselves
};

// Keeps the case's padding out of the test names ctest lists.
void PrintTo(const LevelCase& c, std::ostream* out) {
  *out << c.Rate << " Hz, volume " << c.Volume << ", within " << c.Tolerance << " LSB";
}

class DDSDPlaybackLevel : public DDSDPlayback, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(DDSDPlaybackLevel, StreamingWaveReachesTheDeviceUnchangedForTenSeconds) {
  const LevelCase c = GetParam();
  const std::vector<std::int16_t> signal = TestSignal(14.0, c.Rate);
  PlaybackRun run;
  ASSERT_NO_FATAL_FAILURE(PlayThroughTap(signal, c.Rate, c.Volume, 11.0, run));

  const TapMatch match = c.Tolerance == 0
                             ? FindBytes(run.Recording, SampleBytes(signal), kFrameBytes)
                             : FindSamplesWithin(run.Recording, Scaled(signal, c.Gain), 2, c.Tolerance);
  RecordProperty("recorded_bytes", std::to_string(run.Recording.size()));
  RecordProperty("lead_bytes", std::to_string(match.Offset));
  RecordProperty("matched_bytes", std::to_string(match.Length));
  RecordProperty("underruns", std::to_string(run.Underruns));
  RecordProperty("fills", std::to_string(run.Fills));
  ASSERT_TRUE(match.Found) << "the signal's start is not in the " << run.Recording.size() << " recorded bytes";
  EXPECT_GE(match.Length, std::size_t{10} * c.Rate * kFrameBytes) << WhereItBreaks(run.Recording, match, c.Rate);
}

// -500 is -5 dB: a gain of 10^-0.25 = 0.56234132519...; the callback's rounding may differ from
// the nearest integer by one LSB.
INSTANTIATE_TEST_SUITE_P(RatesAndLevels, DDSDPlaybackLevel,
                         ::testing::Values(LevelCase{44100, 0, 1.0, 0}, LevelCase{44100, -500, 0.5623413251903491, 1},
                                           LevelCase{48000, 0, 1.0, 0}, LevelCase{48000, -500, 0.5623413251903491, 1}),
                         [](const ::testing::TestParamInfo<LevelCase>& tested) {
                           return std::to_string(tested.param.Rate) + (tested.param.Volume == 0 ? "Hz_full" : "Hz_minus5dB");
                         });

// Two threads that keep both cores busy with arithmetic until Stop.
class BusyCores {
 public:
  BusyCores() {
    for (auto& t : threads_) {
      t = std::thread([this] {
        double x = 1.0;
        while (!stop_.load(std::memory_order_relaxed)) {
          for (int i = 0; i < 10000; ++i) x = x * 1.0000001 + 1e-9;
        }
        sink_.store(x);
      });
    }
  }
  ~BusyCores() { Stop(); }
  BusyCores(const BusyCores&) = delete;
  BusyCores& operator=(const BusyCores&) = delete;
  void Stop() {
    stop_.store(true);
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<double> sink_{0.0};  // keeps the loops' work observable
  std::thread threads_[2];
};

TEST_F(DDSDPlayback, NoUnderrunsInAMinuteWithBothCoresBusy) {
  constexpr std::uint32_t kRate = 44100;
  const std::vector<std::int16_t> signal = TestSignal(62.0, kRate);
  PlaybackRun run;
  {
    BusyCores busy;
    ASSERT_NO_FATAL_FAILURE(PlayThroughTap(signal, kRate, 0, 60.0, run));
  }
  const TapMatch match = FindBytes(run.Recording, SampleBytes(signal), kFrameBytes);
  RecordProperty("underruns", std::to_string(run.Underruns));
  RecordProperty("matched_bytes", std::to_string(match.Length));
  RecordProperty("fills", std::to_string(run.Fills));
  EXPECT_EQ(run.Underruns, 0u);
  // A fill that came late would leave last lap's half to be played again; a device that ran dry
  // shows as silence inserted.
  ASSERT_TRUE(match.Found);
  EXPECT_GE(match.Length, std::size_t{59} * kRate * kFrameBytes) << WhereItBreaks(run.Recording, match, kRate);
}

}  // namespace
}  // namespace merolune::test
