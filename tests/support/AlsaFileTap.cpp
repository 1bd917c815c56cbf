// Recording what an application plays through ALSA's default PCM.
#include "AlsaFileTap.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <unistd.h>

#include "WavFile.h"

namespace merolune::test {
namespace {

// A string in ALSA's configuration syntax: quoted, with quotes and backslashes escaped.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The first offset (a multiple of `align` units) where `probe` units of the expected audio agree
// with the recording, and how many agree from there. `same(r, e)` compares recording unit r with
// expected unit e.
template <typename Same>
TapMatch Find(std::size_t recordingUnits, std::size_t expectedUnits, std::size_t align, std::size_t probe,
              Same same) {
  TapMatch match;
  probe = std::min(probe, expectedUnits);
  if (probe == 0 || align == 0) return match;
  for (std::size_t start = 0; start + probe <= recordingUnits; start += align) {
    std::size_t n = 0;
    while (n < probe && same(start + n, n)) ++n;
    if (n < probe) continue;
    while (start + n < recordingUnits && n < expectedUnits && same(start + n, n)) ++n;
    match.Found = true;
    match.Offset = start;
    match.Length = n;
    return match;
  }
  return match;
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  const std::string folders = path ? path : "";
  for (std::size_t start = 0; start < folders.size();) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = folders.substr(start, end - start) + "/" + program;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::int16_t SampleAt(const std::vector<std::uint8_t>& bytes, std::size_t index) {
  return static_cast<std::int16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

}  // namespace

std::string FileTapConfiguration(const std::string& recordingPath) {
  // `confdir:` is ALSA's own data folder. Its alsa.conf loads the system's and the user's files
  // through @hooks once everything is parsed; an empty @hooks keeps them out.
  return "<confdir:alsa.conf>\n"
         "!@hooks []\n"
         "pcm.!default {\n"
         "  type file\n"
         "  file " + Quoted(recordingPath) + "\n"
         "  format \"raw\"\n"
         "  slave.pcm {\n"
         "    type plug\n"
         "    slave.pcm {\n"
         "      type jack\n"
         // A client name of its own: the plugin's default (the program's name and pid) is cut
         // to JACK's 31 characters with a warning on stderr for a long test name.
         "      name \"merolune-tap\"\n"
         "      playback_ports { 0 system:playback_1 1 system:playback_2 }\n"
         "    }\n"
         "  }\n"
         "}\n";
}

AlsaFileTap::AlsaFileTap(const std::string& folder, std::string recordingPath)
    : configPath_(folder + "/asound.conf"), recordingPath_(std::move(recordingPath)) {
  std::ofstream config(configPath_);
  config << FileTapConfiguration(recordingPath_);
  if (!config.flush()) throw std::runtime_error("cannot write " + configPath_);
  const std::pair<const char*, std::string> settings[] = {{"ALSA_CONFIG_PATH", configPath_},
                                                          {"JACK_NO_START_SERVER", "1"}};
  for (const auto& [name, value] : settings) {
    const char* old = std::getenv(name);
    previous_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name, value.c_str(), 1);
  }
}

AlsaFileTap::~AlsaFileTap() {
  for (const auto& [name, value] : previous_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

std::string PlaybackUnavailableReason() {
  if (!OnPath("jackd")) return "jackd is not installed (Debian package jackd2): no JACK server to play into";
  if (!std::getenv("JACK_DEFAULT_SERVER")) {
    return "JACK_DEFAULT_SERVER is not set: run the playback tests through ctest, which starts their JACK server";
  }
  return {};
}

std::vector<std::uint8_t> AlsaFileTap::Recording() const {
  if (!std::filesystem::exists(recordingPath_)) return {};
  return ReadBytes(recordingPath_);
}

TapMatch FindBytes(const std::vector<std::uint8_t>& recording, const std::vector<std::uint8_t>& expected,
                   std::size_t align, std::size_t probe) {
  return Find(recording.size(), expected.size(), align, probe,
              [&](std::size_t r, std::size_t e) { return recording[r] == expected[e]; });
}

TapMatch FindSamplesWithin(const std::vector<std::uint8_t>& recording, const std::vector<std::int16_t>& expected,
                           int channels, int tolerance, std::size_t probe) {
  TapMatch match = Find(recording.size() / 2, expected.size(), static_cast<std::size_t>(channels), probe,
                        [&](std::size_t r, std::size_t e) {
                          return std::abs(SampleAt(recording, r) - expected[e]) <= tolerance;
                        });
  match.Offset *= 2;
  match.Length *= 2;
  return match;
}

}  // namespace merolune::test
