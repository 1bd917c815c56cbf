// The conversion service: decodes the compressed formats to WAV before a job, encodes its WAV after it.

#include "Convert.h"

#include <sys/stat.h>

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <thread>

#include "ACS_FLAC.h"
#include "ACS_LAME.h"
#include "ACS_MAC.h"
#include "ACS_Opus.h"
#include "ACS_Vorbis.h"
#include "ACS_Wave.h"
#include "DynamicLibrary.h"
#include "WaveNarrowing.h"
#include "anyaudio.h"
#include "Stream.h"
#include "WaveHeader.h"
#include "vbmp3.h"
#include "wmafile.h"

namespace merolune {

namespace {

using namespace std::chrono_literals;

constexpr auto kPollInterval = 10ms;
constexpr std::uint16_t kSourceMode = TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite;

// The size of a regular file, 0 when there is none.
std::uint64_t RegularFileSize(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

// A decoder's result is usable when it starts with a RIFF/WAVE header; the job reads the rest.
bool LooksLikeWav(const std::string& path) {
  // The smallest WAV file is the canonical header without audio.
  if (RegularFileSize(path) < kWaveHeaderSize) return false;
  try {
    FileStream file(path, FileStream::Mode::Read);
    std::array<std::uint8_t, 12> head{};
    if (file.Read(head.data(), head.size()) != head.size()) return false;
    return TagIs(&head[0], "RIFF") && TagIs(&head[8], "WAVE");
  } catch (const std::exception&) {
    return false;
  }
}

std::string WithReason(const char* what, const std::string& path, const std::string& reason) {
  std::string message = what + path;
  if (!reason.empty()) message += "\n" + reason;
  return message;
}

// A failed encoding must not leave a partial file that looks like a result. Devices and pipes are
// left alone: they were written, not created.
void RemovePartialDestination(const std::string& dest) {
  if (IsRegularFile(dest)) DeleteFileIfExists(dest);
}

// The entry points of libvbmp3.so and libwmafile.so that the conversions call. Both libraries are
// opened by name at each conversion and stay loaded once opened (Unloading::Never): libvbmp3 keeps its
// decoder thread between calls, and FFmpeg under libwmafile sets itself up once per process. The
// desktop program links libwmafile at load time, so there the opening finds it already loaded;
// merolune-cli loads it (and FFmpeg) only for a WMA file.
#define MEROLUNE_VBMP3_ENTRY_POINTS(X) \
  X(vbmp3_init) X(vbmp3_open) X(vbmp3_close) X(vbmp3_decodeWave) X(vbmp3_getState)
MEROLUNE_ENTRY_POINTS(Vbmp3EntryPoints, kVbmp3Library, MEROLUNE_VBMP3_ENTRY_POINTS);
using Vbmp3Lib = LibraryBinding<Vbmp3EntryPoints>;

#define MEROLUNE_WMAFILE_ENTRY_POINTS(X) X(WMA2WAVEx) X(WAV2WMAEx) X(WMAGetLastError) X(WAV2WMASampleRate)
MEROLUNE_ENTRY_POINTS(WmafileEntryPoints, kWmafileLibrary, MEROLUNE_WMAFILE_ENTRY_POINTS);
using WmafileLib = LibraryBinding<WmafileEntryPoints>;

#define MEROLUNE_ANYAUDIO_ENTRY_POINTS(X) X(AnyAudioToWav) X(AnyAudioWavToM4a)
MEROLUNE_ENTRY_POINTS(AnyaudioEntryPoints, kAnyaudioLibrary, MEROLUNE_ANYAUDIO_ENTRY_POINTS);
using AnyaudioLib = LibraryBinding<AnyaudioEntryPoints>;

// The header of a WAV file; RiffFound false when there is none.
WaveFormatInfo WavHeaderOf(const std::string& path) {
  WaveFormatInfo info{};
  try {
    FileStream wav(path, FileStream::Mode::Read);
    ReadWaveHeader(wav, info);
  } catch (const std::exception&) {
    info.RiffFound = false;
  }
  return info;
}

// Why libanyaudio.so refused a file, for the user.
std::string AnyaudioReason(std::int32_t status, const anyaudio_result& result) {
  switch (status) {
    case ANYAUDIO_UNRECOGNISED:
      return kUnsupportedFormat;
    case ANYAUDIO_NO_AUDIO:
      return kNoAudioStream;
    case ANYAUDIO_NO_DECODER:
      return kNoAudioDecoder + std::string(result.codec);
    case ANYAUDIO_CHANNELS:
      return ChannelCountMessage(static_cast<unsigned>(std::max(result.channels, 0)));
    case ANYAUDIO_DAMAGED:
      return kDamagedSource + std::string(result.detail);
    case ANYAUDIO_WRITE_FAILED:
      return result.system_error ? std::strerror(result.system_error) : "";
    case ANYAUDIO_ENCODING_FAILED:
      return result.detail;
    default:
      return "";
  }
}

// The sample rate in a WAV file's header; 0 when there is none.
std::uint32_t WavSampleRate(const std::string& path) {
  WaveFormatInfo info{};
  FileStream wav(path, FileStream::Mode::Read);
  ReadWaveHeader(wav, info);
  return info.SampleRate;
}

// What libwmafile's and libanyaudio's progress callbacks share with the thread that waits for it.
struct LibraryProgress {
  const std::atomic<bool>& stop;
  std::atomic<std::int32_t>& permille;
};

// Called on the conversion's thread; a non-zero answer stops the conversion.
std::int32_t OnLibraryProgress(void* user, std::int32_t permille) {
  auto* progress = static_cast<LibraryProgress*>(user);
  progress->permille.store(permille);
  return progress->stop.load() ? 1 : 0;
}

}  // namespace

TConvForm::TConvForm(QObject* owner) : QObject(owner) {
  setObjectName("ConvForm");
  PumpMessages = [] { QCoreApplication::processEvents(); };
  vorbisIn_ = new TVorbisIn(this);
  flacIn_ = new TFLACIn(this);
  macIn_ = new TMACIn(this);
  waveIn_ = new TWaveIn(this);
  waveOut_ = new TWaveOut(this);
  vorbisOut_ = new TVorbisOut(this);
  mp3Out_ = new TMP3Out(this);
  flacOut_ = new TFLACOut(this);
  macOut_ = new TMACOut(this);
  opusOut_ = new TOpusOut(this);

  for (TAuFileIn* input : std::initializer_list<TAuFileIn*>{vorbisIn_, flacIn_, macIn_, waveIn_}) {
    input->SetEndSample(-1);
    input->SetLoop(false);
  }
  waveOut_->SetSuspendWhenIdle(true);
  waveOut_->SetFileMode(TFileOutputMode::foRewrite);
  waveOut_->SetWavType(TWavType::wtPCM);
  waveOut_->SetBlockSize(512);

  vorbisOut_->SetInput(waveIn_);
  vorbisOut_->SetSuspendWhenIdle(true);
  vorbisOut_->SetFileMode(TFileOutputMode::foRewrite);
  vorbisOut_->SetCompression(0.2f);
  vorbisOut_->SetDesiredMaximumBitrate(TVorbisBitRate::brAutoSelect);
  vorbisOut_->SetDesiredNominalBitrate(TVorbisBitRate::brAutoSelect);
  vorbisOut_->SetMinimumBitrate(TVorbisBitRate::brAutoSelect);
  vorbisOut_->SetSerial(0);

  mp3Out_->SetInput(waveIn_);
  mp3Out_->SetSuspendWhenIdle(true);
  mp3Out_->SetFileMode(TFileOutputMode::foRewrite);
  mp3Out_->SetBitRate(TMP3BitRate::br128);

  flacOut_->SetInput(waveIn_);
  flacOut_->SetSuspendWhenIdle(true);
  flacOut_->SetFileMode(TFileOutputMode::foRewrite);
  flacOut_->SetBestModelSearch(false);
  flacOut_->SetBlockSize(4608);
  flacOut_->SetCompressionLevel(-1);
  flacOut_->SetEnableMidSideStereo(true);
  flacOut_->SetEnableLooseMidSideStereo(false);
  flacOut_->SetMaxLPCOrder(0);
  flacOut_->SetMaxResidualPartitionOrder(0);
  flacOut_->SetMinResidualPartitionOrder(0);
  flacOut_->SetQLPCoeffPrecision(0);
  flacOut_->SetQLPCoeffPrecisionSearch(false);
  flacOut_->SetVerify(false);

  macOut_->SetInput(waveIn_);
  macOut_->SetSuspendWhenIdle(true);
  macOut_->SetFileMode(TFileOutputMode::foRewrite);
  macOut_->SetCompressionLevel(2000);
  macOut_->SetMaxAudioBytes(-1);

  opusOut_->SetInput(waveIn_);
  opusOut_->SetSuspendWhenIdle(true);
  opusOut_->SetFileMode(TFileOutputMode::foRewrite);
}

TConvForm::~TConvForm() = default;

// Tells the operation's observer for the time of one conversion.
class TConvForm::Observing {
 public:
  Observing(TConvForm& form, ConversionObserver* observer) : form_(form) { form_.observer_ = observer; }
  ~Observing() { form_.observer_ = nullptr; }
  Observing(const Observing&) = delete;
  Observing& operator=(const Observing&) = delete;

 private:
  TConvForm& form_;
};

void TConvForm::Pump() {
  if (observer_) {
    observer_->PumpMessages();
  } else {
    PumpMessages();
  }
}

bool TConvForm::StopRequested() const { return observer_ && observer_->StopRequested(); }

void TConvForm::ReportProgress(double fraction) {
  if (observer_) observer_->Progress(fraction);
}

void TConvForm::WaitForOutput(TAuOutput& output) {
  while (output.OutputState() == TOutputState::osWorking) {
    if (StopRequested()) {
      // The worker ends after the block in hand; what it wrote is removed by the caller.
      output.Stop();
      throw EAbort();
    }
    const std::int32_t percent = output.ProgressPercent();
    ReportProgress(percent < 0 ? -1.0 : percent / 100.0);
    Pump();
    std::this_thread::sleep_for(kPollInterval);
  }
}

void TConvForm::RunBeside(
    const std::function<void(const std::atomic<bool>& stop, std::atomic<std::int32_t>& permille)>& work) {
  std::atomic<bool> finished{false};
  std::atomic<bool> stop{false};
  std::atomic<std::int32_t> permille{-1};
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      work(stop, permille);
    } catch (...) {
      failure = std::current_exception();
    }
    finished.store(true, std::memory_order_release);
  });
  while (!finished.load(std::memory_order_acquire)) {
    if (StopRequested()) stop.store(true);
    const std::int32_t done = permille.load();
    ReportProgress(done < 0 ? -1.0 : done / 1000.0);
    Pump();
    std::this_thread::sleep_for(kPollInterval);
  }
  worker.join();
  if (failure) std::rethrow_exception(failure);
  if (stop.load()) throw EAbort();
}

// The destination stream is released before the source stream, on every path. The Monkey's Audio
// library opens its source by name, so only the destination stream is made for it.
void TConvForm::RunDecoder(TAuFileIn& decoder, const std::string& source, const std::string& dest) {
  std::optional<TAuFileStream> in;
  if (&decoder == macIn_) {
    decoder.SetFileName(source);
  } else {
    in.emplace(source, kSourceMode);
  }
  TAuFileStream out(dest, TAuFileStream::fmCreate);
  struct Detach {
    TAuFileIn& decoder;
    TWaveOut& wave;
    ~Detach() {
      wave.SetStream(nullptr);
      decoder.AssignStream(nullptr);
    }
  } detach{decoder, *waveOut_};
  waveOut_->SetInput(&decoder);
  if (in) decoder.AssignStream(&*in);
  waveOut_->SetStream(&out);
  waveOut_->Start();
  WaitForOutput(*waveOut_);
  const std::string error = waveOut_->ErrorMessage();
  if (!error.empty()) throw EAuException(WithReason(kDecodingFailed, source, error));
  out.Close();
  if (!LooksLikeWav(dest)) throw EAuException(WithReason(kDecodingFailed, source, ""));
}

void TConvForm::RunEncoder(TAuFileOut& encoder, const std::string& source, const std::string& dest) {
  TAuFileStream in(source, kSourceMode);
  struct Detach {
    TWaveIn& wave;
    ~Detach() { wave.AssignStream(nullptr); }
  } detach{*waveIn_};
  waveIn_->AssignStream(&in);
  try {
    std::string error;
    if (&encoder == flacOut_) {
      // The FLAC output takes the stream over and frees it when it finishes.
      flacOut_->AdoptStream(std::make_unique<TAuFileStream>(dest, TAuFileStream::fmCreate));
      flacOut_->Start();
      WaitForOutput(*flacOut_);
      error = flacOut_->ErrorMessage();
    } else if (&encoder == macOut_) {
      // The Monkey's Audio library writes the file by name, and puts it in place only when complete.
      macOut_->SetFileName(dest);
      macOut_->Start();
      WaitForOutput(*macOut_);
      error = macOut_->ErrorMessage();
    } else {
      TAuFileStream out(dest, TAuFileStream::fmCreate);
      struct Release {
        TAuFileOut& encoder;
        ~Release() { encoder.SetStream(nullptr); }
      } release{encoder};
      encoder.SetStream(&out);
      encoder.Start();
      WaitForOutput(encoder);
      error = encoder.ErrorMessage();
      if (error.empty()) out.Close();
    }
    if (!error.empty()) throw EAuException(WithReason(kEncodingFailed, dest, error));
  } catch (...) {
    RemovePartialDestination(dest);
    throw;
  }
}

void TConvForm::DecodeOggToWav(const std::string& source, const std::string& dest) {
  RunDecoder(*vorbisIn_, source, dest);
}

void TConvForm::DecodeFlacToWav(const std::string& source, const std::string& dest) {
  RunDecoder(*flacIn_, source, dest);
}

void TConvForm::DecodeApeToWav(const std::string& source, const std::string& dest) {
  RunDecoder(*macIn_, source, dest);
}

void TConvForm::DecodeMp3ToWav(const std::string& source, const std::string& dest) {
  const Vbmp3Lib library(Vbmp3Library, DynamicLibrary::Unloading::Never);
  if (!library.Usable()) throw EAuException(kPluginNotLoaded);
  const Vbmp3Lib::EntryPoints& api = library.Api();

  // The library writes the WAV under its name only when decoding succeeds; an older file there would
  // pass for the result.
  DeleteFileIfExists(dest);
  std::array<std::uint8_t, VBMP3_INFO_SIZE> info{};
  api.vbmp3_init();
  api.vbmp3_open(source.c_str(), info.data());
  api.vbmp3_decodeWave(dest.c_str());
  std::int32_t progress = 0;
  while (api.vbmp3_getState(&progress) == 1) {
    if (StopRequested()) {
      // Closing stops the decoding and discards its output.
      api.vbmp3_close();
      throw EAbort();
    }
    ReportProgress(progress / 100.0);
    Pump();
    std::this_thread::sleep_for(kPollInterval);
  }
  api.vbmp3_close();
  if (!LooksLikeWav(dest)) throw EAuException(WithReason(kDecodingFailed, source, ""));
}

bool TConvForm::DecodeWmaToWav(const std::string& source, const std::string& dest) {
  const WmafileLib library(WmafileLibrary, DynamicLibrary::Unloading::Never);
  library.Require();
  const WmafileLib::EntryPoints& api = library.Api();
  DeleteFileIfExists(dest);
  // The library call blocks until the file is complete; beside the UI thread the windows stay alive.
  int error = 0;
  RunBeside([&](const std::atomic<bool>& stop, std::atomic<std::int32_t>& permille) {
    LibraryProgress progress{stop, permille};
    api.WMA2WAVEx(source.c_str(), dest.c_str(), OnLibraryProgress, &progress);
    error = api.WMAGetLastError();
  });
  if (!LooksLikeWav(dest))
    throw EAuException(WithReason(kDecodingFailed, source, error ? std::strerror(error) : ""));
  return FileExists(dest);
}

std::int32_t TConvForm::RunAnyaudio(const std::string& source, const std::string& dest, std::int32_t aacKbps,
                                    anyaudio_result& result) {
  // The source is opened here first, so a missing one gives the stream layer's message.
  TAuFileStream(source, kSourceMode).Close();
  const AnyaudioLib library(AnyaudioLibrary, DynamicLibrary::Unloading::Never);
  library.Require();
  const AnyaudioLib::EntryPoints& api = library.Api();
  std::int32_t status = ANYAUDIO_OK;
  RunBeside([&](const std::atomic<bool>& stop, std::atomic<std::int32_t>& permille) {
    LibraryProgress progress{stop, permille};
    status = aacKbps > 0 ? api.AnyAudioWavToM4a(source.c_str(), dest.c_str(), aacKbps, OnLibraryProgress,
                                                &progress, &result)
                         : api.AnyAudioToWav(source.c_str(), dest.c_str(), OnLibraryProgress, &progress, &result);
  });
  return status;
}

void TConvForm::DecodeAnyToWav(const std::string& source, const std::string& dest) {
  anyaudio_result result{};
  const std::int32_t status = RunAnyaudio(source, dest, 0, result);
  if (status != ANYAUDIO_OK || !LooksLikeWav(dest))
    throw EAuException(WithReason(kDecodingFailed, source, AnyaudioReason(status, result)));
  if (result.is_float) {
    NarrowingResult narrowed;
    narrowed.Overs = result.overs;
    narrowed.SourceBits = static_cast<unsigned>(result.source_bits);
    Note(OversNote(narrowed));
  }
}

void TConvForm::DecodeWavToWav(const std::string& source, const std::string& dest) {
  TAuFileStream(source, kSourceMode).Close();
  if (IsWideWave(WavHeaderOf(source))) {
    Narrow(source, dest, source);
  } else {
    RunDecoder(*waveIn_, source, dest);
  }
}

void TConvForm::Narrow(const std::string& source, const std::string& dest, const std::string& named) {
  NarrowingResult result;
  try {
    result = NarrowWave(source, dest, [this](double fraction) {
      ReportProgress(fraction);
      Pump();
      return !StopRequested();
    });
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception& e) {
    throw EAuException(WithReason(kDecodingFailed, named, e.what()));
  }
  Note(OversNote(result));
}

void TConvForm::NarrowIfWide(const std::string& source, const std::string& wav) {
  if (!IsWideWave(WavHeaderOf(wav))) return;
  const std::string narrow = wav + ".16";
  try {
    Narrow(wav, narrow, source);
  } catch (...) {
    DeleteFileIfExists(narrow);
    throw;
  }
  if (std::rename(narrow.c_str(), wav.c_str()) != 0) {
    const int error = errno;
    DeleteFileIfExists(narrow);
    throw EAuException(WithReason(kDecodingFailed, source, std::strerror(error)));
  }
}

void TConvForm::Note(const std::string& text) {
  if (observer_ && !text.empty()) observer_->Note(text);
}

void TConvForm::EncodeWavToOgg(const std::string& source, const std::string& dest, double quality) {
  vorbisOut_->SetCompression(static_cast<float>(quality));
  RunEncoder(*vorbisOut_, source, dest);
}

void TConvForm::EncodeWavToMp3(const std::string& source, const std::string& dest, std::uint16_t kbps) {
  if (const auto rate = BitRateForKbps(kbps)) mp3Out_->SetBitRate(*rate);
  RunEncoder(*mp3Out_, source, dest);
  NoteSampleRate("MP3", WavSampleRate(source), mp3Out_->WrittenSampleRate());
}

void TConvForm::NoteSampleRate(const char* format, std::uint32_t source, std::int32_t written) {
  if (!observer_ || written <= 0 || source == 0 || static_cast<std::uint32_t>(written) == source) return;
  observer_->Note(std::string(format) + " written at " + std::to_string(written) + " Hz (the source has " +
                  std::to_string(source) + " Hz)");
}

void TConvForm::EncodeWavToApe(const std::string& source, const std::string& dest, std::int32_t level) {
  macOut_->SetCompressionLevel(level);
  RunEncoder(*macOut_, source, dest);
}

void TConvForm::EncodeWavToFlac(const std::string& source, const std::string& dest, std::int8_t level) {
  flacOut_->SetCompressionLevel(level);
  RunEncoder(*flacOut_, source, dest);
}

void TConvForm::EncodeWavToOpus(const std::string& source, const std::string& dest, std::int32_t kbps) {
  opusOut_->SetBitRate(kbps);
  RunEncoder(*opusOut_, source, dest);
}

void TConvForm::EncodeWavToM4a(const std::string& source, const std::string& dest, std::int32_t kbps) {
  anyaudio_result result{};
  try {
    const std::int32_t status = RunAnyaudio(
        source, dest, std::clamp<std::int32_t>(kbps, ANYAUDIO_AAC_MIN_KBPS, ANYAUDIO_AAC_MAX_KBPS), result);
    if (status != ANYAUDIO_OK) throw EAuException(WithReason(kEncodingFailed, dest, AnyaudioReason(status, result)));
  } catch (...) {
    // The library leaves an older file of that name as it was; a failed or stopped encoding leaves none.
    RemovePartialDestination(dest);
    throw;
  }
  NoteSampleRate("AAC", WavSampleRate(source), result.sample_rate);
}

void TConvForm::EncodeWavToWma(const std::string& source, const std::string& dest, std::uint16_t kbps) {
  // The source is opened here first, so a missing one gives the stream layer's message.
  TAuFileStream(source, kSourceMode).Close();
  const WmafileLib library(WmafileLibrary, DynamicLibrary::Unloading::Never);
  library.Require();
  const WmafileLib::EntryPoints& api = library.Api();
  DeleteFileIfExists(dest);
  int error = 0;
  RunBeside([&](const std::atomic<bool>& stop, std::atomic<std::int32_t>& permille) {
    LibraryProgress progress{stop, permille};
    api.WAV2WMAEx(source.c_str(), dest.c_str(), static_cast<std::int32_t>(kbps), OnLibraryProgress, &progress);
    error = api.WMAGetLastError();
  });
  if (RegularFileSize(dest) == 0) {
    RemovePartialDestination(dest);
    const std::string reason = error ? std::strerror(error) : "WMA " + std::to_string(kbps) + " kbit/s";
    throw EAuException(WithReason(kEncodingFailed, dest, reason));
  }
  const std::uint32_t rate = WavSampleRate(source);
  NoteSampleRate("WMA", rate, api.WAV2WMASampleRate(kbps, static_cast<std::int32_t>(rate)));
}

void TConvForm::Decode(FileFormat format, const std::string& source, const std::string& wav,
                       ConversionObserver* observer) {
  const Observing observing(*this, observer);
  switch (format) {
    case FileFormat::Ape:
      DecodeApeToWav(source, wav);
      break;
    case FileFormat::Ogg:
      DecodeOggToWav(source, wav);
      break;
    case FileFormat::Mp3:
      DecodeMp3ToWav(source, wav);
      break;
    case FileFormat::Flac:
      DecodeFlacToWav(source, wav);
      break;
    case FileFormat::Wma:
      DecodeWmaToWav(source, wav);
      break;
    // Opus and M4A sources are read like the formats outside the table.
    case FileFormat::Opus:
    case FileFormat::M4a:
    case FileFormat::Other:
      DecodeAnyToWav(source, wav);
      break;
    case FileFormat::Wav:
      DecodeWavToWav(source, wav);
      break;
    case FileFormat::Unknown:
      throw EAuException(kUnsupportedFormat);
  }
  // A decoder that keeps the source's sample size (24-bit FLAC or Monkey's Audio) gives a wide WAV.
  NarrowIfWide(source, wav);
}

void TConvForm::Encode(FileFormat format, const std::string& wav, const std::string& destination,
                       const EncoderSettings& s, ConversionObserver* observer) {
  const Observing observing(*this, observer);
  switch (format) {
    case FileFormat::Ape:
      EncodeWavToApe(wav, destination, s.ApeLevel);
      return;
    case FileFormat::Ogg:
      EncodeWavToOgg(wav, destination, s.OggQuality);
      return;
    case FileFormat::Mp3:
      EncodeWavToMp3(wav, destination, static_cast<std::uint16_t>(s.Mp3Kbps));
      return;
    case FileFormat::Flac:
      EncodeWavToFlac(wav, destination, static_cast<std::int8_t>(s.FlacLevel));
      return;
    case FileFormat::Wma:
      EncodeWavToWma(wav, destination, static_cast<std::uint16_t>(s.WmaKbps));
      return;
    case FileFormat::Opus:
      EncodeWavToOpus(wav, destination, s.OpusKbps);
      return;
    case FileFormat::M4a:
      EncodeWavToM4a(wav, destination, s.AacKbps);
      return;
    case FileFormat::Wav:
    case FileFormat::Other:
    case FileFormat::Unknown:
      break;
  }
  throw EAuException(kUnsupportedFormat);
}

}  // namespace merolune
