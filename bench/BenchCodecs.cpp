// merolune-bench-codecs: our codec conversions against the reference command-line tools on the same
// song in the same run, and the whole MP3-to-karaoke-MP3 job's time and peak memory.
//
// Ours run in this process through the conversion service (so process start-up is not counted for
// us but is for the tools: a few milliseconds on runs of seconds). The tools get the same settings
// as our components: flac at the same level; lame at the same bit rate with our encoder's quality 5
// and plain stereo; oggenc at the same quality; mpg123 writing a WAV file. Figures are medians of
// --reps runs, alternating ours and theirs so that a change in the machine's load hits both.
//
// Monkey's Audio goes through libmacdll's C entry points as a caller uses them: our encoder at each
// level (it runs on the calling thread) against jmac, the Java codec, at the same level and against
// flac -8; our decompressor (CreateW, then GetData until the end) against ffmpeg decoding to raw
// PCM; the sizes of our files against flac -8's.
//
// Output: one line per comparison, "name key=value ...":
//   codec name=N ours_s=.. peer_s=.. ratio=..    (ratio = ours / peer; below 1 is faster)
//   ape name=encode_levelL ours_s=.. x_realtime=.. jmac_s=.. ratio_jmac=.. ratio_flac8=.. bytes=..
//       size_vs_flac8=..                       (sizes as ours / flac's; below 1 is smaller)
//   ape name=decode_levelL ours_s=.. ffmpeg_s=.. ratio=.. x_realtime=..
//   job name=mp3_to_karaoke_mp3 median_s=.. x_realtime=.. peak_rss_mib=..

#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
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
#include "Stream.h"
#include "WaveHeader.h"
#include "macdll.h"

namespace {

using namespace merolune;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::Median;

constexpr const char* kUsage = R"(Usage: merolune-bench-codecs [options]

Times our FLAC, MP3 and Ogg Vorbis encoding and our MP3 decoding against flac, lame, oggenc and
mpg123 on the same song, our M4A (AAC) and Opus decoding against ffmpeg, our Opus and AAC encoding
against opusenc and ffmpeg, our Monkey's Audio encoding and decoding (libmacdll) against jmac, flac -8
and ffmpeg, and the whole MP3-to-karaoke-MP3 job of merolune-cli (time, peak memory).

  --reps N          runs per figure, the median is reported (default 3)
  --seconds S       length of the generated test song (default 240)
  --wav PATH        a 16-bit stereo WAV file (a real recording, say) to use instead of the
                    generated song
  --ape-only        only the Monkey's Audio figures
  --any-only        only the M4A and Opus figures (decoding and encoding)
  --help            this text
)";

struct Options {
  int Reps = 3;
  double Seconds = 240.0;
  std::string Wav;
  bool ApeOnly = false;
  bool AnyOnly = false;
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

// Wall time and this process's processor time: on a machine that other work shares, the processor
// time of our single-threaded work hardly changes while the wall time does.
struct Timing {
  double Wall = 0.0;
  double Cpu = 0.0;
};

Timing Measure(const std::function<void()>& work) {
  const std::clock_t cpu = std::clock();
  const double wall = Time(work);
  return {wall, static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC};
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

// The path of a file in the benchmark's temporary directory.
using FileIn = std::function<std::string(const std::string&)>;

// Where the samples of a 16-bit stereo PCM WAV file lie.
struct WavData {
  std::uint32_t Rate = 0;
  std::uint64_t Start = 0;
  std::uint64_t Bytes = 0;
  double Seconds() const { return static_cast<double>(Bytes) / (4.0 * Rate); }
};

WavData ReadWavData(const std::string& path) {
  FileStream in(path, FileStream::Mode::Read);
  WaveFormatInfo info{};
  ReadWaveHeader(in, info);
  if (!info.WaveFound || info.FormatTag != 1 || info.Channels != 2 || info.BitsPerSample != 16 ||
      info.SampleRate == 0 || info.DataStart == 0) {
    throw std::runtime_error(path + " is not a 16-bit stereo PCM WAV file");
  }
  const std::uint64_t bytes = std::min<std::uint64_t>(info.DataSize, in.Size() - info.DataStart);
  return {info.SampleRate, info.DataStart, bytes / 4 * 4};
}

void CheckMac(std::int32_t code, const char* what) {
  if (code != MAC_ERROR_SUCCESS) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(code));
}

// Compresses the WAV file's samples at `level` as the output component does: read into the
// library's buffer, a buffer at a time.
void MacCompress(const std::string& wav, const WavData& data, const std::string& ape, int level) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(wav.c_str(), "rb"), std::fclose);
  if (!in || fseeko(in.get(), static_cast<off_t>(data.Start), SEEK_SET) != 0) throw std::runtime_error("cannot read " + wav);
  std::int32_t error = 0;
  std::unique_ptr<MacCompressor, void (*)(APE_COMPRESS_HANDLE)> compressor(c_APECompress_Create(&error),
                                                                           c_APECompress_Destroy);
  CheckMac(error, "c_APECompress_Create");
  MacWaveFormat format;
  CheckMac(FillWaveFormatEx(&format, static_cast<std::int32_t>(data.Rate), 16, 2), "FillWaveFormatEx");
  CheckMac(c_APECompress_Start(compressor.get(), ape.c_str(), &format, -1, level, nullptr, -1), "c_APECompress_Start");
  for (std::uint64_t left = data.Bytes; left > 0;) {
    std::int32_t room = 0;
    unsigned char* buffer = c_APECompress_LockBuffer(compressor.get(), &room);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(room), left));
    if (!buffer || std::fread(buffer, 1, want, in.get()) != want) throw std::runtime_error("cannot read " + wav);
    CheckMac(c_APECompress_UnlockBuffer(compressor.get(), static_cast<std::int32_t>(want), 1),
             "c_APECompress_UnlockBuffer");
    left -= want;
  }
  CheckMac(c_APECompress_Finish(compressor.get(), nullptr, 0, 0), "c_APECompress_Finish");
}

// Decompresses the whole file into a block-sized buffer; returns the blocks.
std::int64_t MacDecompress(const std::string& ape) {
  constexpr std::int32_t kBlocks = 16384;
  const std::wstring wide(ape.begin(), ape.end());  // our temporary names are ASCII
  std::int32_t error = 0;
  std::unique_ptr<MacDecompressor, void (*)(APE_DECOMPRESS_HANDLE)> decompressor(
      c_APEDecompress_CreateW(wide.c_str(), &error), c_APEDecompress_Destroy);
  CheckMac(error, "c_APEDecompress_CreateW");
  const auto align = static_cast<std::size_t>(c_APEDecompress_GetInfo(decompressor.get(), MAC_INFO_BLOCK_ALIGN, 0, 0));
  std::vector<char> buffer(align * kBlocks);
  std::int64_t blocks = 0;
  for (std::int32_t got = 1; got > 0; blocks += got) {
    CheckMac(c_APEDecompress_GetData(decompressor.get(), buffer.data(), kBlocks, &got), "c_APEDecompress_GetData");
  }
  return blocks;
}

std::uint64_t FileBytes(const std::string& path) { return fs::file_size(path); }

std::string OursApe(const FileIn& file, int level) {
  std::string name = "ours-";
  name += std::to_string(level);
  name += ".ape";
  return file(name);
}

// Our Monkey's Audio levels against jmac and flac -8 (encoding, sizes) and ffmpeg (decoding).
void CompareApe(const std::string& song, const FileIn& file, int reps) {
  const WavData data = ReadWavData(song);
  const double seconds = data.Seconds();
  std::vector<double> flacTimes, flacCpu;
  for (int i = 0; i < reps; ++i) {
    const bench::ChildRun flac = Run({"flac", "-s", "-f", "-8", "-o", file("peer8.flac"), song});
    flacTimes.push_back(flac.Seconds);
    flacCpu.push_back(flac.CpuSeconds);
  }
  const double flac = Median(flacTimes);
  const double flacBytes = static_cast<double>(FileBytes(file("peer8.flac")));
  std::printf("codec name=flac_encode_level8 reps=%d peer_s=%.3f peer_cpu_s=%.3f x_realtime=%.1f bytes=%.0f\n", reps,
              flac, Median(flacCpu), seconds / flac, flacBytes);
  for (int level : {1000, 2000, 3000, 4000}) {
    const std::string ours = OursApe(file, level);
    // jmac's levels 1 to 4 are ours 1000 to 4000 (and a "c" asks for compression).
    std::string command = "c";
    command += std::to_string(level / 1000);
    std::vector<double> mine, mineCpu, jmac, jmacCpu;
    for (int i = 0; i < reps; ++i) {
      const Timing t = Measure([&] { MacCompress(song, data, ours, level); });
      mine.push_back(t.Wall);
      mineCpu.push_back(t.Cpu);
      const bench::ChildRun peer = Run({"jmac", command, song, file("peer.ape")});
      jmac.push_back(peer.Seconds);
      jmacCpu.push_back(peer.CpuSeconds);
    }
    const double a = Median(mine), cpu = Median(mineCpu), j = Median(jmac);
    const double bytes = static_cast<double>(FileBytes(ours));
    std::printf("ape name=encode_level%d reps=%d ours_s=%.3f ours_cpu_s=%.3f x_realtime=%.1f x_realtime_cpu=%.1f "
                "jmac_s=%.3f jmac_cpu_s=%.3f ratio_jmac=%.2f ratio_flac8=%.2f bytes=%.0f size_vs_flac8=%.3f\n",
                level, reps, a, cpu, seconds / a, seconds / cpu, j, Median(jmacCpu), a / j, a / flac, bytes,
                bytes / flacBytes);
    std::fflush(stdout);
  }
  for (int level : {1000, 2000, 3000, 4000}) {
    const std::string ours = OursApe(file, level);
    std::vector<double> mine, mineCpu, theirs, theirsCpu;
    for (int i = 0; i < reps; ++i) {
      std::int64_t blocks = 0;
      const Timing t = Measure([&] { blocks = MacDecompress(ours); });
      mine.push_back(t.Wall);
      mineCpu.push_back(t.Cpu);
      if (static_cast<std::uint64_t>(blocks) * 4 != data.Bytes) throw std::runtime_error("the decompressor lost audio");
      const bench::ChildRun peer = Run({"ffmpeg", "-nostdin", "-v", "error", "-i", ours, "-f", "s16le", "-"});
      theirs.push_back(peer.Seconds);
      theirsCpu.push_back(peer.CpuSeconds);
    }
    const double a = Median(mine), b = Median(theirs), cpu = Median(mineCpu), peerCpu = Median(theirsCpu);
    std::printf("ape name=decode_level%d reps=%d ours_s=%.3f ffmpeg_s=%.3f ratio=%.2f ours_cpu_s=%.3f "
                "ffmpeg_cpu_s=%.3f ratio_cpu=%.2f x_realtime=%.1f\n",
                level, reps, a, b, a / b, cpu, peerCpu, cpu / peerCpu, seconds / a);
    std::fflush(stdout);
  }
}

// Decoding sources outside the six formats through libanyaudio against ffmpeg's own decoding to raw
// 16-bit samples; defined at the end.
void CompareAnyFormatDecoding(TConvForm& conv, const std::string& song, const FileIn& file, int reps);

// Our conversions through the conversion service against the reference tools, and the whole job.
void CompareConversions(const std::string& song, const FileIn& file, int reps, double songSeconds) {
  TConvForm conv;
  Compare("flac_encode_level5", reps, [&] { conv.EncodeWavToFlac(song, file("ours.flac"), 5); },
          {"flac", "-s", "-f", "-5", "-o", file("peer.flac"), song});
  Compare("mp3_encode_192k", reps, [&] { conv.EncodeWavToMp3(song, file("ours.mp3"), 192); },
          {"lame", "--quiet", "-b", "192", "-q", "5", "-m", "s", song, file("peer.mp3")});
  Compare("ogg_encode_q5", reps, [&] { conv.EncodeWavToOgg(song, file("ours.ogg"), 0.5); },
          {"oggenc", "-Q", "-q", "5", "-o", file("peer.ogg"), song});
  Compare("mp3_decode", reps, [&] { conv.DecodeMp3ToWav(file("peer.mp3"), file("ours-mp3.wav")); },
          {"mpg123", "-q", "-w", file("peer-mp3.wav"), file("peer.mp3")});
  CompareAnyFormatDecoding(conv, song, file, reps);
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
              songSeconds, reps, t, songSeconds / t, Median(rss));
}

Options Parse(int argc, char** argv) {
  Options o;
  bench::WalkOptions(argc, argv, kUsage, [&](std::string_view option, const bench::OptionValue& value) {
    if (option == "--reps") {
      o.Reps = std::max(1, std::atoi(value()));
    } else if (option == "--seconds") {
      o.Seconds = std::atof(value());
      if (!(o.Seconds > 0)) throw std::invalid_argument("--seconds needs a positive number");
    } else if (option == "--wav") {
      o.Wav = value();
    } else if (option == "--ape-only") {
      o.ApeOnly = true;
    } else if (option == "--any-only") {
      o.AnyOnly = true;
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
  const auto file = [&](const std::string& name) { return (dir / name).string(); };
  int status = 0;
  try {
    std::string song = options.Wav;
    if (song.empty()) {
      song = file("song.wav");
      Run({MEROLUNE_DEMOSONG, "--seconds", std::to_string(options.Seconds), song});
    }
    const double songSeconds = ReadWavData(song).Seconds();
    std::printf("song path=%s seconds=%.1f\n", options.Wav.empty() ? "generated" : song.c_str(), songSeconds);
    const int reps = options.Reps;
    if (options.AnyOnly) {
      TConvForm conv;
      CompareAnyFormatDecoding(conv, song, file, reps);
    } else {
      CompareApe(song, file, reps);
      if (!options.ApeOnly) CompareConversions(song, file, reps, songSeconds);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-codecs: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}

namespace {

void CompareAnyFormatDecoding(TConvForm& conv, const std::string& song, const FileIn& file, int reps) {
  Run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", song, "-c:a", "aac", "-b:a", "192k", file("peer.m4a")});
  Run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", song, "-c:a", "libopus", "-b:a", "128k", file("peer.opus")});
  Compare("m4a_aac_decode", reps, [&] { conv.DecodeAnyToWav(file("peer.m4a"), file("ours-m4a.wav")); },
          {"ffmpeg", "-nostdin", "-v", "error", "-i", file("peer.m4a"), "-f", "s16le", "-"});
  Compare("opus_decode", reps, [&] { conv.DecodeAnyToWav(file("peer.opus"), file("ours-opus.wav")); },
          {"ffmpeg", "-nostdin", "-v", "error", "-i", file("peer.opus"), "-f", "s16le", "-"});
  // The encodings at the same bit rate: ours over libopusenc against opusenc (both resample to 48 kHz
  // with libopusenc's resampler), ours over FFmpeg's AAC encoder against ffmpeg's.
  Compare("opus_encode_128k", reps, [&] { conv.EncodeWavToOpus(song, file("ours.opus"), 128); },
          {"opusenc", "--quiet", "--bitrate", "128", song, file("peer-enc.opus")});
  Compare("m4a_aac_encode_192k", reps, [&] { conv.EncodeWavToM4a(song, file("ours.m4a"), 192); },
          {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", song, "-c:a", "aac", "-b:a", "192k", file("peer-enc.m4a")});
}

}  // namespace
