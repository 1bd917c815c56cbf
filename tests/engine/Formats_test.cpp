// The format table as its callers see it: extensions, the save-format menu, the file dialogs'
// filters, the settings pages and the encoder settings the controls stand for.

#include "Formats.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace merolune {
namespace {

TEST(FormatsTest, EveryExtensionChoosesItsFormatInAnyCase) {
  EXPECT_EQ(FormatFromExtension("a.wav"), FileFormat::Wav);
  EXPECT_EQ(FormatFromExtension("/x/b.MP3"), FileFormat::Mp3);
  EXPECT_EQ(FormatFromExtension("c.Ogg"), FileFormat::Ogg);
  EXPECT_EQ(FormatFromExtension("d.flac"), FileFormat::Flac);
  EXPECT_EQ(FormatFromExtension("e.WMA"), FileFormat::Wma);
  EXPECT_EQ(FormatFromExtension("f.ape"), FileFormat::Ape);
  EXPECT_EQ(FormatFromExtension("h.M4A"), FileFormat::M4a);
  EXPECT_EQ(FormatFromExtension("g.aiff"), FileFormat::Unknown);
  EXPECT_EQ(FormatFromExtension("dir.mp3/noext"), FileFormat::Unknown);
}

TEST(FormatsTest, OnlyWavIsCopiedTheOthersAreCoded) {
  EXPECT_FALSE(IsCoded(FileFormat::Wav));
  EXPECT_FALSE(IsCoded(FileFormat::Unknown));
  for (FileFormat f : {FileFormat::Ape, FileFormat::Ogg, FileFormat::Mp3, FileFormat::Flac, FileFormat::Wma,
                       FileFormat::Opus, FileFormat::M4a})
    EXPECT_TRUE(IsCoded(f));
}

TEST(FormatsTest, TheSaveFormatMenuHasOneItemPerTagInItsOrder) {
  const char* const extensions[] = {".wav", ".mp3", ".ogg", ".ape", ".flac", ".wma", ".opus", ".m4a"};
  const char* const captions[] = {"&WaveSound (*.wav)",      "MP&3 (*.mp3)",   "&Ogg Vorbis (*.ogg)",
                                  "&Monkey's Audio (*.ape)", "&FLAC (*.flac)", "Win&dows Media Audio (*.wma)",
                                  "Ogg O&pus (*.opus)",      "MPEG-4 &AAC (*.m4a)"};
  for (int tag = 0; tag < 8; ++tag) {
    const FormatRow* row = FormatWithMenuTag(tag);
    ASSERT_NE(row, nullptr) << tag;
    EXPECT_STREQ(row->Extension, extensions[tag]);
    EXPECT_STREQ(row->MenuCaption, captions[tag]);
  }
  EXPECT_EQ(FormatWithMenuTag(-1), nullptr);
  EXPECT_EQ(FormatWithMenuTag(8), nullptr);
}

TEST(FormatsTest, TheFileDialogsListEveryFormatThenAllFiles) {
  EXPECT_EQ(SaveDialogFilter(),
            "WaveSound (*.wav);;Ogg Vorbis (*.ogg);;MPEG Audio Layer (*.mp3);;Monkey's Audio (*.ape);;"
            "Windows Media Audio (*.wma);;FLAC (*.flac);;Ogg Opus (*.opus);;MPEG-4 AAC (*.m4a);;All files (*)");
  EXPECT_EQ(OpenDialogFilter(),
            "All Supported Format (*.wav *.ogg *.mp3 *.ape *.wma *.flac *.opus *.m4a *.mp4 *.aac *.webm *.mka *.mkv "
            "*.wv *.aif *.aiff *.ac3 *.caf);;WaveSound (*.wav);;Ogg Vorbis (*.ogg);;"
            "MPEG Audio Layer (*.mp3);;Monkey's Audio (*.ape);;Windows Media Audio (*.wma);;FLAC (*.flac);;"
            "Ogg Opus (*.opus);;MPEG-4 AAC (*.m4a);;Other audio (*.mp4 *.aac *.webm *.mka *.mkv *.wv *.aif *.aiff *.ac3 *.caf);;"
            "All files (*)");
}

TEST(FormatsTest, EachCodedFormatHasItsOwnSettingsPageAndWavNone) {
  EXPECT_EQ(FindFormat(FileFormat::Wav)->SettingsPage, kNoEncoderPage);
  EXPECT_EQ(FindFormat(FileFormat::Ape)->SettingsPage, 0);
  EXPECT_EQ(FindFormat(FileFormat::Ogg)->SettingsPage, 1);
  EXPECT_EQ(FindFormat(FileFormat::Mp3)->SettingsPage, 2);
  EXPECT_EQ(FindFormat(FileFormat::Flac)->SettingsPage, 3);
  EXPECT_EQ(FindFormat(FileFormat::Wma)->SettingsPage, 4);
  EXPECT_EQ(FindFormat(FileFormat::Opus)->SettingsPage, 5);
  EXPECT_EQ(FindFormat(FileFormat::M4a)->SettingsPage, 6);
  EXPECT_EQ(FindFormat(FileFormat::Unknown), nullptr);
  const char* const titles[] = {"Ape", "Ogg", "MP3", "FLAC", "WMA", "Opus", "AAC"};
  for (int page = 0; page < 7; ++page) {
    ASSERT_NE(FormatWithSettingsPage(page), nullptr) << page;
    EXPECT_STREQ(FormatWithSettingsPage(page)->PageTitle, titles[page]);
  }
  EXPECT_EQ(FormatWithSettingsPage(kNoEncoderPage), nullptr);
  EXPECT_EQ(FormatWithSettingsPage(7), nullptr);
}

TEST(FormatsTest, TheDefaultControlsGiveTheDefaultEncoderSettings) {
  const EncoderSettings s = MakeEncoderSettings(EncoderControls{});
  EXPECT_EQ(s.ApeLevel, 2000);
  EXPECT_DOUBLE_EQ(s.OggQuality, 0.5);
  EXPECT_EQ(s.Mp3Kbps, 192);
  EXPECT_EQ(s.FlacLevel, -1);
  EXPECT_EQ(s.WmaKbps, 96);
  EXPECT_EQ(s.OpusKbps, 128);
  EXPECT_EQ(s.AacKbps, 192);
}

TEST(FormatsTest, TheControlsTurnIntoTheEncodersArguments) {
  EncoderControls c;
  c.ApeItem = 3;
  c.OggPosition = -1;
  c.Mp3Kbps = 320;
  c.FlacLevel = 8;
  c.WmaKbps = 5;
  c.OpusKbps = 32;
  c.AacKbps = 320;
  const EncoderSettings s = MakeEncoderSettings(c);
  EXPECT_EQ(s.OpusKbps, 32);
  EXPECT_EQ(s.AacKbps, 320);
  EXPECT_EQ(s.ApeLevel, 4000);
  EXPECT_DOUBLE_EQ(s.OggQuality, -0.1);
  EXPECT_EQ(s.Mp3Kbps, 320);
  EXPECT_EQ(s.FlacLevel, 8);
  EXPECT_EQ(s.WmaKbps, 5);
  c.ApeItem = 0;
  c.OggPosition = 10;
  c.FlacLevel = 0;
  EXPECT_EQ(MakeEncoderSettings(c).ApeLevel, 1000);
  EXPECT_DOUBLE_EQ(MakeEncoderSettings(c).OggQuality, 1.0);
  EXPECT_EQ(MakeEncoderSettings(c).FlacLevel, 0);
}

TEST(FormatsTest, TheOfferedBitRatesAreTheEncodersLists) {
  EXPECT_EQ(std::set<int>(kMp3Rates.begin(), kMp3Rates.end()),
            (std::set<int>{8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256, 320}));
  EXPECT_EQ(std::set<int>(kWmaRates.begin(), kWmaRates.end()),
            (std::set<int>{5,  6,  8,  10,  12,  16,  20,  22,  32,  40, 48,
                           64, 80, 96, 112, 128, 160, 192, 224, 256, 320}));
}

}  // namespace
}  // namespace merolune
