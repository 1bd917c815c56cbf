#pragma once
// The file formats: one table row per format with everything the job, the window, the encoding
// settings dialog and the command-line tool know about it, and the encoder settings.

#include <array>
#include <cstdint>
#include <string>

namespace merolune {

// A file's format, chosen by its extension; anything outside the table is Unknown. A source outside
// the table is Other: the converter decodes it by its content (MP4/M4A, Matroska, WavPack, ...).
enum class FileFormat { Unknown = -1, Wav, Ape, Ogg, Mp3, Flac, Wma, Opus, M4a, Other };

// What the encodings receive.
struct EncoderSettings {
  std::int32_t ApeLevel = 2000;  // 1000..4000
  double OggQuality = 0.5;       // -0.1..1.0
  std::int32_t Mp3Kbps = 192;
  std::int32_t FlacLevel = -1;  // 0..8, or -1 for the FLAC output's detailed settings
  std::int32_t WmaKbps = 96;
  std::int32_t OpusKbps = 128;  // 32..256
  std::int32_t AacKbps = 192;   // 64..320
};

// The encoding controls' raw values, as the settings dialog (or the command line) holds them; the
// defaults are the dialog's at start.
struct EncoderControls {
  int ApeItem = 1;      // the quality list's item, 0 .. kApeItems - 1
  int OggPosition = 5;  // the quality bar, kOggPositionMin .. kOggPositionMax
  int Mp3Kbps = 192;    // the selected bit rate, one of kMp3Rates
  int FlacLevel = -1;   // kFlacDetailedSettings ("デフォルト" ticked), else the bar, 0 .. kFlacLevelMax
  int WmaKbps = 96;     // the selected bit rate, one of kWmaRates
  int OpusKbps = 128;   // the selected bit rate, one of kOpusRates
  int AacKbps = 192;    // the selected bit rate, one of kAacRates
};

inline constexpr int kApeItems = 4;
inline constexpr int kOggPositionMin = -1;
inline constexpr int kOggPositionMax = 10;
inline constexpr int kFlacLevelMax = 8;
// The level that asks the FLAC encoder for its own detailed settings rather than a preset.
inline constexpr int kFlacDetailedSettings = -1;
// The bit rates offered, kbit/s.
inline constexpr std::array<int, 18> kMp3Rates{8,  16,  24,  32,  40,  48,  56,  64,  80,
                                               96, 112, 128, 144, 160, 192, 224, 256, 320};
inline constexpr std::array<int, 21> kWmaRates{5,  6,  8,  10,  12,  16,  20,  22,  32,  40, 48,
                                               64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
// The Opus rates the dialog lists; the command line takes any rate from the first to the last.
inline constexpr std::array<int, 11> kOpusRates{32, 48, 64, 80, 96, 112, 128, 160, 192, 224, 256};
// The AAC rates the dialog lists; the command line takes any rate from the first to the last.
inline constexpr std::array<int, 10> kAacRates{64, 80, 96, 112, 128, 160, 192, 224, 256, 320};

// The encoding settings dialog's pages, in its tab order; the licences follow the last.
enum EncoderPage : int {
  kNoEncoderPage = -1,
  kApePage = 0,
  kOggPage,
  kMp3Page,
  kFlacPage,
  kWmaPage,
  kOpusPage,
  kAacPage,
  kEncoderPages,
};

struct FormatRow {
  FileFormat Format;
  const char* Extension;  // in lower case, with its "."
  // The job's part: a coded format is decoded to WAV before the job and its result encoded after
  // it, by the converter; WAV is copied.
  bool Coded;
  const char* FilterName;   // the file dialogs' type, "Name (*.ext)"
  const char* MenuCaption;  // the save-format menu's item
  int MenuTag;              // the save-format menu's tag: its place in the menu
  int SettingsPage;         // the encoding settings dialog's page, or kNoEncoderPage
  const char* PageTitle;    // that page's tab; nullptr without one
  // Sets this format's share of the settings from the controls; nullptr for a format without any.
  void (*ApplyControls)(const EncoderControls& controls, EncoderSettings& settings);
};

// One row per format, in the file dialogs' order.
inline constexpr std::array<FormatRow, 8> kFormats{{
    {.Format = FileFormat::Wav,
     .Extension = ".wav",
     .Coded = false,
     .FilterName = "WaveSound",
     .MenuCaption = "&WaveSound (*.wav)",
     .MenuTag = 0,
     .SettingsPage = kNoEncoderPage,
     .PageTitle = nullptr,
     .ApplyControls = nullptr},
    {.Format = FileFormat::Ogg,
     .Extension = ".ogg",
     .Coded = true,
     .FilterName = "Ogg Vorbis",
     .MenuCaption = "&Ogg Vorbis (*.ogg)",
     .MenuTag = 2,
     .SettingsPage = kOggPage,
     .PageTitle = "Ogg",
     .ApplyControls = [](const EncoderControls& c,
                         EncoderSettings& s) { s.OggQuality = c.OggPosition / 10.0; }},
    {.Format = FileFormat::Mp3,
     .Extension = ".mp3",
     .Coded = true,
     .FilterName = "MPEG Audio Layer",
     .MenuCaption = "MP&3 (*.mp3)",
     .MenuTag = 1,
     .SettingsPage = kMp3Page,
     .PageTitle = "MP3",
     .ApplyControls = [](const EncoderControls& c, EncoderSettings& s) { s.Mp3Kbps = c.Mp3Kbps; }},
    {.Format = FileFormat::Ape,
     .Extension = ".ape",
     .Coded = true,
     .FilterName = "Monkey's Audio",
     .MenuCaption = "&Monkey's Audio (*.ape)",
     .MenuTag = 3,
     .SettingsPage = kApePage,
     .PageTitle = "Ape",
     .ApplyControls = [](const EncoderControls& c,
                         EncoderSettings& s) { s.ApeLevel = (c.ApeItem + 1) * 1000; }},
    {.Format = FileFormat::Wma,
     .Extension = ".wma",
     .Coded = true,
     .FilterName = "Windows Media Audio",
     .MenuCaption = "Win&dows Media Audio (*.wma)",
     .MenuTag = 5,
     .SettingsPage = kWmaPage,
     .PageTitle = "WMA",
     .ApplyControls = [](const EncoderControls& c, EncoderSettings& s) { s.WmaKbps = c.WmaKbps; }},
    {.Format = FileFormat::Flac,
     .Extension = ".flac",
     .Coded = true,
     .FilterName = "FLAC",
     .MenuCaption = "&FLAC (*.flac)",
     .MenuTag = 4,
     .SettingsPage = kFlacPage,
     .PageTitle = "FLAC",
     .ApplyControls = [](const EncoderControls& c, EncoderSettings& s) { s.FlacLevel = c.FlacLevel; }},
    {.Format = FileFormat::Opus,
     .Extension = ".opus",
     .Coded = true,
     .FilterName = "Ogg Opus",
     .MenuCaption = "Ogg O&pus (*.opus)",
     .MenuTag = 6,
     .SettingsPage = kOpusPage,
     .PageTitle = "Opus",
     .ApplyControls = [](const EncoderControls& c, EncoderSettings& s) { s.OpusKbps = c.OpusKbps; }},
    {.Format = FileFormat::M4a,
     .Extension = ".m4a",
     .Coded = true,
     .FilterName = "MPEG-4 AAC",
     .MenuCaption = "MPEG-4 &AAC (*.m4a)",
     .MenuTag = 7,
     .SettingsPage = kAacPage,
     .PageTitle = "AAC",
     .ApplyControls = [](const EncoderControls& c, EncoderSettings& s) { s.AacKbps = c.AacKbps; }},
}};

// The row of a format; nullptr for Unknown.
const FormatRow* FindFormat(FileFormat format);
// The row whose save-format menu tag is `tag`; nullptr when none has it.
const FormatRow* FormatWithMenuTag(int tag);
// The row whose encoding settings are on `page`; nullptr when none has it.
const FormatRow* FormatWithSettingsPage(int page);

// The extension of a path's file name from its last dot, in lower case (".WAV" gives ".wav"); empty
// when there is none or the name's only dot is its first character.
std::string LowerExtension(const std::string& path);
// The format chosen by a path's extension, compared in lower case (".WAV" is ".wav").
FileFormat FormatFromExtension(const std::string& path);
// A source's format: its extension's, and Other for any extension outside the table.
FileFormat SourceFormatFromPath(const std::string& path);
// Whether the job decodes or encodes `format` with the converter (false for WAV and Unknown).
bool IsCoded(FileFormat format);

// The extensions of the common sources outside the table, offered by the open dialog (the converter
// reads them by content, as any other extension).
inline constexpr std::array<const char*, 10> kOtherSourceExtensions{
    ".mp4", ".aac", ".webm", ".mka", ".mkv", ".wv", ".aif", ".aiff", ".ac3", ".caf"};

// The file dialogs' lists of types, ";;" between them: every format, then "All files (*)"; the
// open dialog's starts with all the formats in one and has the other sources before "All files".
std::string OpenDialogFilter();
std::string SaveDialogFilter();

// What the encodings receive for the controls' values: each format's share set as its row says.
EncoderSettings MakeEncoderSettings(const EncoderControls& controls);

}  // namespace merolune
