#pragma once
// The reduction job: source file to temporary WAV, block-by-block reduction, result to destination.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DestinationFile.h"
#include "Formats.h"
#include "ReductionSettings.h"
#include "WaveHeader.h"

namespace merolune {

// Messages the job shows or throws.
inline constexpr const char* kSourceMissing = "ソースファイルが存在しません。パスを確認してください。";
inline constexpr const char* kConfirmOverwrite = "保存先には既にファイルが存在します。上書きしますか？";
inline constexpr const char* kUnsupportedFormat = "未対応の形式です。";
inline constexpr const char* kCannotCreateStream = "ストリームを作成できません";
inline constexpr const char* kSourceNotFile = "ソースが通常のファイルではありません: ";
inline constexpr const char* kNotWav = "WAV ファイルではありません (RIFF/WAVE のヘッダーか fmt チャンクがありません)";
inline constexpr const char* kNotPcm = "PCM 以外の WAV ファイルには対応していません: ";
inline constexpr const char* kNotStereo = "ステレオではありません";
inline constexpr const char* kMonoSource =
    "ステレオではありません: モノラルのファイルは左右が同じ音なので、中央の声だけを消すことができず、"
    "カラオケにはできません";
inline constexpr const char* kUnsupportedBits = "対応していない量子化ビット数です";
inline constexpr const char* kShortFormatChunk = "WAV ファイルの fmt チャンクが短すぎます（16 バイト未満）";
inline constexpr const char* kZeroSampleRate = "WAV ファイルのサンプリング周波数が 0 です";
inline constexpr const char* kResultTooLarge = "出力が WAV の上限 (4 GiB) を超えます";
// Why a job refuses to write the removed part beside the karaoke track: in inverse mode the result
// is that part already, and after a key change the two no longer add up to the source.
inline constexpr const char* kVocalsWithInverse =
    "逆モードでは除去した部分（ボーカル）を別のファイルに書き出せません: 結果そのものが除去した部分です";
inline constexpr const char* kVocalsWithKeyChange =
    "キー変更をするときは除去した部分（ボーカル）を別のファイルに書き出せません: "
    "カラオケと足しても元の曲に戻りません";
inline constexpr const char* kVocalsSameAsDestination = "ボーカルの保存先がカラオケの保存先と同じです: ";
inline constexpr const char* kErrorCaption = "エラー";
inline constexpr const char* kConfirmCaption = "確認";

// Why a source of `channels` channels is refused: kMonoSource for one, the count for more than two.
std::string ChannelCountMessage(unsigned channels);

// Whether a WAV file's coding is one the converter turns into 16-bit PCM (IMA and Microsoft ADPCM,
// MPEG layer 3, PCM of 24 or 32 bits, IEEE float, also behind WAVE_FORMAT_EXTENSIBLE) rather than one
// the job reads itself or refuses.
bool WavNeedsDecoding(const WaveFormatInfo& format);
// Whether the job hands `source` to the converter: a coded format, a file outside the table (decoded
// by its content), or a WAV file for which WavNeedsDecoding holds.
bool SourceNeedsConverter(const std::string& source);

enum class ConversionPhase { Decoding, Encoding };

// One job's request, taken when the job starts; later changes to the controls apply to the next job.
struct JobRequest {
  int BlockSize = 8192;        // frames per block, see BlockSizeForPrecision
  ReductionSettings Settings;  // the reduction's settings (the key is ignored in inverse mode)
  bool BypassAll = false;      // no processing: the result is the source as it is
  // What the encodings receive, unless JobQuestions::ChooseEncoderSettings changes it.
  EncoderSettings Encoder;
  // The source's tags and front cover go into the destination (when the job has a TagCopier).
  bool KeepTags = true;
  // Where the removed part (the vocal stem) goes beside the karaoke track, made in the same pass;
  // empty for none. Its extension chooses its format as the destination's does, and it is checked,
  // encoded, tagged and put in place the same way. Sample for sample, karaoke + vocals = source
  // before each is limited to 16 bits, and the vocals are what inverse mode writes. With BypassAll
  // they are silence. Refused (before any work) in inverse mode, with a key change, and at the
  // destination's own path.
  std::string VocalsDestination;
};

// What the program around the job (the window, the command-line tool) learns of its progress. Every
// call of these three interfaces comes on the thread that runs DoReduce.
class JobProgress {
 public:
  virtual ~JobProgress() = default;

  // Handles pending events: before each block's subtraction, after each block, once after each
  // banner appears and in every wait. Cancel requests arrive here.
  virtual void PumpMessages() {}
  // Run controls locked when the job starts and unlocked when it ends, however it ends.
  virtual void LockControls() {}
  virtual void UnlockControls() {}
  // Progress in source bytes: position between minimum and maximum; 0, 0, 0 when it resets.
  virtual void SetProgress(std::uint64_t position, std::uint64_t minimum, std::uint64_t maximum) {
    (void)position, (void)minimum, (void)maximum;
  }
  // The conversion phases: a banner while a source is decoded or the result encoded (the window is
  // disabled meanwhile), and how far the decoding or encoding is, 0..1; negative when the
  // conversion cannot tell.
  virtual void BeginConversion(ConversionPhase phase) { (void)phase; }
  virtual void EndConversion(ConversionPhase phase) { (void)phase; }
  virtual void SetConversionProgress(ConversionPhase phase, double fraction) { (void)phase, (void)fraction; }
};

// The questions and messages the job puts to the user. Implementations may throw Exception from
// them; the job then cleans up and passes the error on.
class JobQuestions {
 public:
  virtual ~JobQuestions() = default;

  // A message box of the job's own with caption kErrorCaption (the missing source, a format
  // outside the table). The job ends right after it.
  virtual void ShowError(const std::string& message) = 0;
  // The destination exists: true to overwrite it, false to end the job with nothing changed.
  virtual bool ConfirmOverwrite(const std::string& destination) = 0;
  // Before a coded destination is encoded: `settings` holds the request's, which the user may change.
  virtual void ChooseEncoderSettings(FileFormat format, EncoderSettings& settings) { (void)format, (void)settings; }
  // Something the user should know that is no error (an encoder wrote another sample rate).
  virtual void Note(const std::string& text) { (void)text; }
};

// The monitor's share; these defaults stand for a program without sound output. ResetMonitor at
// the start; RenewStream once the source's header is known (returns whether sound output is
// available, throws Exception(kCannotCreateStream)); SourceFormatKnown with the source's format;
// MonitorFileBusy while the monitor has the output file open (the job waits); SetPlayEnabled after
// each block; SuspendPlayback before the result is encoded (returns whether playback was running)
// and ResumePlayback after.
class JobMonitor {
 public:
  virtual ~JobMonitor() = default;

  virtual void ResetMonitor() {}
  virtual bool RenewStream(std::uint32_t sampleRate) {
    (void)sampleRate;
    return false;
  }
  virtual void SourceFormatKnown(const WaveFormatInfo& format) { (void)format; }
  virtual bool MonitorFileBusy() { return false; }
  virtual void SetPlayEnabled(bool enabled) { (void)enabled; }
  virtual bool SuspendPlayback() { return false; }
  virtual void ResumePlayback() {}
};

// What a conversion in progress tells its caller, and how it learns that it should stop. Every call
// comes on the caller's thread, from inside Decode or Encode, every 10 ms or so.
class ConversionObserver {
 public:
  virtual ~ConversionObserver() = default;
  // Handles pending events: the window repaints and cancel requests arrive here.
  virtual void PumpMessages() = 0;
  // How far the conversion is, 0..1; negative when it cannot tell.
  virtual void Progress(double fraction) = 0;
  // True once the conversion should stop: it then stops within a fraction of a second, removes
  // what it wrote and throws EAbort.
  virtual bool StopRequested() = 0;
  // A fact for the user that is no error (the encoder wrote another sample rate than the source's).
  virtual void Note(const std::string& text) = 0;
};

// Decodes the five compressed formats (and what else the converter reads) to WAV before the job and encodes its result after it.
// Both throw Exception with the message to show, and EAbort when the observer asked them to stop;
// a failed Encode leaves no destination behind. Without an observer they run to their end.
class FormatConverter {
 public:
  virtual ~FormatConverter() = default;
  // Whether Decode and Encode handle `format`; the job refuses the others before any work.
  // By default the table's formats; a converter that reads files by their content also takes Other.
  virtual bool Supports(FileFormat format) const {
    return format != FileFormat::Unknown && format != FileFormat::Other;
  }
  virtual void Decode(FileFormat format, const std::string& source, const std::string& wav,
                      ConversionObserver* observer = nullptr) = 0;
  virtual void Encode(FileFormat format, const std::string& wav, const std::string& destination,
                      const EncoderSettings& settings, ConversionObserver* observer = nullptr) = 0;
};

// Copies the tags of a job's source (title, artist, ..., the front cover) into its finished result,
// before the result is put in place. Returns a note for the user when they could not be copied (the
// result is kept all the same), else an empty text.
class TagCopier {
 public:
  virtual ~TagCopier() = default;
  virtual std::string CopyTags(const std::string& source, FileFormat sourceFormat, const std::string& result,
                               FileFormat resultFormat) = 0;
};

enum class JobResult {
  Completed,   // the destination holds the result
  Cancelled,   // stopped after a block, or a conversion stopped; the destination is untouched
  NotStarted,  // ended with a message box (or the overwrite question answered no)
};

// One object serves every job of a run. DoReduce runs a whole job on the calling thread and
// calls back into the progress, questions and monitor at fixed points; RequestCancel may be called from any thread (or a
// signal handler). The result of the latest job stays on disk as LastOutputTempFile, so the
// monitor can go on playing it, until the next job starts or the object is destroyed.
class ReductionJob {
 public:
  // `converter` may be null: the coded formats are then refused as unsupported.
  ReductionJob(JobProgress& progress, JobQuestions& questions, JobMonitor& monitor,
               FormatConverter* converter = nullptr);
  ~ReductionJob();
  ReductionJob(const ReductionJob&) = delete;
  ReductionJob& operator=(const ReductionJob&) = delete;

  // Runs one job. Throws Exception after its clean-up when it fails; the temporary source (and the
  // vocals' temporary WAV) is deleted on every path. A destination that cannot be written ends the
  // job with a message box before any work; a failed or cancelled job leaves an existing
  // destination as it was. With the vocals, both destinations are put in place only once both
  // are complete.
  JobResult DoReduce(const std::string& source, const std::string& destination, const JobRequest& request);

  // Who copies the source's tags into the result; null (the default) keeps none. Not owned.
  void SetTagCopier(TagCopier* copier) { tagCopier_ = copier; }

  void RequestCancel() noexcept { cancelRequested_.store(true, std::memory_order_relaxed); }
  bool CancelRequested() const noexcept { return cancelRequested_.load(std::memory_order_relaxed); }

  // The current (or latest) job's source format, with DataSize counting the 16-bit output bytes.
  const WaveFormatInfo& SourceFormat() const { return sourceFormat_; }
  const std::string& OutputTempFile() const { return outputTempFile_; }
  const std::string& LastOutputTempFile() const { return lastOutputTempFile_; }
  // Deletes the latest result file (at shutdown); returns false when it could not be deleted.
  bool DeleteLastOutput();

 private:
  class Cleanup;
  class Phase;
  // A result on its way: the temporary WAV it is made in, its format and its destination.
  struct Delivery {
    const std::string* Wav;
    FileFormat Format;
    DestinationFile* Destination;
  };
  // Whether the converter handles the compressed `format`.
  bool CanConvert(FileFormat format) const;
  // The checks a destination passes before any work: a format that can be written, the overwrite
  // question, a place that can be written. False when the job ends there (with a message box, or
  // the question answered no); else true, with `target` made.
  bool CheckDestination(const std::string& destination, std::optional<DestinationFile>& target);
  JobResult Run(const std::string& source, FileFormat sourceFormat, const std::vector<Delivery>& deliveries,
                const JobRequest& request);
  void RunSourcePhase(FileFormat format, const std::string& source);
  void CheckFormat();
  // The two ways of making the result's audio from the source's, after BeginResult; each returns
  // the data bytes it wrote, to `out` and as many to `vocals` (the removed part) when given.
  std::uint32_t ProcessBlocks(Stream& in, Stream& out, Stream* vocals, int blockSize,
                              const ReductionSettings& settings, bool soundAvailable);
  std::uint32_t ProcessQuality(Stream& in, Stream& out, Stream* vocals, const ReductionSettings& settings,
                               bool soundAvailable);
  // The header of a 16-bit result of the source's rate, in plain PCM.
  WaveFormatInfo ResultHeader() const;
  // Writes the result's header with sizes still 0 and returns it (to be written again at the end);
  // SourceFormat's DataSize counts 16-bit bytes from then on.
  WaveFormatInfo BeginResult(Stream& out);
  // The vocals of a job that bypasses everything: as many silent frames as the source has.
  void WriteSilentVocals();
  // Encodes (or copies) each result into its destination's work file, copies the source's tags into
  // it, and puts them all in place once all are complete.
  void RunDestinationPhase(const std::string& source, FileFormat sourceFormat,
                           const std::vector<Delivery>& deliveries, const JobRequest& request);
  void WaitWhileMonitorBusy();
  // Throws EAbort once a cancel was requested.
  void StopIfCancelled() const;

  JobProgress& progress_;
  JobQuestions& questions_;
  JobMonitor& monitor_;
  FormatConverter* converter_;
  TagCopier* tagCopier_ = nullptr;
  std::atomic<bool> cancelRequested_{false};
  WaveFormatInfo sourceFormat_;
  // The audio of the temporary source: where the whole frames start, and how many there are.
  std::uint64_t audioStart_ = 0;
  std::uint64_t audioFrames_ = 0;
  std::string sourceTempFile_;
  std::string outputTempFile_;
  std::string lastOutputTempFile_;
  // The removed part's temporary WAV, while a job that writes it runs.
  std::string vocalsTempFile_;
};

}  // namespace merolune
