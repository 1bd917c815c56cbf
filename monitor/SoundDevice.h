#pragma once
// The seam under the sound module: an output device that pulls PCM from a renderer on its own
// real-time thread. PortAudioDevice plays through the system's default output; tests use
// FakeSoundDevice (tests/support), which they advance by hand.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace merolune {

// What a stream plays: interleaved PCM, 8-bit unsigned or 16-bit signed little-endian samples.
struct SoundFormat {
  std::uint32_t SampleRate = 44100;
  std::uint16_t Channels = 2;
  std::uint16_t BitsPerSample = 16;
  std::uint32_t BlockAlign() const { return Channels * (BitsPerSample / 8u); }
};

// Called on the device's real-time thread. Render fills exactly `bytes` bytes of `out` (a whole
// number of frames) and must follow the real-time rules: no allocation, lock, log, I/O, sleep,
// exception or Qt.
class SoundRenderer {
 public:
  virtual ~SoundRenderer() = default;
  virtual void Render(std::uint8_t* out, std::size_t bytes) noexcept = 0;
};

// One open output stream. Start and Stop come from non-real-time threads; the renderer is called
// only between them. Destroying the stream stops it first.
class SoundStream {
 public:
  virtual ~SoundStream() = default;
  // Whether the device accepted the start.
  virtual bool Start() = 0;
  // Returns once the renderer will not be called again (until the next Start).
  virtual void Stop() = 0;
  // Periods the device found empty since the stream opened (the device's underflow flags).
  virtual std::uint64_t Underruns() const = 0;
};

class SoundDevice {
 public:
  virtual ~SoundDevice() = default;
  // Whether an output device can be used at all; false makes the sound module do nothing.
  virtual bool Open() = 0;
  // A stream of `format` pulling from `renderer`, which must outlive it; null when the device
  // refuses the format.
  virtual std::unique_ptr<SoundStream> OpenStream(const SoundFormat& format, SoundRenderer& renderer) = 0;
};

// The system's default output through PortAudio's callback API (ALSA, and JACK through ALSA).
// ALSA's and JACK's own messages on stderr are silenced while PortAudio starts and runs.
std::unique_ptr<SoundDevice> MakePortAudioDevice();

// For a program: PortAudio stays initialised until the process ends, whatever devices come and go.
// (PortAudio's JACK host API ends the program with an assertion when it is terminated after the
// JACK server went away.) Call once, before the first device.
void KeepSoundOutputUntilExit();

}  // namespace merolune
