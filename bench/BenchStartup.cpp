// merolune-bench-startup: how fast merolune-cli starts and how much memory it takes, against sox in the same
// run.
//
// Each figure is the median of --reps runs of a fresh process, alternating ours and the anchor
// (`sox --version`, a program of the same kind that starts about as fast as a program can) so that a
// change in the machine's load hits both; one unmeasured run of each comes first, so every figure
// is taken with the libraries in the page cache. Timed: `merolune-cli --help` (start-up and exit
// alone) and a whole job on a 1-second WAV song written as WAV (start-up plus a short pipeline).
// The goal: start within 30 ms of sox and stay under 10 MiB resident.
//
// Output: one line per figure, "startup name=N key=value ...":
//   startup name=help reps=.. median_ms=.. sox_ms=.. over_sox_ms=.. ratio=.. cpu_ms=.. sox_cpu_ms=..
//           peak_rss_mib=.. sox_rss_mib=.. within=..
//   (wall times; ratio = ours / sox; cpu_ms = processor time, steadier than the wall time on a busy
//   machine; within=yes when over_sox_ms <= 30 and peak_rss_mib < 10)

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BenchChild.h"

namespace {

using namespace merolune::bench;
namespace fs = std::filesystem;

constexpr double kGoalOverSoxMs = 30.0;
constexpr double kGoalPeakRssMiB = 10.0;

constexpr const char* kUsage = R"(Usage: merolune-bench-startup [options]

Times merolune-cli --help and a 1-second WAV-to-WAV job against sox --version in the same run
(medians of fresh processes), with each one's peak resident memory.

  --reps N          runs per figure, the median is reported (default 15)
  --cli PATH        the merolune-cli to measure (default: this build's)
  --sox PATH        the anchor (default: sox from PATH)
  --help            this text
)";

struct Options {
  int Reps = 15;
  std::string Cli = MEROLUNE_CLI;
  std::string Sox = "sox";
};

Options Parse(int argc, char** argv) {
  Options o;
  WalkOptions(argc, argv, kUsage, [&](std::string_view option, const OptionValue& value) {
    if (option == "--reps") {
      o.Reps = std::max(1, std::atoi(value()));
    } else if (option == "--cli") {
      o.Cli = value();
    } else if (option == "--sox") {
      o.Sox = value();
    } else {
      return false;
    }
    return true;
  });
  return o;
}

// Medians of `ours` and of the anchor over `reps` alternating runs, after one unmeasured run of each.
void Compare(const char* name, int reps, const std::vector<std::string>& ours,
             const std::vector<std::string>& anchor) {
  RunChildChecked(ours, ChildOutput::Discarded);
  RunChildChecked(anchor, ChildOutput::Discarded);
  std::vector<double> oursMs, anchorMs, oursCpuMs, anchorCpuMs, oursMiB, anchorMiB;
  for (int i = 0; i < reps; ++i) {
    const ChildRun mine = RunChildChecked(ours, ChildOutput::Discarded);
    const ChildRun theirs = RunChildChecked(anchor, ChildOutput::Discarded);
    oursMs.push_back(1000.0 * mine.Seconds);
    anchorMs.push_back(1000.0 * theirs.Seconds);
    oursCpuMs.push_back(1000.0 * mine.CpuSeconds);
    anchorCpuMs.push_back(1000.0 * theirs.CpuSeconds);
    oursMiB.push_back(mine.PeakRssMiB);
    anchorMiB.push_back(theirs.PeakRssMiB);
  }
  const double ms = Median(oursMs), soxMs = Median(anchorMs), mib = Median(oursMiB);
  const bool within = ms - soxMs <= kGoalOverSoxMs && mib < kGoalPeakRssMiB;
  std::printf(
      "startup name=%s reps=%d median_ms=%.1f sox_ms=%.1f over_sox_ms=%.1f ratio=%.2f cpu_ms=%.1f "
      "sox_cpu_ms=%.1f peak_rss_mib=%.1f sox_rss_mib=%.1f within=%s\n",
      name, reps, ms, soxMs, ms - soxMs, ms / soxMs, Median(oursCpuMs), Median(anchorCpuMs), mib,
      Median(anchorMiB), within ? "yes" : "NO");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = Parse(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-startup: %s\n%s", e.what(), kUsage);
    return 2;
  }
  const fs::path dir = fs::temp_directory_path() / ("merolune-bench-startup-" + std::to_string(getpid()));
  int status = 0;
  try {
    fs::create_directories(dir);
    const std::string song = (dir / "song.wav").string();
    RunChildChecked({MEROLUNE_DEMOSONG, "--seconds", "1", song}, ChildOutput::Discarded);
    const std::vector<std::string> anchor = {options.Sox, "--version"};
    Compare("help", options.Reps, {options.Cli, "--help"}, anchor);
    Compare("wav_to_wav_1s", options.Reps,
            {options.Cli, "--quiet", "--overwrite", song, (dir / "karaoke.wav").string()}, anchor);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-startup: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}
