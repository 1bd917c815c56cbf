// merolune-wavstat: the levels of a 16-bit stereo WAV, split into centre and side.
//
// The reduction removes what is equal in both channels, so its effect shows as a drop of the
// centre ((L+R)/2) while the side ((L-R)/2) should stay. Scripts and tests read the output:
// one "key value" per line, levels in dB relative to full scale (32768), "-inf" for silence.
//
//   frames N  rate HZ  peak P  peak_db  left_db  right_db  centre_db  side_db
//   with REFERENCE:    centre_drop_db = centre_db(REFERENCE) - centre_db(FILE)
//                      side_drop_db   = side_db(REFERENCE) - side_db(FILE)

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "Exception.h"
#include "Stream.h"
#include "WaveHeader.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage = R"(Usage: merolune-wavstat FILE.wav [REFERENCE.wav]

Prints the levels of a 16-bit stereo PCM WAV, one "key value" per line:
  frames, rate, peak (largest |sample|), peak_db, left_db, right_db,
  centre_db (energy of (L+R)/2) and side_db (energy of (L-R)/2), in dB of full scale.
With REFERENCE also centre_drop_db and side_drop_db: REFERENCE's level minus FILE's
(positive when FILE is quieter there).

Exit status: 0 done, 1 a file cannot be read or is not 16-bit stereo PCM, 2 bad usage.
)";

struct Levels {
  std::uint64_t frames = 0;
  std::uint32_t rate = 0;
  int peak = 0;
  double peakDb = 0.0, leftDb = 0.0, rightDb = 0.0, centreDb = 0.0, sideDb = 0.0;
};

// Mean energy of `frames` values whose squares add up to `sum` (in units of `scale`² LSB²),
// in dB of a full-scale square wave.
double MeanDb(std::uint64_t sum, double scale, std::uint64_t frames) {
  if (sum == 0 || frames == 0) return -std::numeric_limits<double>::infinity();
  const double mean = static_cast<double>(sum) / (scale * scale) / static_cast<double>(frames);
  return 10.0 * std::log10(mean / (32768.0 * 32768.0));
}

Levels Measure(const std::string& path) {
  merolune::FileStream in(path, merolune::FileStream::Mode::Read);
  merolune::WaveFormatInfo info{};
  merolune::ReadWaveHeader(in, info);
  if (!info.RiffFound || !info.WaveFound) throw merolune::Exception(path + ": not a RIFF/WAVE file");
  if (info.DataStart == 0) throw merolune::Exception(path + ": no data chunk");
  if (info.FormatTag != 1 || info.Channels != 2 || info.BitsPerSample != 16)
    throw merolune::Exception(path + ": not 16-bit stereo PCM (format " + std::to_string(info.FormatTag) +
                              ", " + std::to_string(info.Channels) + " channels, " +
                              std::to_string(info.BitsPerSample) + " bits)");

  // A header may promise more than the file holds (a writer that stopped early); count what is there.
  const std::uint64_t size = in.Size();
  const std::uint64_t available = size > info.DataStart ? size - info.DataStart : 0;
  const std::uint64_t frames = std::min<std::uint64_t>(info.DataSize, available) / 4;

  // Integer sums are exact: (L+R)² <= 2^32 and a WAV holds fewer than 2^30 frames, so none
  // can pass 2^62.
  std::uint64_t left = 0, right = 0, centre = 0, side = 0;
  int peak = 0;
  in.SeekTo(info.DataStart);
  std::vector<std::uint8_t> chunk(1 << 16);
  for (std::uint64_t done = 0; done < frames;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(frames - done, chunk.size() / 4));
    const std::size_t got = in.Read(chunk.data(), want * 4) / 4;
    if (got == 0) break;  // the file shrank under us
    for (std::size_t i = 0; i < got; ++i) {
      const std::uint8_t* p = chunk.data() + 4 * i;
      const std::int64_t l = merolune::LoadS16(p);
      const std::int64_t r = merolune::LoadS16(p + 2);
      left += static_cast<std::uint64_t>(l * l);
      right += static_cast<std::uint64_t>(r * r);
      centre += static_cast<std::uint64_t>((l + r) * (l + r));
      side += static_cast<std::uint64_t>((l - r) * (l - r));
      peak = std::max({peak, static_cast<int>(l < 0 ? -l : l), static_cast<int>(r < 0 ? -r : r)});
    }
    done += got;
  }

  Levels levels;
  levels.frames = frames;
  levels.rate = info.SampleRate;
  levels.peak = peak;
  levels.peakDb = peak > 0 ? 20.0 * std::log10(peak / 32768.0) : -std::numeric_limits<double>::infinity();
  levels.leftDb = MeanDb(left, 1.0, frames);
  levels.rightDb = MeanDb(right, 1.0, frames);
  levels.centreDb = MeanDb(centre, 2.0, frames);
  levels.sideDb = MeanDb(side, 2.0, frames);
  return levels;
}

// Prints a level with two decimals; a value that rounds to zero prints as 0.00, not -0.00.
void PrintDb(const char* key, double value) {
  if (std::isfinite(value)) value = std::round(value * 100.0) / 100.0 + 0.0;
  std::printf("%s %.2f\n", key, value);
}

// reference - measured; two silences differ by nothing rather than by NaN.
double Drop(double reference, double measured) {
  if (std::isinf(reference) && std::isinf(measured) && reference == measured) return 0.0;
  return reference - measured;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg.size() > 1 && arg.front() == '-') {
      std::fprintf(stderr, "merolune-wavstat: unknown option %s\n\n%s", argv[i], kUsage);
      return kExitUsage;
    }
    files.emplace_back(arg);
  }
  if (files.empty() || files.size() > 2) {
    std::fprintf(stderr, "merolune-wavstat: %s\n\n%s", files.empty() ? "no file" : "too many files", kUsage);
    return kExitUsage;
  }

  // Both files are read before anything is printed, so that a failure leaves no half report.
  Levels levels, reference;
  try {
    levels = Measure(files[0]);
    if (files.size() == 2) reference = Measure(files[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-wavstat: %s\n", e.what());
    return kExitFailed;
  }
  std::printf("frames %llu\n", static_cast<unsigned long long>(levels.frames));
  std::printf("rate %u\n", static_cast<unsigned>(levels.rate));
  std::printf("peak %d\n", levels.peak);
  PrintDb("peak_db", levels.peakDb);
  PrintDb("left_db", levels.leftDb);
  PrintDb("right_db", levels.rightDb);
  PrintDb("centre_db", levels.centreDb);
  PrintDb("side_db", levels.sideDb);
  if (files.size() == 2) {
    PrintDb("centre_drop_db", Drop(reference.centreDb, levels.centreDb));
    PrintDb("side_drop_db", Drop(reference.sideDb, levels.sideDb));
  }
  if (std::fflush(stdout) != 0) return kExitFailed;
  return 0;
}
