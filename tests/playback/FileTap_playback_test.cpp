// The file tap itself, checked with a peer player: what sox plays to ALSA's default PCM is in the
// recording byte for byte, so a mismatch in the sound module's tests is the module's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "AlsaFileTap.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune::test {
namespace {

TEST(FileTapPlayback, RecordsWhatSoxPlaysByteForByte) {
  const std::string reason = PlaybackUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  if (std::string(MEROLUNE_SOX).empty()) GTEST_SKIP() << "sox is not installed";

  // Two seconds at JACK's own rate (sox will not ask plug to convert), a different ramp in each
  // channel.
  WavSpec wav;
  wav.SampleRate = 48000;
  std::vector<std::int16_t> samples;
  for (std::int32_t n = 0; n < 96000; ++n) {
    samples.push_back(static_cast<std::int16_t>(n * 3));
    samples.push_back(static_cast<std::int16_t>(-n * 5));
  }
  wav.Data = SampleBytes(samples);
  TempDir dir;
  WriteBytes(dir.File("ramps.wav"), MakeWav(wav));
  AlsaFileTap tap(dir.Path(), dir.File("played.raw"));

  const std::string command = std::string(MEROLUNE_SOX) + " -q '" + dir.File("ramps.wav") + "' -t alsa default";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::vector<std::uint8_t> recording = tap.Recording();
  const TapMatch match = FindBytes(recording, wav.Data, 4);
  ASSERT_TRUE(match.Found) << recording.size() << " bytes recorded";
  EXPECT_EQ(match.Length, wav.Data.size());
}

}  // namespace
}  // namespace merolune::test
