// The sound module: see DDSD.h.

#include "DDSD.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <semaphore>
#include <system_error>
#include <utility>

namespace merolune {
namespace {

constexpr char kFillSentText[] = "バッファ更新イベント送信";
constexpr char kBufferCreateFailedText[] = "サウンドバッファの作成に失敗しました";
constexpr char kPlayFailedText[] = "サウンドバッファの再生に失敗しました";
constexpr char kLogFileName[] = "DDSD_DebugLog.txt";

// The notification thread wakes at least this often, so a lost wake-up costs latency, never a stall.
constexpr std::chrono::milliseconds kNotifyWait{100};

// The volume range a buffer accepts, in hundredths of a decibel (silence at -100 dB).
constexpr std::int32_t kVolumeMin = -10000;
constexpr std::int32_t kVolumeMax = 0;

constexpr std::uint32_t kStatusPlaying = 1;

// Wake-up reasons of the notification thread, as bits of Buffer::pending.
enum : std::uint32_t {
  kEventStart = 1u << 0,    // the play cursor passed offset 0
  kEventHalf = 1u << 1,     // the play cursor passed the half
  kEventStopped = 1u << 2,  // Stop ended playback
  kEventQuit = 1u << 3,     // the wave is being freed
};

// The module-wide message switches (TDDSD::SetDebugOption).
std::atomic<bool> debugToFile{false};
std::atomic<bool> exceptOnError{false};

// Appends one numbered line to the log in the program's folder; the first line of a run truncates it.
void AppendToLog(const std::string& text) {
  static std::mutex lock;
  static int number = 0;
  std::lock_guard guard(lock);
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return;
  std::ofstream log(program.parent_path() / kLogFileName, number == 0 ? std::ios::trunc : std::ios::app);
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "debug#%.5d ... ", ++number);
  log << prefix << text << '\n';
}

// Whether playing `bytes` bytes from `from` in a loop of `size` bytes plays the byte at `offset`.
bool Passes(std::uint32_t from, std::size_t bytes, std::uint32_t offset, std::uint32_t size) {
  if (bytes >= size) return true;
  const std::uint32_t ahead = offset >= from ? offset - from : offset + (size - from);
  return ahead < bytes;
}

template <typename T>
T Clamp(long value, long low, long high) {
  return static_cast<T>(std::clamp(value, low, high));
}

}  // namespace

void DebugMessage(const std::string& text) {
  if (debugToFile.load()) AppendToLog(text);
  if (exceptOnError.load()) throw EDDSD(text);
}

std::int32_t CheckResult(std::int32_t code, const std::string& text) {
  if (code == 0) return 0;
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, "(Error Code(%x))", static_cast<unsigned>(code));
  DebugMessage(text + suffix);
  return code;
}

// The looping buffer the device's stream plays. Its bytes, cursor, playing flag and gain are shared
// with the real-time callback through atomics only; the stream is started once, on the first Play,
// and then keeps running, rendering silence while stopped, so Stop never waits for the device.
struct TDDSDGenWave::Buffer final : SoundRenderer {
  Buffer(const SoundFormat& soundFormat, std::uint32_t bufferBytes, std::uint32_t halfBytes)
      : format(soundFormat),
        size(bufferBytes),
        half(halfBytes),
        silence(soundFormat.BitsPerSample == 8 ? 0x80 : 0),
        bytes(std::make_unique<std::atomic<std::uint8_t>[]>(bufferBytes)) {
    for (std::uint32_t i = 0; i < size; ++i) bytes[i].store(silence, std::memory_order_relaxed);
  }
  // The stream goes first: once it is closed the callback no longer reads the bytes.
  ~Buffer() override { stream.reset(); }

  void Render(std::uint8_t* out, std::size_t count) noexcept override {
    if (!playing.load(std::memory_order_acquire)) {
      std::memset(out, silence, count);
      return;
    }
    std::uint32_t from = cursor.load(std::memory_order_relaxed);
    std::uint32_t at = from;
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = bytes[at].load(std::memory_order_relaxed);
      if (++at == size) at = 0;
    }
    ApplyGain(out, count);
    // A Play that moved the cursor meanwhile wins.
    const std::uint32_t played = from;
    cursor.compare_exchange_strong(from, at, std::memory_order_relaxed);
    std::uint32_t events = 0;
    if (Passes(played, count, 0, size)) events |= kEventStart;
    if (Passes(played, count, half, size)) events |= kEventHalf;
    if (events != 0) Signal(events);
  }

  // Scales the rendered samples in place, rounding to nearest and clipping; unity gain leaves
  // them untouched, bit for bit.
  void ApplyGain(std::uint8_t* out, std::size_t count) const noexcept {
    const float g = gain.load(std::memory_order_relaxed);
    if (g == 1.0f) return;
    if (format.BitsPerSample == 16) {
      for (std::size_t i = 0; i + 1 < count; i += 2) {
        const auto sample = static_cast<std::int16_t>(out[i] | (out[i + 1] << 8));
        const auto scaled = Clamp<std::int16_t>(std::lrint(static_cast<float>(sample) * g), -32768, 32767);
        const auto bits = static_cast<std::uint16_t>(scaled);
        out[i] = static_cast<std::uint8_t>(bits & 0xff);
        out[i + 1] = static_cast<std::uint8_t>(bits >> 8);
      }
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        const long centred = std::lrint(static_cast<float>(out[i] - 128) * g);
        out[i] = Clamp<std::uint8_t>(centred + 128, 0, 255);
      }
    }
  }

  // Marks `events` pending and wakes the notification thread. Only the call that finds nothing
  // pending releases the semaphore, and the thread takes the bits only after acquiring it, so the
  // count never exceeds one.
  void Signal(std::uint32_t events) noexcept {
    if (pending.fetch_or(events, std::memory_order_acq_rel) == 0) wake.release();
  }

  void Play(std::uint32_t position) {
    cursor.store(position % size, std::memory_order_relaxed);
    playing.store(true, std::memory_order_release);
    std::lock_guard guard(streamLock);
    if (streamStarted) return;
    streamStarted = stream->Start();
    if (!streamStarted) {
      playing.store(false);
      DebugMessage(kPlayFailedText);
    }
  }

  void Stop() {
    if (playing.exchange(false)) Signal(kEventStopped);
  }

  void Write(std::uint32_t offset, const std::uint8_t* data, std::uint32_t count) {
    std::uint32_t at = offset % size;
    for (std::uint32_t i = 0; i < std::min(count, size); ++i) {
      bytes[at].store(data[i], std::memory_order_relaxed);
      if (++at == size) at = 0;
    }
  }

  const SoundFormat format;
  const std::uint32_t size;
  const std::uint32_t half;
  const std::uint8_t silence;
  std::unique_ptr<std::atomic<std::uint8_t>[]> bytes;
  std::atomic<std::uint32_t> cursor{0};
  std::atomic<bool> playing{false};
  std::atomic<float> gain{1.0f};
  std::atomic<std::uint32_t> pending{0};
  std::binary_semaphore wake{0};
  std::mutex streamLock;  // Play's start of the stream, never taken by the callback
  bool streamStarted = false;
  std::unique_ptr<SoundStream> stream;
};

// Asks the wave's owner for the half the play cursor has just left: the start event requests the
// second half, the half event the first, strictly in turn; a stop makes the second half due again.
class TDDSDNotifyThread {
 public:
  explicit TDDSDNotifyThread(TDDSDGenWave& wave) : wave_(wave), buffer_(*wave.buffer_), thread_([this] { Run(); }) {}
  ~TDDSDNotifyThread() {
    buffer_.Signal(kEventQuit);
    thread_.join();
  }
  TDDSDNotifyThread(const TDDSDNotifyThread&) = delete;
  TDDSDNotifyThread& operator=(const TDDSDNotifyThread&) = delete;

 private:
  void Run() {
    for (;;) {
      if (!buffer_.wake.try_acquire_for(kNotifyWait)) continue;
      const std::uint32_t events = buffer_.pending.exchange(0, std::memory_order_acq_rel);
      if (events & kEventQuit) return;
      // In the order a wait on the three events reports them when several are signalled.
      if (events & kEventStart) OnStart();
      if (events & kEventHalf) OnHalf();
      if (events & kEventStopped) secondHalfDue_ = true;
    }
  }

  void OnStart() {
    if (wave_.WriteCursor() <= buffer_.half && secondHalfDue_) {
      secondHalf_ = true;
      Fill();
      secondHalfDue_ = false;
    }
  }

  void OnHalf() {
    if (wave_.WriteCursor() >= buffer_.half && !secondHalfDue_) {
      secondHalf_ = false;
      Fill();
      secondHalfDue_ = true;
    }
  }

  // The owner's fill handles its own errors; one escaping it must not end this thread (and with it
  // the program), so it is dropped here.
  void Fill() {
    try {
      if (wave_.OnFill) {
        TDDSDChannel* channel = wave_.channel_.load();
        if (secondHalf_)
          wave_.OnFill(wave_, channel, buffer_.half, buffer_.size - buffer_.half);
        else
          wave_.OnFill(wave_, channel, 0, buffer_.half);
      }
      DebugMessage(kFillSentText);
    } catch (const std::exception&) {
    }
  }

  TDDSDGenWave& wave_;
  TDDSDGenWave::Buffer& buffer_;
  bool secondHalf_ = false;
  bool secondHalfDue_ = true;
  std::thread thread_;  // last: it starts running once the fields above are set
};

TDDSDGenWave::TDDSDGenWave(TDDSD& device, bool effects, std::uint32_t bufferBytes, bool stereo,
                           std::uint16_t bitsPerSample, std::uint32_t samplesPerSecond, bool streaming)
    : device_(device),
      format_{samplesPerSecond, static_cast<std::uint16_t>(stereo ? 2 : 1), bitsPerSample},
      bufferBytes_(bufferBytes),
      streaming_(streaming),
      effects_(effects) {
  if (streaming_) half_ = bufferBytes_ / 2;
  if (!device_.Ready()) return;
  if (bufferBytes_ == 0 || (bitsPerSample != 8 && bitsPerSample != 16)) {
    DebugMessage(kBufferCreateFailedText);
    return;
  }
  auto buffer = std::make_unique<Buffer>(format_, bufferBytes_, half_);
  buffer->stream = device_.Device().OpenStream(format_, *buffer);
  if (!buffer->stream) {
    DebugMessage(kBufferCreateFailedText);
    return;
  }
  buffer_ = std::move(buffer);
  if (streaming_) thread_ = std::make_unique<TDDSDNotifyThread>(*this);
}

TDDSDGenWave::~TDDSDGenWave() {
  // Once unbound under the device's lock no other thread reaches the buffer through a channel.
  // (A device freed first has already cleared channel_.)
  if (channel_.load() != nullptr) {
    std::lock_guard lock(device_.channelsLock_);
    if (TDDSDChannel* channel = channel_.load()) channel->wave_ = nullptr;
    channel_ = nullptr;
  }
  thread_.reset();  // joined before the buffer it waits on goes
  buffer_.reset();
}

bool TDDSDGenWave::HasBuffer() const { return buffer_ != nullptr; }

std::uint32_t TDDSDGenWave::PlayCursor() const {
  return buffer_ ? buffer_->cursor.load(std::memory_order_relaxed) : 0;
}

std::uint32_t TDDSDGenWave::WriteCursor() const { return PlayCursor(); }

std::uint64_t TDDSDGenWave::Underruns() const { return buffer_ ? buffer_->stream->Underruns() : 0; }

TDDSDWaveData::TDDSDWaveData(TDDSD& device, bool effects, std::uint32_t bufferBytes, bool stereo,
                             std::uint16_t bitsPerSample, std::uint32_t samplesPerSecond)
    : TDDSDGenWave(device, effects, bufferBytes, stereo, bitsPerSample, samplesPerSecond, true) {}

TDDSD::TDDSD(std::unique_ptr<SoundDevice> device) : device_(std::move(device)) { SetDebugOption(debugOption_); }

TDDSD::~TDDSD() {
  std::lock_guard lock(channelsLock_);
  FreeChannels();
}

void TDDSD::FreeChannels() {
  for (const auto& channel : channels_)
    if (TDDSDGenWave* wave = channel->wave_.load()) wave->channel_ = nullptr;
  channels_.clear();
}

bool TDDSD::Initialize() {
  {
    std::lock_guard lock(channelsLock_);
    FreeChannels();
    for (std::uint32_t i = 0; i < channelCount_; ++i) channels_.push_back(std::make_unique<TDDSDChannel>(*this));
    ready_ = false;
  }
  if (!device_ || !device_->Open()) return false;
  ready_ = true;
  return true;
}

void TDDSD::SetDebugOption(const TDDSDDebugOptions& options) {
  debugOption_ = options;
  debugToFile.store(options.contains(TDDSDDebugOption::dsoDebugMessage));
  exceptOnError.store(options.contains(TDDSDDebugOption::dsoExceptOnError));
}

TDDSDChannel* TDDSD::LockChannel(std::int32_t index, std::unique_lock<std::mutex>& lock) {
  lock = std::unique_lock(channelsLock_);
  if (index >= 0 && static_cast<std::size_t>(index) < channels_.size())
    return channels_[static_cast<std::size_t>(index)].get();
  lock.unlock();
  BadChannel(index);
  return nullptr;
}

void TDDSD::BadChannel(std::int32_t index) {
  std::size_t count = 0;
  {
    std::lock_guard lock(channelsLock_);
    count = channels_.size();
  }
  char text[160];
  std::snprintf(text, sizeof text, "チャンネル番号%dは無効です、%d～%dの範囲で指定してください", index, 0,
                static_cast<int>(count) - 1);
  DebugMessage(text);
  if (debugOption_.contains(TDDSDDebugOption::dsoHaltOnError)) {
    std::fprintf(stderr, "%s\n", text);
    std::_Exit(EXIT_FAILURE);
  }
}

TDDSDChannel* TDDSD::Channels(std::int32_t index) {
  std::unique_lock<std::mutex> lock;
  return LockChannel(index, lock);
}

template <typename Action>
void TDDSD::WithBoundBuffer(std::int32_t index, Action&& action) {
  if (!ready_) return;
  std::unique_lock<std::mutex> lock;
  TDDSDChannel* channel = LockChannel(index, lock);
  if (channel == nullptr) return;
  TDDSDGenWave* wave = channel->wave_.load();
  if (wave != nullptr && wave->buffer_) action(*channel, *wave->buffer_);
}

void TDDSD::setWaveData(std::int32_t index, TDDSDGenWave* wave) {
  if (!ready_) return;
  std::unique_lock<std::mutex> lock;
  TDDSDChannel* channel = LockChannel(index, lock);
  if (channel == nullptr) return;
  if (TDDSDGenWave* old = channel->wave_.load()) {
    if (old == wave) return;
    if (old->buffer_) old->buffer_->Stop();
    old->channel_ = nullptr;
    channel->wave_ = nullptr;
  }
  if (wave == nullptr) return;
  if (TDDSDChannel* previous = wave->channel_.load()) previous->wave_ = nullptr;
  channel->wave_ = wave;
  channel->streaming_ = wave->streaming_;
  channel->sampleRate_ = wave->format_.SampleRate;
  wave->channel_ = channel;
}

void TDDSD::Play(std::int32_t index, std::uint32_t position) {
  WithBoundBuffer(index, [&](TDDSDChannel&, TDDSDGenWave::Buffer& buffer) { buffer.Play(position); });
}

void TDDSD::Stop(std::int32_t index) {
  WithBoundBuffer(index, [](TDDSDChannel&, TDDSDGenWave::Buffer& buffer) { buffer.Stop(); });
}

void TDDSD::SetVolume(std::int32_t index, std::int32_t volume) {
  const std::int32_t level = std::clamp(volume, kVolumeMin, kVolumeMax);
  const float gain = level == 0 ? 1.0f : static_cast<float>(std::pow(10.0, level / 2000.0));
  WithBoundBuffer(index, [&](TDDSDChannel& channel, TDDSDGenWave::Buffer& buffer) {
    channel.volume_.store(volume);
    buffer.gain.store(gain);
  });
}

std::uint32_t TDDSD::GetStatus(std::int32_t index) {
  std::uint32_t status = 0;
  WithBoundBuffer(index, [&](TDDSDChannel&, TDDSDGenWave::Buffer& buffer) {
    if (buffer.playing.load()) status |= kStatusPlaying;
  });
  return status;
}

void TDDSD::WriteBlock(TDDSDGenWave& wave, std::uint32_t offset, const void* data, std::uint32_t size) {
  if (!ready_ || !wave.buffer_) return;
  wave.buffer_->Write(offset, static_cast<const std::uint8_t*>(data), size);
}

}  // namespace merolune
