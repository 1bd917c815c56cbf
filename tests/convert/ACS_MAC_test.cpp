// The Monkey's Audio components: files ffmpeg decodes to the source, a range read through the seek,
// the level setter's rule, the inputs the library refuses, and the library missing.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ACS_MAC.h"
#include "ACS_Wave.h"
#include "PeerTools.h"
#include "PipelineRun.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::TempDir;

const std::string kFfmpeg = MEROLUNE_FFMPEG;
const std::string kJmac = MEROLUNE_JMAC;

// Encodes the WAV file `wav` into `ape` at `level`; the output's error message.
std::string Encode(TMACOut& out, const std::string& wav, const std::string& ape, std::int32_t level) {
  TWaveIn in;
  in.SetFileName(wav);
  out.SetInput(&in);
  out.SetFileName(ape);
  out.SetCompressionLevel(level);
  out.Start();
  EXPECT_TRUE(test::WaitForOutput(out));
  out.SetInput(nullptr);
  return out.ErrorMessage();
}

// Decodes frames [start, end) of `ape` (end -1: to its end) into the WAV file `wav`.
std::string Decode(TMACIn& in, const std::string& ape, const std::string& wav, std::int64_t start = 0,
                   std::int64_t end = -1) {
  TWaveOut out;
  in.SetFileName(ape);
  in.SetStartSample(start);
  in.SetEndSample(end);
  out.SetInput(&in);
  out.SetFileName(wav);
  out.Start();
  EXPECT_TRUE(test::WaitForOutput(out));
  return out.ErrorMessage();
}

TEST(MACOut, KeepsOnlyTheFourLevels) {
  TMACOut out;
  EXPECT_EQ(out.CompressionLevel(), 2000);
  EXPECT_EQ(out.MaxAudioBytes(), -1);
  const struct {
    std::int32_t Given, Kept;
  } cases[] = {{1000, 1000}, {4000, 4000}, {2500, 2000}, {3000, 3000}, {0, 2000}, {5000, 2000}, {-1, 2000}};
  for (const auto& c : cases) {
    out.SetCompressionLevel(c.Given);
    EXPECT_EQ(out.CompressionLevel(), c.Kept) << c.Given;
  }
}

TEST(MACErrors, NameTheLibraryAndTheCode) {
  EXPECT_STREQ(EAPEException(7777).what(), "MACDll error: undefined (7777)");
  EXPECT_STREQ(EAPEException(1009).what(), "MACDll error: invalid checksum");
  EXPECT_STREQ(EAPEException(6000).what(), "MACDll error: APE compress too much data");
}

// Every level writes a file that ffmpeg decodes, checking every frame's CRC, to the source; the
// header names the level; our decoder gives the source back, whole and from a range.
TEST(MACComponents, EncodeAndDecodeEverySampleAtEveryLevel) {
  if (!test::ToolAvailable(kFfmpeg)) GTEST_SKIP() << "ffmpeg is missing";
  TempDir dir;
  const std::size_t frames = 3 * 73728 + 1001;  // more than three whole Monkey's Audio frames
  const std::vector<std::int16_t> song = test::SongLike(frames, 44100, 9);
  test::WritePcmWav(dir.File("song.wav"), song, 44100, 2);
  TMACOut out;
  TMACIn in;
  for (std::int32_t level : {1000, 2000, 3000, 4000}) {
    SCOPED_TRACE(level);
    const std::string ape = dir.File("song" + std::to_string(level) + ".ape");
    ASSERT_EQ(Encode(out, dir.File("song.wav"), ape, level), "");
    const auto bytes = test::ReadBytes(ape);
    ASSERT_GT(bytes.size(), 60u);
    EXPECT_EQ(test::U16At(bytes, 52), level);  // after the 52-byte descriptor of version 3990

    std::string raw;
    ASSERT_EQ(test::RunTool({kFfmpeg, "-v", "error", "-xerror", "-err_detect", "crccheck+explode", "-i", ape,
                             "-f", "s16le", "-"},
                            &raw),
              0);
    ASSERT_EQ(raw.size(), song.size() * 2);
    EXPECT_EQ(std::memcmp(raw.data(), song.data(), raw.size()), 0);

    ASSERT_EQ(Decode(in, ape, dir.File("back.wav")), "");
    EXPECT_EQ(test::ReadPcmWav(dir.File("back.wav"))->Samples, song);
    EXPECT_EQ(in.GetTotalSeconds(), 5);  // 221,185 frames at 44.1 kHz: 5.015 s
  }
  // A range that starts inside the second frame and ends inside the third.
  const std::int64_t start = 73728 + 4321;
  const std::int64_t end = 2 * 73728 + 999;
  ASSERT_EQ(Decode(in, dir.File("song2000.ape"), dir.File("range.wav"), start, end), "");
  const std::vector<std::int16_t> slice(song.begin() + 2 * start, song.begin() + 2 * end);
  EXPECT_EQ(test::ReadPcmWav(dir.File("range.wav"))->Samples, slice);
}

// jmac's files of the other widths and mono come out as WAV files of their own format, byte for byte.
TEST(MACComponents, OtherWidthsAndMonoKeepTheirFormat) {
  if (!test::ToolAvailable(kJmac)) GTEST_SKIP() << "jmac is missing";
  TempDir dir;
  const struct { std::uint16_t Channels, Bits; } cases[] = {{2, 24}, {1, 8}, {1, 16}};
  TMACIn in;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Bits);
    test::WavSpec wav;
    wav.Channels = c.Channels;
    wav.BitsPerSample = c.Bits;
    // Every byte varies: a pseudo-random walk.
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < 3 * 44100 * c.Channels * c.Bits / 8; ++i) {
      state = state * 1103515245U + 12345U;
      wav.Data.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    test::WriteBytes(dir.File("in.wav"), test::MakeWav(wav));
    ASSERT_EQ(test::RunTool({kJmac, "c2", dir.File("in.wav"), dir.File("in.ape")}), 0);
    ASSERT_EQ(Decode(in, dir.File("in.ape"), dir.File("out.wav")), "");
    EXPECT_EQ(test::ReadBytes(dir.File("out.wav")), test::MakeWav(wav));
  }
}

// The library codes 16-bit stereo only: other input ends the run with its reason and leaves no file.
TEST(MACComponents, InputTheLibraryCannotCodeIsRefusedWithoutAFile) {
  TempDir dir;
  const struct {
    std::uint16_t Channels, Bits;
    const char* Reason;
  } cases[] = {{1, 16, "input file unsupported channel count"}, {2, 8, "input file unsupported bit depth"}};
  TMACOut out;
  for (const auto& c : cases) {
    test::WavSpec wav;
    wav.Channels = c.Channels;
    wav.BitsPerSample = c.Bits;
    wav.Data.assign(4000, 0x40);
    test::WriteBytes(dir.File("in.wav"), test::MakeWav(wav));
    EXPECT_EQ(Encode(out, dir.File("in.wav"), dir.File("out.ape"), 2000),
              std::string("Error starting APECompress.\r\n") + c.Reason);
    EXPECT_FALSE(test::FileExists(dir.File("out.ape")));
  }
}

TEST(MACComponents, FilesTheLibraryRefusesAndStreamsEndTheRunWithTheReason) {
  TempDir dir;
  test::WriteBytes(dir.File("empty.ape"), {});
  test::WriteBytes(dir.File("junk.ape"), std::vector<std::uint8_t>(5000, 0x5A));
  TMACIn in;
  EXPECT_EQ(Decode(in, dir.File("empty.ape"), dir.File("x.wav")), "MACDll error: invalid input file");
  EXPECT_EQ(Decode(in, dir.File("junk.ape"), dir.File("x.wav")), "MACDll error: unsupported file type");
  EXPECT_EQ(Decode(in, dir.File("none.ape"), dir.File("x.wav")), "MACDll error: invalid input file");
  EXPECT_FALSE(in.Valid());
  EXPECT_EQ(in.GetTotalSeconds(), 0);

  FileStream stream(dir.File("junk.ape"), FileStream::Mode::Read);
  in.AssignStream(&stream);
  TWaveOut out;
  out.SetInput(&in);
  out.SetFileName(dir.File("y.wav"));
  out.Start();
  ASSERT_TRUE(test::WaitForOutput(out));
  EXPECT_EQ(out.ErrorMessage(), kApeReadsFilesOnly);
  in.AssignStream(nullptr);
}

// Run again by ctest with libmacdll.so hidden.
TEST(MACMissingLibrary, ComponentsRefuseToBeConstructed) {
  const char* hidden = std::getenv("MEROLUNE_HIDDEN_LIBRARY");
  if (hidden == nullptr) GTEST_SKIP() << "only meaningful with the library hidden";
  ASSERT_STREQ(hidden, "libmacdll.so");
  for (int component = 0; component < 2; ++component) {
    try {
      if (component == 0) {
        TMACIn in;
      } else {
        TMACOut out;
      }
      ADD_FAILURE() << "constructed: " << component;
    } catch (const EAuException& error) {
      EXPECT_STREQ(error.what(), "libmacdll.so library could not be loaded.");
    }
  }
}

}  // namespace
}  // namespace merolune
