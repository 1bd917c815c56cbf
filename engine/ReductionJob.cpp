// The reduction job: source to temporary WAV, the block loop, and the result to its destination.

#include "ReductionJob.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "Exception.h"
#include "LittleEndian.h"
#include "Paths.h"
#include "QualityReduction.h"
#include "SpectralReduction.h"
#include "Stream.h"

namespace merolune {

namespace {

// Every wait on the job's thread handles events and sleeps this long per check.
constexpr auto kWaitStep = std::chrono::milliseconds(10);
// Play becomes available once this many seconds of output exist.
constexpr std::uint64_t kPlayableSeconds = 10;
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::uint16_t kFormatMsAdpcm = 0x0002;
constexpr std::uint16_t kFormatFloat = 0x0003;
constexpr std::uint16_t kFormatImaAdpcm = 0x0011;
constexpr std::uint16_t kFormatMpegLayer3 = 0x0055;
const std::string kUnexpectedEnd = "ファイルを読み込めません: 予期しない終端";

// The WAV codings met in the wild that are not plain PCM, by format tag, for the refusal message.
struct FormatTagName {
  std::uint16_t Tag;
  const char* Name;
};
constexpr FormatTagName kFormatTagNames[] = {
    {0x0002, "Microsoft ADPCM"}, {0x0003, "IEEE float"}, {0x0006, "A-law"},
    {0x0007, "µ-law"},           {0x0011, "IMA ADPCM"},  {0x0031, "GSM 6.10"},
    {0x0055, "MPEG layer 3"},    {0x0161, "Windows Media Audio"},
};

// "µ-law (format tag 0x0007)"; an extensible header names its sub-format.
std::string DescribeCoding(const WaveFormatInfo& f) {
  const bool extensible = f.FormatTag == kFormatExtensible;
  const std::uint16_t tag = extensible ? f.SubFormatTag : f.FormatTag;
  std::string name = "unknown coding";
  for (const FormatTagName& known : kFormatTagNames)
    if (known.Tag == tag) name = known.Name;
  char number[16];
  std::snprintf(number, sizeof number, "0x%04X", static_cast<unsigned>(tag));
  if (extensible) return tag == 0 ? "WAVE_FORMAT_EXTENSIBLE without a known sub-format"
                                  : name + " (WAVE_FORMAT_EXTENSIBLE, sub-format " + number + ")";
  return name + " (format tag " + number + ")";
}

bool IsPcm(const WaveFormatInfo& f) {
  return f.FormatTag == kFormatPcm || (f.FormatTag == kFormatExtensible && f.SubFormatTag == kFormatPcm);
}

// Where the audio is: the "data" chunk as stored, cut at the end of the file when its size is 0
// or runs past it, and cut to whole frames. A file without a "data" chunk has no audio.
struct AudioSpan {
  std::uint64_t start = 0;
  std::uint64_t frames = 0;
};

AudioSpan LocateAudio(const WaveFormatInfo& info, std::uint64_t fileSize, unsigned bytesPerFrame) {
  AudioSpan span;
  if (info.DataStart == 0 || info.DataStart > fileSize) return span;
  span.start = info.DataStart;
  std::uint64_t end = span.start + info.DataSize;
  if (info.DataSize == 0 || end > fileSize) end = fileSize;
  span.frames = (end - span.start) / bytesPerFrame;
  return span;
}

void LoadFrames(Stream& in, std::uint64_t offset, std::uint64_t count, bool eightBit, std::int16_t* frames,
                std::vector<std::uint8_t>& raw) {
  const std::size_t bytes = count * (eightBit ? 2 : 4);
  in.SeekTo(offset);
  if (!in.ReadExact(raw.data(), bytes)) throw Exception(kUnexpectedEnd);
  if (eightBit) {
    // 8-bit samples are unsigned around 128; widening multiplies by 256.
    for (std::size_t i = 0; i < 2 * count; ++i) frames[i] = static_cast<std::int16_t>((raw[i] - 128) * 256);
  } else {
    for (std::size_t i = 0; i < 2 * count; ++i) frames[i] = LoadS16(&raw[2 * i]);
  }
}

void StoreFrames(Stream& out, const std::int16_t* frames, std::size_t count, std::vector<std::uint8_t>& raw) {
  for (std::size_t i = 0; i < 2 * count; ++i) StoreU16(&raw[2 * i], static_cast<std::uint16_t>(frames[i]));
  out.Write(raw.data(), count * 4);
}

}  // namespace

std::string ChannelCountMessage(unsigned channels) {
  if (channels == 1) return kMonoSource;
  if (channels <= 2) return kNotStereo;
  return std::string(kNotStereo) + ": このファイルは " + std::to_string(channels) +
         " チャンネルです（2 チャンネルのステレオだけに対応しています）";
}

bool WavNeedsDecoding(const WaveFormatInfo& f) {
  if (!f.RiffFound || !f.WaveFound || f.FormatChunkSize < 16) return false;
  const std::uint16_t tag = f.FormatTag == kFormatExtensible ? f.SubFormatTag : f.FormatTag;
  switch (tag) {
    case kFormatPcm:
      return f.BitsPerSample == 24 || f.BitsPerSample == 32;
    case kFormatFloat:
      return f.BitsPerSample == 32 || f.BitsPerSample == 64;
    case kFormatMsAdpcm:
    case kFormatImaAdpcm:
    case kFormatMpegLayer3:
      return f.FormatTag != kFormatExtensible;
    default:
      return false;
  }
}

bool SourceNeedsConverter(const std::string& source) {
  const FileFormat format = SourceFormatFromPath(source);
  if (format != FileFormat::Wav) return true;
  // A pipe or a device is never opened here: reading it would block, or take what the job needs.
  if (!IsRegularFile(source)) return false;
  try {
    FileStream in(source, FileStream::Mode::Read);
    WaveFormatInfo info{};
    ReadWaveHeader(in, info);
    return WavNeedsDecoding(info);
  } catch (const std::exception&) {
    // The job's own reading says what is wrong with it.
    return false;
  }
}

// Runs when the job ends, however it ends: controls unlocked, the temporary source and vocals
// deleted, the output file kept as the latest result.
class ReductionJob::Cleanup {
 public:
  explicit Cleanup(ReductionJob& job) : job_(job) {}
  ~Cleanup() {
    job_.progress_.UnlockControls();
    DeleteFileIfExists(job_.sourceTempFile_);
    job_.sourceTempFile_.clear();
    DeleteFileIfExists(job_.vocalsTempFile_);
    job_.vocalsTempFile_.clear();
    job_.lastOutputTempFile_ = job_.outputTempFile_;
  }
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;

 private:
  ReductionJob& job_;
};

// One conversion phase: its banner from construction to destruction, its progress and cancel for
// the converter and for the plain copies.
class ReductionJob::Phase final : public ConversionObserver {
 public:
  Phase(ReductionJob& job, ConversionPhase phase) : job_(job), phase_(phase) {
    job_.progress_.BeginConversion(phase_);
  }
  ~Phase() override { job_.progress_.EndConversion(phase_); }
  Phase(const Phase&) = delete;
  Phase& operator=(const Phase&) = delete;

  void PumpMessages() override { job_.progress_.PumpMessages(); }
  void Progress(double fraction) override { job_.progress_.SetConversionProgress(phase_, fraction); }
  bool StopRequested() override { return job_.CancelRequested(); }
  void Note(const std::string& text) override { job_.questions_.Note(text); }

  // For CopyFile: progress, events and cancel between the chunks.
  CopyProgress Copying() {
    return [this](std::uint64_t done, std::uint64_t total) {
      Progress(total > 0 ? static_cast<double>(done) / static_cast<double>(total) : -1.0);
      PumpMessages();
      job_.StopIfCancelled();
    };
  }

 private:
  ReductionJob& job_;
  ConversionPhase phase_;
};

ReductionJob::ReductionJob(JobProgress& progress, JobQuestions& questions, JobMonitor& monitor,
                           FormatConverter* converter)
    : progress_(progress), questions_(questions), monitor_(monitor), converter_(converter) {}

bool ReductionJob::CanConvert(FileFormat format) const { return converter_ && converter_->Supports(format); }

ReductionJob::~ReductionJob() { DeleteLastOutput(); }

bool ReductionJob::DeleteLastOutput() {
  if (!DeleteFileIfExists(lastOutputTempFile_)) return false;
  if (outputTempFile_ == lastOutputTempFile_) outputTempFile_.clear();
  lastOutputTempFile_.clear();
  return true;
}

void ReductionJob::WaitWhileMonitorBusy() {
  while (monitor_.MonitorFileBusy()) {
    progress_.PumpMessages();
    std::this_thread::sleep_for(kWaitStep);
  }
}

void ReductionJob::StopIfCancelled() const {
  if (CancelRequested()) throw EAbort();
}

JobResult ReductionJob::DoReduce(const std::string& source, const std::string& destination, const JobRequest& request) {
  if (!FileExists(source)) {
    questions_.ShowError(kSourceMissing);
    return JobResult::NotStarted;
  }
  // The job reads its source twice; a device or a pipe would also block the first read for ever.
  if (!IsRegularFile(source)) {
    questions_.ShowError(kSourceNotFile + source);
    return JobResult::NotStarted;
  }
  // The vocals are the karaoke's complement; where there is none to the source, they are refused.
  const bool vocals = !request.VocalsDestination.empty();
  if (vocals && (request.Settings.Inverse || request.Settings.KeySemitones != 0)) {
    questions_.ShowError(request.Settings.Inverse ? kVocalsWithInverse : kVocalsWithKeyChange);
    return JobResult::NotStarted;
  }
  std::optional<DestinationFile> target;
  if (!CheckDestination(destination, target)) return JobResult::NotStarted;
  std::vector<Delivery> deliveries{{&outputTempFile_, FormatFromExtension(destination), &*target}};
  std::optional<DestinationFile> vocalsTarget;
  if (vocals) {
    // Two results cannot go to one file (a device or a pipe takes them one after the other).
    if (!target->WritesThrough() && target->SameTarget(request.VocalsDestination)) {
      questions_.ShowError(kVocalsSameAsDestination + request.VocalsDestination);
      return JobResult::NotStarted;
    }
    if (!CheckDestination(request.VocalsDestination, vocalsTarget)) return JobResult::NotStarted;
    deliveries.push_back({&vocalsTempFile_, FormatFromExtension(request.VocalsDestination), &*vocalsTarget});
  }

  cancelRequested_.store(false, std::memory_order_relaxed);
  monitor_.ResetMonitor();
  progress_.LockControls();
  Cleanup cleanup(*this);
  try {
    return Run(source, SourceFormatFromPath(source), deliveries, request);
  } catch (const EAbort&) {
    progress_.SetProgress(0, 0, 0);
    return JobResult::Cancelled;
  }
}

bool ReductionJob::CheckDestination(const std::string& destination, std::optional<DestinationFile>& target) {
  // Without a converter the compressed destinations cannot be written: say so before any work.
  const FileFormat format = FormatFromExtension(destination);
  if (IsCoded(format) && !CanConvert(format)) {
    questions_.ShowError(kUnsupportedFormat);
    return false;
  }
  // A folder is no file to overwrite; the destination's check below refuses it.
  if (FileExists(destination) && !IsDirectory(destination) && !questions_.ConfirmOverwrite(destination))
    return false;
  // A destination that cannot be written is found now, not after minutes of work.
  try {
    target.emplace(destination);
  } catch (const Exception& e) {
    questions_.ShowError(e.what());
    return false;
  }
  return true;
}

JobResult ReductionJob::Run(const std::string& source, FileFormat sourceFormat,
                            const std::vector<Delivery>& deliveries, const JobRequest& request) {
  ReductionSettings settings = request.Settings;
  if (settings.Inverse) settings.KeySemitones = 0;

  DeleteLastOutput();
  outputTempFile_.clear();

  sourceTempFile_ = MakeTempWavName();
  if (sourceFormat != FileFormat::Wav && !CanConvert(sourceFormat)) {
    Phase phase(*this, ConversionPhase::Decoding);
    questions_.ShowError(kUnsupportedFormat);
    return JobResult::NotStarted;
  }
  RunSourcePhase(sourceFormat, source);
  StopIfCancelled();
  outputTempFile_ = MakeTempWavName();
  if (deliveries.size() > 1) vocalsTempFile_ = MakeTempWavName();

  bool soundAvailable = false;
  {
    FileStream in(sourceTempFile_, FileStream::Mode::Read);
    WaveFormatInfo info{};
    ReadWaveHeader(in, info);
    sourceFormat_ = info;
    soundAvailable = monitor_.RenewStream(info.SampleRate);
  }
  CheckFormat();
  monitor_.SourceFormatKnown(sourceFormat_);

  WaitWhileMonitorBusy();
  FileStream(outputTempFile_, FileStream::Mode::Create).Close();

  if (request.BypassAll) {
    // The result of a bypassed job is the temporary source itself, whatever its sample size.
    CopyFile(sourceTempFile_, outputTempFile_, [this](std::uint64_t, std::uint64_t) {
      progress_.PumpMessages();
      StopIfCancelled();
    });
    if (!vocalsTempFile_.empty()) WriteSilentVocals();
    progress_.SetProgress(sourceFormat_.DataSize, 0, sourceFormat_.DataSize);
    monitor_.SetPlayEnabled(soundAvailable);
  } else {
    FileStream in(sourceTempFile_, FileStream::Mode::Read);
    WaitWhileMonitorBusy();
    FileStream out(outputTempFile_, FileStream::Mode::ReadWrite);
    std::optional<FileStream> vocals;
    if (!vocalsTempFile_.empty()) vocals.emplace(vocalsTempFile_, FileStream::Mode::ReadWrite);
    Stream* removed = vocals ? &*vocals : nullptr;
    const WaveFormatInfo header = BeginResult(out);
    if (removed) WriteWaveHeader(0, 0, header, *removed);
    const std::uint32_t written =
        settings.Quality ? ProcessQuality(in, out, removed, settings, soundAvailable)
                         : ProcessBlocks(in, out, removed, request.BlockSize, settings, soundAvailable);
    WriteWaveHeader(written + 36, written, header, out);
    out.Close();
    if (vocals) {
      WriteWaveHeader(written + 36, written, header, *vocals);
      vocals->Close();
    }
  }

  progress_.SetProgress(0, 0, 0);
  if (CancelRequested()) return JobResult::Cancelled;

  const bool wasPlaying = monitor_.SuspendPlayback();
  RunDestinationPhase(source, sourceFormat, deliveries, request);
  if (wasPlaying) monitor_.ResumePlayback();
  return JobResult::Completed;
}

void ReductionJob::RunSourcePhase(FileFormat format, const std::string& source) {
  Phase phase(*this, ConversionPhase::Decoding);
  // A plain PCM WAV file is copied as it is; other WAV codings the converter turns into 16-bit PCM.
  if (format == FileFormat::Wav && !(CanConvert(format) && SourceNeedsConverter(source))) {
    CopyFile(source, sourceTempFile_, phase.Copying());
  } else {
    converter_->Decode(format, source, sourceTempFile_, &phase);
  }
}

// The source must be a stereo RIFF/WAVE file of 8 or 16 bits with a usable format chunk. Its
// DataSize becomes the size of the whole frames the file really holds.
void ReductionJob::CheckFormat() {
  const WaveFormatInfo& f = sourceFormat_;
  if (!f.RiffFound || !f.WaveFound || f.FormatChunkSize == 0) throw Exception(kNotWav);
  // A format chunk shorter than its 16 fixed bytes describes nothing; without this check it
  // would be reported as "not stereo".
  if (f.FormatChunkSize < 16) throw Exception(kShortFormatChunk);
  // Any other coding read as PCM would be noise, and its tag copied into the result's header
  // would make a file other programs cannot read.
  if (!IsPcm(f)) throw Exception(kNotPcm + DescribeCoding(f));
  if (f.Channels != 2) throw Exception(ChannelCountMessage(f.Channels));
  if (f.BitsPerSample != 8 && f.BitsPerSample != 16) throw Exception(kUnsupportedBits);
  if (f.SampleRate == 0) throw Exception(kZeroSampleRate);
  const unsigned bytesPerFrame = f.BitsPerSample / 4;
  const AudioSpan audio = LocateAudio(f, FileStream(sourceTempFile_, FileStream::Mode::Read).Size(), bytesPerFrame);
  // The result is 16-bit stereo and its size must fit the header's 32-bit fields.
  if (audio.frames * 4 > 0xFFFFFFFFull - 36) throw Exception(kResultTooLarge);
  audioStart_ = audio.start;
  audioFrames_ = audio.frames;
  sourceFormat_.DataSize = static_cast<std::uint32_t>(audio.frames * bytesPerFrame);
}

WaveFormatInfo ReductionJob::ResultHeader() const {
  // The result is plain PCM, also from an extensible source, whose sub-format block does not fit
  // the 16-byte format chunk.
  WaveFormatInfo header = sourceFormat_;
  header.FormatTag = kFormatPcm;
  return header;
}

WaveFormatInfo ReductionJob::BeginResult(Stream& out) {
  const WaveFormatInfo header = ResultHeader();
  WriteWaveHeader(0, 0, header, out);
  // From here on DataSize counts 16-bit bytes, as the monitor expects.
  if (sourceFormat_.BitsPerSample == 8) sourceFormat_.DataSize *= 2;
  return header;
}

// The block loop. Block i covers frames i*H .. i*H + N - 1, silent past the end, and gives the
// output frames i*H .. i*H + H - 1 (the last block only those that remain), so the result holds
// exactly one frame per source frame. Consecutive blocks share H frames, which stay in memory.
std::uint32_t ReductionJob::ProcessBlocks(Stream& in, Stream& out, Stream* vocals, int blockSize,
                                          const ReductionSettings& settings, bool soundAvailable) {
  const bool eightBit = sourceFormat_.BitsPerSample == 8;
  const unsigned bytesPerFrame = eightBit ? 2 : 4;
  const AudioSpan audio{audioStart_, audioFrames_};
  const std::uint64_t progressEnd = audio.start + audio.frames * bytesPerFrame;

  SpectralReducer reducer(blockSize, settings, sourceFormat_.SampleRate);
  reducer.BeforeSubtraction = [this] { progress_.PumpMessages(); };
  const std::uint64_t n = static_cast<std::uint64_t>(blockSize);
  const std::uint64_t h = n / 2;
  std::vector<std::int16_t> block(2 * n, 0);
  std::vector<std::int16_t> result(2 * h);
  std::vector<std::int16_t> removed(vocals ? 2 * h : 0);
  std::vector<std::uint8_t> raw(4 * n);
  const std::uint64_t playableBytes = kPlayableSeconds * 4 * sourceFormat_.SampleRate;
  std::uint32_t written = 0;

  for (std::uint64_t first = 0; first < audio.frames; first += h) {
    // Load the frames of this block that are not in memory yet: all of the first block, the
    // second half of every later one.
    const std::uint64_t from = first == 0 ? 0 : first + h;
    if (first > 0) std::copy(block.begin() + 2 * h, block.end(), block.begin());
    const std::uint64_t available = audio.frames > from ? audio.frames - from : 0;
    const std::uint64_t count = std::min(available, first + n - from);
    std::int16_t* target = block.data() + 2 * (from - first);
    LoadFrames(in, audio.start + from * bytesPerFrame, count, eightBit, target, raw);
    std::fill(target + 2 * count, block.data() + 2 * n, std::int16_t{0});

    reducer.ProcessBlock(block, result, removed);
    const std::uint64_t frames = std::min(h, audio.frames - first);
    StoreFrames(out, result.data(), frames, raw);
    if (vocals) StoreFrames(*vocals, removed.data(), frames, raw);
    written += static_cast<std::uint32_t>(frames * 4);

    progress_.SetProgress(audio.start + std::min(audio.frames, first + n) * bytesPerFrame, audio.start, progressEnd);
    monitor_.SetPlayEnabled(soundAvailable && written > playableBytes);
    if (CancelRequested()) break;
    progress_.PumpMessages();
  }
  return written;
}

// The quality mode's passes over the source: for the automatic reverb setting, the centre's
// reverberation measured over the whole song (the first half of the progress bar), then the
// reduction as a stream, written as it comes. Memory does not grow with the song.
std::uint32_t ReductionJob::ProcessQuality(Stream& in, Stream& out, Stream* vocals,
                                           const ReductionSettings& settings, bool soundAvailable) {
  const bool eightBit = sourceFormat_.BitsPerSample == 8;
  const unsigned bytesPerFrame = eightBit ? 2 : 4;
  const AudioSpan audio{audioStart_, audioFrames_};
  const double rate = sourceFormat_.SampleRate;

  const bool measure = settings.Reverb == ReverbMode::Auto && !settings.SubtractionBypass;
  const std::uint64_t bytes = audio.frames * bytesPerFrame;
  const std::uint64_t passes = measure ? 2 : 1;
  constexpr std::uint64_t kChunk = 8192;
  std::vector<std::int16_t> frames(2 * kChunk);
  std::vector<std::uint8_t> raw(4 * kChunk);
  // Reads the source in chunks for `each`, pass `pass` of the progress; false once cancelled.
  const auto readAll = [&](std::uint64_t pass, const std::function<void(std::span<const std::int16_t>)>& each) {
    for (std::uint64_t first = 0; first < audio.frames; first += kChunk) {
      const std::uint64_t count = std::min(kChunk, audio.frames - first);
      LoadFrames(in, audio.start + first * bytesPerFrame, count, eightBit, frames.data(), raw);
      each(std::span<const std::int16_t>(frames.data(), 2 * count));
      progress_.SetProgress(audio.start + pass * bytes + (first + count) * bytesPerFrame, audio.start,
                            audio.start + passes * bytes);
      if (CancelRequested()) return false;
      progress_.PumpMessages();
    }
    return true;
  };

  double beta = settings.Reverb == ReverbMode::On ? 1.0 : 0.0;
  if (measure) {
    CentreReverbMeter meter(QualityParameters::For(settings, rate, 0.0));
    if (!readAll(0, [&](std::span<const std::int16_t> chunk) { meter.Push(chunk); })) return 0;
    meter.Finish();
    beta = meter.Beta();
  }

  QualityReducer reducer(QualityParameters::For(settings, rate, beta));
  std::vector<std::int16_t> result;
  std::vector<std::int16_t> removed;
  std::vector<std::int16_t>* removedOut = vocals ? &removed : nullptr;
  std::vector<std::uint8_t> rawOut;
  const std::uint64_t playableBytes = kPlayableSeconds * 4 * sourceFormat_.SampleRate;
  std::uint32_t written = 0;
  const auto store = [&] {
    const std::size_t count = result.size() / 2;
    rawOut.resize(4 * count);
    StoreFrames(out, result.data(), count, rawOut);
    if (vocals) StoreFrames(*vocals, removed.data(), count, rawOut);
    written += static_cast<std::uint32_t>(4 * count);
    result.clear();
    removed.clear();
    monitor_.SetPlayEnabled(soundAvailable && written > playableBytes);
  };
  const bool whole = readAll(passes - 1, [&](std::span<const std::int16_t> chunk) {
    reducer.Process(chunk, result, removedOut);
    store();
  });
  if (whole) {
    reducer.Finish(result, removedOut);
    store();
  }
  return written;
}

void ReductionJob::WriteSilentVocals() {
  FileStream vocals(vocalsTempFile_, FileStream::Mode::ReadWrite);
  const std::uint64_t bytes = audioFrames_ * 4;
  WriteWaveHeader(static_cast<std::uint32_t>(bytes + 36), static_cast<std::uint32_t>(bytes), ResultHeader(),
                  vocals);
  const std::vector<std::uint8_t> zeros(1 << 16, 0);
  for (std::uint64_t done = 0; done < bytes; done += zeros.size()) {
    vocals.Write(zeros.data(), static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), bytes - done)));
    progress_.PumpMessages();
    StopIfCancelled();
  }
  vocals.Close();
}

// Each result is made in its destination's work file; they are put in place only when all are
// complete, so a failure or a cancel on the way leaves every destination as it was.
void ReductionJob::RunDestinationPhase(const std::string& source, FileFormat sourceFormat,
                                       const std::vector<Delivery>& deliveries, const JobRequest& request) {
  // The encoder settings are asked once for each coded format, before any encoding.
  std::map<FileFormat, EncoderSettings> encoders;
  for (const Delivery& d : deliveries) {
    if (!IsCoded(d.Format) || encoders.contains(d.Format)) continue;
    questions_.ChooseEncoderSettings(d.Format, encoders.emplace(d.Format, request.Encoder).first->second);
  }
  // A cancel (or a signal) that came while the settings were shown stops the job here.
  StopIfCancelled();
  std::optional<Phase> phase;
  for (const Delivery& d : deliveries) {
    phase.emplace(*this, ConversionPhase::Encoding);
    const std::string& work = d.Destination->Prepare();
    if (IsCoded(d.Format)) {
      converter_->Encode(d.Format, *d.Wav, work, encoders.at(d.Format), &*phase);
    } else {
      CopyFile(*d.Wav, work, phase->Copying());
    }
    StopIfCancelled();
    if (request.KeepTags && tagCopier_) {
      // A destination of no known kind receives WAV.
      const std::string note = tagCopier_->CopyTags(
          source, sourceFormat, work, d.Format == FileFormat::Unknown ? FileFormat::Wav : d.Format);
      if (!note.empty()) phase->Note(note);
    }
  }
  // A device or a pipe, whose copy may still fail (a full device), goes first: a rename hardly fails.
  for (const bool writesThrough : {true, false})
    for (const Delivery& d : deliveries)
      if (d.Destination->WritesThrough() == writesThrough) d.Destination->Commit(phase->Copying());
}

}  // namespace merolune
