// merolune-bench-codecs: our codec conversions against the reference command-line tools on the same
// song in the same run, and the whole MP3-to-karaoke-MP3 job's time and peak memory.
//
// Ours run in this process through the conversion service (so process start-up is not counted for
// us but is for the tools: a few milliseconds on runs of seconds). The tools get the same settings
// as our components: flac at the same level; lame at the same bit rate with our encoder's quality 5
// and plain stereo; oggenc at the same quality; mpg123 writing a WAV file. Figures are medians of
// --reps runs, alternating ours and theirs so that a change in the machine's load hits both.
//
// Output: one line per comparison, "name key=value ...":
//   codec name=N ours_s=.. peer_s=.. ratio=..    (ratio = ours / peer; below 1 is faster)
//   job name=mp3_to_karaoke_mp3 median_s=.. x_realtime=.. peak_rss_mib=..

#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BenchChild.h"
#include "Convert.h"

namespace {

using namespace merolune;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::Median;

constexpr const char* kUsage = R"(Usage: merolune-bench-codecs [options]

Times our FLAC, MP3 and Ogg Vorbis encoding and our MP3 decoding against flac, lame, oggenc and
mpg123 on the same song, and the whole MP3-to-karaoke-MP3 job of merolune-cli (time, peak memory).

  --reps N          runs per figure, the median is reported (default 3)
  --seconds S       length of the generated test song (default 240)
  --help            this text
)";

struct Options {
  int Reps = 3;
  double Seconds = 240.0;
};

// Runs argv with its output discarded; throws unless it exits with status 0.
bench::ChildRun Run(const std::vector<std::string>& argv) {
  return bench::RunChildChecked(argv, bench::ChildOutput::Discarded);
}

double Time(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Compare(const char* name, int reps, const std::function<void()>& ours, const std::vector<std::string>& peer) {
  std::vector<double> mine, theirs;
  for (int i = 0; i < reps; ++i) {
    mine.push_back(Time(ours));
    theirs.push_back(Run(peer).Seconds);
  }
  const double a = Median(mine), b = Median(theirs);
  std::printf("codec name=%s reps=%d ours_s=%.3f peer_s=%.3f ratio=%.2f\n", name, reps, a, b, a / b);
  std::fflush(stdout);
}

Options Parse(int argc, char** argv) {
  Options o;
  bench::WalkOptions(argc, argv, kUsage, [&](std::string_view option, const bench::OptionValue& value) {
    if (option == "--reps") {
      o.Reps = std::max(1, std::atoi(value()));
    } else if (option == "--seconds") {
      o.Seconds = std::atof(value());
      if (!(o.Seconds > 0)) throw std::invalid_argument("--seconds needs a positive number");
    } else {
      return false;
    }
    return true;
  });
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = Parse(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-codecs: %s\n%s", e.what(), kUsage);
    return 2;
  }
  QCoreApplication application(argc, argv);
  const fs::path dir = fs::temp_directory_path() / ("merolune-bench-codecs-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto file = [&](const char* name) { return (dir / name).string(); };
  int status = 0;
  try {
    TConvForm conv;
    const std::string song = file("song.wav");
    Run({MEROLUNE_DEMOSONG, "--seconds", std::to_string(options.Seconds), song});
    const int reps = options.Reps;

    Compare("flac_encode_level5", reps, [&] { conv.EncodeWavToFlac(song, file("ours.flac"), 5); },
            {"flac", "-s", "-f", "-5", "-o", file("peer.flac"), song});
    Compare("mp3_encode_192k", reps, [&] { conv.EncodeWavToMp3(song, file("ours.mp3"), 192); },
            {"lame", "--quiet", "-b", "192", "-q", "5", "-m", "s", song, file("peer.mp3")});
    Compare("ogg_encode_q5", reps, [&] { conv.EncodeWavToOgg(song, file("ours.ogg"), 0.5); },
            {"oggenc", "-Q", "-q", "5", "-o", file("peer.ogg"), song});
    Compare("mp3_decode", reps, [&] { conv.DecodeMp3ToWav(file("peer.mp3"), file("ours-mp3.wav")); },
            {"mpg123", "-q", "-w", file("peer-mp3.wav"), file("peer.mp3")});
    std::vector<double> detailed;
    for (int i = 0; i < reps; ++i)
      detailed.push_back(Time([&] { conv.EncodeWavToFlac(song, file("ours-default.flac"), -1); }));
    std::printf("codec name=flac_encode_detailed_settings reps=%d ours_s=%.3f\n", reps, Median(detailed));

    std::vector<double> times, rss;
    for (int i = 0; i < reps; ++i) {
      const bench::ChildRun job =
          Run({MEROLUNE_CLI, "--quiet", "--overwrite", file("peer.mp3"), file("karaoke.mp3")});
      times.push_back(job.Seconds);
      rss.push_back(job.PeakRssMiB);
    }
    const double t = Median(times);
    std::printf("job name=mp3_to_karaoke_mp3 song_s=%.0f reps=%d median_s=%.3f x_realtime=%.1f peak_rss_mib=%.1f\n",
                options.Seconds, reps, t, options.Seconds / t, Median(rss));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-codecs: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}
