// The audio pipeline framework: file streams, inputs, outputs, the worker and its notices on the UI thread.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ACS_Classes.h"
#include "TempDir.h"

namespace merolune {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

constexpr int kTimeoutMs = 30000;
constexpr std::int32_t kFrameBytes = 4;  // 16-bit stereo throughout

// The byte at `index` of pattern `seed`: 16-bit stereo frames whose left sample counts the frames up
// from seed × 1000 and whose right sample is its negation, so that two sources, a shift or a lost
// block cannot be confused.
std::uint8_t PatternByte(int seed, std::int64_t index) {
  const std::int64_t value = seed * 1000 + index / kFrameBytes;
  const int part = static_cast<int>(index % kFrameBytes);
  const auto sample = static_cast<std::uint16_t>(part < 2 ? value : -value);
  return static_cast<std::uint8_t>(part % 2 == 0 ? (sample & 0xFF) : (sample >> 8));
}

std::vector<std::uint8_t> Pattern(int seed, std::int64_t begin, std::int64_t count) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) bytes[static_cast<std::size_t>(i)] = PatternByte(seed, begin + i);
  return bytes;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Waits as the conversion service does: while the output works, the UI thread's events are processed.
bool WaitForOutput(TAuOutput& output) {
  QElapsedTimer timer;
  timer.start();
  while (output.OutputState() == TOutputState::osWorking) {
    if (timer.elapsed() > kTimeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Processes UI-thread events until done() holds or the time is up; whether it holds.
bool PumpUntil(const std::function<bool()>& done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > kTimeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Processes events for a while, so that a notice that should not come has had its chance.
void PumpForAWhile() {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 100) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(1ms);
  }
}

// Waits without processing events.
bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100us);
  }
  return true;
}

template <typename Function>
std::string ErrorOf(Function&& function) {
  try {
    function();
  } catch (const EAuException& error) {
    return error.what();
  }
  return "(no exception)";
}

// An input that hands out `total` bytes of a pattern from memory in chunks of 4096 (endless when
// `total` is negative); it can fail on a chosen block and counts what it was asked to do.
class MemoryIn : public TAuInput {
 public:
  MemoryIn(int seed, std::int64_t total) : seed_(seed), total_(total) { size_.store(total < 0 ? -1 : total); }

  // Makes the Size unknown (-1) although the data ends.
  void HideSize() {
    hideSize_ = true;
    size_.store(-1);
  }
  void FailOnBlock(int block, const std::string& message) {
    failOnBlock_ = block;
    failure_ = message;
  }

  std::int32_t GetBitsPerSample() override { return 16; }
  std::int32_t GetChannels() override { return 2; }
  std::int32_t GetSampleRate() override { return 44100; }

  void BeginRead() override {
    if (busy_.load()) throw EAuException(kAuInputIsBusy);
    busy_.store(true);
    size_.store(total_ < 0 || hideSize_ ? -1 : total_);
    position_.store(0);
    bufStart_ = 1;
    bufEnd_ = 0;
    produced_ = 0;
    ++beginReads;
  }

  void EndRead() override {
    busy_.store(false);
    ++endReads;
  }

  void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) override {
    if (!busy_.load()) throw EAuException(kAuStreamNotOpened);
    const int block = ++blocks;
    if (block == failOnBlock_) throw EAuException(failure_);
    if (bufStart_ > bufEnd_) {
      const std::int64_t chunk = total_ < 0 ? kChunk : std::min<std::int64_t>(kChunk, total_ - produced_);
      if (chunk <= 0) {
        buffer = nullptr;
        bytes = 0;
        return;
      }
      for (std::int64_t i = 0; i < chunk; ++i)
        chunk_[static_cast<std::size_t>(i)] = PatternByte(seed_, produced_ + i);
      produced_ += chunk;
      bufStart_ = 1;
      bufEnd_ = static_cast<std::int32_t>(chunk);
    }
    HandOutFromBuffer(chunk_.data(), kFrameBytes, buffer, bytes);
  }

  std::atomic<int> beginReads{0};
  std::atomic<int> endReads{0};
  std::atomic<int> blocks{0};  // ReadBlock calls

 private:
  static constexpr std::int64_t kChunk = 4096;
  const int seed_;
  const std::int64_t total_;
  bool hideSize_ = false;
  int failOnBlock_ = 0;
  std::string failure_;
  std::int64_t produced_ = 0;
  std::vector<std::uint8_t> chunk_ = std::vector<std::uint8_t>(kChunk);
};

// An output that collects what it pulls in memory (the collection starts over at every start, as a
// rewritten file would), with switches to fail or to hold the worker at any step. The switches are
// set while it is idle; the results are read once it is idle.
class MemoryOut : public TAuOutput {
 public:
  MemoryOut() = default;
  // Lets a held worker go, so that a failed test ends instead of waiting for ever.
  ~MemoryOut() override {
    Release();
    ShutDown();
  }

  std::string failPrepare;
  std::string failFinish;
  int failOnBlock = 0;  // 1-based block whose ProcessBlock throws
  std::string blockFailure;
  bool failWithNonStandardException = false;
  int holdAtBlock = 0;  // 1-based block at which ProcessBlock waits until Release
  std::chrono::microseconds delay{0};
  bool collect = true;

  std::vector<std::uint8_t> bytes;
  std::atomic<int> prepares{0};
  std::atomic<int> finishes{0};
  std::atomic<int> processCalls{0};
  std::atomic<int> abortCalls{0};
  std::atomic<int> blocksWritten{0};
  std::atomic<bool> lastReadWasNull{false};
  std::atomic<TOutputState> stateInPrepare{TOutputState::osIdle};

  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(holdMutex_);
    return held_.wait_for(lock, std::chrono::milliseconds(kTimeoutMs), [&] { return holding_; });
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(holdMutex_);
      released_ = true;
    }
    held_.notify_all();
  }

 protected:
  void PrepareOutput() override {
    ++prepares;
    stateInPrepare.store(OutputState());
    bytes.clear();
    Input()->BeginRead();
    if (!failPrepare.empty()) throw EAuException(failPrepare);
  }

  bool ProcessBlock(bool abort) override {
    ++processCalls;
    if (abort) {
      ++abortCalls;
      return false;
    }
    const int block = blocksWritten.load() + 1;
    if (block == holdAtBlock) Hold();
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (block == failOnBlock) {
      if (failWithNonStandardException) throw 42;
      throw EAuException(blockFailure);
    }
    const std::uint8_t* data = nullptr;
    std::int32_t count = 4096;
    Input()->ReadBlock(data, count);
    if (count == 0) {
      lastReadWasNull.store(data == nullptr);
      return false;
    }
    if (collect) bytes.insert(bytes.end(), data, data + count);
    ++blocksWritten;
    return true;
  }

  void FinishOutput() override {
    ++finishes;
    if (!failFinish.empty()) throw EAuException(failFinish);
    Input()->EndRead();
  }

 private:
  void Hold() {
    std::unique_lock<std::mutex> lock(holdMutex_);
    holding_ = true;
    held_.notify_all();
    held_.wait(lock, [&] { return released_; });
  }

  std::mutex holdMutex_;
  std::condition_variable held_;
  bool holding_ = false;
  bool released_ = false;
};

// A file input for headerless 16-bit stereo 44.1 kHz PCM, written the way the codec inputs are.
class RawFileIn : public TAuFileIn {
 public:
  RawFileIn() = default;
  ~RawFileIn() override { CloseSource(); }

  std::int32_t OpenCount() const { return openCount_.load(); }

  void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) override {
    if (!Busy()) throw EAuException(kAuStreamNotOpened);
    std::lock_guard<std::mutex> lock(ReadLock());
    if (bufStart_ > bufEnd_) {
      Refill();
      if (bufEnd_ == 0 && Loop()) {
        EndRead();
        BeginRead();
        Refill();
      }
      if (bufEnd_ == 0) {
        buffer = nullptr;
        bytes = 0;
        return;
      }
    }
    HandOutFromBuffer(buffer_.data(), FrameBytes(), buffer, bytes);
  }

 protected:
  void OpenSource() override {
    std::lock_guard<std::recursive_mutex> lock(OpenLock());
    if (openCount_.load() > 0) return;
    if (StreamAssigned()) {
      source_ = Stream();
      source_->Seek(0, SeekOrigin::Begin);
    } else {
      own_ = std::make_unique<TAuFileStream>(FileName(),
                                             TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite);
      source_ = own_.get();
    }
    bitsPerSample_.store(16);
    channels_.store(2);
    sampleRate_.store(44100);
    valid_.store(true);
    const auto frames = static_cast<std::int64_t>(source_->Size() / kFrameBytes);
    totalSamples_.store(frames);
    size_.store(frames * kFrameBytes);
    openCount_.store(1);
  }

  void CloseSource() override {
    std::lock_guard<std::recursive_mutex> lock(OpenLock());
    own_.reset();
    source_ = nullptr;
    openCount_.store(0);
  }

  void SeekSample(std::int64_t sample) override { source_->Seek(sample * kFrameBytes, SeekOrigin::Begin); }

 private:
  // Reads the next whole frames of the range; bufEnd_ 0 at its end.
  void Refill() {
    bufStart_ = 1;
    const std::int64_t left = Size() - Position();
    const auto want = static_cast<std::size_t>(std::clamp<std::int64_t>(left, 0, kBufferBytes));
    std::size_t got = source_->Read(buffer_.data(), want);
    got -= got % kFrameBytes;
    bufEnd_ = static_cast<std::int32_t>(got);
  }

  static constexpr std::int64_t kBufferBytes = 8192;
  std::unique_ptr<TAuFileStream> own_;
  merolune::Stream* source_ = nullptr;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kBufferBytes);
};

// A file output writing the PCM as it comes, written the way the codec outputs are.
class RawFileOut : public TAuFileOut {
 public:
  RawFileOut() = default;
  ~RawFileOut() override { ShutDown(); }

  std::atomic<int> finishes{0};

 protected:
  void PrepareOutput() override {
    OpenDestination();
    Input()->BeginRead();
  }

  bool ProcessBlock(bool abort) override {
    if (abort) return false;
    const std::uint8_t* data = nullptr;
    std::int32_t count = 8192;
    Input()->ReadBlock(data, count);
    if (count == 0) return false;
    Stream()->Write(data, static_cast<std::size_t>(count));
    return true;
  }

  void FinishOutput() override {
    ++finishes;
    std::exception_ptr failure;
    try {
      ReleaseDestination();
    } catch (...) {
      failure = std::current_exception();
    }
    Input()->EndRead();
    if (failure) std::rethrow_exception(failure);
  }
};

// A destination that takes `limit` bytes and then fails like a full disk.
class FullAfterStream final : public Stream {
 public:
  explicit FullAfterStream(std::size_t limit) : limit_(limit) {}
  std::size_t Read(void*, std::size_t) override { return 0; }
  void Write(const void*, std::size_t count) override {
    if (written_ + count > limit_) throw Exception("disk full");
    written_ += count;
  }
  std::uint64_t Seek(std::int64_t offset, SeekOrigin) override { return static_cast<std::uint64_t>(offset); }
  std::uint64_t Position() const override { return written_; }
  std::uint64_t Size() const override { return written_; }

 private:
  const std::size_t limit_;
  std::size_t written_ = 0;
};

// The events of an output, recorded with the thread each ran on.
class Events {
 public:
  explicit Events(TAuOutput& output, bool withProgress = false) {
    output.OnDone = [this](TAuOutput&) { Record("done"); };
    output.OnThreadException = [this](TAuOutput& sender) {
      Record("error");
      errors.push_back(sender.ErrorMessage());
    };
    if (withProgress) {
      output.OnProgress = [this](TAuOutput& sender) {
        Record("progress");
        percents.push_back(sender.ProgressPercent());
      };
    }
  }

  int Count(const std::string& what) const {
    return static_cast<int>(std::count(order.begin(), order.end(), what));
  }
  bool AllOn(std::thread::id thread) const {
    return std::all_of(threads.begin(), threads.end(), [&](std::thread::id id) { return id == thread; });
  }
  // The events other than progress, in order.
  std::vector<std::string> Notices() const {
    std::vector<std::string> notices;
    for (const auto& what : order) {
      if (what != "progress") notices.push_back(what);
    }
    return notices;
  }

  std::vector<std::string> order;
  std::vector<std::thread::id> threads;
  std::vector<std::string> errors;
  std::vector<std::int32_t> percents;

 private:
  void Record(const char* what) {
    order.emplace_back(what);
    threads.push_back(std::this_thread::get_id());
  }
};

using Notices = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------------
// TAuFileStream

TEST(TAuFileStream, CreateEmptiesAnExistingFile) {
  TempDir dir;
  const std::string path = dir.File("a.raw");
  WriteFile(path, Pattern(1, 0, 100));
  {
    TAuFileStream stream(path, TAuFileStream::fmCreate);
    EXPECT_EQ(stream.Size(), 0u);
    const auto bytes = Pattern(2, 0, 10);
    stream.Write(bytes.data(), bytes.size());
    stream.Close();
  }
  EXPECT_EQ(ReadFile(path), Pattern(2, 0, 10));
}

TEST(TAuFileStream, WritesReadsAndSeeks) {
  TempDir dir;
  TAuFileStream stream(dir.File("a.raw"), TAuFileStream::fmCreate);
  const auto bytes = Pattern(3, 0, 64);
  stream.Write(bytes.data(), bytes.size());
  EXPECT_EQ(stream.Position(), 64u);
  EXPECT_EQ(stream.Seek(-16, SeekOrigin::End), 48u);
  std::vector<std::uint8_t> tail(32);
  EXPECT_EQ(stream.Read(tail.data(), tail.size()), 16u);  // short at the end
  EXPECT_TRUE(std::equal(bytes.begin() + 48, bytes.end(), tail.begin()));
  EXPECT_EQ(stream.Seek(4, SeekOrigin::Begin), 4u);
  EXPECT_EQ(stream.Seek(4, SeekOrigin::Current), 8u);
  EXPECT_THROW(stream.Seek(-1, SeekOrigin::Begin), EAuException);
}

TEST(TAuFileStream, MissingFileCannotBeOpened) {
  TempDir dir;
  const std::string path = dir.File("missing.raw");
  EXPECT_EQ(ErrorOf([&] { TAuFileStream stream(path, TAuFileStream::fmOpenRead); }),
            "Cannot open file \"" + path + "\". No such file or directory");
}

TEST(TAuFileStream, FileInMissingFolderCannotBeCreated) {
  TempDir dir;
  const std::string path = dir.File("no/such/folder.raw");
  EXPECT_EQ(ErrorOf([&] { TAuFileStream stream(path, TAuFileStream::fmCreate); }),
            "Cannot create file \"" + path + "\". No such file or directory");
}

TEST(TAuFileStream, FileSharedWithNobodyCannotBeOpenedAgainUntilReleased) {
  TempDir dir;
  const std::string path = dir.File("a.raw");
  WriteFile(path, Pattern(1, 0, 40));
  auto first = std::make_unique<TAuFileStream>(path, TAuFileStream::fmCreate);
  EXPECT_EQ(ErrorOf([&] { TAuFileStream second(path, TAuFileStream::fmCreate); }),
            "Cannot create file \"" + path + "\". The file is in use.");
  EXPECT_EQ(ErrorOf([&] {
              TAuFileStream second(path, TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite);
            }),
            "Cannot open file \"" + path + "\". The file is in use.");
  first.reset();
  EXPECT_NO_THROW({ TAuFileStream again(path, TAuFileStream::fmCreate); });
}

TEST(TAuFileStream, ReadersThatLetOthersReadShareTheFileButKeepWritersOut) {
  TempDir dir;
  const std::string path = dir.File("a.raw");
  WriteFile(path, Pattern(1, 0, 40));
  const std::uint16_t shared = TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite;
  TAuFileStream first(path, shared);
  TAuFileStream second(path, shared);
  EXPECT_EQ(ErrorOf([&] { TAuFileStream writer(path, TAuFileStream::fmCreate); }),
            "Cannot create file \"" + path + "\". The file is in use.");
  // Sharing with writers too takes no lock at all.
  EXPECT_NO_THROW({ TAuFileStream third(path, TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyNone); });
  std::vector<std::uint8_t> bytes(40);
  EXPECT_EQ(second.Read(bytes.data(), bytes.size()), 40u);
  EXPECT_EQ(bytes, Pattern(1, 0, 40));
}

TEST(TAuFileStream, WriteToAFullDeviceReportsTheReason) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
  TAuFileStream stream("/dev/full", TAuFileStream::fmOpenWrite | TAuFileStream::fmShareDenyNone);
  const auto bytes = Pattern(1, 0, 16);
  EXPECT_EQ(ErrorOf([&] { stream.Write(bytes.data(), bytes.size()); }),
            "Cannot write to file /dev/full (No space left on device)");
}

TEST(TAuFileStream, ClosedStreamRefusesToWrite) {
  TempDir dir;
  TAuFileStream stream(dir.File("a.raw"), TAuFileStream::fmCreate);
  stream.Close();
  stream.Close();  // a second close does nothing
  const auto bytes = Pattern(1, 0, 4);
  EXPECT_THROW(stream.Write(bytes.data(), bytes.size()), EAuException);
}

// ---------------------------------------------------------------------------------------------------
// TAuInput

TEST(TAuInput, ReadBlockHandsOutWholeFramesAndNeverMoreThanAsked) {
  MemoryIn input(1, 4096);
  input.BeginRead();
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = 7;
  input.ReadBlock(data, bytes);
  ASSERT_EQ(bytes, 4);
  EXPECT_EQ(std::vector<std::uint8_t>(data, data + bytes), Pattern(1, 0, 4));
  bytes = 100000;
  input.ReadBlock(data, bytes);
  ASSERT_EQ(bytes, 4092);  // what is left in the input's buffer
  EXPECT_EQ(std::vector<std::uint8_t>(data, data + bytes), Pattern(1, 4, 4092));
  EXPECT_EQ(input.Position(), 4096);
  bytes = 100;
  input.ReadBlock(data, bytes);
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(data, nullptr);
  input.EndRead();
}

TEST(TAuInput, CopyBlockCopiesWhatReadBlockHandsOutAndZeroAtTheEnd) {
  MemoryIn input(2, 12);
  input.BeginRead();
  std::vector<std::uint8_t> dest(100, 0xEE);
  EXPECT_EQ(input.CopyBlock(dest.data(), 100), 12);
  EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 12, Pattern(2, 0, 12).begin()));
  EXPECT_EQ(dest[12], 0xEE);
  EXPECT_EQ(input.CopyBlock(dest.data(), 100), 0);
  input.EndRead();
}

TEST(TAuInput, ReadBlockOutsideReadingThrows) {
  MemoryIn input(1, 100);
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = 4;
  EXPECT_EQ(ErrorOf([&] { input.ReadBlock(data, bytes); }), "The Stream is not opened");
}

TEST(TAuInput, AbortReadEndsReadingAndSwallowsErrors) {
  class FailingEnd : public MemoryIn {
   public:
    using MemoryIn::MemoryIn;
    void EndRead() override { throw EAuException("cannot close"); }
  };
  FailingEnd input(1, 100);
  input.BeginRead();
  EXPECT_NO_THROW(input.AbortRead());
  EXPECT_FALSE(input.Busy());
}

// ---------------------------------------------------------------------------------------------------
// TAuFileIn

TEST(TAuFileIn, FormatQueriesOpenTheSource) {
  TempDir dir;
  const std::string path = dir.File("a.raw");
  const std::int64_t frames = 44100 * 13 / 4;  // 3.25 s
  WriteFile(path, Pattern(1, 0, frames * kFrameBytes));
  RawFileIn input;
  input.SetFileName(path);
  EXPECT_EQ(input.OpenCount(), 0);
  EXPECT_EQ(input.GetChannels(), 2);
  EXPECT_EQ(input.OpenCount(), 1);
  EXPECT_EQ(input.GetBitsPerSample(), 16);
  EXPECT_EQ(input.GetSampleRate(), 44100);
  EXPECT_EQ(input.GetTotalSeconds(), 3);
  EXPECT_EQ(input.TotalSamples(), frames);
  EXPECT_TRUE(input.Valid());
  input.SetFileName(path);  // closes the source
  EXPECT_EQ(input.OpenCount(), 0);
}

TEST(TAuFileIn, AnAbsurdStatedLengthGivesTheLongestTotalSeconds) {
  // 2^35 bytes of one 16-bit channel at 2 Hz: 2^33 seconds, more than 32 bits hold.
  class Absurd : public RawFileIn {
   protected:
    void OpenSource() override {
      RawFileIn::OpenSource();
      sampleRate_.store(2);
      channels_.store(1);
      size_.store(std::int64_t{1} << 35);
    }
  };
  MemoryStream bytes(Pattern(1, 0, 64));
  Absurd input;
  input.AssignStream(&bytes);
  EXPECT_EQ(input.GetTotalSeconds(), std::numeric_limits<std::int32_t>::max());
  input.AssignStream(nullptr);
}

TEST(TAuFileIn, ReadsTheWholeFileThenAnswersNothing) {
  TempDir dir;
  const std::string path = dir.File("a.raw");
  WriteFile(path, Pattern(4, 0, 20000));
  RawFileIn input;
  input.SetFileName(path);
  input.BeginRead();
  EXPECT_TRUE(input.Busy());
  EXPECT_EQ(input.Size(), 20000);
  std::vector<std::uint8_t> all;
  for (;;) {
    const std::uint8_t* data = nullptr;
    std::int32_t bytes = 3000;
    input.ReadBlock(data, bytes);
    if (bytes == 0) {
      EXPECT_EQ(data, nullptr);
      break;
    }
    EXPECT_EQ(bytes % kFrameBytes, 0);
    all.insert(all.end(), data, data + bytes);
  }
  EXPECT_EQ(all, Pattern(4, 0, 20000));
  EXPECT_EQ(input.Position(), input.Size());
  input.EndRead();
  EXPECT_FALSE(input.Busy());
  EXPECT_EQ(input.OpenCount(), 0);
}

TEST(TAuFileIn, EmptySourceAnswersNothingAtTheFirstRead) {
  TempDir dir;
  const std::string path = dir.File("empty.raw");
  WriteFile(path, {});
  RawFileIn input;
  input.SetFileName(path);
  input.BeginRead();
  EXPECT_EQ(input.Size(), 0);
  const std::uint8_t* data = reinterpret_cast<const std::uint8_t*>("x");
  std::int32_t bytes = 4096;
  input.ReadBlock(data, bytes);
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(data, nullptr);
  input.EndRead();
}

TEST(TAuFileIn, BeginReadWithoutStreamOrFileNameThrows) {
  RawFileIn input;
  EXPECT_EQ(ErrorOf([&] { input.BeginRead(); }), "The file name is not assigned");
  EXPECT_FALSE(input.Busy());
}

TEST(TAuFileIn, BeginReadOnABusyInputThrows) {
  TempDir dir;
  WriteFile(dir.File("a.raw"), Pattern(1, 0, 400));
  RawFileIn input;
  input.SetFileName(dir.File("a.raw"));
  input.BeginRead();
  EXPECT_EQ(ErrorOf([&] { input.BeginRead(); }), "The component is Busy");
  EXPECT_TRUE(input.Busy());
  input.EndRead();
}

TEST(TAuFileIn, MissingFileFailsBeginReadAndLeavesTheInputIdle) {
  TempDir dir;
  const std::string path = dir.File("missing.raw");
  RawFileIn input;
  input.SetFileName(path);
  EXPECT_EQ(ErrorOf([&] { input.BeginRead(); }), "Cannot open file \"" + path + "\". No such file or directory");
  EXPECT_FALSE(input.Busy());
  EXPECT_EQ(input.OpenCount(), 0);
}

TEST(TAuFileIn, ReadBlockOutsideReadingThrows) {
  RawFileIn input;
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = 4;
  EXPECT_EQ(ErrorOf([&] { input.ReadBlock(data, bytes); }), "The Stream is not opened");
}

TEST(TAuFileIn, StartAndEndSampleLimitTheRangeUntilEndRead) {
  TempDir dir;
  WriteFile(dir.File("a.raw"), Pattern(5, 0, 4000));
  RawFileIn input;
  input.SetFileName(dir.File("a.raw"));
  input.SetStartSample(100);
  input.SetEndSample(300);
  input.BeginRead();
  EXPECT_EQ(input.TotalSamples(), 200);
  EXPECT_EQ(input.Size(), 800);
  std::vector<std::uint8_t> all(2000);
  std::int32_t got = 0;
  while (const std::int32_t n = input.CopyBlock(all.data() + got, 2000 - got)) got += n;
  all.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(all, Pattern(5, 400, 800));
  input.EndRead();
  EXPECT_EQ(input.StartSample(), 0);
  EXPECT_EQ(input.EndSample(), -1);
}

TEST(TAuFileIn, LoopStartsAgainFromTheBeginningAtTheEnd) {
  TempDir dir;
  WriteFile(dir.File("a.raw"), Pattern(6, 0, 400));
  RawFileIn input;
  input.SetFileName(dir.File("a.raw"));
  input.SetLoop(true);
  input.BeginRead();
  std::vector<std::uint8_t> all(1000);
  std::int32_t got = 0;
  for (int i = 0; i < 10 && got < 1000; ++i) got += input.CopyBlock(all.data() + got, 1000 - got);
  ASSERT_EQ(got, 1000);
  std::vector<std::uint8_t> expected = Pattern(6, 0, 400);
  const std::vector<std::uint8_t> once = expected;
  expected.insert(expected.end(), once.begin(), once.end());
  expected.insert(expected.end(), once.begin(), once.begin() + 200);
  EXPECT_EQ(all, expected);
  input.EndRead();
}

TEST(TAuFileIn, AssignedStreamIsReadInsteadOfAFile) {
  MemoryStream stream(Pattern(7, 0, 1000));
  RawFileIn input;
  input.AssignStream(&stream);
  EXPECT_TRUE(input.StreamAssigned());
  EXPECT_EQ(input.Stream(), &stream);
  input.BeginRead();
  std::vector<std::uint8_t> all(1000);
  EXPECT_EQ(input.CopyBlock(all.data(), 1000), 1000);
  EXPECT_EQ(all, Pattern(7, 0, 1000));
  input.EndRead();
  input.AssignStream(nullptr);
  EXPECT_FALSE(input.StreamAssigned());
}

// ---------------------------------------------------------------------------------------------------
// TAuOutput: runs

TEST(TAuOutput, RunCopiesEveryByteAndDeliversEventsOnTheUiThread) {
  const auto ui = std::this_thread::get_id();
  MemoryIn input(1, 100000);
  MemoryOut output;
  Events events(output, true);
  output.SetInput(&input);
  EXPECT_EQ(output.Input(), &input);
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_FALSE(output.Busy());
  EXPECT_FALSE(output.Active());
  EXPECT_EQ(output.ErrorMessage(), "");
  EXPECT_EQ(output.bytes, Pattern(1, 0, 100000));
  EXPECT_EQ(output.prepares.load(), 1);
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_EQ(input.beginReads.load(), 1);
  EXPECT_EQ(input.endReads.load(), 1);
  EXPECT_FALSE(input.Busy());
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
  EXPECT_EQ(events.Notices(), Notices{"done"});
  EXPECT_TRUE(events.AllOn(ui));
}

TEST(TAuOutput, ProgressRisesToOneHundred) {
  MemoryIn input(1, 100000);
  MemoryOut output;
  Events events(output, true);
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  ASSERT_FALSE(events.percents.empty());
  EXPECT_TRUE(std::is_sorted(events.percents.begin(), events.percents.end()));
  EXPECT_GT(events.percents.front(), 0);
  EXPECT_EQ(events.percents.back(), 100);
  EXPECT_EQ(output.ProgressPercent(), 100);
}

TEST(TAuOutput, ProgressPercentFollowsTheInputSize) {
  MemoryOut output;
  EXPECT_EQ(output.ProgressPercent(), 0);  // no input
  MemoryIn unknown(1, 1000);
  unknown.HideSize();
  output.SetInput(&unknown);
  EXPECT_EQ(output.ProgressPercent(), -1);
  MemoryIn empty(1, 0);
  output.SetInput(&empty);
  EXPECT_EQ(output.ProgressPercent(), 0);
  MemoryIn some(1, 3 * 4096);
  output.SetInput(&some);
  some.BeginRead();
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = 4096;
  some.ReadBlock(data, bytes);
  EXPECT_EQ(output.ProgressPercent(), 33);
  some.ReadBlock(data, bytes);
  EXPECT_EQ(output.ProgressPercent(), 67);
  some.EndRead();
}

TEST(TAuOutput, InputOfUnknownSizeRunsToItsEndWithProgressMinusOne) {
  MemoryIn input(2, 50000);
  input.HideSize();
  MemoryOut output;
  Events events(output, true);
  output.SetInput(&input);
  output.Run();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.bytes, Pattern(2, 0, 50000));
  EXPECT_EQ(events.percents, std::vector<std::int32_t>{-1});
}

TEST(TAuOutput, EmptySourceEndsAfterOneTurnWithFinishOutputOnce) {
  MemoryIn input(1, 0);
  MemoryOut output;
  Events events(output);
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.processCalls.load(), 1);
  EXPECT_TRUE(output.lastReadWasNull.load());
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_TRUE(output.bytes.empty());
  EXPECT_EQ(output.ErrorMessage(), "");
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
}

TEST(TAuOutput, StateIsSuspendedWhilePreparing) {
  MemoryIn input(1, 100);
  MemoryOut output;
  Events events(output);
  output.SetInput(&input);
  output.Start();
  EXPECT_EQ(output.stateInPrepare.load(), TOutputState::osSuspended);
  ASSERT_TRUE(WaitForOutput(output));
  // OnDone comes once the worker has parked again.
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
  output.Start();
  EXPECT_EQ(output.stateInPrepare.load(), TOutputState::osSuspended);
  ASSERT_TRUE(WaitForOutput(output));
}

TEST(TAuOutput, OutputRunsAgainWithAnotherInput) {
  MemoryIn first(1, 10000);
  MemoryIn second(2, 20000);
  MemoryOut output;
  output.SetInput(&first);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.bytes, Pattern(1, 0, 10000));
  output.SetInput(&second);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.bytes, Pattern(2, 0, 20000));
  EXPECT_EQ(output.finishes.load(), 2);
}

TEST(TAuOutput, DoneHandlerMayStartTheOutputAgain) {
  MemoryIn first(1, 10000);
  MemoryIn second(2, 20000);
  MemoryOut output;
  int done = 0;
  output.OnDone = [&](TAuOutput& sender) {
    if (++done == 1) {
      sender.SetInput(&second);
      sender.Start();
    }
  };
  output.SetInput(&first);
  output.Start();
  ASSERT_TRUE(PumpUntil([&] { return done == 2; }));
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_EQ(output.bytes, Pattern(2, 0, 20000));
  EXPECT_EQ(output.finishes.load(), 2);
}

TEST(TAuOutput, WorkerThatNeverCountsAsSuspendedRunsAndStopsAlike) {
  MemoryIn first(1, 10000);
  MemoryOut output;
  output.SetSuspendWhenIdle(false);
  EXPECT_FALSE(output.SuspendWhenIdle());
  Events events(output);
  output.SetInput(&first);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.bytes, Pattern(1, 0, 10000));
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));

  MemoryIn endless(2, -1);
  endless.HideSize();
  output.collect = false;
  output.delay = 100us;
  output.SetInput(&endless);
  output.Start();
  EXPECT_EQ(output.stateInPrepare.load(), TOutputState::osWorking);
  ASSERT_TRUE(WaitUntil([&] { return endless.blocks.load() >= 3; }));
  output.Stop();
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_EQ(output.finishes.load(), 2);
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 2; }));
}

// ---------------------------------------------------------------------------------------------------
// TAuOutput: starting and stopping

TEST(TAuOutput, StartWithoutInputThrows) {
  MemoryOut output;
  EXPECT_EQ(ErrorOf([&] { output.Start(); }), "Input is not assigned");
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_EQ(output.prepares.load(), 0);
}

TEST(TAuOutput, StartingTwiceGivesComponentIsBusy) {
  MemoryIn input(1, -1);
  MemoryOut output;
  output.collect = false;
  output.delay = 100us;
  output.SetInput(&input);
  output.Start();
  EXPECT_EQ(ErrorOf([&] { output.Start(); }), "Component is Busy");
  EXPECT_TRUE(output.Busy());
  EXPECT_EQ(output.prepares.load(), 1);
  output.Stop();
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_EQ(output.ErrorMessage(), "");
}

TEST(TAuOutput, RequestStopEndsTheRunAfterTheBlockInProgress) {
  MemoryIn input(1, -1);
  MemoryOut output;
  Events events(output);
  output.collect = false;
  output.holdAtBlock = 5;
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(output.WaitUntilHeld());
  EXPECT_EQ(output.OutputState(), TOutputState::osWorking);
  output.RequestStop();
  output.Release();
  ASSERT_TRUE(WaitForOutput(output));
  // The held block is finished; no further block is asked for.
  EXPECT_EQ(output.blocksWritten.load(), 5);
  EXPECT_EQ(output.processCalls.load(), 5);
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_EQ(input.endReads.load(), 1);
  EXPECT_EQ(output.ErrorMessage(), "");
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
}

TEST(TAuOutput, StopRequestedBetweenBlocksAbortsTheNextOne) {
  MemoryIn input(1, 100000);
  MemoryOut output;
  output.OnProgress = [](TAuOutput& sender) { sender.RequestStop(); };
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  // The first progress notice comes after the first block; the next call is told to abort.
  EXPECT_EQ(output.blocksWritten.load(), 1);
  EXPECT_EQ(output.abortCalls.load(), 1);
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_EQ(output.ErrorMessage(), "");
}

TEST(TAuOutput, RequestStopWithoutNotifySkipsOnDoneForThatRunOnly) {
  MemoryIn input(1, -1);
  MemoryOut output;
  Events events(output);
  output.collect = false;
  output.holdAtBlock = 2;
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(output.WaitUntilHeld());
  output.RequestStop(false);
  output.Release();
  ASSERT_TRUE(WaitForOutput(output));
  PumpForAWhile();
  EXPECT_EQ(events.Count("done"), 0);

  MemoryIn next(2, 1000);
  output.SetInput(&next);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
}

TEST(TAuOutput, StopReturnsWhileTheWorkerWaitsForAProgressNotice) {
  MemoryIn input(1, 4096 * 50);  // 2 % a block
  MemoryOut output;
  Events events(output, true);
  output.collect = false;
  output.holdAtBlock = 2;
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(PumpUntil([&] { return events.Count("progress") == 1; }));
  ASSERT_TRUE(output.WaitUntilHeld());
  output.Release();
  ASSERT_TRUE(WaitUntil([&] { return output.blocksWritten.load() == 2; }));
  // Nearly always the worker now waits for its next progress notice; no events are processed here, so
  // only WaitUntilStopped can run that notice and let the worker reach the stop.
  std::this_thread::sleep_for(20ms);
  output.Stop();
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_EQ(output.ErrorMessage(), "");
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
}

TEST(TAuOutput, ChangingInputWhileRunningRestartsFromTheNewInput) {
  MemoryIn endless(1, -1);
  MemoryIn next(2, 30000);
  MemoryOut output;
  Events events(output);
  output.delay = 100us;
  output.SetInput(&endless);
  output.Start();
  ASSERT_TRUE(WaitUntil([&] { return endless.blocks.load() >= 3; }));
  output.SetInput(&next);
  EXPECT_EQ(output.Input(), &next);
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.bytes, Pattern(2, 0, 30000));
  EXPECT_EQ(endless.endReads.load(), 1);
  EXPECT_FALSE(endless.Busy());
  EXPECT_EQ(next.beginReads.load(), 1);
  EXPECT_EQ(next.endReads.load(), 1);
  EXPECT_EQ(output.prepares.load(), 2);
  EXPECT_EQ(output.finishes.load(), 2);
  EXPECT_EQ(output.ErrorMessage(), "");
  // The interrupted run is not reported as done.
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
  PumpForAWhile();
  EXPECT_EQ(events.Notices(), Notices{"done"});
}

TEST(TAuOutput, ChangingInputWhileIdleOnlyStoresIt) {
  MemoryIn first(1, 100);
  MemoryIn second(2, 100);
  MemoryOut output;
  output.SetInput(&first);
  output.SetInput(&second);
  EXPECT_EQ(output.Input(), &second);
  EXPECT_EQ(output.prepares.load(), 0);
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
}

TEST(TAuOutput, DestroyedInputIsDropped) {
  auto first = std::make_unique<MemoryIn>(1, 100);
  auto second = std::make_unique<MemoryIn>(2, 100);
  MemoryOut output;
  output.SetInput(first.get());
  output.SetInput(second.get());
  first.reset();  // no longer the input: nothing changes
  EXPECT_EQ(output.Input(), second.get());
  second.reset();
  EXPECT_EQ(output.Input(), nullptr);
}

TEST(TAuOutput, DestroyingARunningOutputFinishesItWithoutEvents) {
  MemoryIn input(1, -1);
  int notices = 0;
  {
    MemoryOut output;
    output.OnDone = [&](TAuOutput&) { ++notices; };
    output.OnThreadException = [&](TAuOutput&) { ++notices; };
    output.collect = false;
    output.delay = 100us;
    output.SetInput(&input);
    output.Start();
    ASSERT_TRUE(WaitUntil([&] { return input.blocks.load() >= 3; }));
  }
  EXPECT_EQ(input.endReads.load(), 1);
  EXPECT_FALSE(input.Busy());
  PumpForAWhile();
  EXPECT_EQ(notices, 0);
}

// ---------------------------------------------------------------------------------------------------
// TAuOutput: errors

TEST(TAuOutput, FailingPrepareOutputLeavesTheOutputIdleWithErrorMessage) {
  const auto ui = std::this_thread::get_id();
  MemoryIn input(1, 1000);
  MemoryOut output;
  Events events(output);
  output.failPrepare = "Failed to initialize the encoder.";
  output.SetInput(&input);
  EXPECT_NO_THROW(output.Start());
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_FALSE(output.Active());
  EXPECT_EQ(output.ErrorMessage(), "Failed to initialize the encoder.");
  // The error notice runs inside Start; the sink and the input are closed again.
  EXPECT_EQ(events.Notices(), Notices{"error"});
  EXPECT_EQ(events.errors, std::vector<std::string>{"Failed to initialize the encoder."});
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_EQ(input.endReads.load(), 1);
  EXPECT_FALSE(input.Busy());
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
  EXPECT_EQ(events.Notices(), (Notices{"error", "done"}));
  EXPECT_TRUE(events.AllOn(ui));

  // The output is usable again, and a good run clears the message.
  output.failPrepare.clear();
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "");
  EXPECT_EQ(output.bytes, Pattern(1, 0, 1000));
}

TEST(TAuOutput, WorkerExceptionTextLandsInErrorMessage) {
  const auto ui = std::this_thread::get_id();
  MemoryIn input(1, 100000);
  MemoryOut output;
  Events events(output);
  output.failOnBlock = 3;
  output.blockFailure = "Failed to encode data.";
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  // Set before the output turned idle.
  EXPECT_EQ(output.ErrorMessage(), "Failed to encode data.");
  EXPECT_EQ(output.blocksWritten.load(), 2);
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_EQ(input.endReads.load(), 1);
  EXPECT_FALSE(input.Busy());
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
  EXPECT_EQ(events.Notices(), (Notices{"error", "done"}));
  EXPECT_EQ(events.errors, std::vector<std::string>{"Failed to encode data."});
  EXPECT_TRUE(events.AllOn(ui));
}

TEST(TAuOutput, InputErrorEndsTheOutputWithItsMessage) {
  MemoryIn input(1, 100000);
  input.FailOnBlock(4, "Sinc lost or corrupt data");
  MemoryOut output;
  Events events(output);
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "Sinc lost or corrupt data");
  EXPECT_EQ(output.bytes, Pattern(1, 0, 3 * 4096));
  EXPECT_EQ(output.finishes.load(), 1);
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
  EXPECT_EQ(events.Notices(), (Notices{"error", "done"}));
}

TEST(TAuOutput, ExceptionOfUnknownTypeIsReportedToo) {
  MemoryIn input(1, 100000);
  MemoryOut output;
  output.failOnBlock = 1;
  output.failWithNonStandardException = true;
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), kAuUnknownError);
  EXPECT_EQ(output.finishes.load(), 1);
}

TEST(TAuOutput, FailingFinishOutputIsReportedAndTheInputReleased) {
  MemoryIn input(1, 5000);
  MemoryOut output;
  output.failFinish = "Cannot close the file";
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "Cannot close the file");
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_FALSE(input.Busy());
  // The input takes part in the next run as usual.
  output.failFinish.clear();
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "");
  EXPECT_EQ(output.bytes, Pattern(1, 0, 5000));
}

TEST(TAuOutput, ExceptionFromTheProgressHandlerEndsTheRunWithItsMessage) {
  MemoryIn input(1, 100000);
  MemoryOut output;
  Events events(output);
  output.OnProgress = [](TAuOutput& sender) {
    if (sender.ProgressPercent() >= 20) throw EAuException("Cancelled");
  };
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "Cancelled");
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_LT(output.bytes.size(), 100000u);
  ASSERT_TRUE(PumpUntil([&] { return events.Count("done") == 1; }));
  EXPECT_EQ(events.Notices(), (Notices{"error", "done"}));
}

TEST(TAuOutput, ExceptionFromTheDoneHandlerIsDropped) {
  MemoryIn input(1, 1000);
  MemoryOut output;
  int done = 0;
  output.OnDone = [&](TAuOutput&) {
    ++done;
    throw EAuException("handler failed");
  };
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  ASSERT_TRUE(PumpUntil([&] { return done == 1; }));
  EXPECT_EQ(output.ErrorMessage(), "");
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  ASSERT_TRUE(PumpUntil([&] { return done == 2; }));
}

// ---------------------------------------------------------------------------------------------------
// TAuFileOut and friends

TEST(TAuFileOut, TwoConsecutiveRunsToTheSameFileBothSucceed) {
  TempDir dir;
  const std::string path = dir.File("out.raw");
  MemoryIn first(1, 50000);
  MemoryIn second(2, 30000);
  RawFileOut output;
  output.SetFileName(path);
  EXPECT_EQ(output.FileName(), path);
  output.SetInput(&first);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "");
  EXPECT_EQ(ReadFile(path), Pattern(1, 0, 50000));
  EXPECT_EQ(output.Stream(), nullptr);  // its own stream is released

  output.SetInput(&second);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "");
  EXPECT_EQ(ReadFile(path), Pattern(2, 0, 30000));
  EXPECT_EQ(output.finishes.load(), 2);
  // Nothing of ours holds the file any more.
  EXPECT_NO_THROW({ TAuFileStream again(path, TAuFileStream::fmCreate); });
}

TEST(TAuFileOut, FileInFeedsFileOut) {
  TempDir dir;
  WriteFile(dir.File("in.raw"), Pattern(3, 0, 123456));
  RawFileIn input;
  input.SetFileName(dir.File("in.raw"));
  RawFileOut output;
  Events events(output, true);
  output.SetFileName(dir.File("out.raw"));
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "");
  EXPECT_EQ(ReadFile(dir.File("out.raw")), Pattern(3, 0, 123456));
  EXPECT_FALSE(input.Busy());
  EXPECT_EQ(input.OpenCount(), 0);
  ASSERT_FALSE(events.percents.empty());
  EXPECT_EQ(events.percents.back(), 100);
}

TEST(TAuFileOut, MissingInputFileEndsTheOutputWithTheMessage) {
  TempDir dir;
  const std::string path = dir.File("missing.raw");
  RawFileIn input;
  input.SetFileName(path);
  RawFileOut output;
  output.SetFileName(dir.File("out.raw"));
  output.SetInput(&input);
  output.Start();
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_EQ(output.ErrorMessage(), "Cannot open file \"" + path + "\". No such file or directory");
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_FALSE(input.Busy());
  EXPECT_EQ(output.Stream(), nullptr);
}

TEST(TAuFileOut, NeitherStreamNorFileNameFailsTheStart) {
  MemoryIn input(1, 100);
  RawFileOut output;
  output.SetInput(&input);
  output.Start();
  EXPECT_EQ(output.OutputState(), TOutputState::osIdle);
  EXPECT_EQ(output.ErrorMessage(), "File name is not assigned.");
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_FALSE(input.Busy());
}

TEST(TAuFileOut, WriteErrorOnTheFileEndsTheOutputWithTheReason) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
  MemoryIn input(1, 50000);
  RawFileOut output;
  output.SetFileName("/dev/full");
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "Cannot write to file /dev/full (No space left on device)");
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_FALSE(input.Busy());
  EXPECT_EQ(output.Stream(), nullptr);
}

TEST(TAuFileOut, WriteErrorOnAnAssignedStreamEndsTheOutput) {
  MemoryIn input(1, 50000);
  FullAfterStream stream(20000);
  RawFileOut output;
  output.SetStream(&stream);
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "disk full");
  EXPECT_EQ(output.finishes.load(), 1);
  EXPECT_EQ(stream.Position(), 16384u);  // the blocks that fitted
  EXPECT_EQ(output.Stream(), &stream);   // the caller's stream stays the caller's
}

TEST(TAuFileOut, AssignedStreamIsWrittenAndLeftToItsOwner) {
  MemoryIn input(4, 40000);
  MemoryStream stream;
  RawFileOut output;
  output.SetStream(&stream);
  EXPECT_TRUE(output.StreamAssigned());
  output.SetInput(&input);
  output.Start();
  ASSERT_TRUE(WaitForOutput(output));
  EXPECT_EQ(output.ErrorMessage(), "");
  EXPECT_EQ(stream.Bytes(), Pattern(4, 0, 40000));
  EXPECT_EQ(output.Stream(), &stream);
  const std::uint8_t more = 1;
  EXPECT_NO_THROW(stream.Write(&more, 1));
  output.SetStream(nullptr);
  EXPECT_FALSE(output.StreamAssigned());
}

TEST(TAuFileOut, FileModeOfThisBaseIsAlwaysRewrite) {
  RawFileOut output;
  EXPECT_EQ(output.FileMode(), TFileOutputMode::foRewrite);
  output.SetFileMode(TFileOutputMode::foAppend);
  EXPECT_EQ(output.FileMode(), TFileOutputMode::foRewrite);
}

TEST(TAuTaggedFileOut, KeepsCopiesOfItsTagSets) {
  class TaggedOut : public TAuTaggedFileOut {
   public:
    ~TaggedOut() override { ShutDown(); }

   protected:
    void PrepareOutput() override {}
    bool ProcessBlock(bool) override { return false; }
    void FinishOutput() override {}
  };
  TaggedOut output;
  EXPECT_EQ(output.Id3v1Tags().Year, 0);
  EXPECT_EQ(output.Id3v1Tags().Track, 0);
  EXPECT_EQ(output.Id3v1Tags().Title, "");
  TId3v1Tags tags;
  tags.Title = "夜空";
  tags.Year = 2004;
  output.SetId3v1Tags(tags);
  tags.Title = "changed";
  EXPECT_EQ(output.Id3v1Tags().Title, "夜空");
  EXPECT_EQ(output.Id3v1Tags().Year, 2004);
  TId3v2Tags v2;
  v2.Artist = "Artist";
  output.SetId3v2Tags(v2);
  EXPECT_EQ(output.Id3v2Tags().Artist, "Artist");
  TAPEv2Tags ape;
  ape.Track = 3;
  output.SetAPEv2Tags(ape);
  EXPECT_EQ(output.APEv2Tags().Track, 3);
}

}  // namespace
}  // namespace merolune
