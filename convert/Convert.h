#pragma once
// The conversion service: decodes the compressed formats to WAV before a job, encodes its WAV after it.

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ReductionJob.h"

struct anyaudio_result;

namespace merolune {

class TAuFileIn;
class TAuFileOut;
class TAuOutput;
class TFLACIn;
class TFLACOut;
class TMACIn;
class TMACOut;
class TMP3Out;
class TOpusOut;
class TVorbisIn;
class TVorbisOut;
class TWaveIn;
class TWaveOut;

// A conversion failed; the text names the file and, when a component said why, its reason.
inline constexpr char kDecodingFailed[] = "デコードに失敗しました: ";
inline constexpr char kEncodingFailed[] = "エンコードに失敗しました: ";
// vbmp3 could not be opened.
inline constexpr char kPluginNotLoaded[] = "プラグインをロードできません";
// The soname the MP3 decoding loads at each call.
inline constexpr char kVbmp3Library[] = "libvbmp3.so";
// The soname the WMA conversions load at each call (already loaded in the desktop program, which links it).
inline constexpr char kWmafileLibrary[] = "libwmafile.so";
// The soname that decodes the sources outside the table, by their content, loaded when one is met.
inline constexpr char kAnyaudioLibrary[] = "libanyaudio.so";
// Why a source outside the table did not decode, after kDecodingFailed and the file.
inline constexpr char kNoAudioStream[] = "音声ストリームがありません（映像だけのファイルか、音声を含まないファイルです）";
inline constexpr char kNoAudioDecoder[] = "この音声の符号化方式には対応していません: ";
inline constexpr char kDamagedSource[] = "ファイルが壊れているか、途中で切れています: ";

// Owns one of each pipeline component for the whole run and converts one file at a time with them.
// Every operation is synchronous: it returns when the conversion has ended, running PumpMessages
// every 10 ms meanwhile so that the windows stay alive. The codec work runs on the output's worker
// thread, in libvbmp3's thread, or (WMA) on a thread of the operation's own.
//
// Threads: construct, use and destroy on the UI thread (a QCoreApplication must exist). Not
// re-entrant: the caller keeps the user from starting a second conversion while one runs.
//
// Errors: the constructor throws EAuException when a codec library is missing ("libFLAC.so.12 library
// could not be loaded.", "libmacdll.so library could not be loaded." and so on). Every operation throws when
// its conversion fails: the stream layer's messages for files it cannot open or create,
// "プラグインをロードできません" when libvbmp3.so is missing, "libwmafile.so library could not be loaded."
// when a WMA conversion finds no libwmafile.so ("libanyaudio.so ..." likewise for a source outside the
// table), and kDecodingFailed / kEncodingFailed followed by the file
// and the component's reason otherwise. A failed encoding leaves no destination behind; a failed decoding may
// leave a partial WAV, which the job deletes with its temporary files.
class TConvForm : public QObject, public FormatConverter {
  Q_OBJECT

 public:
  explicit TConvForm(QObject* owner = nullptr);
  ~TConvForm() override;
  TConvForm(const TConvForm&) = delete;
  TConvForm& operator=(const TConvForm&) = delete;

  void DecodeOggToWav(const std::string& source, const std::string& dest);
  void DecodeMp3ToWav(const std::string& source, const std::string& dest);
  void DecodeApeToWav(const std::string& source, const std::string& dest);
  void DecodeFlacToWav(const std::string& source, const std::string& dest);
  // Whether dest exists afterwards (it always does when this returns normally).
  bool DecodeWmaToWav(const std::string& source, const std::string& dest);
  // Quality -0.1..1.0, stored in single precision.
  void EncodeWavToOgg(const std::string& source, const std::string& dest, double quality);
  // One of the 18 MP3 bit rates; any other value keeps the previous one (128 at first).
  void EncodeWavToMp3(const std::string& source, const std::string& dest, std::uint16_t kbps);
  // 1000, 2000, 3000 or 4000; any other value means 2000.
  void EncodeWavToApe(const std::string& source, const std::string& dest, std::int32_t level);
  // 0..8 (higher means 8), or -1 for the FLAC output's detailed settings.
  void EncodeWavToFlac(const std::string& source, const std::string& dest, std::int8_t level);
  void EncodeWavToWma(const std::string& source, const std::string& dest, std::uint16_t kbps);
  // 32..256 kbit/s (kept within); the file is at 48 kHz as Opus always is, its header naming the source's
  // rate.
  void EncodeWavToOpus(const std::string& source, const std::string& dest, std::int32_t kbps);
  // AAC-LC at 64..320 kbit/s (kept within) in an M4A file, through libanyaudio.so; at the source's rate
  // when AAC has it, else at the next higher one (noted).
  void EncodeWavToM4a(const std::string& source, const std::string& dest, std::int32_t kbps);
  // Any file libanyaudio.so reads (MP4/M4A, Opus, Matroska, WavPack, AIFF, AC-3, CAF, a video's first
  // audio stream...), chosen by its content, to 16-bit stereo at its own rate.
  void DecodeAnyToWav(const std::string& source, const std::string& dest);
  // A WAV file the job does not read itself: ADPCM and MPEG layer 3 through TWaveIn, 24/32-bit and
  // floating-point samples narrowed to 16 bits with dither.
  void DecodeWavToWav(const std::string& source, const std::string& dest);

  // The table's formats, WAV files in the codings above, and Other.
  bool Supports(FileFormat format) const override { return format != FileFormat::Unknown; }

  // The job's entry points: the operation for the format, with the settings for the encodings.
  void Decode(FileFormat format, const std::string& source, const std::string& wav,
              ConversionObserver* observer = nullptr) override;
  void Encode(FileFormat format, const std::string& wav, const std::string& destination,
              const EncoderSettings& settings, ConversionObserver* observer = nullptr) override;

  // Run between polls while a conversion runs without an observer; QCoreApplication::processEvents
  // by default.
  std::function<void()> PumpMessages;
  // The libraries the MP3 decoding and the WMA conversions open, by soname.
  std::string Vbmp3Library = kVbmp3Library;
  std::string WmafileLibrary = kWmafileLibrary;
  std::string AnyaudioLibrary = kAnyaudioLibrary;

  TVorbisIn& VorbisIn1() { return *vorbisIn_; }
  TFLACIn& FLACIn1() { return *flacIn_; }
  TMACIn& MACIn1() { return *macIn_; }
  TWaveIn& WaveIn1() { return *waveIn_; }
  TWaveOut& WaveOut1() { return *waveOut_; }
  TVorbisOut& VorbisOut1() { return *vorbisOut_; }
  TMP3Out& MP3Out1() { return *mp3Out_; }
  TFLACOut& FLACOut1() { return *flacOut_; }
  TMACOut& MACOut1() { return *macOut_; }
  TOpusOut& OpusOut1() { return *opusOut_; }

 private:
  class Observing;

  // The observer's pump, or PumpMessages without one.
  void Pump();
  bool StopRequested() const;
  void ReportProgress(double fraction);
  // Polls the output until it is no longer working, pumping and sleeping 10 ms per turn; stops it
  // and throws EAbort when the observer asks.
  void WaitForOutput(TAuOutput& output);
  void RunDecoder(TAuFileIn& decoder, const std::string& source, const std::string& dest);
  void RunEncoder(TAuFileOut& encoder, const std::string& source, const std::string& dest);
  // Runs `work` on a thread of its own, pumping meanwhile. `work` watches `stop` (set when the
  // observer asks to stop; EAbort follows once it returns) and may store its progress in thousandths.
  void RunBeside(
      const std::function<void(const std::atomic<bool>& stop, std::atomic<std::int32_t>& permille)>& work);
  // Runs libanyaudio.so beside the UI thread: `source` decoded into the WAV file `dest` when `aacKbps` is
  // 0, else encoded as AAC at `aacKbps` into the M4A file `dest`. Returns its status; throws when the
  // source cannot be opened, the library is missing, or the observer stopped the conversion.
  std::int32_t RunAnyaudio(const std::string& source, const std::string& dest, std::int32_t aacKbps,
                           anyaudio_result& result);
  // Tells the observer when an encoder wrote another sample rate than the source's.
  void NoteSampleRate(const char* format, std::uint32_t source, std::int32_t written);
  void Note(const std::string& text);
  // Narrows `source` (a wide WAV) into `dest` with progress and stop, and notes clipped overs.
  void Narrow(const std::string& source, const std::string& dest, const std::string& named);
  // A decoder's WAV result with samples wider than 16 bits (24-bit FLAC, say) narrowed in place.
  void NarrowIfWide(const std::string& source, const std::string& wav);

  ConversionObserver* observer_ = nullptr;  // for the conversion in progress

  // Owned through Qt's parent (this object), created in the constructor in this order.
  TVorbisIn* vorbisIn_ = nullptr;
  TFLACIn* flacIn_ = nullptr;
  TMACIn* macIn_ = nullptr;
  TWaveIn* waveIn_ = nullptr;
  TWaveOut* waveOut_ = nullptr;
  TVorbisOut* vorbisOut_ = nullptr;
  TMP3Out* mp3Out_ = nullptr;
  TFLACOut* flacOut_ = nullptr;
  TMACOut* macOut_ = nullptr;
  TOpusOut* opusOut_ = nullptr;
};

}  // namespace merolune
