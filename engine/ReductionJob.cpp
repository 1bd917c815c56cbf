#include "ReductionJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>
#include <array>

#include "Exception.h"
#include "SpectralReduction.h"
#include "Stream.h"

namespace merolune {

namespace {

constexpr std::array<const char*, 6> kExtensions{".wav", ".ape", ".ogg", ".mp3", ".flac", ".wma"};
// Every wait on the job's thread handles events and sleeps this long per check.
constexpr auto kWaitStep = std::chrono::milliseconds(10);
// Play becomes available once this many seconds of output exist.
constexpr std::uint64_t kPlayableSeconds = 10;
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
const std::string kCannotCreateFile = "ファイルを作成できません: ";
const std::string kUnexpectedEnd = "ファイルを読み込めません: 予期しない終端";

std::string LowerExtension(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return ext;
}

bool IsCompressed(FileFormat format) { return format != FileFormat::Unknown && format != FileFormat::Wav; }

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
  in.Seek(static_cast<std::int64_t>(offset), SeekOrigin::Begin);
  if (!in.ReadExact(raw.data(), bytes)) throw Exception(kUnexpectedEnd);
  if (eightBit) {
    // 8-bit samples are unsigned around 128; widening multiplies by 256.
    for (std::size_t i = 0; i < 2 * count; ++i) frames[i] = static_cast<std::int16_t>((raw[i] - 128) * 256);
  } else {
    for (std::size_t i = 0; i < 2 * count; ++i)
      frames[i] = static_cast<std::int16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
  }
}

void StoreFrames(Stream& out, const std::int16_t* frames, std::size_t count, std::vector<std::uint8_t>& raw) {
  for (std::size_t i = 0; i < 2 * count; ++i) {
    const auto v = static_cast<std::uint16_t>(frames[i]);
    raw[2 * i] = static_cast<std::uint8_t>(v & 0xFF);
    raw[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  out.Write(raw.data(), count * 4);
}

}  // namespace

FileFormat FormatFromExtension(const std::string& path) {
  const std::string ext = LowerExtension(path);
  for (std::size_t i = 0; i < kExtensions.size(); ++i)
    if (ext == kExtensions[i]) return static_cast<FileFormat>(i);
  return FileFormat::Unknown;
}

// Runs when the job ends, however it ends: controls unlocked, the temporary source deleted, the
// output file kept as the latest result.
class ReductionJob::Cleanup {
 public:
  explicit Cleanup(ReductionJob& job) : job_(job) {}
  ~Cleanup() {
    job_.host_.UnlockControls();
    DeleteFileIfExists(job_.sourceTempFile_);
    job_.sourceTempFile_.clear();
    job_.lastOutputTempFile_ = job_.outputTempFile_;
  }
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;

 private:
  ReductionJob& job_;
};

ReductionJob::ReductionJob(JobHost& host, FormatConverter* converter) : host_(host), converter_(converter) {}

bool ReductionJob::CanConvert(FileFormat format) const { return converter_ && converter_->Supports(format); }

ReductionJob::~ReductionJob() { DeleteLastOutput(); }

bool ReductionJob::DeleteLastOutput() {
  if (!DeleteFileIfExists(lastOutputTempFile_)) return false;
  if (outputTempFile_ == lastOutputTempFile_) outputTempFile_.clear();
  lastOutputTempFile_.clear();
  return true;
}

void ReductionJob::WaitWhileMonitorBusy() {
  while (host_.MonitorFileBusy()) {
    host_.PumpMessages();
    std::this_thread::sleep_for(kWaitStep);
  }
}

JobResult ReductionJob::DoReduce(const std::string& source, const std::string& destination) {
  if (!FileExists(source)) {
    host_.ShowError(kSourceMissing);
    return JobResult::NotStarted;
  }
  // Without a converter the compressed destinations cannot be written: say so before any work.
  const FileFormat destinationFormat = FormatFromExtension(destination);
  if (IsCompressed(destinationFormat) && !CanConvert(destinationFormat)) {
    host_.ShowError(kUnsupportedFormat);
    return JobResult::NotStarted;
  }
  if (FileExists(destination) && !host_.ConfirmOverwrite(destination)) return JobResult::NotStarted;

  cancelRequested_.store(false, std::memory_order_relaxed);
  host_.ResetMonitor();
  host_.LockControls();
  Cleanup cleanup(*this);

  // The settings are this job's from here on; later changes apply to the next job.
  const int blockSize = host_.BlockSize();
  ReductionSettings settings = host_.Settings();
  if (settings.Inverse) settings.KeySemitones = 0;

  DeleteLastOutput();
  outputTempFile_.clear();
  const FileFormat sourceFormat = FormatFromExtension(source);

  sourceTempFile_ = MakeTempWavName();
  if (sourceFormat == FileFormat::Unknown || (IsCompressed(sourceFormat) && !CanConvert(sourceFormat))) {
    host_.BeginConversion(ConversionPhase::Decoding);
    host_.ShowError(kUnsupportedFormat);
    host_.EndConversion(ConversionPhase::Decoding);
    return JobResult::NotStarted;
  }
  RunSourcePhase(sourceFormat, source);
  outputTempFile_ = MakeTempWavName();

  bool soundAvailable = false;
  {
    FileStream in(sourceTempFile_, FileStream::Mode::Read);
    WaveFormatInfo info{};
    ReadWaveHeader(in, info);
    sourceFormat_ = info;
    soundAvailable = host_.RenewStream(info.SampleRate);
  }
  CheckFormat();
  host_.SourceFormatKnown(sourceFormat_);

  WaitWhileMonitorBusy();
  FileStream(outputTempFile_, FileStream::Mode::Create).Close();

  if (host_.BypassAll()) {
    // The result of a bypassed job is the temporary source itself, whatever its sample size.
    CopyFile(sourceTempFile_, outputTempFile_, [this] { host_.PumpMessages(); });
    host_.SetProgress(sourceFormat_.DataSize, 0, sourceFormat_.DataSize);
    host_.SetPlayEnabled(soundAvailable);
  } else {
    ProcessBlocks(blockSize, settings, soundAvailable);
  }

  host_.SetProgress(0, 0, 0);
  if (CancelRequested()) return JobResult::Cancelled;

  const std::filesystem::path folder = std::filesystem::path(destination).parent_path();
  if (!folder.empty()) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw Exception(kCannotCreateFolder + folder.string() + " (" + error.message() + ")");
  }
  const bool wasPlaying = host_.SuspendPlayback();
  RunDestinationPhase(destinationFormat, destination);
  if (wasPlaying) host_.ResumePlayback();
  return JobResult::Completed;
}

void ReductionJob::RunSourcePhase(FileFormat format, const std::string& source) {
  host_.BeginConversion(ConversionPhase::Decoding);
  struct EndPhase {
    JobHost& host;
    ~EndPhase() { host.EndConversion(ConversionPhase::Decoding); }
  } endPhase{host_};
  if (format == FileFormat::Wav) {
    CopyFile(source, sourceTempFile_, [this] { host_.PumpMessages(); });
  } else {
    converter_->Decode(format, source, sourceTempFile_);
  }
}

// The source must be a stereo RIFF/WAVE file of 8 or 16 bits with a usable format chunk. Its
// DataSize becomes the size of the whole frames the file really holds.
void ReductionJob::CheckFormat() {
  const WaveFormatInfo& f = sourceFormat_;
  // A format chunk shorter than its 16 fixed bytes describes nothing; without this check it
  // would be reported as "not stereo".
  if (f.FormatChunkSize > 0 && f.FormatChunkSize < 16) throw Exception(kShortFormatChunk);
  if (f.Channels != 2) throw Exception(kNotStereo);
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

// The block loop. Block i covers frames i*H .. i*H + N - 1, silent past the end, and gives the
// output frames i*H .. i*H + H - 1 (the last block only those that remain), so the result holds
// exactly one frame per source frame. Consecutive blocks share H frames, which stay in memory.
void ReductionJob::ProcessBlocks(int blockSize, const ReductionSettings& settings, bool soundAvailable) {
  FileStream in(sourceTempFile_, FileStream::Mode::Read);
  WaitWhileMonitorBusy();
  FileStream out(outputTempFile_, FileStream::Mode::ReadWrite);

  const bool eightBit = sourceFormat_.BitsPerSample == 8;
  const unsigned bytesPerFrame = eightBit ? 2 : 4;
  const AudioSpan audio{audioStart_, audioFrames_};
  // The result's header carries the source's format tag, but an extensible format's sub-format
  // block does not fit the 16-byte format chunk: such a result is plain PCM.
  WaveFormatInfo header = sourceFormat_;
  if (header.FormatTag == kFormatExtensible) header.FormatTag = kFormatPcm;
  WriteWaveHeader(0, 0, header, out);
  // From here on DataSize counts 16-bit bytes, as the monitor expects.
  if (eightBit) sourceFormat_.DataSize *= 2;
  const std::uint64_t progressEnd = audio.start + audio.frames * bytesPerFrame;

  SpectralReducer reducer(blockSize, settings, sourceFormat_.SampleRate);
  reducer.BeforeSubtraction = [this] { host_.PumpMessages(); };
  const std::uint64_t n = static_cast<std::uint64_t>(blockSize);
  const std::uint64_t h = n / 2;
  std::vector<std::int16_t> block(2 * n, 0);
  std::vector<std::int16_t> result(2 * h);
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

    reducer.ProcessBlock(block, result);
    const std::uint64_t frames = std::min(h, audio.frames - first);
    StoreFrames(out, result.data(), frames, raw);
    written += static_cast<std::uint32_t>(frames * 4);

    host_.SetProgress(audio.start + std::min(audio.frames, first + n) * bytesPerFrame, audio.start, progressEnd);
    host_.SetPlayEnabled(soundAvailable && written > playableBytes);
    if (CancelRequested()) break;
    host_.PumpMessages();
  }
  WriteWaveHeader(written + 36, written, header, out);
  out.Close();
}

void ReductionJob::RunDestinationPhase(FileFormat format, const std::string& destination) {
  if (IsCompressed(format)) host_.ChooseEncoderSettings(format);
  host_.BeginConversion(ConversionPhase::Encoding);
  struct EndPhase {
    JobHost& host;
    ~EndPhase() { host.EndConversion(ConversionPhase::Encoding); }
  } endPhase{host_};
  if (IsCompressed(format)) {
    converter_->Encode(format, outputTempFile_, destination);
  } else {
    CopyToDestination(outputTempFile_, destination, [this] { host_.PumpMessages(); });
  }
}

void CopyToDestination(const std::string& from, const std::string& destination,
                       const std::function<void()>& betweenChunks) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path target = destination;
  const fs::file_status status = fs::status(target, error);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    if (fs::is_directory(status)) throw Exception(kCannotCreateFile + destination + " (" + std::strerror(EISDIR) + ")");
    // A device or a pipe cannot be replaced; it takes the bytes as they come.
    CopyFile(from, destination, betweenChunks);
    return;
  }
  // A link keeps pointing where it pointed: the file it names is the one replaced.
  if (fs::is_symlink(fs::symlink_status(target, error))) target = fs::weakly_canonical(target, error);

  std::mt19937_64 random(std::random_device{}());
  std::string partial;
  for (;;) {
    std::string name = target.filename().string();
    name.insert(0, 1, '.');
    name += ".partial-" + std::to_string(random() % 1000000000);
    partial = (target.parent_path() / name).string();
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    if (errno != EEXIST) throw Exception(kCannotCreateFile + destination + " (" + std::strerror(errno) + ")");
  }
  try {
    CopyFile(from, partial, betweenChunks);
    if (::rename(partial.c_str(), target.c_str()) != 0)
      throw Exception(kCannotCreateFile + destination + " (" + std::strerror(errno) + ")");
  } catch (...) {
    ::unlink(partial.c_str());
    throw;
  }
}

}  // namespace merolune
