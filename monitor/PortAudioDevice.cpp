// The PortAudio output device: see SoundDevice.h.

#include "SoundDevice.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <pa_linux_alsa.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>

namespace merolune {
namespace {

// ALSA and JACK write their probing failures (no card, no server) straight to stderr while
// PortAudio enumerates devices; the program reports a missing device its own way.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}
void QuietJack(const char*) {}

void SilenceBackends() {
  snd_lib_error_set_handler(&QuietAlsa);
  jack_set_error_function(&QuietJack);
  jack_set_info_function(&QuietJack);
}

// One reference on PortAudio's own initialisation count: the device and each of its streams hold
// one, so a stream outliving its device still closes before PortAudio terminates.
class PortAudioSession {
 public:
  PortAudioSession() {
    SilenceBackends();
    initialised_ = Pa_Initialize() == paNoError;
  }
  ~PortAudioSession() {
    if (initialised_) Pa_Terminate();
  }
  PortAudioSession(const PortAudioSession&) = delete;
  PortAudioSession& operator=(const PortAudioSession&) = delete;
  bool Initialised() const { return initialised_; }

 private:
  bool initialised_ = false;
};

constexpr PaTime kMinimumLatency = 0.2;

PaSampleFormat SampleFormatOf(const SoundFormat& format) { return format.BitsPerSample == 8 ? paUInt8 : paInt16; }

// Output parameters for the default device; false when there is none.
bool DefaultOutput(const SoundFormat& format, PaStreamParameters& parameters) {
  const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
  if (device == paNoDevice) return false;
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  if (info == nullptr) return false;
  parameters = {};
  parameters.device = device;
  parameters.channelCount = format.Channels;
  parameters.sampleFormat = SampleFormatOf(format);
  // A deep device queue: the sound buffer already runs a quarter of a second ahead, so it costs
  // nothing audible, and it rides out a busy machine. ALSA's default PCM in front of JACK reports
  // one JACK period (21 ms) as its high latency, which ran empty with both cores busy.
  parameters.suggestedLatency = std::max(info->defaultHighOutputLatency, kMinimumLatency);
  return true;
}

// Frames per device period: small against the sound buffer's halves.
constexpr unsigned long kFramesPerPeriod = 512;

class PortAudioStream final : public SoundStream {
 public:
  PortAudioStream(const SoundFormat& format, SoundRenderer& renderer)
      : renderer_(renderer), blockAlign_(format.BlockAlign()) {}
  ~PortAudioStream() override {
    if (stream_ == nullptr) return;
    Pa_AbortStream(stream_);
    Pa_CloseStream(stream_);
  }
  PortAudioStream(const PortAudioStream&) = delete;
  PortAudioStream& operator=(const PortAudioStream&) = delete;

  bool Open(const SoundFormat& format) {
    if (!session_.Initialised()) return false;
    PaStreamParameters output;
    if (!DefaultOutput(format, output)) return false;
    if (Pa_OpenStream(&stream_, nullptr, &output, format.SampleRate, kFramesPerPeriod, paNoFlag, &Callback, this) !=
        paNoError)
      return false;
    // The callback's thread at real-time priority where the system allows it (best effort: without
    // the privilege it keeps the normal one).
    const PaHostApiInfo* api = Pa_GetHostApiInfo(Pa_GetDeviceInfo(output.device)->hostApi);
    if (api != nullptr && api->type == paALSA) PaAlsa_EnableRealtimeScheduling(stream_, 1);
    return true;
  }

  bool Start() override {
    const PaError state = Pa_IsStreamActive(stream_);
    return state == 1 || Pa_StartStream(stream_) == paNoError;
  }
  void Stop() override {
    if (Pa_IsStreamStopped(stream_) == 0) Pa_StopStream(stream_);
  }
  std::uint64_t Underruns() const override { return underruns_.load(std::memory_order_relaxed); }

 private:
  static int Callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                      PaStreamCallbackFlags flags, void* user) noexcept {
    auto& self = *static_cast<PortAudioStream*>(user);
    self.renderer_.Render(static_cast<std::uint8_t*>(output), frames * self.blockAlign_);
    if (flags & paOutputUnderflow) self.underruns_.fetch_add(1, std::memory_order_relaxed);
    return paContinue;
  }

  PortAudioSession session_;
  SoundRenderer& renderer_;
  const std::uint32_t blockAlign_;
  PaStream* stream_ = nullptr;
  std::atomic<std::uint64_t> underruns_{0};
};

class PortAudioDevice final : public SoundDevice {
 public:
  // A usable default output that takes the program's own format, 44100 Hz 16-bit stereo.
  bool Open() override {
    if (!session_) session_ = std::make_unique<PortAudioSession>();
    if (!session_->Initialised()) return false;
    PaStreamParameters output;
    if (!DefaultOutput(SoundFormat{}, output)) return false;
    return Pa_IsFormatSupported(nullptr, &output, SoundFormat{}.SampleRate) == paFormatIsSupported;
  }

  std::unique_ptr<SoundStream> OpenStream(const SoundFormat& format, SoundRenderer& renderer) override {
    auto stream = std::make_unique<PortAudioStream>(format, renderer);
    if (!stream->Open(format)) return nullptr;
    return stream;
  }

 private:
  std::unique_ptr<PortAudioSession> session_;
};

}  // namespace

std::unique_ptr<SoundDevice> MakePortAudioDevice() { return std::make_unique<PortAudioDevice>(); }

void KeepSoundOutputUntilExit() {
  // One reference that is never given back. PortAudio's JACK host API aborts the program in
  // Pa_Terminate when the JACK server went away meanwhile; a program that never terminates
  // PortAudio leaves its connections to the system as it exits.
  // Held in a variable the compiler must keep, so that leak checkers see the session as reachable.
  [[gnu::used]] static PortAudioSession* kept = nullptr;
  if (kept == nullptr) kept = new PortAudioSession();
}

}  // namespace merolune
