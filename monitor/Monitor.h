#pragma once
// The monitor: plays a job's output file while the job writes it, and after.
//
// The monitor thread (Run) reads the output file block by block into a 352800-byte ring; the
// stream wave's notification thread takes quarter-second halves out of the ring (StreamFill) into
// the looping sound buffer, whose device callback plays them. Each fill asks for a refill of the
// same size, so reads and fills alternate. The window mirrors its widgets' states in here (Play
// enabled and down, the volume, a seek in progress); no thread but the window's touches a widget.
//
// The ring is a byte queue: a fill hands over only bytes that were read from the file since the
// job started, in the order they were read, and silence where the reader has caught up with the
// writer. Audio therefore jumps only where the file position did (a seek, or the return to the
// start of the audio once a read comes back short).
//
// Threads: construct, destroy and call the window's operations on one thread (the window's);
// Run on the monitor thread; StreamFill on the notification thread (or the monitor thread when it
// primes). Shared state is atomic or behind the ring's lock, which no real-time code takes.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DDSD.h"

namespace merolune {

// 8 halves of the sound buffer: 2 seconds at 44100 Hz.
inline constexpr std::uint32_t kMonitorRingBytes = 352800;
// The looping sound buffer, played in two halves of a quarter second at 44100 Hz.
inline constexpr std::uint32_t kStreamBufferBytes = 88200;
// The output file's audio starts after its 44-byte header.
inline constexpr std::uint32_t kMonitorDataStart = 44;
// The figure's snapshot: 10 rows of 257 stereo frames, of which each fill refreshes the first 7.
inline constexpr int kScopeRows = 10;
inline constexpr int kScopeFilledRows = 7;
inline constexpr int kScopeFrames = 257;

// The clock's text for a byte position of 16-bit stereo audio: "MM:SS" of the whole seconds, the
// minutes not wrapping at 60 ("61:00").
std::string ClockText(std::int64_t position, std::uint32_t sampleRate);

// Where the Lissajous figure of a W x H picture puts a frame: left across, right upwards, 750 per
// pixel from the centre; nothing when it falls outside (or on the last row or column).
struct ScopePoint {
  int X;
  int Y;
  bool operator==(const ScopePoint&) const = default;
};
std::optional<ScopePoint> LissajousPoint(std::int16_t left, std::int16_t right, int width, int height);

// A seek position in bytes rounded toward zero to whole stereo frames and kept inside the audio.
std::int64_t AlignSeek(std::int64_t position, std::int64_t dataSize);

class Monitor {
 public:
  struct Frame {
    std::int16_t Left;
    std::int16_t Right;
  };
  using ScopeRow = std::array<Frame, kScopeFrames>;

  // What the loop needs from its thread's owner.
  class LoopHost {
   public:
    virtual ~LoopHost() = default;
    // Whether the loop should end.
    virtual bool Terminated() = 0;
    // Shows the position on the window (seek bar, clock); returns once the window has done so.
    virtual void Synchronize(std::int64_t dataSize, std::int64_t position) = 0;
  };

  // Opens the device (FormCreate's share): the ring, and a 44100 Hz stream wave on channel 0.
  explicit Monitor(std::unique_ptr<SoundDevice> device);
  // Stops channel 0, unbinds and frees the stream wave (ending its thread). The loop must have ended.
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // For tests: the device and the current stream wave (replaced by RenewStream).
  TDDSD& Device() { return device_; }
  TDDSDWaveData* StreamWave() { return wave_.get(); }

  // The window's widget states, mirrored for the loop.
  void SetPlayState(bool enabled, bool down);
  // The volume slider's position, 0..5000 hundredths of a decibel of attenuation; sets channel 0.
  void SetVolumePosition(std::int32_t position);
  void SetSeekDragging(bool dragging) { seekDragging_.store(dragging); }
  bool SeekDragging() const { return seekDragging_.load(); }

  // The job's share. At its start: position 0, not primed, a refill of 176400 bytes due, the ring
  // emptied. Then, once the source is known: the device opened again and a new stream wave at the
  // source's rate bound to channel 0 (whether sound can play); the output file and its data size.
  void ResetForJob();
  bool RenewStream(std::uint32_t sampleRate);
  void SetOutputFile(const std::string& path, std::uint32_t dataSize);
  void SetDataSize(std::uint32_t dataSize) { dataSize_.store(dataSize); }
  // While the loop has the output file open; the job waits before creating or opening it.
  bool FileBusy() const { return fileOpen_.load(); }
  // Whether channel 0 is playing now (the job's question before encoding).
  bool ChannelPlaying();

  // A seek to a byte position of the audio (aligned by AlignSeek): the next refill reads from there
  // and primes the sound buffer again; the ring's remaining audio plays first.
  void Seek(std::int64_t position);

  // The stream wave's OnFill: hands `size` bytes of the ring to `wave`'s sound buffer at `offset`,
  // and asks for a refill of as many.
  void StreamFill(TDDSDGenWave& wave, std::uint32_t offset, std::uint32_t size);

  // One pass of the loop; returns how long to wait before the next.
  std::chrono::milliseconds Pass(LoopHost& host);
  // Passes until the host says to end.
  void Run(LoopHost& host);

  bool Playing() const { return playing_.load(); }
  std::int64_t Position() const { return position_.load(); }
  std::uint32_t RefillBytes() const { return refillFrames_.load() * 4; }
  bool Primed() const { return primed_.load(); }
  // How many fills have been handed to a sound buffer (for tests that wait for the notification thread).
  std::uint64_t Fills() const { return fills_.load(); }

  // The figure's next row (the timer's), advancing the row counter (0..9, wrapping).
  ScopeRow NextScopeRow();

 private:
  void PlayControl();
  void Refill(int fd);
  // Writes the first half of the sound buffer from the ring.
  void Prime();
  void MakeStreamWave(std::uint32_t sampleRate);

  // The device and the stream wave. Calls from the window's and the monitor's threads hold
  // deviceLock_; the notification thread's fills write to the wave they were called for, which
  // outlives them (freeing a wave waits for its thread).
  std::mutex deviceLock_;
  TDDSD device_;
  std::unique_ptr<TDDSDWaveData> wave_;

  // The ring: bytes, and the counts of bytes written into it and taken out of it since the job
  // started (positions are these modulo its size).
  mutable std::mutex ringLock_;
  std::vector<std::uint8_t> ring_;
  std::uint64_t ringWritten_ = 0;
  std::uint64_t ringRead_ = 0;
  std::vector<std::uint8_t> readBuffer_;  // the file's bytes before they enter the ring
  std::vector<std::uint8_t> fillBuffer_;  // a half's bytes on their way to the sound buffer

  std::mutex fileLock_;
  std::string outputFile_;

  std::atomic<bool> playEnabled_{false};
  std::atomic<bool> playDown_{false};
  std::atomic<std::int32_t> volumePosition_{500};
  std::atomic<bool> seekDragging_{false};
  std::atomic<bool> refillRequested_{false};
  std::atomic<std::uint32_t> refillFrames_{0};
  std::atomic<std::int64_t> position_{0};
  std::atomic<std::uint32_t> dataSize_{0};
  std::atomic<bool> playing_{false};
  std::atomic<bool> primed_{false};
  std::atomic<bool> fileOpen_{false};
  std::atomic<std::uint64_t> fills_{0};

  std::mutex scopeLock_;
  std::array<ScopeRow, kScopeRows> scope_{};
  int scopeRow_ = 0;
};

}  // namespace merolune
