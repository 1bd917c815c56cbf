// The monitor: plays a job's output file while the job writes it, and after.

#include "Monitor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace merolune {
namespace {

// The looping buffer's rate at window creation; each job makes it again at its source's rate.
constexpr std::uint32_t kInitialRate = 44100;
// A job's first read fills four halves ahead, so that the ring holds a second of audio at once.
constexpr std::uint32_t kFirstRefillFrames = 44100;
constexpr std::uint32_t kHalfBytes = kStreamBufferBytes / 2;
constexpr std::chrono::milliseconds kIdleWait{100};
constexpr std::chrono::milliseconds kPassWait{10};

// Holds the output file open for one pass and says so meanwhile; the job waits while it is set.
class OpenOutput {
 public:
  OpenOutput(const std::string& path, std::atomic<bool>& busy) : busy_(busy) {
    busy_.store(true);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) busy_.store(false);
  }
  ~OpenOutput() {
    if (fd_ >= 0) {
      ::close(fd_);
      busy_.store(false);
    }
  }
  OpenOutput(const OpenOutput&) = delete;
  OpenOutput& operator=(const OpenOutput&) = delete;
  int Fd() const { return fd_; }

 private:
  std::atomic<bool>& busy_;
  int fd_ = -1;
};

// Reads up to `size` bytes at `offset`, retrying after interruptions; the bytes read.
std::size_t ReadAt(int fd, std::uint8_t* data, std::size_t size, std::int64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, data + done, size - done, static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

std::string ClockText(std::int64_t position, std::uint32_t sampleRate) {
  const std::int64_t bytesPerSecond = std::int64_t{4} * sampleRate;
  const std::int64_t seconds = bytesPerSecond > 0 ? std::max<std::int64_t>(position, 0) / bytesPerSecond : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%.02lld:%.02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

std::optional<ScopePoint> LissajousPoint(std::int16_t left, std::int16_t right, int width, int height) {
  const int x = left / 750 + width / 2;
  const int y = -right / 750 + height / 2;
  if (x < 0 || y < 0 || x >= width - 1 || y >= height - 1) return std::nullopt;
  return ScopePoint{x, y};
}

std::int64_t AlignSeek(std::int64_t position, std::int64_t dataSize) {
  const std::int64_t last = dataSize / 4 * 4 - 4;  // the start of the last whole frame
  if (position <= 0 || last <= 0) return 0;
  return std::min(position / 4 * 4, last);
}

Monitor::Monitor(std::unique_ptr<SoundDevice> device)
    : device_(std::move(device)), ring_(kMonitorRingBytes), readBuffer_(kFirstRefillFrames * 4),
      fillBuffer_(kHalfBytes) {
  device_.Initialize();
  MakeStreamWave(kInitialRate);
}

Monitor::~Monitor() {
  std::lock_guard lock(deviceLock_);
  device_.Stop(0);
  device_.setWaveData(0, nullptr);
  wave_.reset();
}

void Monitor::MakeStreamWave(std::uint32_t sampleRate) {
  wave_ = std::make_unique<TDDSDWaveData>(device_, false, kStreamBufferBytes, true, 16, sampleRate);
  wave_->OnFill = [this](TDDSDGenWave& wave, TDDSDChannel*, std::uint32_t offset, std::uint32_t size) {
    StreamFill(wave, offset, size);
  };
  device_.setWaveData(0, wave_.get());
}

void Monitor::SetPlayState(bool enabled, bool down) {
  playEnabled_.store(enabled);
  playDown_.store(down);
}

void Monitor::SetVolumePosition(std::int32_t position) {
  volumePosition_.store(position);
  std::lock_guard lock(deviceLock_);
  device_.SetVolume(0, -position);
}

void Monitor::ResetForJob() {
  position_.store(0);
  primed_.store(false);
  refillRequested_.store(true);
  {
    std::lock_guard lock(ringLock_);
    ringWritten_ = 0;
    ringRead_ = 0;
  }
  // Nothing is read until the job names its new output.
  std::lock_guard lock(fileLock_);
  outputFile_.clear();
}

bool Monitor::RenewStream(std::uint32_t sampleRate) {
  std::lock_guard lock(deviceLock_);
  // The old wave goes first: freeing it ends its notification thread, so no fill of the old
  // stream runs once the device is opened again.
  device_.setWaveData(0, nullptr);
  wave_.reset();
  playing_.store(false);
  const bool ready = device_.Initialize();
  MakeStreamWave(sampleRate);
  refillFrames_.store(kFirstRefillFrames);
  return ready;
}

void Monitor::SetOutputFile(const std::string& path, std::uint32_t dataSize) {
  dataSize_.store(dataSize);
  std::lock_guard lock(fileLock_);
  outputFile_ = path;
}

bool Monitor::ChannelPlaying() {
  std::lock_guard lock(deviceLock_);
  return (device_.GetStatus(0) & 1) != 0;
}

void Monitor::Seek(std::int64_t position) {
  position_.store(AlignSeek(position, dataSize_.load()));
  primed_.store(false);
  refillRequested_.store(true);
}

void Monitor::StreamFill(TDDSDGenWave& wave, std::uint32_t offset, std::uint32_t size) {
  try {
    {
      // Only audio read since the job started, in order; silence where the reader has caught up.
      std::lock_guard lock(ringLock_);
      if (fillBuffer_.size() < size) fillBuffer_.resize(size);
      const std::uint64_t available = ringWritten_ - ringRead_;
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, available));
      const std::size_t from = static_cast<std::size_t>(ringRead_ % kMonitorRingBytes);
      const std::size_t first = std::min(take, ring_.size() - from);
      std::memcpy(fillBuffer_.data(), ring_.data() + from, first);
      std::memcpy(fillBuffer_.data() + first, ring_.data(), take - first);
      std::memset(fillBuffer_.data() + take, 0, size - take);
      ringRead_ += take;

      std::lock_guard scope(scopeLock_);
      const std::size_t frames = std::min<std::size_t>(size / 4, kScopeFilledRows * kScopeFrames);
      for (std::size_t i = 0; i < kScopeFilledRows * kScopeFrames; ++i) {
        Frame frame{0, 0};
        if (i < frames) std::memcpy(&frame, fillBuffer_.data() + 4 * i, 4);
        scope_[i / kScopeFrames][i % kScopeFrames] = frame;
      }
      scopeRow_ = 0;
      device_.WriteBlock(wave, offset, fillBuffer_.data(), size);
    }
    refillFrames_.store(size / 4);
    refillRequested_.store(true);
    fills_.fetch_add(1);
  } catch (const Exception&) {
    // A failing sound buffer must not stop the notification thread.
  }
}

void Monitor::PlayControl() {
  const bool down = playDown_.load();
  if (playEnabled_.load() && down) {
    if (!playing_.load() && primed_.load()) {
      std::lock_guard lock(deviceLock_);
      device_.Play(0, 0);
      device_.SetVolume(0, -volumePosition_.load());
      playing_.store(true);
    }
  } else {
    if (playing_.load()) {
      std::lock_guard lock(deviceLock_);
      device_.Stop(0);
    }
    playing_.store(false);
  }
}

std::chrono::milliseconds Monitor::Pass(LoopHost& host) {
  PlayControl();
  if (!playDown_.load()) return kIdleWait;

  std::string path;
  {
    std::lock_guard lock(fileLock_);
    path = outputFile_;
  }
  // No output yet, or a job start deleted it: wait, as with Play up, and look again.
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return kIdleWait;
  {
    const OpenOutput file(path, fileOpen_);
    if (file.Fd() < 0) return kIdleWait;
    if (refillRequested_.exchange(false)) {
      Refill(file.Fd());
      if (!primed_.load()) {
        Prime();
        primed_.store(true);
        // The priming's own request is met by the read above.
        refillRequested_.store(false);
      }
    }
    host.Synchronize(dataSize_.load(), position_.load());
  }
  return kPassWait;
}

void Monitor::Refill(int fd) {
  const std::size_t wanted = std::size_t{refillFrames_.load()} * 4;
  if (readBuffer_.size() < wanted) readBuffer_.resize(wanted);
  std::int64_t position = position_.load();
  const std::size_t got = ReadAt(fd, readBuffer_.data(), wanted, kMonitorDataStart + position);

  std::size_t taken = 0;
  {
    std::lock_guard lock(ringLock_);
    // Never over audio that has not been played yet; what does not fit is read again next time.
    const std::size_t free = kMonitorRingBytes - static_cast<std::size_t>(ringWritten_ - ringRead_);
    taken = std::min(got, free);
    const std::size_t at = static_cast<std::size_t>(ringWritten_ % kMonitorRingBytes);
    const std::size_t first = std::min(taken, ring_.size() - at);
    std::memcpy(ring_.data() + at, readBuffer_.data(), first);
    std::memcpy(ring_.data(), readBuffer_.data() + first, taken - first);
    ringWritten_ += taken;
  }
  // A short read is the end of the written audio: monitoring goes on from its start. A seek that
  // came meanwhile keeps its position.
  const std::int64_t next = got < wanted ? 0 : position + static_cast<std::int64_t>(taken);
  position_.compare_exchange_strong(position, next);
}

void Monitor::Prime() {
  std::lock_guard lock(deviceLock_);
  if (wave_) StreamFill(*wave_, 0, kHalfBytes);
}

void Monitor::Run(LoopHost& host) {
  while (!host.Terminated()) std::this_thread::sleep_for(Pass(host));
}

Monitor::ScopeRow Monitor::NextScopeRow() {
  std::lock_guard lock(scopeLock_);
  const ScopeRow row = scope_[static_cast<std::size_t>(scopeRow_)];
  scopeRow_ = (scopeRow_ + 1) % kScopeRows;
  return row;
}

}  // namespace merolune
