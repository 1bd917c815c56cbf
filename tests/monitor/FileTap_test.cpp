// Finding the played audio inside a recording of the ALSA file tap (no sound server needed).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AlsaFileTap.h"
#include "WavFile.h"

namespace merolune::test {
namespace {

// 16 distinct non-zero bytes: a stand-in for four frames of audio.
std::vector<std::uint8_t> Audio() {
  std::vector<std::uint8_t> bytes;
  for (std::uint8_t b = 1; b <= 16; ++b) bytes.push_back(static_cast<std::uint8_t>(b * 7));
  return bytes;
}

// `silence` zero bytes, then `audio`'s first `kept` bytes, the byte at `changed` (if any) altered.
std::vector<std::uint8_t> Recording(std::size_t silence, std::size_t kept, std::size_t changed = SIZE_MAX) {
  std::vector<std::uint8_t> out(silence, 0);
  const std::vector<std::uint8_t> audio = Audio();
  out.insert(out.end(), audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(kept));
  if (changed != SIZE_MAX) out[silence + changed] ^= 0x40;
  return out;
}

struct BytesCase {
  const char* Name;
  std::vector<std::uint8_t> Recorded;
  std::size_t Align;
  TapMatch Want;
};

TEST(FileTapFindBytes, LocatesTheAudioAfterTheSilenceAndCountsTheBytesThatAgree) {
  const BytesCase cases[] = {
      {"whole audio after silence", Recording(12, 16), 4, {true, 12, 16}},
      {"recording cut short", Recording(8, 10), 4, {true, 8, 10}},
      {"a byte differs past the probe", Recording(4, 16, 9), 4, {true, 4, 9}},
      {"start off the frame grid", Recording(6, 16), 4, {false, 0, 0}},
      {"start on a two-byte grid", Recording(6, 16), 2, {true, 6, 16}},
      {"a byte differs inside the probe", Recording(4, 16, 2), 4, {false, 0, 0}},
      {"silence only", std::vector<std::uint8_t>(64, 0), 4, {false, 0, 0}},
  };
  for (const BytesCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TapMatch got = FindBytes(c.Recorded, Audio(), c.Align, 8);
    EXPECT_EQ(got.Found, c.Want.Found);
    EXPECT_EQ(got.Offset, c.Want.Offset);
    EXPECT_EQ(got.Length, c.Want.Length);
  }
}

struct WithinCase {
  const char* Name;
  std::vector<std::int16_t> Recorded;  // after two silent stereo frames
  int Tolerance;
  TapMatch Want;
};

TEST(FileTapFindSamplesWithin, AcceptsSamplesWithinTheToleranceOnly) {
  const std::vector<std::int16_t> expected = {1000, -1000, 2000, -2000, 3000, -3000, 4000, -4000};
  const WithinCase cases[] = {
      {"exact", {1000, -1000, 2000, -2000, 3000, -3000, 4000, -4000}, 0, {true, 8, 16}},
      {"one LSB either way", {1001, -999, 1999, -2001, 3001, -3000, 3999, -4001}, 1, {true, 8, 16}},
      {"one LSB, none allowed", {1001, -999, 1999, -2001, 3001, -3000, 3999, -4001}, 0, {false, 0, 0}},
      {"two LSB in the fifth sample", {1000, -1000, 2000, -2000, 3002, -3000, 4000, -4000}, 1, {true, 8, 8}},
  };
  for (const WithinCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::int16_t> recorded(4, 0);
    recorded.insert(recorded.end(), c.Recorded.begin(), c.Recorded.end());
    const TapMatch got = FindSamplesWithin(SampleBytes(recorded), expected, 2, c.Tolerance, 4);
    EXPECT_EQ(got.Found, c.Want.Found);
    EXPECT_EQ(got.Offset, c.Want.Offset);
    EXPECT_EQ(got.Length, c.Want.Length);
  }
}

TEST(FileTapConfiguration, QuotesTheRecordingPathForAlsa) {
  const std::string text = FileTapConfiguration("/tmp/a \"b\"\\c.raw");
  EXPECT_NE(text.find("file \"/tmp/a \\\"b\\\"\\\\c.raw\""), std::string::npos) << text;
}

}  // namespace
}  // namespace merolune::test
