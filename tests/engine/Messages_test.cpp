// The messages in English: each line the translation of the known message it is, what fills the
// message's places kept as it was, anything else left alone; in Japanese, nothing changes.

#include "Messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "DestinationFile.h"
#include "ReductionJob.h"

namespace merolune {
namespace {

bool Ascii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

TEST(LocalizedMessage, EachLineBecomesItsTranslation) {
  struct Case {
    std::string japanese, english;
  };
  const Case cases[] = {
      {kSourceMissing, "The source file does not exist. Please check the path."},
      {kErrorCaption, "Error"},
      // A place filled with a path, which stays as it is, Japanese or not.
      {"ファイルを開けません: /home/u/曲/歌.wav (No such file or directory)",
       "Cannot open the file: /home/u/曲/歌.wav (No such file or directory)"},
      {std::string(kSourceNotFile) + "/srv/music/エラー",
       "The source is not a regular file: /srv/music/エラー"},
      // The most fixed text wins: the message itself, not "cannot read: <anything>".
      {"ファイルを読み込めません: 予期しない終端", "Cannot read the file: unexpected end"},
      {"ファイルを読み込めません: /a.wav (Input/output error)",
       "Cannot read the file: /a.wav (Input/output error)"},
      {ChannelCountMessage(1),
       "Not stereo: a mono file has the same sound on the left and the right, so the voice in the centre "
       "cannot be "
       "removed on its own and no karaoke track can be made"},
      {ChannelCountMessage(6), "Not stereo: this file has 6 channels (only 2-channel stereo is supported)"},
      {"チャンネル番号7は無効です、0～3の範囲で指定してください",
       "Channel number 7 is not valid; give one from 0 to 3"},
      // Every line on its own: a conversion's failure names the file, then its reason.
      {"デコードに失敗しました: /m/a.mp3\nファイルが壊れているか、途中で切れています: frame 12",
       "Decoding failed: /m/a.mp3\nThe file is damaged or cut short: frame 12"},
      {"デコードに失敗しました: /m/a.mp3\n", "Decoding failed: /m/a.mp3\n"},
      // No known message: left as it is, and a place is never empty.
      {"libFLAC.so.12 library could not be loaded.", "libFLAC.so.12 library could not be loaded."},
      {"未知のメッセージ", "未知のメッセージ"},
      {"ファイルを開けません: ", "ファイルを開けません: "},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.japanese);
    EXPECT_EQ(LocalizedMessage(c.japanese, Language::English), c.english);
    EXPECT_EQ(LocalizedMessage(c.japanese, Language::Japanese), c.japanese);
  }
}

// Every message the job and the destination declare reads in English, with an ASCII file name.
TEST(LocalizedMessage, TheJobsMessagesAllHaveTranslations) {
  const std::string path = "/music/song.wav";
  for (const std::string& message : {std::string(kSourceMissing),
                                     std::string(kConfirmOverwrite),
                                     std::string(kUnsupportedFormat),
                                     std::string(kCannotCreateStream),
                                     kSourceNotFile + path,
                                     std::string(kNotWav),
                                     kNotPcm + path,
                                     std::string(kNotStereo),
                                     std::string(kMonoSource),
                                     ChannelCountMessage(3),
                                     std::string(kUnsupportedBits),
                                     std::string(kShortFormatChunk),
                                     std::string(kZeroSampleRate),
                                     std::string(kResultTooLarge),
                                     std::string(kVocalsWithInverse),
                                     std::string(kVocalsWithKeyChange),
                                     kVocalsSameAsDestination + path,
                                     std::string(kErrorCaption),
                                     std::string(kConfirmCaption),
                                     std::string(kNoDestination),
                                     kCannotWriteDestination + path,
                                     kCannotCreateFolder + path}) {
    const std::string english = LocalizedMessage(message, Language::English);
    EXPECT_TRUE(Ascii(english)) << message << " -> " << english;
  }
}

}  // namespace
}  // namespace merolune
