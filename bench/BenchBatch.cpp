// merolune-bench-batch: merolune-cli's batch with two jobs at once against one at a time, on copies
// of the demo song, WAV to WAV and MP3 to MP3, in the same run.
//
// Each figure is the median of --reps runs of the whole batch, alternating -j 1 and -j 2 so that a
// change in the machine's load hits both. The peak resident memory is the largest of the batch's
// processes (getrusage's ru_maxrss over the tool and the jobs it waited for), so it is one job's
// peak: it should not grow with -j. The goal: -j 2 at least 1.8 times as fast as -j 1 on two cores.
// The anchor, in the same run: what two processes at once gain on this machine at all, as flac
// encoding the same WAV files one and two at a time (xargs -P), since two virtual cores of a
// shared machine need not give twice the work of one.
//
// Output: one line per batch, "batch name=N key=value ...":
//   batch name=wav_to_wav files=8 song_s=240 reps=.. j1_s=.. j2_s=.. speedup=.. j1_rss_mib=..
//         j2_rss_mib=.. single_rss_mib=.. cores=.. goal=yes|NO
//   batch name=anchor_flac files=8 ... p1_s=.. p2_s=.. speedup=..

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BenchChild.h"

namespace {

using namespace merolune::bench;
namespace fs = std::filesystem;

constexpr double kGoalSpeedup = 1.8;

constexpr const char* kUsage = R"(Usage: merolune-bench-batch [options]

Times merolune-cli -o DIR on copies of the demo song with -j 1 and -j 2 (WAV to WAV, MP3 to MP3),
medians of alternating runs, with the largest process's peak resident memory; and, as the anchor,
flac encoding the same files one and two at a time.

  --files N         copies of the song in each batch (default 8)
  --seconds S       the song's length (default 240)
  --reps N          runs per figure, the median is reported (default 3)
  --help            this text
)";

struct Options {
  int Files = 8;
  int Seconds = 240;
  int Reps = 3;
};

Options Parse(int argc, char** argv) {
  Options o;
  WalkOptions(argc, argv, kUsage, [&](std::string_view option, const OptionValue& value) {
    if (option == "--files")
      o.Files = std::clamp(std::atoi(value()), 1, 100);
    else if (option == "--seconds")
      o.Seconds = std::clamp(std::atoi(value()), 1, 3600);
    else if (option == "--reps")
      o.Reps = std::clamp(std::atoi(value()), 1, 100);
    else
      return false;
    return true;
  });
  return o;
}

void Measure(const char* name, const Options& o, const fs::path& folder, const fs::path& out,
             const std::vector<std::string>& single) {
  const ChildRun one = RunChildChecked(single, ChildOutput::Discarded);
  std::vector<double> seconds[2], rss[2];
  for (int rep = 0; rep < o.Reps; ++rep) {
    for (int j = 1; j <= 2; ++j) {
      fs::remove_all(out);
      const ChildRun run = RunChildChecked(
          {MEROLUNE_CLI, "--quiet", "-j", std::to_string(j), "-o", out.string(), folder.string()}, ChildOutput::Discarded);
      seconds[j - 1].push_back(run.Seconds);
      rss[j - 1].push_back(run.PeakRssMiB);
    }
  }
  fs::remove_all(out);
  const double j1 = Median(seconds[0]), j2 = Median(seconds[1]);
  std::printf(
      "batch name=%s files=%d song_s=%d reps=%d j1_s=%.2f j2_s=%.2f speedup=%.2f j1_rss_mib=%.1f j2_rss_mib=%.1f "
      "single_rss_mib=%.1f cores=%u goal=%s\n",
      name, o.Files, o.Seconds, o.Reps, j1, j2, j1 / j2, Median(rss[0]), Median(rss[1]), one.PeakRssMiB,
      std::thread::hardware_concurrency(), j1 / j2 >= kGoalSpeedup ? "yes" : "NO");
  std::fflush(stdout);
}

// flac -5 over the WAV files, `parallel` at a time.
double Anchor(const fs::path& wavs, int parallel) {
  const std::string command = "ls " + wavs.string() + "/*.wav | xargs -P " + std::to_string(parallel) +
                              " -I{} flac --silent -5 -f -o /dev/null {}";
  return RunChildChecked({"sh", "-c", command}, ChildOutput::Discarded).Seconds;
}

void MeasureAnchor(const Options& o, const fs::path& wavs) {
  std::vector<double> seconds[2];
  for (int rep = 0; rep < o.Reps; ++rep)
    for (int p = 1; p <= 2; ++p) seconds[p - 1].push_back(Anchor(wavs, p));
  const double p1 = Median(seconds[0]), p2 = Median(seconds[1]);
  std::printf("batch name=anchor_flac files=%d song_s=%d reps=%d p1_s=%.2f p2_s=%.2f speedup=%.2f\n", o.Files,
              o.Seconds, o.Reps, p1, p2, p1 / p2);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    o = Parse(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-batch: %s\n%s", e.what(), kUsage);
    return 2;
  }
  const fs::path dir = fs::temp_directory_path() / ("merolune-bench-batch-" + std::to_string(getpid()));
  int status = 0;
  try {
    const fs::path wavs = dir / "wav", mp3s = dir / "mp3";
    fs::create_directories(wavs);
    fs::create_directories(mp3s);
    const std::string song = (dir / "song.wav").string(), mp3 = (dir / "song.mp3").string();
    RunChildChecked({MEROLUNE_DEMOSONG, "--seconds", std::to_string(o.Seconds), song}, ChildOutput::Discarded);
    RunChildChecked({MEROLUNE_CLI, "--quiet", "--bypass-all", song, mp3}, ChildOutput::Discarded);
    for (int i = 0; i < o.Files; ++i) {
      fs::copy_file(song, wavs / ("song" + std::to_string(i) + ".wav"));
      fs::copy_file(mp3, mp3s / ("song" + std::to_string(i) + ".mp3"));
    }
    MeasureAnchor(o, wavs);
    Measure("wav_to_wav", o, wavs, dir / "out", {MEROLUNE_CLI, "--quiet", song, (dir / "single.wav").string()});
    Measure("mp3_to_mp3", o, mp3s, dir / "out", {MEROLUNE_CLI, "--quiet", mp3, (dir / "single.mp3").string()});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-batch: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}
