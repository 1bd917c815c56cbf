#pragma once
// The sound module: a device with channels, and streaming sound buffers that ask their owner for
// audio half a buffer ahead.
//
// A streaming wave (TDDSDWaveData) holds one looping PCM buffer with a play cursor. While playing,
// the device's real-time callback copies from the play cursor (scaled by the channel's volume),
// advances it, and wakes the wave's notification thread when the cursor passes offset 0 ("start")
// or the half ("half"), and on Stop ("stopped"). The notification thread waits for these wake-ups
// (at most 100 ms at a time) and calls OnFill for the half the cursor has just left; OnFill writes
// it with WriteBlock.
//
// Threads. The device, its channels and the waves are made, bound and freed on one thread (the
// window's). Play, Stop, SetVolume, GetStatus and WriteBlock may be called from any thread; OnFill
// runs on the wave's notification thread. The buffer's bytes and cursors are shared with the
// real-time callback through atomics only.
//
// Errors. Platform failures go to DebugMessage with their text; under the default options
// ([dsoHaltOnError]) nothing is logged or raised and the sound simply does not play. Without an
// output device Initialize returns false, and every wave, channel and buffer operation does nothing
// (GetStatus returns 0).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "SoundDevice.h"

namespace merolune {

enum class TDDSDDebugOption { dsoHaltOnError, dsoDebugMessage, dsoExceptOnError };
using TDDSDDebugOptions = std::set<TDDSDDebugOption>;

// Raised by DebugMessage under dsoExceptOnError.
class EDDSD : public Exception {
 public:
  explicit EDDSD(const std::string& message) : Exception(message) {}
};

// Module-wide message switches (set from TDDSD::SetDebugOption). Under dsoDebugMessage appends
// "debug#%.5d ... %s" to DDSD_DebugLog.txt in the program's folder (the run's first message
// truncates it); under dsoExceptOnError throws EDDSD(text); otherwise does nothing.
void DebugMessage(const std::string& text);
// 0 passes; any other code goes to DebugMessage as text + "(Error Code(%x))" and is returned.
std::int32_t CheckResult(std::int32_t code, const std::string& text);

class TDDSD;
class TDDSDChannel;
class TDDSDNotifyThread;

// A sound buffer with its PCM format. The program uses only the streaming form, TDDSDWaveData.
class TDDSDGenWave {
 public:
  using FillEvent = std::function<void(TDDSDGenWave& sender, TDDSDChannel* channel, std::uint32_t offset,
                                       std::uint32_t size)>;

  // Frees the buffer: a streaming wave's notification thread is asked to end and joined (within one
  // 100 ms wait) before the buffer goes; a channel bound to it is unbound.
  virtual ~TDDSDGenWave();
  TDDSDGenWave(const TDDSDGenWave&) = delete;
  TDDSDGenWave& operator=(const TDDSDGenWave&) = delete;

  const SoundFormat& Format() const { return format_; }
  std::uint32_t BufferBytes() const { return bufferBytes_; }
  std::uint32_t Half() const { return half_; }
  bool Streaming() const { return streaming_; }
  // Whether the buffer exists (the device was Ready when the wave was made and it opened a stream).
  bool HasBuffer() const;
  // The play cursor, and the write cursor (where writing is safe from, here the play cursor).
  std::uint32_t PlayCursor() const;
  std::uint32_t WriteCursor() const;
  // Device periods found empty since the buffer was made.
  std::uint64_t Underruns() const;

  // Set before the wave is bound and played; called on the notification thread.
  FillEvent OnFill;

 protected:
  TDDSDGenWave(TDDSD& device, bool effects, std::uint32_t bufferBytes, bool stereo, std::uint16_t bitsPerSample,
               std::uint32_t samplesPerSecond, bool streaming);

 private:
  friend class TDDSD;
  friend class TDDSDChannel;
  friend class TDDSDNotifyThread;
  struct Buffer;  // the looping bytes, cursors, gain, events and the device stream

  TDDSD& device_;
  SoundFormat format_;
  std::uint32_t bufferBytes_;
  bool streaming_;
  bool effects_;
  std::uint32_t half_ = 0;
  std::unique_ptr<Buffer> buffer_;
  std::unique_ptr<TDDSDNotifyThread> thread_;
  std::atomic<TDDSDChannel*> channel_{nullptr};  // the channel this wave is bound to (read by the thread)
};

// The streaming form: a looping buffer played in two halves.
class TDDSDWaveData : public TDDSDGenWave {
 public:
  TDDSDWaveData(TDDSD& device, bool effects, std::uint32_t bufferBytes, bool stereo, std::uint16_t bitsPerSample,
                std::uint32_t samplesPerSecond);
};

// One playback channel of the device: the wave bound to it and its last volume.
class TDDSDChannel {
 public:
  explicit TDDSDChannel(TDDSD& owner) : owner_(owner) {}
  TDDSDChannel(const TDDSDChannel&) = delete;
  TDDSDChannel& operator=(const TDDSDChannel&) = delete;

  TDDSDGenWave* Wave() const { return wave_.load(); }
  bool Streaming() const { return streaming_; }
  std::uint32_t SampleRate() const { return sampleRate_; }
  std::int32_t Volume() const { return volume_.load(); }

 private:
  friend class TDDSD;
  friend class TDDSDGenWave;
  TDDSD& owner_;
  std::atomic<TDDSDGenWave*> wave_{nullptr};
  bool streaming_ = false;
  std::uint32_t sampleRate_ = 0;
  std::atomic<std::int32_t> volume_{0};
};

// The device component: opens the output device and owns ChannelCount channels.
class TDDSD {
 public:
  // `device` is the output the waves play through (MakePortAudioDevice(), or a test's fake).
  explicit TDDSD(std::unique_ptr<SoundDevice> device);
  ~TDDSD();
  TDDSD(const TDDSD&) = delete;
  TDDSD& operator=(const TDDSD&) = delete;

  // Frees the channels (unbinding their waves), makes ChannelCount new ones and opens the device.
  // True, and Ready, when it opened.
  bool Initialize();
  bool Ready() const { return ready_.load(); }

  std::uint32_t ChannelCount() const { return channelCount_; }
  // Applies from the next Initialize.
  void SetChannelCount(std::uint32_t count) { channelCount_ = count; }
  bool StickyFocus() const { return stickyFocus_; }
  const TDDSDDebugOptions& DebugOption() const { return debugOption_; }
  // Also sets the module-wide switches DebugMessage uses.
  void SetDebugOption(const TDDSDDebugOptions& options);

  // Channel i of 0..ChannelCount-1. Another index goes to DebugMessage ("チャンネル番号%dは無効です、
  // %d～%dの範囲で指定してください"); under dsoHaltOnError the program then ends at once, otherwise
  // the result is null.
  TDDSDChannel* Channels(std::int32_t index);

  // Binds `wave` (or nothing) to channel `index`: binding the same streaming wave again does
  // nothing; otherwise the channel's old buffer is stopped first. The channel takes the wave's rate.
  void setWaveData(std::int32_t index, TDDSDGenWave* wave);
  // Sets the play cursor of the bound buffer to `position` (bytes) and starts it looping.
  void Play(std::int32_t index, std::uint32_t position);
  // Stops the bound buffer; the play cursor stays.
  void Stop(std::int32_t index);
  // Attenuation in hundredths of a decibel (0 full level, -5000 is -50 dB), applied as the gain
  // 10^(volume/2000) with the volume held to -10000..0; recorded on the channel as given.
  void SetVolume(std::int32_t index, std::int32_t volume);
  // Bit 0 set while playing; 0 without a bound buffer.
  std::uint32_t GetStatus(std::int32_t index);
  // Copies `size` bytes of `data` into the wave's buffer from `offset`, wrapping to its start.
  void WriteBlock(TDDSDGenWave& wave, std::uint32_t offset, const void* data, std::uint32_t size);

  SoundDevice& Device() { return *device_; }

 private:
  friend class TDDSDGenWave;
  // Unbinds the channels' waves and frees the channels; the caller holds channelsLock_.
  void FreeChannels();
  // Channel `index` with `lock` holding channelsLock_; an invalid index is reported (BadChannel)
  // and gives null, unlocked.
  TDDSDChannel* LockChannel(std::int32_t index, std::unique_lock<std::mutex>& lock);
  // Reports an invalid channel index (and ends the program under dsoHaltOnError).
  void BadChannel(std::int32_t index);
  // Runs action(channel, buffer) with the channels locked when Ready and channel `index` has a
  // bound buffer.
  template <typename Action>
  void WithBoundBuffer(std::int32_t index, Action&& action);

  std::unique_ptr<SoundDevice> device_;
  std::vector<std::unique_ptr<TDDSDChannel>> channels_;
  std::uint32_t channelCount_ = 8;
  bool stickyFocus_ = true;
  std::atomic<bool> ready_{false};
  // Guards channels_ and the bindings between channels and waves: Play, Stop, SetVolume and
  // GetStatus come from other threads while the window's thread binds, frees and re-initialises.
  std::mutex channelsLock_;
  TDDSDDebugOptions debugOption_{TDDSDDebugOption::dsoHaltOnError};
};

}  // namespace merolune
