#pragma once
// Running the peer tools (lame, mpg123, ffmpeg, ffprobe), reading the WAV files they write, and comparing
// signals.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace merolune::test {

// True when `path` (a tool found at configure time, or "") can be run.
bool ToolAvailable(const std::string& path);

// Runs argv[0] with the arguments, no shell, stdin on /dev/null. Returns the exit status (-1 when
// it could not run or died of a signal), its stdout when `output` is given and its stderr when
// `errors` is given (else they go to /dev/null).
int RunTool(const std::vector<std::string>& argv, std::string* output = nullptr,
            std::string* errors = nullptr);

// What this process writes to file descriptor 2 (stderr) between construction and Release(), which
// puts the old stderr back; a library's own messages included.
class CapturedStderr {
 public:
  CapturedStderr();
  ~CapturedStderr();
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;
  std::string Release();

 private:
  int saved_ = -1;
  int file_ = -1;
};

// Any PCM 16-bit WAV file, whatever chunks it carries (the tools write LIST chunks and such).
struct PcmAudio {
  std::uint32_t SampleRate = 0;
  std::uint16_t Channels = 0;
  std::vector<std::int16_t> Samples;  // interleaved
  std::size_t Frames() const { return Channels ? Samples.size() / Channels : 0; }
  // One channel as doubles.
  std::vector<double> Channel(int channel) const;
};
std::optional<PcmAudio> ReadPcmWav(const std::string& path);

// Writes interleaved 16-bit samples as a canonical WAV file.
void WritePcmWav(const std::string& path, const std::vector<std::int16_t>& interleaved, std::uint32_t rate,
                 std::uint16_t channels = 2);

bool FileExists(const std::string& path);
// Names in a directory, sorted.
std::vector<std::string> DirectoryEntries(const std::string& directory);
// A gtest failure unless the directory holds exactly these names: no temporary file may stay
// behind, whatever happened.
void ExpectOnlyFiles(const std::string& directory, std::vector<std::string> expected);

// Normalised cross-correlation of a[i] with b[i + lag] over the overlap of `count` values from `start`.
double CorrelationAt(const std::vector<double>& a, const std::vector<double>& b, std::ptrdiff_t lag,
                     std::size_t start, std::size_t count);
// The lag in [-maxLag, maxLag] at which b best matches a over a[start, start + count).
std::ptrdiff_t BestLag(const std::vector<double>& a, const std::vector<double>& b, std::ptrdiff_t maxLag,
                       std::size_t start, std::size_t count);

}  // namespace merolune::test
