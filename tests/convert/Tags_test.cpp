// Tags and the front cover from every source format into every destination format that holds them,
// through merolune-cli --bypass-all. The peer tools write the sources' tags (ffmpeg -metadata with an
// attached picture, metaflac, a Vorbis comment's picture block built here byte by byte); ffprobe and
// ffmpeg read our results back.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "PeerTools.h"
#include "Signals.h"
#include "TempDir.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::RunTool;
using test::TempDir;
using test::ToolAvailable;

const std::string kFfmpeg = MEROLUNE_FFMPEG;
const std::string kFfprobe = MEROLUNE_FFPROBE;
const std::string kFlac = MEROLUNE_FLAC;
const std::string kMetaflac = MEROLUNE_METAFLAC;
const std::string kCli = MEROLUNE_CLI;

// The fields, by FFmpeg's generic names, with the values the sources carry.
const std::map<std::string, std::string> kFields{
    {"title", "夜の歌 (Night Song)"}, {"artist", "Artist Name"}, {"album", "Album Name"},
    {"album_artist", "Album Artist"}, {"track", "3/12"},         {"disc", "1/2"},
    {"date", "2021"},                 {"genre", "Pop"},          {"comment", "A comment"}};
// What a RIFF INFO chunk cannot hold.
const std::set<std::string> kNotInWav{"album_artist", "disc"};

// FFmpeg's names for the fields where its reader keeps a format's own ones.
std::string ProbeName(const std::string& ext, const std::string& field) {
  if (ext == ".ape" && field == "date") return "year";
  if (ext == ".ape" && field == "album_artist") return "album artist";
  if (ext == ".wma" && field == "date") return "wm/year";
  return field;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Base64(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? bytes[i + k] : 0u);
    for (std::size_t k = 0; k < 4; ++k) text += k <= n ? kDigits[(group >> (18 - 6 * k)) & 63] : '=';
  }
  return text;
}

// A FLAC picture block as a Vorbis comment carries it: type 3 (front cover), the MIME type, no
// description, no sizes, then the picture; every number 32-bit big-endian.
std::vector<std::uint8_t> PictureBlock(const std::vector<std::uint8_t>& jpeg) {
  std::vector<std::uint8_t> block;
  const auto u32 = [&](std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) block.push_back(static_cast<std::uint8_t>(v >> shift));
  };
  const std::string mime = "image/jpeg";
  u32(3);
  u32(static_cast<std::uint32_t>(mime.size()));
  block.insert(block.end(), mime.begin(), mime.end());
  for (int i = 0; i < 5; ++i) u32(0);  // description length, width, height, depth, colours
  u32(static_cast<std::uint32_t>(jpeg.size()));
  block.insert(block.end(), jpeg.begin(), jpeg.end());
  return block;
}

class TagsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& tool : {kFfmpeg, kFfprobe, kFlac, kMetaflac})
      if (!ToolAvailable(tool)) GTEST_SKIP() << "a peer tool is missing";
    test::WritePcmWav(dir_.File("song.wav"), test::SongLike(44100, 44100, 9), 44100, 2);
    ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-f", "lavfi", "-i", "color=c=0x3366cc:s=48x48", "-frames:v", "1",
                       dir_.File("cover.jpg")}),
              0);
    cover_ = test::ReadBytes(dir_.File("cover.jpg"));
  }

  std::vector<std::string> Metadata() const {
    std::vector<std::string> args;
    for (const auto& [key, value] : kFields) args.insert(args.end(), {"-metadata", key + "=" + value});
    return args;
  }

  // ffmpeg from the song (and the cover as an attached picture when `withCover`) to `name`.
  std::string Ffmpeg(const std::string& name, const std::vector<std::string>& codec, bool withCover) {
    std::vector<std::string> argv{kFfmpeg, "-v", "error", "-y", "-i", dir_.File("song.wav")};
    if (withCover) argv.insert(argv.end(), {"-i", dir_.File("cover.jpg"), "-map", "0:a", "-map", "1:v", "-c:v",
                                            "copy", "-disposition:v", "attached_pic"});
    argv.insert(argv.end(), codec.begin(), codec.end());
    const auto metadata = Metadata();
    argv.insert(argv.end(), metadata.begin(), metadata.end());
    argv.push_back(dir_.File(name));
    EXPECT_EQ(RunTool(argv), 0) << name;
    return dir_.File(name);
  }

  // The tags ffprobe finds in `file` and in its audio stream (not the picture's), by lower-case name.
  std::map<std::string, std::string> Probe(const std::string& file) {
    std::string out;
    EXPECT_EQ(RunTool({kFfprobe, "-v", "error", "-select_streams", "a:0", "-show_entries",
                       "format_tags:stream_tags", "-of", "default=noprint_wrappers=1", file},
                      &out),
              0);
    std::map<std::string, std::string> tags;
    std::size_t at = 0;
    while (at < out.size()) {
      const std::size_t end = out.find('\n', at);
      const std::string line = out.substr(at, end - at);
      at = end == std::string::npos ? out.size() : end + 1;
      if (line.rfind("TAG:", 0) != 0) continue;
      const std::size_t equals = line.find('=');
      tags.emplace(Lower(line.substr(4, equals - 4)), line.substr(equals + 1));
    }
    return tags;
  }

  // The attached picture's bytes as ffmpeg extracts them; empty without one.
  std::vector<std::uint8_t> Cover(const std::string& file) {
    const std::string out = dir_.File("extracted.jpg");
    std::remove(out.c_str());
    if (RunTool({kFfmpeg, "-v", "error", "-y", "-i", file, "-map", "0:v:0", "-c", "copy", "-f", "image2", out}) != 0)
      return {};
    return test::ReadBytes(out);
  }

  TempDir dir_;
  TempDir work_;
  std::vector<std::uint8_t> cover_;
};

TEST_F(TagsTest, EverySourcesTagsReachEveryDestinationThatHoldsThem) {
  struct Source {
    std::string name;
    bool cover;
    std::set<std::string> lacks;
  };
  const std::string picture = "METADATA_BLOCK_PICTURE=" + Base64(PictureBlock(cover_));
  Ffmpeg("src.mp3", {"-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "3"}, true);
  Ffmpeg("src.m4a", {"-c:a", "aac"}, true);
  Ffmpeg("src.ogg", {"-c:a", "libvorbis", "-metadata", picture}, false);
  Ffmpeg("src.opus", {"-c:a", "libopus", "-metadata", picture}, false);
  Ffmpeg("src.wma", {"-c:a", "wmav2"}, false);
  Ffmpeg("src.wv", {"-c:a", "wavpack"}, false);
  Ffmpeg("src.wav", {"-c:a", "pcm_s16le"}, false);
  ASSERT_EQ(RunTool({kFlac, "-s", "-f", "-o", dir_.File("src.flac"), dir_.File("song.wav")}), 0);
  std::vector<std::string> metaflac{kMetaflac, "--import-picture-from=" + dir_.File("cover.jpg")};
  const std::map<std::string, std::string> vorbisNames{
      {"album_artist", "ALBUMARTIST"}, {"track", "TRACKNUMBER"}, {"disc", "DISCNUMBER"}};
  for (const auto& [key, value] : kFields) {
    const auto named = vorbisNames.find(key);
    metaflac.push_back("--set-tag=" + (named == vorbisNames.end() ? key : named->second) + "=" + value);
  }
  metaflac.push_back(dir_.File("src.flac"));
  ASSERT_EQ(RunTool(metaflac), 0);
  // No peer tool tags a Monkey's Audio file: ffmpeg's APEv2 tag of the WavPack file (the same kind of
  // tag, at the end of the file from its header to its footer) goes onto one of our own.
  ASSERT_EQ(RunTool({kCli, "--quiet", "--bypass-all", dir_.File("song.wav"), dir_.File("src.ape")}), 0);
  const auto wavpack = test::ReadBytes(dir_.File("src.wv"));
  const std::string preamble = "APETAGEX";
  const auto tag = std::search(wavpack.begin(), wavpack.end(), preamble.begin(), preamble.end());
  ASSERT_NE(tag, wavpack.end());
  auto ape = test::ReadBytes(dir_.File("src.ape"));
  ape.insert(ape.end(), tag, wavpack.end());
  test::WriteBytes(dir_.File("src.ape"), ape);

  const std::vector<Source> sources{{"src.mp3", true, {}},  {"src.m4a", true, {}},      {"src.ogg", true, {}},
                                    {"src.opus", true, {}}, {"src.flac", true, {}},     {"src.wma", false, {}},
                                    {"src.wv", false, {}},  {"src.ape", false, {}},      {"src.wav", false, kNotInWav}};
  for (const Source& source : sources) {
    for (const std::string ext : {".wav", ".mp3", ".ogg", ".opus", ".flac", ".ape", ".wma", ".m4a"}) {
      SCOPED_TRACE(source.name + " to " + ext);
      const std::string out = work_.File("out" + ext);
      std::string errors;
      ASSERT_EQ(RunTool({kCli, "--quiet", "--overwrite", "--bypass-all", dir_.File(source.name), out}, nullptr, &errors), 0)
          << errors;
      const auto tags = Probe(out);
      for (const auto& [key, value] : kFields) {
        const bool held = !source.lacks.count(key) && !(ext == ".wav" && kNotInWav.count(key));
        const auto found = tags.find(ProbeName(ext, key));
        if (held) {
          EXPECT_TRUE(found != tags.end() && found->second == value) << key;
        } else {
          EXPECT_TRUE(found == tags.end()) << key << " invented";
        }
      }
      const auto extracted = Cover(out);
      if (source.cover && ext != ".wav") {
        EXPECT_EQ(extracted, cover_);
      } else {
        EXPECT_TRUE(extracted.empty());
      }
      // The tagged file is still read by our own decoders, to the frame count ffmpeg gives (for WMA and
      // M4A, less the encoder's padding that our reader cuts off by the stored length).
      ASSERT_EQ(RunTool({kCli, "--quiet", "--overwrite", "--bypass-all", out, work_.File("back.wav")}), 0);
      std::string raw;
      ASSERT_EQ(RunTool({kFfmpeg, "-v", "error", "-i", out, "-map", "0:a", "-f", "s16le", "-"}, &raw), 0);
      const auto back = test::ReadPcmWav(work_.File("back.wav"));
      ASSERT_TRUE(back);
      if (ext == ".wma") {
        EXPECT_LE(back->Frames(), raw.size() / 4);
        EXPECT_GE(back->Frames() + 2 * 2048, raw.size() / 4);
      } else if (ext == ".m4a") {
        // Less the last AAC frame's padding, which our reader cuts off at the edit list's length.
        EXPECT_LE(back->Frames(), raw.size() / 4);
        EXPECT_GT(back->Frames() + 1024, raw.size() / 4);
      } else {
        EXPECT_EQ(back->Frames(), raw.size() / 4);
      }
    }
  }
}

// --no-tags leaves them out; a source without any gives a result without any.
TEST_F(TagsTest, NoTagsOptionAndUntaggedSourcesGiveUntaggedResults) {
  const std::string tagged = Ffmpeg("src.mp3", {"-c:a", "libmp3lame", "-id3v2_version", "3"}, true);
  for (const std::string ext : {".flac", ".m4a", ".wav"}) {
    SCOPED_TRACE(ext);
    ASSERT_EQ(RunTool({kCli, "--quiet", "--overwrite", "--no-tags", tagged, work_.File("out" + ext)}), 0);
    ASSERT_EQ(RunTool({kCli, "--quiet", "--overwrite", dir_.File("song.wav"), work_.File("plain" + ext)}), 0);
    for (const std::string& out : {work_.File("out" + ext), work_.File("plain" + ext)}) {
      const auto tags = Probe(out);
      for (const auto& [key, value] : kFields) EXPECT_EQ(tags.count(ProbeName(ext, key)), 0u) << out << " " << key;
      EXPECT_TRUE(Cover(out).empty()) << out;
    }
  }
}

}  // namespace
}  // namespace merolune
