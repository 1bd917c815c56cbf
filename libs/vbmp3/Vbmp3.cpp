// libvbmp3.so: MP3 to WAV decoding over libmpg123 on a thread of its own, behind the C entry points of vbmp3.h.

#include "vbmp3.h"

#include <mpg123.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PendingWavFile.h"

namespace merolune {

namespace {

// Our own layout of the caller's information record; the conversion service never reads it, so it
// only has to fit.
struct Mp3InfoRecord {
  std::int32_t SampleRate = 0;
  std::int32_t Channels = 0;     // of the MP3 itself; the WAV is always stereo
  std::int32_t BitRateKbps = 0;  // of the first frame
  std::int32_t Layer = 0;
  std::int64_t Frames = 0;  // sample frames after gapless trimming; -1 when unknown
};
static_assert(sizeof(Mp3InfoRecord) <= VBMP3_INFO_SIZE);

struct HandleDeleter {
  void operator()(mpg123_handle* handle) const { mpg123_delete(handle); }
};
using Mp3Handle = std::unique_ptr<mpg123_handle, HandleDeleter>;

// Opens `source` for 16-bit stereo output at the file's own rate. A mono MP3 is spread to both
// channels: the reduction job rejects mono WAV files, and the karaoke of a mono recording is silence
// anyway, but the conversion itself should not be what fails. Null when the file is not usable.
Mp3Handle OpenForWav(const char* source) {
  int error = MPG123_OK;
  Mp3Handle handle(mpg123_new(nullptr, &error));
  if (!handle) return nullptr;
  // Gapless decoding is libmpg123's default where it is built in; asking again costs nothing and
  // makes the WAV as long as the audio that was encoded (encoder delay and padding removed using
  // the LAME/Xing tag).
  mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0.0);
  // open_fixed allows only stereo 16-bit output at any rate and keeps that format for the whole
  // stream, so the one WAV header stays true.
  if (mpg123_open_fixed(handle.get(), source, MPG123_STEREO, MPG123_ENC_SIGNED_16) != MPG123_OK) {
    return nullptr;
  }
  long rate = 0;
  int channels = 0;
  int encoding = 0;
  // Reads up to the first frame: a file without MPEG audio ends here.
  if (mpg123_getformat(handle.get(), &rate, &channels, &encoding) != MPG123_OK || channels != 2 ||
      encoding != MPG123_ENC_SIGNED_16 || rate <= 0) {
    return nullptr;
  }
  return handle;
}

void FillInfo(mpg123_handle* handle, void* info) {
  Mp3InfoRecord record;
  mpg123_frameinfo frame{};
  if (mpg123_info(handle, &frame) == MPG123_OK) {
    record.SampleRate = static_cast<std::int32_t>(frame.rate);
    record.Channels = frame.mode == MPG123_M_MONO ? 1 : 2;
    record.BitRateKbps = frame.bitrate;
    record.Layer = frame.layer;
  }
  record.Frames = mpg123_length(handle);
  std::memcpy(info, &record, sizeof record);
}

// One decoding at a time per process, as the conversion service uses the library: open, decode,
// poll, close. The entry points may come from any thread; the worker thread uses the decoder
// handle while it runs, and the entry points that replace or release the handle join it first.
class Mp3ToWav {
 public:
  ~Mp3ToWav() {
    // The library is never unloaded, so this runs at process exit: a decoding still running then
    // is stopped rather than left to a thread that outlives the process's statics.
    std::lock_guard lock(mutex_);
    StopWorker();
  }

  void Open(const char* source, void* info) {
    std::lock_guard lock(mutex_);
    StopWorker();
    handle_.reset();
    if (info) std::memset(info, 0, VBMP3_INFO_SIZE);
    if (!source) return;
    handle_ = OpenForWav(source);
    if (handle_ && info) FillInfo(handle_.get(), info);
  }

  void Start(const char* destination) {
    std::lock_guard lock(mutex_);
    // A second start while one runs, or without an open source, changes nothing.
    if (running_.load() || worker_.joinable() || !handle_ || !destination) return;
    progress_.store(0);
    cancel_.store(false);
    // Busy before the call returns, so that the caller's first poll cannot see "ended".
    running_.store(true);
    try {
      worker_ = std::thread(&Mp3ToWav::Run, this, std::string(destination));
    } catch (...) {
      running_.store(false);
    }
  }

  bool Running() const { return running_.load(); }
  std::int32_t Progress() const { return progress_.load(); }

  void Close() {
    std::lock_guard lock(mutex_);
    StopWorker();
    handle_.reset();
  }

 private:
  void StopWorker() {
    if (!worker_.joinable()) return;
    cancel_.store(true);
    worker_.join();
    cancel_.store(false);
  }

  // The worker: decodes everything into the pending file and renames it into place at the end.
  void Run(std::string destination) noexcept {
    try {
      Decode(destination);
    } catch (...) {
      // The pending file removes itself; the failure shows as a missing destination.
    }
    running_.store(false);
  }

  void Decode(const std::string& destination) {
    mpg123_handle* handle = handle_.get();
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(handle, &rate, &channels, &encoding) != MPG123_OK) return;
    const off_t length = mpg123_length(handle);

    PendingWavFile wav;
    if (!wav.Create(destination)) return;
    std::vector<unsigned char> buffer(std::max<std::size_t>(mpg123_outblock(handle), 1 << 16));
    while (!cancel_.load()) {
      std::size_t done = 0;
      const int result = mpg123_read(handle, buffer.data(), buffer.size(), &done);
      if (done > 0 && !wav.WriteBytes(buffer.data(), done)) return;
      if (result == MPG123_DONE) {
        if (wav.Commit(static_cast<std::uint32_t>(rate))) progress_.store(100);
        return;
      }
      // open_fixed keeps the output format, so a new format notice changes nothing we depend on.
      if (result != MPG123_OK && result != MPG123_NEW_FORMAT) return;
      if (length > 0) {
        const double part = static_cast<double>(mpg123_tell(handle)) / static_cast<double>(length);
        progress_.store(static_cast<std::int32_t>(std::clamp(part, 0.0, 1.0) * 99.0));
      }
    }
  }

  std::mutex mutex_;  // serialises the entry points that start, stop or replace the decoding
  Mp3Handle handle_;
  std::thread worker_;
  std::atomic<bool> running_{false};
  std::atomic<bool> cancel_{false};
  std::atomic<std::int32_t> progress_{0};
};

Mp3ToWav& Decoder() {
  static Mp3ToWav decoder;
  return decoder;
}

}  // namespace

}  // namespace merolune

// The entry points: nothing may escape into the caller, which has no way to receive an error.

extern "C" MEROLUNE_VBMP3_API void vbmp3_init(void) {
  try {
    static std::once_flag once;
    // A no-op since libmpg123 1.27, needed by older ones.
    std::call_once(once, [] { mpg123_init(); });
    merolune::Decoder();
  } catch (...) {
  }
}

extern "C" MEROLUNE_VBMP3_API void vbmp3_free(void) {
  try {
    merolune::Decoder().Close();
  } catch (...) {
  }
}

extern "C" MEROLUNE_VBMP3_API void vbmp3_open(const char* source, void* info) {
  try {
    merolune::Decoder().Open(source, info);
  } catch (...) {
  }
}

extern "C" MEROLUNE_VBMP3_API void vbmp3_decodeWave(const char* destination) {
  try {
    merolune::Decoder().Start(destination);
  } catch (...) {
  }
}

extern "C" MEROLUNE_VBMP3_API int32_t vbmp3_getState(int32_t* value) {
  try {
    merolune::Mp3ToWav& decoder = merolune::Decoder();
    // The state first: once it says "ended", the progress stored before it is final.
    const bool running = decoder.Running();
    if (value) *value = decoder.Progress();
    return running ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

extern "C" MEROLUNE_VBMP3_API void vbmp3_close(void) {
  try {
    merolune::Decoder().Close();
  } catch (...) {
  }
}
