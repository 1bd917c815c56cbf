// The conversion service: each format's decoding and encoding checked with the peer tools, the failures
// it must report, and whole jobs through merolune-cli.

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ACS_FLAC.h"
#include "ACS_LAME.h"
#include "ACS_MAC.h"
#include "ACS_Opus.h"
#include "Convert.h"
#include "PeerTools.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::ExpectOnlyFiles;
using test::FileExists;
using test::PcmAudio;
using test::ReadPcmWav;
using test::RunTool;
using test::TempDir;
using test::ToolAvailable;

const std::string kFlac = MEROLUNE_FLAC;
const std::string kOggenc = MEROLUNE_OGGENC;
const std::string kOggdec = MEROLUNE_OGGDEC;
const std::string kOgginfo = MEROLUNE_OGGINFO;
const std::string kLame = MEROLUNE_LAME;
const std::string kMpg123 = MEROLUNE_MPG123;
const std::string kFfmpeg = MEROLUNE_FFMPEG;
const std::string kFfprobe = MEROLUNE_FFPROBE;
const std::string kJmac = MEROLUNE_JMAC;
const std::string kOpusinfo = MEROLUNE_OPUSINFO;
const std::string kOpusdec = MEROLUNE_OPUSDEC;
const std::string kCli = MEROLUNE_CLI;

#define REQUIRE_TOOLS(...)                      \
  for (const std::string& tool : {__VA_ARGS__}) \
    if (!ToolAvailable(tool)) GTEST_SKIP() << "a peer tool is missing"

// A song-like 16-bit stereo WAV of `frames` frames; returns its samples.
std::vector<std::int16_t> WriteSong(const std::string& path, std::size_t frames, std::uint32_t rate = 44100,
                                    std::uint64_t seed = 5) {
  std::vector<std::int16_t> samples = test::SongLike(frames, rate, seed);
  test::WritePcmWav(path, samples, rate, 2);
  return samples;
}

std::string ProbeValue(const std::string& file, const std::string& entry) {
  std::string output;
  EXPECT_EQ(RunTool({kFfprobe, "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=" + entry,
                     "-of", "default=noprint_wrappers=1:nokey=1", file},
                    &output),
            0);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

// Runs `operation`, which must throw; returns its message.
template <class F>
std::string MessageOf(F operation) {
  try {
    operation();
  } catch (const std::exception& e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class ConvertTest : public ::testing::Test {
 protected:
  TempDir dir;
  TConvForm conv;
};

TEST_F(ConvertTest, DecodersTurnPeerFilesIntoTheWavThePeerDecodersGive) {
  REQUIRE_TOOLS(kFlac, kOggenc, kOggdec, kLame, kMpg123);
  const std::size_t frames = 3 * 44100 + 777;
  const auto original = WriteSong(dir.File("song.wav"), frames);

  // FLAC is lossless: bit for bit the original.
  ASSERT_EQ(RunTool({kFlac, "-s", "-5", "-o", dir.File("song.flac"), dir.File("song.wav")}), 0);
  conv.DecodeFlacToWav(dir.File("song.flac"), dir.File("flac.wav"));
  auto flac = ReadPcmWav(dir.File("flac.wav"));
  ASSERT_TRUE(flac);
  EXPECT_EQ(flac->Samples, original);

  // Vorbis: libvorbis decodes both, so oggdec's output is the reference to the sample.
  ASSERT_EQ(RunTool({kOggenc, "-Q", "-q", "4", "-o", dir.File("song.ogg"), dir.File("song.wav")}), 0);
  ASSERT_EQ(RunTool({kOggdec, "-Q", "-o", dir.File("oggdec.wav"), dir.File("song.ogg")}), 0);
  conv.DecodeOggToWav(dir.File("song.ogg"), dir.File("ogg.wav"));
  auto ogg = ReadPcmWav(dir.File("ogg.wav"));
  auto oggRef = ReadPcmWav(dir.File("oggdec.wav"));
  ASSERT_TRUE(ogg && oggRef);
  EXPECT_EQ(ogg->Frames(), frames);
  EXPECT_EQ(ogg->Samples, oggRef->Samples);

  // MP3: gapless through the LAME tag, so the decode has the original's length and lines up with it;
  // mpg123 decodes with the same library.
  ASSERT_EQ(RunTool({kLame, "--quiet", "-b", "192", dir.File("song.wav"), dir.File("song.mp3")}), 0);
  ASSERT_EQ(RunTool({kMpg123, "-q", "-w", dir.File("mpg123.wav"), dir.File("song.mp3")}), 0);
  conv.DecodeMp3ToWav(dir.File("song.mp3"), dir.File("mp3.wav"));
  auto mp3 = ReadPcmWav(dir.File("mp3.wav"));
  auto mp3Ref = ReadPcmWav(dir.File("mpg123.wav"));
  ASSERT_TRUE(mp3 && mp3Ref);
  EXPECT_EQ(mp3->Frames(), frames);
  EXPECT_EQ(mp3->Frames(), mp3Ref->Frames());
  const auto left = mp3->Channel(0);
  EXPECT_EQ(test::BestLag(test::ChannelOf(original, 0), left, 50, 4096, 65536), 0);
}

TEST_F(ConvertTest, WmaRoundTripKeepsTheStartAndTheLength) {
  REQUIRE_TOOLS(kFfmpeg, kFfprobe);
  const std::size_t frames = 2 * 44100 + 321;
  const auto original = WriteSong(dir.File("song.wav"), frames);
  conv.EncodeWavToWma(dir.File("song.wav"), dir.File("song.wma"), 128);
  EXPECT_EQ(ProbeValue(dir.File("song.wma"), "codec_name"), "wmav2");
  EXPECT_EQ(ProbeValue(dir.File("song.wma"), "bit_rate"), "128000");
  EXPECT_TRUE(conv.DecodeWmaToWav(dir.File("song.wma"), dir.File("back.wav")));
  auto back = ReadPcmWav(dir.File("back.wav"));
  ASSERT_TRUE(back);
  // wmav2 codes 2048-frame blocks: the length may grow by at most one of them.
  EXPECT_GE(back->Frames(), frames);
  EXPECT_LE(back->Frames(), frames + 2048);
  EXPECT_EQ(test::BestLag(test::ChannelOf(original, 0), back->Channel(0), 2500, 4096, 32768), 0);
}

TEST_F(ConvertTest, EncodersWriteFilesThePeerToolsAccept) {
  REQUIRE_TOOLS(kFlac, kOgginfo, kOggdec, kFfprobe, kMpg123);
  const std::size_t frames = 2 * 44100 + 99;
  const auto original = WriteSong(dir.File("song.wav"), frames);

  conv.EncodeWavToFlac(dir.File("song.wav"), dir.File("out.flac"), -1);
  EXPECT_EQ(RunTool({kFlac, "-s", "-t", dir.File("out.flac")}), 0);
  ASSERT_EQ(RunTool({kFlac, "-s", "-d", "-o", dir.File("flac.wav"), dir.File("out.flac")}), 0);
  EXPECT_EQ(ReadPcmWav(dir.File("flac.wav"))->Samples, original);

  for (double quality : {-0.1, 1.0}) {
    conv.EncodeWavToOgg(dir.File("song.wav"), dir.File("out.ogg"), quality);
    EXPECT_EQ(RunTool({kOgginfo, "-q", dir.File("out.ogg")}), 0) << quality;
    ASSERT_EQ(RunTool({kOggdec, "-Q", "-o", dir.File("ogg.wav"), dir.File("out.ogg")}), 0);
    EXPECT_EQ(ReadPcmWav(dir.File("ogg.wav"))->Frames(), frames) << quality;
  }

  conv.EncodeWavToMp3(dir.File("song.wav"), dir.File("out.mp3"), 320);
  EXPECT_EQ(ProbeValue(dir.File("out.mp3"), "bit_rate"), "320000");
  ASSERT_EQ(RunTool({kMpg123, "-q", "-w", dir.File("mp3.wav"), dir.File("out.mp3")}), 0);
  EXPECT_EQ(ReadPcmWav(dir.File("mp3.wav"))->Frames(), frames);
}

// Monkey's Audio both ways with jmac: its files at every level decode to the original, ours decode
// with it to the original, and the level reaches our file's header (after the 52-byte descriptor).
TEST_F(ConvertTest, MonkeysAudioFilesGoBothWaysWithJmac) {
  REQUIRE_TOOLS(kJmac);
  const auto original = WriteSong(dir.File("song.wav"), 2 * 44100 + 321);
  for (std::int32_t item = 1; item <= 4; ++item) {
    const std::int32_t level = item * 1000;
    SCOPED_TRACE(level);
    std::string command = "c";  // c1 to c4: the levels 1000 to 4000
    command += std::to_string(item);
    ASSERT_EQ(RunTool({kJmac, command, dir.File("song.wav"), dir.File("jmac.ape")}), 0);
    conv.DecodeApeToWav(dir.File("jmac.ape"), dir.File("from-jmac.wav"));
    EXPECT_EQ(ReadPcmWav(dir.File("from-jmac.wav"))->Samples, original);
    conv.EncodeWavToApe(dir.File("song.wav"), dir.File("ours.ape"), level);
    EXPECT_EQ(test::U16At(test::ReadBytes(dir.File("ours.ape")), 52), level);
    ASSERT_EQ(RunTool({kJmac, "d", dir.File("ours.ape"), dir.File("by-jmac.wav")}), 0);
    EXPECT_EQ(ReadPcmWav(dir.File("by-jmac.wav"))->Samples, original);
  }
  // Any other level encodes at 2000, and stays set for the next encoding.
  conv.EncodeWavToApe(dir.File("song.wav"), dir.File("odd.ape"), 2500);
  EXPECT_EQ(test::U16At(test::ReadBytes(dir.File("odd.ape")), 52), 2000);
  EXPECT_EQ(conv.MACOut1().CompressionLevel(), 2000);
}

// Opus: opusinfo accepts our files, whose header names the source's rate; opusdec gives back the
// source's length at that rate (the pre-skip honoured) lined up with it; ffmpeg gives the same length
// at 48 kHz (rounded up); the bit rate asked for is the one written, and rates outside 32..256 are kept
// within.
TEST_F(ConvertTest, OpusFilesThePeerToolsReadAtTheSourcesLength) {
  REQUIRE_TOOLS(kOpusinfo, kOpusdec, kFfmpeg);
  const std::size_t frames = 3 * 44100 + 123;
  const auto original = WriteSong(dir.File("song.wav"), frames);
  for (const std::int32_t kbps : {64, 128, 192}) {
    SCOPED_TRACE(kbps);
    conv.EncodeWavToOpus(dir.File("song.wav"), dir.File("out.opus"), kbps);
    std::string info;
    ASSERT_EQ(RunTool({kOpusinfo, dir.File("out.opus")}, &info), 0);
    EXPECT_NE(info.find("Original sample rate: 44100 Hz"), std::string::npos) << info;
    EXPECT_EQ(info.find("WARNING"), std::string::npos) << info;
    // "Average bitrate: 130 kbit/s, w/o overhead: 128.6 kbit/s": the encoder's own average.
    const std::size_t at = info.find("w/o overhead: ");
    ASSERT_NE(at, std::string::npos) << info;
    EXPECT_NEAR(std::strtod(info.c_str() + at + 14, nullptr), kbps, kbps * 0.15);
    ASSERT_EQ(RunTool({kOpusdec, "--quiet", dir.File("out.opus"), dir.File("opusdec.wav")}), 0);
    const auto decoded = ReadPcmWav(dir.File("opusdec.wav"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->Frames(), frames);
    const auto left = decoded->Channel(0);
    const auto source = test::ChannelOf(original, 0);
    EXPECT_EQ(test::BestLag(source, left, 200, 4096, 65536), 0);
    EXPECT_GT(test::CorrelationAt(source, left, 0, 4096, 65536), 0.98);
    std::string raw;
    ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-i", dir.File("out.opus"), "-f", "s16le", "-"}, &raw), 0);
    EXPECT_EQ(raw.size() / 4, (frames * 48000 + 44099) / 44100);
  }
  conv.EncodeWavToOpus(dir.File("song.wav"), dir.File("low.opus"), 8);
  EXPECT_EQ(conv.OpusOut1().BitRate(), 32);
}

TEST_F(ConvertTest, ArgumentsOutsideTheirListsFollowTheServiceRules) {
  REQUIRE_TOOLS(kFfprobe, kFlac);
  WriteSong(dir.File("song.wav"), 44100);
  // An MP3 rate not among the 18 keeps the previous one: 128 at first, then whatever was last set.
  conv.EncodeWavToMp3(dir.File("song.wav"), dir.File("a.mp3"), 100);
  EXPECT_EQ(ProbeValue(dir.File("a.mp3"), "bit_rate"), "128000");
  conv.EncodeWavToMp3(dir.File("song.wav"), dir.File("b.mp3"), 64);
  conv.EncodeWavToMp3(dir.File("song.wav"), dir.File("c.mp3"), 100);
  EXPECT_EQ(ProbeValue(dir.File("c.mp3"), "bit_rate"), "64000");
  EXPECT_EQ(conv.MP3Out1().BitRate(), TMP3BitRate::br64);

  // FLAC levels above 8 act as 8; the encoder stays valid either way.
  conv.EncodeWavToFlac(dir.File("song.wav"), dir.File("nine.flac"), 9);
  EXPECT_EQ(conv.FLACOut1().CompressionLevel(), 8);
  EXPECT_EQ(RunTool({kFlac, "-s", "-t", dir.File("nine.flac")}), 0);
}

// Watches one conversion: records its progress, and asks it to stop at the call the test names.
class Watcher : public ConversionObserver {
 public:
  explicit Watcher(int stopAt = -1) : stopAt_(stopAt) {}
  void PumpMessages() override { QCoreApplication::processEvents(); }
  void Progress(double fraction) override { progress.push_back(fraction); }
  bool StopRequested() override { return stopAt_ >= 0 && calls_++ >= stopAt_; }
  void Note(const std::string& text) override { notes.push_back(text); }

  std::vector<double> progress;
  std::vector<std::string> notes;

 private:
  int stopAt_;
  int calls_ = 0;
};

// Every decoding and encoding tells how far it is, and stops when asked, leaving no destination.
TEST_F(ConvertTest, ConversionsReportProgressAndStopWhenAsked) {
  WriteSong(dir.File("song.wav"), 40 * 44100);
  for (const char* ext : {".ogg", ".mp3", ".flac", ".wma", ".ape", ".m4a"}) {
    SCOPED_TRACE(ext);
    const std::string coded = dir.File(std::string("song") + ext);
    const FileFormat format = FormatFromExtension(coded);
    Watcher encoding;
    conv.Encode(format, dir.File("song.wav"), coded, EncoderSettings{}, &encoding);
    ASSERT_FALSE(encoding.progress.empty());
    Watcher decoding;
    conv.Decode(format, coded, dir.File("back.wav"), &decoding);
    ASSERT_FALSE(decoding.progress.empty());
    for (const auto* seen : {&encoding.progress, &decoding.progress}) {
      double last = 0;
      for (double p : *seen) {
        if (p < 0) continue;  // not known at that moment
        EXPECT_GE(p, last);
        EXPECT_LE(p, 1.0);
        last = p;
      }
    }

    const std::string stopped = dir.File(std::string("stopped") + ext);
    Watcher stopEncoding(0);
    EXPECT_THROW(conv.Encode(format, dir.File("song.wav"), stopped, EncoderSettings{}, &stopEncoding),
                 EAbort);
    EXPECT_FALSE(FileExists(stopped));
    Watcher stopDecoding(0);
    EXPECT_THROW(conv.Decode(format, coded, dir.File("stopped.wav"), &stopDecoding), EAbort);
    DeleteFileIfExists(dir.File("stopped.wav"));
  }
  ExpectOnlyFiles(dir.Path(),
                  {"back.wav", "song.ape", "song.flac", "song.m4a", "song.mp3", "song.ogg", "song.wav", "song.wma"});
}

// The duration of an MP4 file's first edit, in its movie time scale, and that scale: read from the
// "mvhd" and "elst" boxes as laid down in ISO/IEC 14496-12 (version 0 boxes, as FFmpeg writes them).
std::pair<std::uint32_t, std::uint32_t> FirstEditAndTimeScale(const std::vector<std::uint8_t>& file) {
  const auto find = [&](const char* box) {
    const auto at = std::search(file.begin(), file.end(), box, box + 4);
    return at == file.end() ? std::size_t{0} : static_cast<std::size_t>(at - file.begin());
  };
  const auto u32 = [&](std::size_t at) {
    return std::uint32_t{file[at]} << 24 | std::uint32_t{file[at + 1]} << 16 | std::uint32_t{file[at + 2]} << 8 |
           file[at + 3];
  };
  const std::size_t mvhd = find("mvhd"), elst = find("elst");
  if (mvhd == 0 || elst == 0) return {0, 0};
  // mvhd: version/flags, creation, modification, then the time scale; elst: version/flags, the entry
  // count, then each entry's segment duration and media time.
  return {u32(elst + 12), u32(mvhd + 16)};
}

// M4A: ffprobe reads AAC-LC at the bit rate asked for; ffmpeg skips the encoder's 1024 frames of
// priming (the edit list's media time) and gives the audio lined up with the source, then the rest of
// the last 1024-frame block; the edit list states the exact length in a time scale of the sample rate.
// A rate AAC lacks is written at the next higher one, and noted.
TEST_F(ConvertTest, M4aFilesFfmpegReadsAtTheAskedRateAndLength) {
  REQUIRE_TOOLS(kFfmpeg, kFfprobe);
  const std::size_t frames = 3 * 44100 + 123;
  const auto original = WriteSong(dir.File("song.wav"), frames);
  for (const std::int32_t kbps : {64, 192, 320}) {
    SCOPED_TRACE(kbps);
    conv.EncodeWavToM4a(dir.File("song.wav"), dir.File("out.m4a"), kbps);
    EXPECT_EQ(ProbeValue(dir.File("out.m4a"), "codec_name"), "aac");
    EXPECT_EQ(ProbeValue(dir.File("out.m4a"), "profile"), "LC");
    EXPECT_EQ(ProbeValue(dir.File("out.m4a"), "sample_rate"), "44100");
    EXPECT_NEAR(std::stod(ProbeValue(dir.File("out.m4a"), "bit_rate")), kbps * 1000.0, kbps * 100.0);
    EXPECT_EQ(FirstEditAndTimeScale(test::ReadBytes(dir.File("out.m4a"))),
              (std::pair<std::uint32_t, std::uint32_t>(frames, 44100)));
    ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-y", "-i", dir.File("out.m4a"), dir.File("ffmpeg.wav")}), 0);
    const auto decoded = ReadPcmWav(dir.File("ffmpeg.wav"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->Frames(), (frames + 1023) / 1024 * 1024);
    const auto left = decoded->Channel(0);
    const auto source = test::ChannelOf(original, 0);
    EXPECT_EQ(test::BestLag(source, left, 2048, 4096, 65536), 0);
    EXPECT_GT(test::CorrelationAt(source, left, 0, 4096, 65536), 0.98);
    // Our own reading ends at the edit list's length: the source's frames, ffmpeg's samples.
    Watcher reading;
    conv.Decode(FileFormat::M4a, dir.File("out.m4a"), dir.File("ours.wav"), &reading);
    const auto ours = ReadPcmWav(dir.File("ours.wav"));
    ASSERT_TRUE(ours);
    ASSERT_EQ(ours->Frames(), frames);
    int worst = 0;
    for (std::size_t i = 0; i < 2 * frames; ++i)
      worst = std::max(worst, std::abs(ours->Samples[i] - decoded->Samples[i]));
    EXPECT_LE(worst, 1);
  }
  test::WritePcmWav(dir.File("odd.wav"), test::SongLike(22000, 22000, 3), 22000, 2);
  Watcher watcher;
  EncoderSettings settings;
  conv.Encode(FileFormat::M4a, dir.File("odd.wav"), dir.File("odd.m4a"), settings, &watcher);
  EXPECT_EQ(ProbeValue(dir.File("odd.m4a"), "sample_rate"), "22050");
  EXPECT_EQ(watcher.notes, std::vector<std::string>{"AAC written at 22050 Hz (the source has 22000 Hz)"});
}

// LAME encodes rates MP3 cannot carry, or low bit rates, at a rate of its own choice: the caller
// hears of it.
TEST_F(ConvertTest, ChangedSampleRatesAreNoted) {
  REQUIRE_TOOLS(kFfprobe);
  test::WritePcmWav(dir.File("hi.wav"), test::SongLike(96000, 96000, 3), 96000, 2);
  Watcher watcher;
  EncoderSettings settings;
  settings.Mp3Kbps = 192;
  conv.Encode(FileFormat::Mp3, dir.File("hi.wav"), dir.File("hi.mp3"), settings, &watcher);
  const std::string written = ProbeValue(dir.File("hi.mp3"), "sample_rate");
  ASSERT_NE(written, "96000");
  EXPECT_EQ(watcher.notes,
            std::vector<std::string>{"MP3 written at " + written + " Hz (the source has 96000 Hz)"});
  WriteSong(dir.File("song.wav"), 44100);
  Watcher plain;
  conv.Encode(FileFormat::Mp3, dir.File("song.wav"), dir.File("song.mp3"), settings, &plain);
  settings.WmaKbps = 96;
  conv.Encode(FileFormat::Wma, dir.File("song.wav"), dir.File("song.wma"), settings, &plain);
  EXPECT_TRUE(plain.notes.empty());
  // The lowest WMA rates are written at a lower sample rate, which ffprobe confirms.
  Watcher low;
  settings.WmaKbps = 8;
  conv.Encode(FileFormat::Wma, dir.File("song.wav"), dir.File("low.wma"), settings, &low);
  EXPECT_EQ(ProbeValue(dir.File("low.wma"), "sample_rate"), "8000");
  EXPECT_EQ(low.notes, std::vector<std::string>{"WMA written at 8000 Hz (the source has 44100 Hz)"});
}

TEST_F(ConvertTest, TwoEncodingsToTheSameDestinationBothSucceed) {
  REQUIRE_TOOLS(kFlac);
  WriteSong(dir.File("song.wav"), 30000);
  for (int round = 0; round < 2; ++round) {
    conv.EncodeWavToFlac(dir.File("song.wav"), dir.File("same.flac"), 5);
    EXPECT_EQ(RunTool({kFlac, "-s", "-t", dir.File("same.flac")}), 0) << round;
    conv.EncodeWavToMp3(dir.File("song.wav"), dir.File("same.mp3"), 128);
    conv.EncodeWavToOgg(dir.File("song.wav"), dir.File("same.ogg"), 0.5);
  }
  ExpectOnlyFiles(dir.Path(), {"same.flac", "same.mp3", "same.ogg", "song.wav"});
}

TEST_F(ConvertTest, SourcesThatAreEmptyOrNotTheirFormatFailWithTheFileNamed) {
  test::WriteBytes(dir.File("empty"), {});
  test::WriteBytes(dir.File("junk"), std::vector<std::uint8_t>(5000, 0x5A));
  for (const std::string name : {"empty", "junk"}) {
    const std::string source = dir.File(name);
    const std::string wav = dir.File(name + ".wav");
    for (auto decode : {&TConvForm::DecodeOggToWav, &TConvForm::DecodeFlacToWav, &TConvForm::DecodeMp3ToWav,
                        &TConvForm::DecodeApeToWav}) {
      const std::string message = MessageOf([&] { (conv.*decode)(source, wav); });
      EXPECT_TRUE(StartsWith(message, kDecodingFailed + source)) << message;
    }
    const std::string message = MessageOf([&] { conv.DecodeWmaToWav(source, wav); });
    EXPECT_TRUE(StartsWith(message, kDecodingFailed + source)) << message;
  }
  // A Monkey's Audio file cut inside its audio, and one with a bit of its audio changed.
  WriteSong(dir.File("song.wav"), 3 * 73728);
  conv.EncodeWavToApe(dir.File("song.wav"), dir.File("song.ape"), 2000);
  auto ape = test::ReadBytes(dir.File("song.ape"));
  test::WriteBytes(dir.File("cut.ape"), std::vector<std::uint8_t>(ape.begin(), ape.begin() + ape.size() / 2));
  ape[ape.size() * 3 / 4] ^= 0x10;
  test::WriteBytes(dir.File("flipped.ape"), ape);
  for (const std::string name : {"cut.ape", "flipped.ape"}) {
    const std::string message = MessageOf([&] { conv.DecodeApeToWav(dir.File(name), dir.File("x.wav")); });
    EXPECT_EQ(message, kDecodingFailed + dir.File(name) + "\nMACDll error: decompressing frame");
  }
  // A missing source is the stream layer's message.
  const std::string message =
      MessageOf([&] { conv.DecodeFlacToWav(dir.File("none.flac"), dir.File("x.wav")); });
  EXPECT_TRUE(StartsWith(message, "Cannot open file")) << message;
}

TEST_F(ConvertTest, FailedEncodingsLeaveNoDestination) {
  test::WriteBytes(dir.File("junk.wav"), std::vector<std::uint8_t>(5000, 0x5A));
  WriteSong(dir.File("song.wav"), 20000);
  for (const std::string ext : {".flac", ".ogg", ".mp3", ".ape", ".opus", ".m4a"}) {
    const std::string dest = dir.File("out" + ext);
    test::WriteBytes(dest, {1, 2, 3});
    const FileFormat format = FormatFromExtension(dest);
    const std::string message =
        MessageOf([&] { conv.Encode(format, dir.File("junk.wav"), dest, EncoderSettings{}); });
    EXPECT_TRUE(StartsWith(message, kEncodingFailed + dest)) << message;
    EXPECT_FALSE(FileExists(dest)) << ext;
  }
  // A source the WMA library cannot read: an existing destination is gone and no new one appears.
  test::WriteBytes(dir.File("out.wma"), {1, 2, 3});
  const std::string message =
      MessageOf([&] { conv.EncodeWavToWma(dir.File("junk.wav"), dir.File("out.wma"), 96); });
  EXPECT_TRUE(StartsWith(message, kEncodingFailed + dir.File("out.wma"))) << message;
  ExpectOnlyFiles(dir.Path(), {"junk.wav", "song.wav"});
}

TEST_F(ConvertTest, WriteErrorsOnTheDestinationAreReported) {
  WriteSong(dir.File("song.wav"), 200000);
  for (const std::string ext : {".flac", ".ogg", ".mp3", ".opus"}) {
    const FileFormat format = FormatFromExtension("x" + ext);
    const std::string message =
        MessageOf([&] { conv.Encode(format, dir.File("song.wav"), "/dev/full", EncoderSettings{}); });
    EXPECT_TRUE(StartsWith(message, std::string(kEncodingFailed) + "/dev/full")) << message;
    EXPECT_NE(message.find("Cannot write to file"), std::string::npos) << message;
  }
}

TEST_F(ConvertTest, MissingMp3PluginIsReported) {
  WriteSong(dir.File("song.wav"), 1000);
  conv.Vbmp3Library = "libvbmp3-absent.so";
  EXPECT_EQ(MessageOf([&] { conv.DecodeMp3ToWav(dir.File("song.wav"), dir.File("x.wav")); }),
            kPluginNotLoaded);
}

TEST_F(ConvertTest, MissingWmaLibraryFailsOnlyTheWmaConversions) {
  const auto original = WriteSong(dir.File("song.wav"), 1000);
  conv.WmafileLibrary = "libwmafile-absent.so";
  const std::string missing = "libwmafile-absent.so library could not be loaded.";
  EXPECT_EQ(MessageOf([&] { conv.EncodeWavToWma(dir.File("song.wav"), dir.File("song.wma"), 96); }), missing);
  EXPECT_EQ(MessageOf([&] { conv.DecodeWmaToWav(dir.File("song.wav"), dir.File("x.wav")); }), missing);
  EXPECT_FALSE(FileExists(dir.File("song.wma")));
  // The other formats do without it.
  conv.EncodeWavToFlac(dir.File("song.wav"), dir.File("song.flac"), 5);
  conv.DecodeFlacToWav(dir.File("song.flac"), dir.File("back.wav"));
  const auto back = ReadPcmWav(dir.File("back.wav"));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Samples, original);
}

TEST_F(ConvertTest, ZeroSampleSourcesDecodeToAHeaderOnly) {
  REQUIRE_TOOLS(kFlac);
  // flac refuses an empty WAV, but codes empty raw input.
  test::WriteBytes(dir.File("silence.raw"), {});
  ASSERT_EQ(
      RunTool({kFlac, "-s", "-f", "--force-raw-format", "--endian=little", "--sign=signed", "--channels=2",
               "--bps=16", "--sample-rate=44100", "-o", dir.File("zero.flac"), dir.File("silence.raw")}),
      0);
  conv.DecodeFlacToWav(dir.File("zero.flac"), dir.File("zero.wav"));
  const auto bytes = test::ReadBytes(dir.File("zero.wav"));
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(test::U32At(bytes, 40), 0u);
}

// Whole jobs through the command-line tool, with the reduction bypassed so that the result can be
// checked against the source exactly.
class CliConversionTest : public ::testing::Test {
 protected:
  int Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {kCli, "--quiet"});
    return RunTool(args);
  }
  TempDir dir;
};

TEST_F(CliConversionTest, LosslessJobsKeepEverySample) {
  REQUIRE_TOOLS(kFlac);
  const auto original = WriteSong(dir.File("song.wav"), 3 * 44100 + 5);
  ASSERT_EQ(RunTool({kFlac, "-s", "-8", "-o", dir.File("song.flac"), dir.File("song.wav")}), 0);
  ASSERT_EQ(Cli({"--bypass-all", "--flac-level", "8", dir.File("song.flac"), dir.File("karaoke.flac")}), 0);
  ASSERT_EQ(RunTool({kFlac, "-s", "-t", dir.File("karaoke.flac")}), 0);
  ASSERT_EQ(RunTool({kFlac, "-s", "-d", "-o", dir.File("back.wav"), dir.File("karaoke.flac")}), 0);
  EXPECT_EQ(ReadPcmWav(dir.File("back.wav"))->Samples, original);
}

TEST_F(CliConversionTest, Mp3JobLinesUpWithTheSourceSampleForSample) {
  REQUIRE_TOOLS(kLame, kMpg123);
  const std::size_t frames = 4 * 44100 + 1000;
  WriteSong(dir.File("song.wav"), frames);
  ASSERT_EQ(RunTool({kLame, "--quiet", "-b", "256", dir.File("song.wav"), dir.File("song.mp3")}), 0);
  ASSERT_EQ(Cli({dir.File("song.mp3"), dir.File("karaoke.mp3")}), 0);
  ASSERT_EQ(RunTool({kMpg123, "-q", "-w", dir.File("source.wav"), dir.File("song.mp3")}), 0);
  ASSERT_EQ(RunTool({kMpg123, "-q", "-w", dir.File("karaoke.wav"), dir.File("karaoke.mp3")}), 0);
  auto source = ReadPcmWav(dir.File("source.wav"));
  auto karaoke = ReadPcmWav(dir.File("karaoke.wav"));
  ASSERT_TRUE(source && karaoke);
  EXPECT_EQ(karaoke->Frames(), frames);
  // The reduction keeps what differs between the channels: the side signal of the result lines up
  // with the source's at lag 0.
  std::vector<double> sideSource(source->Frames()), sideKaraoke(karaoke->Frames());
  for (std::size_t i = 0; i < sideSource.size(); ++i)
    sideSource[i] = source->Samples[2 * i] - source->Samples[2 * i + 1];
  for (std::size_t i = 0; i < sideKaraoke.size(); ++i)
    sideKaraoke[i] = karaoke->Samples[2 * i] - karaoke->Samples[2 * i + 1];
  EXPECT_EQ(test::BestLag(sideSource, sideKaraoke, 2000, 44100, 65536), 0);
}

TEST_F(CliConversionTest, EncoderOptionsReachTheEncoders) {
  REQUIRE_TOOLS(kFfprobe, kOpusinfo);
  WriteSong(dir.File("song.wav"), 44100);
  ASSERT_EQ(Cli({"--bypass-all", "--mp3-kbps", "96", dir.File("song.wav"), dir.File("a.mp3")}), 0);
  EXPECT_EQ(ProbeValue(dir.File("a.mp3"), "bit_rate"), "96000");
  ASSERT_EQ(Cli({"--bypass-all", "--wma-kbps", "64", dir.File("song.wav"), dir.File("a.wma")}), 0);
  EXPECT_EQ(ProbeValue(dir.File("a.wma"), "bit_rate"), "64000");
  // Rates the dialog does not offer are usage errors.
  EXPECT_EQ(Cli({"--mp3-kbps", "100", dir.File("song.wav"), dir.File("b.mp3")}), 2);
  EXPECT_EQ(Cli({"--wma-kbps", "7", dir.File("song.wav"), dir.File("b.wma")}), 2);
  // Opus takes any rate from 32 to 256 kbit/s.
  ASSERT_EQ(Cli({"--bypass-all", "--opus-kbps", "40", dir.File("song.wav"), dir.File("a.opus")}), 0);
  std::string info;
  ASSERT_EQ(RunTool({kOpusinfo, dir.File("a.opus")}, &info), 0);
  const std::size_t at = info.find("w/o overhead: ");
  ASSERT_NE(at, std::string::npos) << info;
  EXPECT_NEAR(std::strtod(info.c_str() + at + 14, nullptr), 40, 6);
  EXPECT_EQ(Cli({"--opus-kbps", "31", dir.File("song.wav"), dir.File("b.opus")}), 2);
  EXPECT_EQ(Cli({"--opus-kbps", "257", dir.File("song.wav"), dir.File("b.opus")}), 2);
  // AAC: any rate from 64 to 320 kbit/s.
  ASSERT_EQ(Cli({"--bypass-all", "--aac-kbps", "96", dir.File("song.wav"), dir.File("a.m4a")}), 0);
  EXPECT_NEAR(std::stod(ProbeValue(dir.File("a.m4a"), "bit_rate")), 96000, 9600);
  EXPECT_EQ(Cli({"--aac-kbps", "63", dir.File("song.wav"), dir.File("b.m4a")}), 2);
  EXPECT_EQ(Cli({"--aac-kbps", "321", dir.File("song.wav"), dir.File("b.m4a")}), 2);
  ExpectOnlyFiles(dir.Path(), {"a.m4a", "a.mp3", "a.opus", "a.wma", "song.wav"});
}

}  // namespace
}  // namespace merolune
