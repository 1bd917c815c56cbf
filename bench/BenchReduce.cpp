// merolune-bench: the whole job's speed at every precision level, and the command-line tool's
// peak memory on a normal and (with --long) an hour-long song.
//
// The speed is measured in this process through ReductionJob, so that it counts our own code
// from the first read of the source to the renamed destination, and nothing of process start-up.
// The memory is measured on merolune-cli in a child process, whose ru_maxrss the kernel reports
// on its own; it would be muddled here by the benchmark's buffers and allocator history.
//
// Output: one line per figure, "name key=value ...", for scripts and for people. The machine the
// figures come from is usually small and shared, so the medians are the figures to quote.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BenchChild.h"
#include "Exception.h"
#include "ReductionJob.h"
#include "ReductionSettings.h"
#include "Stream.h"
#include "WaveHeader.h"

namespace {

using namespace merolune;
namespace fs = std::filesystem;
using bench::Median;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr double kLongSongSeconds = 3600.0;
// The hour-long song must go through the tool in less than this; the tool streams blocks and
// must never hold a whole file.
constexpr double kLongSongRssLimitMiB = 40.0;

constexpr const char* kUsage = R"(Usage: merolune-bench [options]

Times the whole WAV-to-WAV job at precision levels 0..4 with the default settings, and
measures the peak resident memory of merolune-cli on the same job.

  --reps N          runs per figure, the median is reported (default 5)
  --seconds S       length of the generated test song (default 240)
  --song PATH       use this 16-bit stereo WAV instead of generating one
  --long            also measure merolune-cli's memory on a 60-minute song
  --cli PATH        the merolune-cli to measure (default: the one of this build)
  --demosong PATH   the song generator (default: the one of this build)
  --help            this text

Output lines:
  job precision=I N=BLOCK reps=R median_s=.. x_realtime=.. min_s=.. max_s=..
  pump_gap precision=I N=BLOCK reps=R median_max_ms=.. worst_ms=..  (longest time without event handling)
  cli_peak_rss_mib song_s=S precision=2 runs=R value=MEDIAN min=.. max=..
)";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  int Reps = 5;
  double Seconds = 240.0;
  std::string Song;
  bool Long = false;
  std::string Cli = MEROLUNE_CLI;
  std::string DemoSong = MEROLUNE_DEMOSONG;
};

double ParsePositive(std::string_view option, const std::string& text) {
  std::size_t used = 0;
  double value = 0.0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || !(value > 0.0))
    throw UsageError(std::string(option) + " wants a positive number, not '" + text + "'");
  return value;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--reps") {
      const double reps = ParsePositive(arg, value());
      if (reps != static_cast<double>(static_cast<int>(reps)) || reps > 1000)
        throw UsageError("--reps wants a whole number from 1 to 1000");
      o.Reps = static_cast<int>(reps);
    } else if (arg == "--seconds") {
      o.Seconds = ParsePositive(arg, value());
    } else if (arg == "--song") {
      o.Song = value();
    } else if (arg == "--long") {
      o.Long = true;
    } else if (arg == "--cli") {
      o.Cli = value();
    } else if (arg == "--demosong") {
      o.DemoSong = value();
    } else {
      throw UsageError("unknown argument '" + std::string(arg) + "'");
    }
  }
  return o;
}

// A directory of our own under $TMPDIR, removed with everything in it however the run ends. The
// job's own temporary files go there too, so that an interrupted run leaves nothing in /tmp.
class ScratchDir {
 public:
  ScratchDir() {
    const char* env = std::getenv("TMPDIR");
    std::string pattern =
        std::string(env != nullptr && env[0] != '\0' ? env : "/tmp") + "/merolune-bench-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
      throw std::runtime_error("cannot create a directory like " + pattern);
    path_ = buffer.data();
    ::setenv("TMPDIR", path_.c_str(), 1);
  }
  ~ScratchDir() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string FormatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

void MakeSong(const Options& o, double seconds, const std::string& path) {
  bench::RunChildChecked({o.DemoSong, "--seconds", FormatSeconds(seconds), path},
                         bench::ChildOutput::ToStandardError);
}

// The song's length in seconds, from its header and the bytes the file really holds, as the job
// counts them.
double SongSeconds(const std::string& path) {
  FileStream in(path, FileStream::Mode::Read);
  WaveFormatInfo info{};
  ReadWaveHeader(in, info);
  if (!info.WaveFound || info.DataStart == 0 || info.Channels != 2 ||
      (info.BitsPerSample != 8 && info.BitsPerSample != 16) || info.SampleRate == 0)
    throw std::runtime_error(path + ": not an 8- or 16-bit stereo WAV file");
  const std::uint64_t size = in.Size();
  std::uint64_t bytes = size > info.DataStart ? size - info.DataStart : 0;
  if (info.DataSize != 0 && info.DataSize < bytes) bytes = info.DataSize;
  const std::uint64_t frames = bytes / (info.BitsPerSample / 4U);
  return static_cast<double>(frames) / info.SampleRate;
}

// The window's part, reduced to what a job needs when nobody is there to answer: the default
// settings, every question answered yes, an error message turned into a failed run.
class BenchHost final : public JobProgress, public JobQuestions {
 public:
  // The longest time the window would go without handling its events: between two pumps, and
  // from the job's start to the first and from the last to its end.
  void PumpMessages() override { Mark(); }
  void StartClock() {
    last_ = std::chrono::steady_clock::now();
    longestGap_ = 0;
  }
  void Mark() {
    const auto now = std::chrono::steady_clock::now();
    longestGap_ = std::max(longestGap_, std::chrono::duration<double>(now - last_).count());
    last_ = now;
  }
  double LongestGap() const { return longestGap_; }

  void ShowError(const std::string& message) override { error_ = message; }
  bool ConfirmOverwrite(const std::string&) override { return true; }
  // The default settings at the chosen precision.
  JobRequest Request() const {
    JobRequest request;
    request.BlockSize = BlockSizeForPrecision(precision_);
    return request;
  }

  void SetPrecision(int level) { precision_ = level; }
  const std::string& Error() const { return error_; }

 private:
  int precision_ = 2;
  std::string error_;
  std::chrono::steady_clock::time_point last_;
  double longestGap_ = 0;
};

// Runs one job and returns its wall time. The previous result file and destination are removed
// before the clock starts, so every run does the same work: a fresh destination, no old result
// to delete.
double TimeJob(ReductionJob& job, BenchHost& host, const std::string& song, const std::string& destination) {
  job.DeleteLastOutput();
  DeleteFileIfExists(destination);
  const auto start = std::chrono::steady_clock::now();
  host.StartClock();
  const JobResult result = job.DoReduce(song, destination, host.Request());
  host.Mark();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (result != JobResult::Completed)
    throw std::runtime_error("the job did not complete" + (host.Error().empty() ? "" : ": " + host.Error()));
  return seconds;
}

void BenchJobs(const Options& o, const std::string& song, double songSeconds, const ScratchDir& scratch) {
  BenchHost host;
  JobMonitor noMonitor;
  ReductionJob job(host, host, noMonitor);
  const std::string destination = scratch.File("job-out.wav");
  // One untimed run first: it brings the song into the page cache and lets the allocator and the
  // transform tables settle, so the first level's figures are not the odd ones out.
  TimeJob(job, host, song, destination);

  for (int level = 0; level < kPrecisionLevels; ++level) {
    host.SetPrecision(level);
    std::vector<double> times, gaps;
    for (int rep = 0; rep < o.Reps; ++rep) {
      times.push_back(TimeJob(job, host, song, destination));
      gaps.push_back(host.LongestGap());
    }
    const double median = Median(times);
    std::printf("job precision=%d N=%d reps=%d median_s=%.4f x_realtime=%.1f min_s=%.4f max_s=%.4f\n", level,
                BlockSizeForPrecision(level), o.Reps, median, songSeconds / median,
                *std::min_element(times.begin(), times.end()), *std::max_element(times.begin(), times.end()));
    std::printf("pump_gap precision=%d N=%d reps=%d median_max_ms=%.2f worst_ms=%.2f\n", level,
                BlockSizeForPrecision(level), o.Reps, 1000 * Median(gaps),
                1000 * *std::max_element(gaps.begin(), gaps.end()));
    std::fflush(stdout);
  }
  job.DeleteLastOutput();
  DeleteFileIfExists(destination);
}

void BenchCliMemory(const Options& o, const std::string& song, double songSeconds, int runs,
                    const ScratchDir& scratch, std::optional<double> limitMiB) {
  const std::string destination = scratch.File("cli-out.wav");
  std::vector<double> rss;
  std::vector<double> wall;
  for (int run = 0; run < runs; ++run) {
    DeleteFileIfExists(destination);
    const bench::ChildRun r = bench::RunChildChecked({o.Cli, "--quiet", "--overwrite", song, destination},
                                                     bench::ChildOutput::ToStandardError);
    rss.push_back(r.PeakRssMiB);
    wall.push_back(r.Seconds);
  }
  DeleteFileIfExists(destination);
  const double median = Median(rss);
  std::printf("cli_peak_rss_mib song_s=%.0f precision=2 runs=%d value=%.1f min=%.1f max=%.1f wall_s=%.2f",
              songSeconds, runs, median, *std::min_element(rss.begin(), rss.end()),
              *std::max_element(rss.begin(), rss.end()), Median(wall));
  if (limitMiB) std::printf(" limit=%.0f within=%s", *limitMiB, median < *limitMiB ? "yes" : "NO");
  std::printf("\n");
  std::fflush(stdout);
}

int Run(const Options& o) {
  ScratchDir scratch;
  std::string song = o.Song;
  if (song.empty()) {
    song = scratch.File("song.wav");
    MakeSong(o, o.Seconds, song);
  }
  const double songSeconds = SongSeconds(song);
  std::printf("song source=%s seconds=%.3f bytes=%llu\n", o.Song.empty() ? "generated" : o.Song.c_str(),
              songSeconds, static_cast<unsigned long long>(fs::file_size(song)));
  std::fflush(stdout);

  BenchJobs(o, song, songSeconds, scratch);
  BenchCliMemory(o, song, songSeconds, o.Reps, scratch, std::nullopt);

  if (o.Long) {
    // About 600 MiB, and the job makes three more copies of that size: generated only when asked
    // for and removed at once. One run: the peak does not vary with the run.
    const std::string longSong = scratch.File("long-song.wav");
    MakeSong(o, kLongSongSeconds, longSong);
    BenchCliMemory(o, longSong, SongSeconds(longSong), 1, scratch, kLongSongRssLimitMiB);
    DeleteFileIfExists(longSong);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "merolune-bench: %s\nTry 'merolune-bench --help'.\n", e.what());
    return kExitUsage;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench: %s\n", e.what());
    return kExitFailed;
  }
}
