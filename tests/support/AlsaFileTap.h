#pragma once
// What an application plays through ALSA, recorded: an ALSA configuration whose default PCM writes
// every byte it is given to a file and passes it on to JACK, and matching of the recording against
// the audio the test meant to play.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace merolune::test {

// Points ALSA at a configuration written into a folder of the test's: its default PCM is the `file`
// plugin (raw bytes, exactly as the application wrote them, before any conversion) in front of
// `plug` in front of the `jack` PCM on system:playback_1 and system:playback_2. The server is the
// one JACK_DEFAULT_SERVER names; no JACK client of the process may start a server of its own
// (JACK_NO_START_SERVER), so without that server the default PCM simply fails to open.
//
// The configuration includes ALSA's own alsa.conf for the base definitions, but none of the files
// that one would load (/etc/asound.conf, ~/.asoundrc, conf.d): those may redefine the default PCM.
// ALSA reads its configuration when a PCM is first listed or opened, so make the tap before
// PortAudio is initialised. It sets an environment variable: one tap per process at a time, made
// on the test's thread. The recording is complete once the stream that played has been closed.
class AlsaFileTap {
 public:
  // Writes `folder`/asound.conf recording to `recordingPath` and sets ALSA_CONFIG_PATH to it (and
  // JACK_NO_START_SERVER); the destructor restores the previous values.
  AlsaFileTap(const std::string& folder, std::string recordingPath);
  ~AlsaFileTap();
  AlsaFileTap(const AlsaFileTap&) = delete;
  AlsaFileTap& operator=(const AlsaFileTap&) = delete;

  const std::string& ConfigPath() const { return configPath_; }
  const std::string& RecordingPath() const { return recordingPath_; }
  // The bytes recorded so far; empty when nothing has opened the default PCM.
  std::vector<std::uint8_t> Recording() const;

 private:
  std::string configPath_;
  std::string recordingPath_;
  std::vector<std::pair<std::string, std::optional<std::string>>> previous_;  // variables before the tap
};

// Why playback cannot be tested here (no jackd, or no server named by the fixture); empty when it
// can. Playback tests skip with this reason.
std::string PlaybackUnavailableReason();

// The configuration text AlsaFileTap writes.
std::string FileTapConfiguration(const std::string& recordingPath);

// Where the expected audio starts in a recording, and how much of it follows there, in bytes.
struct TapMatch {
  bool Found = false;
  std::size_t Offset = 0;
  std::size_t Length = 0;
};

// The first offset, a multiple of `align` bytes, at which the first `probe` bytes of `expected` (all
// of it when shorter) appear in `recording`, and how many bytes from there equal `expected`. The
// recording starts with the silence the device was primed with, so `probe` must reach past any
// silence at the start of `expected`.
TapMatch FindBytes(const std::vector<std::uint8_t>& recording, const std::vector<std::uint8_t>& expected,
                   std::size_t align, std::size_t probe = 4096);

// The same for 16-bit little-endian samples that may each differ from `expected` by up to
// `tolerance` LSB (a gain's rounding): offsets are whole frames of `channels` samples, `probe`
// counts samples, and Length counts the bytes of the samples that follow within tolerance.
TapMatch FindSamplesWithin(const std::vector<std::uint8_t>& recording, const std::vector<std::int16_t>& expected,
                           int channels, int tolerance, std::size_t probe = 2048);

}  // namespace merolune::test
