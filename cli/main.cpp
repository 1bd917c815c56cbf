// merolune-cli: runs one reduction job from the command line, as the run button does.

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Batch.h"
#include "ConversionModule.h"
#include "Exception.h"
#include "Formats.h"
#include "Messages.h"
#include "ReductionJob.h"
#include "ReductionSettings.h"
#include "TagCopying.h"

namespace {

using namespace merolune;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage = R"(Usage: merolune-cli [options] [--vocals FILE] SOURCE DEST
       merolune-cli [options] -o DIR SOURCE...

Turns SOURCE into a karaoke track DEST by reducing the centre-panned vocal.
The extensions choose the formats (.wav; an unknown DEST extension receives WAV).
With -o, every SOURCE (folders are walked for audio files) becomes DIR/NAME_cc.EXT,
keeping the folders' layout, several files at once.

Reduction:
  --p-param POS         phase limit, 0..900 (tenths of a degree), default 450
  --a-param POS         A parameter, 0..1000, default 400
  --no-synthetic        plain instead of weighted subtraction
  --precision I         0..4: blocks of 2048 * 2^I frames, default 2 (8192)
  --range I             0 all, 1 100-12000 Hz, 2 150-14000 Hz (default), 3 250-15000 Hz, 4 custom
  --low HZ --high HZ    custom range (implies --range 4)
  --key K               key change in semitones, -5..5, default 0
  --inverse             keep the removed part instead of the rest
  --vocals FILE         also write the removed part (the vocals) to FILE, in the same
                        pass; its extension chooses its format as DEST's does. Karaoke
                        and vocals add up to the source. Not with --inverse or --key
  --subtraction-bypass  skip the subtraction
  --enhancer            widen the stereo image
  --bypass-all          no processing at all: DEST receives the source as it is
  --quality             the quality mode: the centre voice cancelled per time-frequency
                        cell, the rest of the stereo image kept
  --reverb MODE         the quality mode's handling of a reverberant voice: auto
                        (measured over the song, the default), off or on
Encoding:
  --ape-level I         Monkey's Audio level item 0..3, default 1
  --ogg-quality POS     Ogg Vorbis quality -1..10, default 5
  --mp3-kbps K          MP3 bit rate: 8 16 24 32 40 48 56 64 80 96 112 128 144 160
                        192 224 256 320, default 192
  --flac-level L        FLAC level 0..8, or -1 for the detailed settings, default -1
  --wma-kbps K          WMA bit rate: 5 6 8 10 12 16 20 22 32 40 48 64 80 96 112 128
                        160 192 224 256 320, default 96
  --opus-kbps K         Opus bit rate, 32..256, default 128 (written at 48 kHz)
  --aac-kbps K          AAC (.m4a) bit rate, 64..320, default 192
Batch (with -o DIR):
  -o DIR                the output folder (made when missing)
  --format EXT          the destinations' format, e.g. mp3; default: each source's own
                        (WAV for a source in a format that is only read)
  -j, --jobs N          N files at once, default: one per core
  --shard K/N           only the K-th of N shares of the files, the same on every machine
  --stems               also NAME_vocals.EXT, the removed part, in the same pass
  --dry-run             print each SOURCE and its destination, convert nothing
  An existing destination is skipped unless --overwrite. Exit status: 0 when every
  file was done or skipped, 1 otherwise; every failure is named.
Other:
  --no-tags             leave out the source's tags and cover (kept by default)
  --overwrite           replace an existing DEST
  --quiet               no progress on stderr
  --help                this text

Exit status: 0 done, 1 the job failed or was cancelled, 2 bad usage.
)";

struct Options {
  // The job's options as given (--name=value), for the batch's jobs; the batch's own are not here.
  std::vector<std::string> JobArguments;
  bool Batch = false;
  BatchOptions BatchSettings;
  std::vector<std::string> Sources;
  bool ReportProgress = false;  // a batch's job: progress as "progress FRACTION" lines on stderr
  TuningControls Controls;
  ReductionToggles Toggles;
  // Checked here against what the dialog offers, so that a script learns of a typo at once.
  EncoderControls Encoder;
  bool Overwrite = false;
  bool Quiet = false;
  bool KeepTags = true;
  std::string Source;
  std::string Destination;
  std::string Vocals;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <std::size_t N>
int ParseListed(const char* option, const char* text, const std::array<int, N>& values) {
  const int v = ParseHz(text, std::numeric_limits<std::int32_t>::min());
  if (std::find(std::begin(values), std::end(values), v) != std::end(values)) return v;
  std::string list;
  for (int value : values) {
    if (!list.empty()) list += ' ';
    list += std::to_string(value);
  }
  throw UsageError(std::string(option) + " takes one of " + list + ", not '" + text + "'");
}

ReverbMode ParseReverb(const std::string& text) {
  if (text == "auto") return ReverbMode::Auto;
  if (text == "off") return ReverbMode::Off;
  if (text == "on") return ReverbMode::On;
  throw UsageError("--reverb takes auto, off or on, not '" + text + "'");
}

int ParseInt(const char* option, const char* text, int low, int high) {
  const int v = ParseHz(text, std::numeric_limits<std::int32_t>::min());
  if (v == std::numeric_limits<std::int32_t>::min() || v < low || v > high)
    throw UsageError(std::string(option) + " takes an integer from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not '" + text + "'");
  return v;
}

// --format's extension, with or without its dot, as ".ext" of a format that is written.
std::string ParseFormat(const std::string& text) {
  const std::string extension = LowerExtension("x" + (text.starts_with('.') ? text : "." + text));
  if (FormatFromExtension("x" + extension) == FileFormat::Unknown) {
    std::string list;
    for (const FormatRow& row : kFormats) {
      if (!list.empty()) list += ' ';
      list += row.Extension + 1;
    }
    throw UsageError("--format takes one of " + list + ", not '" + text + "'");
  }
  return extension;
}

// --shard K/N with 1 <= K <= N.
void ParseShard(const std::string& text, BatchOptions& batch) {
  const std::size_t slash = text.find('/');
  const int k = slash == std::string::npos ? 0 : ParseHz(std::string_view(text).substr(0, slash), 0);
  const int n = slash == std::string::npos ? 0 : ParseHz(std::string_view(text).substr(slash + 1), 0);
  if (k < 1 || n < 1 || k > n) throw UsageError("--shard takes K/N with 1 <= K <= N, not '" + text + "'");
  batch.ShardIndex = k;
  batch.ShardCount = n;
}

Options ParseOptions(int argc, char** argv) {
  enum : int {
    kP = 256, kA, kNoSynthetic, kPrecision, kRange, kLow, kHigh, kKey, kInverse, kSubtractionBypass, kEnhancer,
    kBypassAll, kQuality, kReverb, kVocals, kApe, kOgg, kMp3, kFlac, kWma, kOpus, kAac, kNoTags, kOverwrite,
    // The options above are each job's; those below, the program's.
    kQuiet, kHelp, kFormat, kShard, kStems, kDryRun, kReportProgress,
  };
  static const option longOptions[] = {
      {"p-param", required_argument, nullptr, kP},
      {"a-param", required_argument, nullptr, kA},
      {"no-synthetic", no_argument, nullptr, kNoSynthetic},
      {"precision", required_argument, nullptr, kPrecision},
      {"range", required_argument, nullptr, kRange},
      {"low", required_argument, nullptr, kLow},
      {"high", required_argument, nullptr, kHigh},
      {"key", required_argument, nullptr, kKey},
      {"inverse", no_argument, nullptr, kInverse},
      {"subtraction-bypass", no_argument, nullptr, kSubtractionBypass},
      {"enhancer", no_argument, nullptr, kEnhancer},
      {"bypass-all", no_argument, nullptr, kBypassAll},
      {"quality", no_argument, nullptr, kQuality},
      {"reverb", required_argument, nullptr, kReverb},
      {"vocals", required_argument, nullptr, kVocals},
      {"ape-level", required_argument, nullptr, kApe},
      {"ogg-quality", required_argument, nullptr, kOgg},
      {"mp3-kbps", required_argument, nullptr, kMp3},
      {"flac-level", required_argument, nullptr, kFlac},
      {"wma-kbps", required_argument, nullptr, kWma},
      {"opus-kbps", required_argument, nullptr, kOpus},
      {"aac-kbps", required_argument, nullptr, kAac},
      {"no-tags", no_argument, nullptr, kNoTags},
      {"overwrite", no_argument, nullptr, kOverwrite},
      {"quiet", no_argument, nullptr, kQuiet},
      {"help", no_argument, nullptr, kHelp},
      {"jobs", required_argument, nullptr, 'j'},
      {"format", required_argument, nullptr, kFormat},
      {"shard", required_argument, nullptr, kShard},
      {"stems", no_argument, nullptr, kStems},
      {"dry-run", no_argument, nullptr, kDryRun},
      {"report-progress", no_argument, nullptr, kReportProgress},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  std::optional<int> range;
  std::optional<std::string> low, high;
  std::optional<ReverbMode> reverb;
  bool batchOnly = false;
  opterr = 0;
  for (;;) {
    int index = -1;
    const int c = getopt_long(argc, argv, "o:j:", longOptions, &index);
    if (c == -1) break;
    if (c >= kP && c <= kOverwrite && index >= 0) {
      std::string argument = std::string("--") + longOptions[index].name;
      if (optarg) {
        argument += '=';
        argument += optarg;
      }
      o.JobArguments.push_back(std::move(argument));
    }
    const char* name = optind > 0 && optind <= argc ? argv[optind - 1] : "option";
    switch (c) {
      case kP: o.Controls.PPosition = ParseInt("--p-param", optarg, 0, kPPositionMax); break;
      case kA: o.Controls.APosition = ParseInt("--a-param", optarg, 0, kAPositionMax); break;
      case kNoSynthetic: o.Controls.Synthetic = false; break;
      case kPrecision: o.Controls.PrecisionIndex = ParseInt("--precision", optarg, 0, kPrecisionLevels - 1); break;
      case kRange: range = ParseInt("--range", optarg, 0, kRangeCustom); break;
      case kLow: low = std::to_string(ParseInt("--low", optarg, 0, 1000000)); break;
      case kHigh: high = std::to_string(ParseInt("--high", optarg, 0, 1000000)); break;
      case kKey: o.Controls.KeyPosition = ParseInt("--key", optarg, kKeyMin, kKeyMax); break;
      case kInverse: o.Toggles.Inverse = true; break;
      case kSubtractionBypass: o.Toggles.SubtractionBypass = true; break;
      case kEnhancer: o.Toggles.Enhancer = true; break;
      case kBypassAll: o.Toggles.BypassAll = true; break;
      case kQuality: o.Controls.Quality = true; break;
      case kReverb: reverb = ParseReverb(optarg); break;
      case kVocals:
        if (*optarg == '\0') throw UsageError("--vocals takes a file name");
        o.Vocals = optarg;
        break;
      case kApe: o.Encoder.ApeItem = ParseInt("--ape-level", optarg, 0, kApeItems - 1); break;
      case kOgg: o.Encoder.OggPosition = ParseInt("--ogg-quality", optarg, kOggPositionMin, kOggPositionMax); break;
      case kMp3: o.Encoder.Mp3Kbps = ParseListed("--mp3-kbps", optarg, kMp3Rates); break;
      case kFlac: o.Encoder.FlacLevel = ParseInt("--flac-level", optarg, kFlacDetailedSettings, kFlacLevelMax); break;
      case kWma: o.Encoder.WmaKbps = ParseListed("--wma-kbps", optarg, kWmaRates); break;
      case kOpus: o.Encoder.OpusKbps = ParseInt("--opus-kbps", optarg, kOpusRates.front(), kOpusRates.back()); break;
      case kAac: o.Encoder.AacKbps = ParseInt("--aac-kbps", optarg, kAacRates.front(), kAacRates.back()); break;
      case kNoTags: o.KeepTags = false; break;
      case kOverwrite: o.Overwrite = true; break;
      case kQuiet: o.Quiet = true; break;
      case 'o':
        o.Batch = true;
        o.BatchSettings.OutputDir = optarg;
        break;
      case 'j': o.BatchSettings.Jobs = ParseInt("--jobs", optarg, 1, 256); batchOnly = true; break;
      case kFormat: o.BatchSettings.Extension = ParseFormat(optarg); batchOnly = true; break;
      case kShard: ParseShard(optarg, o.BatchSettings); batchOnly = true; break;
      case kStems: o.BatchSettings.Stems = true; batchOnly = true; break;
      case kDryRun: o.BatchSettings.DryRun = true; batchOnly = true; break;
      case kReportProgress: o.ReportProgress = true; break;
      case kHelp: std::cout << kUsage; std::exit(0);
      default: throw UsageError(std::string("unknown or incomplete option '") + name + "'");
    }
  }
  if (reverb && !o.Controls.Quality) throw UsageError("--reverb needs --quality");
  if (reverb) o.Controls.Reverb = *reverb;
  if (o.Controls.Quality && !o.Controls.Synthetic) throw UsageError("--no-synthetic does not apply to the quality mode");
  // The vocals are what the karaoke lacks of the source: inverse mode writes them as DEST already,
  // and a key change leaves the karaoke nothing to add up to the source with.
  const bool vocals = !o.Vocals.empty() || o.BatchSettings.Stems;
  const char* vocalsOption = o.BatchSettings.Stems ? "--stems" : "--vocals";
  if (vocals && o.Toggles.Inverse)
    throw UsageError(std::string(vocalsOption) + " cannot go with --inverse (DEST is the vocals then)");
  if (vocals && o.Controls.KeyPosition != 0)
    throw UsageError(std::string(vocalsOption) +
                     " cannot go with --key: a key-changed karaoke and the vocals do not add up to the source");
  if (o.Batch) {
    if (o.BatchSettings.OutputDir.empty()) throw UsageError("-o takes a folder");
    if (!o.Vocals.empty()) throw UsageError("--vocals names one file; a batch writes its vocals with --stems");
    if (optind == argc) throw UsageError("expected at least one SOURCE after -o DIR");
    o.Sources.assign(argv + optind, argv + argc);
    o.BatchSettings.Overwrite = o.Overwrite;
    o.BatchSettings.Quiet = o.Quiet;
  } else {
    if (batchOnly) throw UsageError("--jobs, --format, --shard, --stems and --dry-run need -o DIR");
    if (argc - optind != 2) throw UsageError("expected SOURCE and DEST");
    o.Source = argv[optind];
    o.Destination = argv[optind + 1];
  }

  // The range boxes: a preset fills them, custom keeps what they held ("150" and "14000" at start)
  // unless given.
  o.Controls.RangeIndex = range.value_or((low || high) ? kRangeCustom : 2);
  if ((low || high) && o.Controls.RangeIndex != kRangeCustom)
    throw UsageError("--low and --high set a custom range; they cannot go with --range " +
                     std::to_string(o.Controls.RangeIndex));
  const RangePreset& preset = kRangePresets[o.Controls.RangeIndex];
  if (preset.Low) o.Controls.LowText = preset.Low;
  if (preset.High) o.Controls.HighText = preset.High;
  if (low) o.Controls.LowText = *low;
  if (high) o.Controls.HighText = *high;
  return o;
}

// What the job wants of the window, on a terminal: messages and notes on stderr, and one progress
// line naming the phase ("decoding 42%") when stderr is a terminal. There is no monitor.
class CliHost final : public JobProgress, public JobQuestions {
 public:
  explicit CliHost(const Options& options)
      : options_(options), progress_(options.ReportProgress || (!options.Quiet && ::isatty(STDERR_FILENO))) {
    // A batch's job reports one fraction for all its phases, each an equal share.
    if (SourceNeedsConverter(options.Source)) phases_.push_back("decoding");
    phases_.push_back("reducing");
    if (IsCoded(FormatFromExtension(options.Destination))) phases_.push_back("encoding");
  }

  // The conversion components deliver their notices through the module's event loop.
  void PumpMessages() override {
    if (converter_) converter_->PumpMessages();
  }
  void SetConverter(ConversionModule* converter) { converter_ = converter; }
  void ShowError(const std::string& message) override { Say(message); }
  bool ConfirmOverwrite(const std::string& destination) override {
    if (!options_.Overwrite) Say(destination + ": already exists (--overwrite replaces it)");
    return options_.Overwrite;
  }
  void Note(const std::string& text) override { Say("note: " + text); }

  void SetProgress(std::uint64_t position, std::uint64_t minimum, std::uint64_t maximum) override {
    if (maximum == 0) return ClearLine();
    const double span = static_cast<double>(maximum - std::min(maximum, minimum));
    const double done = static_cast<double>(position - std::min(position, minimum));
    ShowLine("reducing", span > 0 ? done / span : 1.0, position >= maximum);
  }
  void SetConversionProgress(ConversionPhase phase, double fraction) override {
    ShowLine(phase == ConversionPhase::Decoding ? "decoding" : "encoding", fraction, false);
  }
  void EndConversion(ConversionPhase) override { ClearLine(); }

  // Before the process's own last words, so that they start on a clean line.
  void ClearLine() {
    if (shown_ && !options_.ReportProgress) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

 private:
  void Say(const std::string& text) {
    ClearLine();
    std::cerr << "merolune-cli: " << LocalizedMessage(text) << '\n';
  }

  // At most ten times a second, unless the phase or the end is reached.
  void ShowLine(const char* phase, double fraction, bool final) {
    if (!progress_) return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && phase == phase_ && !final && now - lastShown_ < std::chrono::milliseconds(100)) return;
    if (options_.ReportProgress) {
      const auto at = std::find_if(phases_.begin(), phases_.end(), [&](const char* p) { return !std::strcmp(p, phase); });
      const double share = at == phases_.end() ? 0.0 : static_cast<double>(at - phases_.begin());
      std::fprintf(stderr, "progress %.4f\n", (share + std::clamp(fraction, 0.0, 1.0)) / static_cast<double>(phases_.size()));
    } else if (fraction < 0) {
      std::fprintf(stderr, "\r\033[K%s...", phase);
    } else {
      std::fprintf(stderr, "\r\033[K%s %3.0f%%", phase, 100.0 * std::min(fraction, 1.0));
    }
    std::fflush(stderr);
    shown_ = true;
    phase_ = phase;
    lastShown_ = now;
  }

  const Options& options_;
  ConversionModule* converter_ = nullptr;
  bool progress_;
  bool shown_ = false;
  const char* phase_ = nullptr;
  std::chrono::steady_clock::time_point lastShown_;
  std::vector<const char*> phases_;
};

std::atomic<ReductionJob*> runningJob{nullptr};
std::atomic<int> stopSignal{0};
static_assert(std::atomic<ReductionJob*>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

extern "C" void OnSignal(int signal) {
  // Only atomic stores: the job stops after the block in hand, or a conversion within a fraction of
  // a second, and cleans up. Later signals change nothing.
  stopSignal.store(signal);
  if (ReductionJob* job = runningJob.load()) job->RequestCancel();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "merolune-cli: " << e.what() << "\nTry 'merolune-cli --help'.\n";
    return kExitUsage;
  }

  // Interrupt, terminate and hang-up all stop the job with its clean-up (a batch's jobs, each
  // with its own).
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);

  if (options.Batch) {
    const BatchOptions& batch = options.BatchSettings;
    std::vector<BatchItem> items = PlanBatch(options.Sources, batch);
    if (batch.ShardCount > 1) items = ShareOf(items, batch.ShardIndex, batch.ShardCount);
    std::error_code error;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
    int status = RunBatch(items, batch, error ? std::string(argv[0]) : self, options.JobArguments, stopSignal);
    if (const int signal = stopSignal.load()) {
      status = kExitFailed;
      std::cerr << "merolune-cli: stopped by SIG" << sigabbrev_np(signal) << '\n';
    }
    return status;
  }

  // The conversion module (with Qt's event loop, which the job pumps, and the codec libraries) is
  // opened only for a job that converts; a job from WAV to WAV goes without it and starts faster.
  // It stays loaded until the program ends.
  std::optional<LibraryBinding<ConversionModuleEntryPoints>> module;
  std::unique_ptr<ConversionModule> converter;
  if (SourceNeedsConverter(options.Source) || IsCoded(FormatFromExtension(options.Destination)) ||
      IsCoded(FormatFromExtension(options.Vocals))) {
    module.emplace(kConversionModuleLibrary, DynamicLibrary::Unloading::Never);
    std::string error;
    if (module->Usable()) converter.reset(module->Api().merolune_open_conversion(&error));
    if (!converter) {
      const std::string why = module->Usable() ? error : module->MissingMessage();
      std::cerr << "merolune-cli: " << LocalizedMessage(why) << '\n';
      return kExitFailed;
    }
  }

  JobRequest request;
  request.BlockSize = BlockSizeForPrecision(options.Controls.PrecisionIndex);
  request.Settings = MakeSettings(options.Controls, options.Toggles);
  request.BypassAll = options.Toggles.BypassAll;
  request.Encoder = MakeEncoderSettings(options.Encoder);
  request.KeepTags = options.KeepTags;
  request.VocalsDestination = options.Vocals;

  CliHost host(options);
  host.SetConverter(converter.get());
  JobMonitor noMonitor;
  ReductionJob job(host, host, noMonitor, converter.get());
  LibraryTagCopier tags;
  job.SetTagCopier(&tags);
  runningJob.store(&job);
  // A signal that came before the job could take it still stops it.
  if (stopSignal.load() != 0) job.RequestCancel();

  int status = kExitFailed;
  try {
    const JobResult result = job.DoReduce(options.Source, options.Destination, request);
    if (result == JobResult::Completed) status = 0;
    if (result == JobResult::Cancelled && stopSignal.load() == 0) std::cerr << "merolune-cli: cancelled\n";
  } catch (const std::exception& e) {
    host.ClearLine();
    std::cerr << "merolune-cli: " << LocalizedMessage(e.what()) << '\n';
  }
  runningJob.store(nullptr);
  host.ClearLine();
  // Whatever the job got to, a signal means the caller did not want it finished.
  if (const int signal = stopSignal.load()) {
    status = kExitFailed;
    std::cerr << "merolune-cli: stopped by SIG" << sigabbrev_np(signal) << '\n';
  }
  if (!job.DeleteLastOutput())
    std::cerr << "merolune-cli: cannot delete " << job.LastOutputTempFile() << '\n';
  return status;
}
