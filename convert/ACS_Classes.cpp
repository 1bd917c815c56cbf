// The audio pipeline framework.

#include "ACS_Classes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

namespace merolune {

namespace {

[[noreturn]] void FailWithReason(const char* what, const std::string& path, int error) {
  throw EAuException(std::string(what) + path + " (" + std::strerror(error) + ")");
}

// "Cannot create file "<path>". <reason>"; a conflict with another stream of ours says so.
[[noreturn]] void FailToOpen(const char* what, const std::string& path, int error) {
  const std::string reason = error == EWOULDBLOCK ? kAuFileInUse : std::strerror(error);
  throw EAuException(std::string(what) + "\"" + path + "\". " + reason);
}

// Calls an output's event handler, which runs from the UI thread's event processing and so has nowhere
// to send an exception.
void RunEvent(const TAuOutput::TOutputDoneEvent& event, TAuOutput& sender, const char* name) {
  // A copy, so that a handler that reassigns its own event keeps running on a live function object.
  const auto handler = event;
  if (handler) CallLoggingFailure("TAuOutput", name, [&] { handler(sender); });
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// TAuFileStream

TAuFileStream::TAuFileStream(const std::string& path, std::uint16_t mode)
    : FileStream(path, Open(path, mode)) {}

int TAuFileStream::Open(const std::string& path, std::uint16_t mode) {
  const bool create = mode == fmCreate;
  const char* failure = create ? kAuCannotCreateFile : kAuCannotOpenFile;
  int flags = O_CLOEXEC;
  int lock = LOCK_EX;
  if (create) {
    // Not O_TRUNC: the file is emptied only once the lock shows that nobody else of ours has it open.
    flags |= O_RDWR | O_CREAT;
  } else {
    switch (mode & 0x3) {
      case fmOpenRead:
        flags |= O_RDONLY;
        break;
      case fmOpenWrite:
        flags |= O_WRONLY;
        break;
      case fmOpenReadWrite:
        flags |= O_RDWR;
        break;
      default:
        FailToOpen(failure, path, EINVAL);
    }
    switch ((mode >> 4) & 0xF) {
      case 0:
      case 1:  // shared with nobody
        lock = LOCK_EX;
        break;
      case 2:  // others may read
        lock = LOCK_SH;
        break;
      default:  // others may write too
        lock = 0;
        break;
    }
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) FailToOpen(failure, path, errno);

  const auto fail = [&](int error) {
    ::close(fd);
    FailToOpen(failure, path, error);
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail(errno);
  if (S_ISDIR(st.st_mode)) fail(EISDIR);
  // Only a conflict fails the open; a file system without flock support simply goes unlocked.
  if (lock != 0 && ::flock(fd, lock | LOCK_NB) != 0 && errno == EWOULDBLOCK) fail(EWOULDBLOCK);
  // Devices (such as /dev/null) cannot be truncated and need not be.
  if (create && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) fail(errno);
  return fd;
}

void TAuFileStream::Fail(Failure what, int error) const {
  FailWithReason(what == Failure::Write ? kAuCannotWriteFile : kAuCannotReadFile, Path(), error);
}

// ---------------------------------------------------------------------------------------------------
// TAuInput

TAuInput::TAuInput(QObject* owner) : QObject(owner) {}

TAuInput::~TAuInput() = default;

std::int32_t TAuInput::GetTotalSeconds() { return 0; }

void TAuInput::AbortRead() {
  try {
    EndRead();
  } catch (...) {
    // Clean-up only: the reason the reading is abandoned has been reported already.
  }
  busy_.store(false);
}

std::int32_t TAuInput::CopyBlock(void* dest, std::int32_t count) {
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = count;
  ReadBlock(data, bytes);
  if (bytes <= 0 || data == nullptr) return 0;
  std::memcpy(dest, data, static_cast<std::size_t>(bytes));
  return bytes;
}

void TAuInput::HandOutFromBuffer(const std::uint8_t* data, std::int32_t frameBytes,
                                 const std::uint8_t*& buffer, std::int32_t& bytes) {
  const std::int32_t left = std::max(0, bufEnd_ - bufStart_ + 1);
  std::int32_t count = std::min(bytes, left);
  if (frameBytes > 0) count -= count % frameBytes;
  if (count <= 0) {
    buffer = nullptr;
    bytes = 0;
    return;
  }
  buffer = data + (bufStart_ - 1);
  bufStart_ += count;
  position_.fetch_add(count);
  bytes = count;
}

// ---------------------------------------------------------------------------------------------------
// TAuStreamedInput

TAuStreamedInput::TAuStreamedInput(QObject* owner) : TAuInput(owner) {}

void TAuStreamedInput::AssignStream(merolune::Stream* stream) {
  stream_.store(stream);
  streamAssigned_.store(stream != nullptr);
}

// ---------------------------------------------------------------------------------------------------
// TAuFileIn

TAuFileIn::TAuFileIn(QObject* owner) : TAuStreamedInput(owner) {}

void TAuFileIn::SetFileName(const std::string& fileName) {
  CloseSource();
  fileName_ = fileName;
}

std::int32_t TAuFileIn::GetBitsPerSample() {
  if (Seekable()) OpenSource();
  return bitsPerSample_.load();
}

std::int32_t TAuFileIn::GetChannels() {
  if (Seekable()) OpenSource();
  return channels_.load();
}

std::int32_t TAuFileIn::GetSampleRate() {
  if (Seekable()) OpenSource();
  return sampleRate_.load();
}

std::int32_t TAuFileIn::GetTotalSeconds() {
  OpenSource();
  const std::int64_t byteRate =
      static_cast<std::int64_t>(sampleRate_.load()) * channels_.load() * (bitsPerSample_.load() / 8);
  const std::int64_t size = size_.load();
  if (byteRate <= 0 || size <= 0) return 0;
  // A source may state an absurd length (2^34 frames at 2 Hz): beyond the type it is the most it holds.
  const double seconds = std::nearbyint(static_cast<double>(size) / static_cast<double>(byteRate));
  return seconds >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(seconds);
}

std::int32_t TAuFileIn::FrameBytes() const { return channels_.load() * (bitsPerSample_.load() / 8); }

void TAuFileIn::ReadDecoded(const std::function<bool()>& refill,
                            const std::function<const std::uint8_t*()>& data, const std::uint8_t*& buffer,
                            std::int32_t& bytes) {
  if (!Busy()) throw EAuException(kAuStreamNotOpened);
  bool delivered = false;
  {
    const std::lock_guard lock(ReadLock());
    if (bufStart_ <= bufEnd_ || refill()) {
      HandOutFromBuffer(data(), FrameBytes(), buffer, bytes);
      return;
    }
    delivered = position_.load() > 0;
  }
  // A source that delivered nothing would restart for ever.
  if (Loop() && delivered) {
    EndRead();
    BeginRead();
    const std::lock_guard lock(ReadLock());
    if (refill()) {
      HandOutFromBuffer(data(), FrameBytes(), buffer, bytes);
      return;
    }
  }
  buffer = nullptr;
  bytes = 0;
}

void TAuFileIn::BeginRead() {
  if (busy_.load()) throw EAuException(kAuInputIsBusy);
  if (!StreamAssigned() && fileName_.empty()) throw EAuException(kAuInputFileNameNotAssigned);
  busy_.store(true);
  try {
    OpenSource();
    const std::int64_t start = startSample_.load();
    const std::int64_t end = endSample_.load();
    if (start != 0) SeekSample(start);
    if (start != 0 || end != -1) {
      const std::int64_t total = totalSamples_.load();
      std::int64_t stop = end;
      if (end < 0) {
        stop = total;
      } else if (total >= 0) {
        stop = std::min(end, total);
      }
      totalSamples_.store(std::max<std::int64_t>(0, stop - start));
    }
    const std::int64_t total = totalSamples_.load();
    size_.store(total < 0 ? -1 : total * FrameBytes());
    bufStart_ = 1;
    bufEnd_ = 0;
    position_.store(0);
  } catch (...) {
    // Left busy, the input would refuse every later BeginRead.
    try {
      CloseSource();
    } catch (...) {
      // The open failure is the one to report.
    }
    busy_.store(false);
    throw;
  }
}

void TAuFileIn::EndRead() {
  CloseSource();
  startSample_.store(0);
  endSample_.store(-1);
  busy_.store(false);
}

void TAuFileIn::AbortRead() {
  TAuStreamedInput::AbortRead();
  openCount_.store(0);
}

void TAuFileIn::AssignStream(merolune::Stream* stream) {
  CloseSource();
  TAuStreamedInput::AssignStream(stream);
}

// ---------------------------------------------------------------------------------------------------
// TAuThread

TAuThread::TAuThread(TAuOutput& output) : output_(output) {}

TAuThread::~TAuThread() { Terminate(); }

void TAuThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    resume_ = true;
    suspended_.store(false);
  }
  wake_.notify_all();
  if (thread_.joinable()) return;
  try {
    thread_ = std::thread(&TAuThread::Execute, this);
  } catch (...) {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    resume_ = false;
    suspended_.store(true);
    throw;
  }
}

void TAuThread::RequestStop(bool notifyDone) {
  notifyOnDone_.store(notifyDone);
  stopped_.store(false);
  stopRequested_.store(true);
  // Only a worker that does not count as suspended wakes for a stop; it ends the run on that turn.
  { std::lock_guard<std::mutex> lock(wakeMutex_); }
  wake_.notify_all();
}

void TAuThread::Terminate() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    terminate_ = true;
  }
  wake_.notify_all();
  parked_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::uint64_t TAuThread::EndsCompleted() {
  std::lock_guard<std::mutex> lock(wakeMutex_);
  return endsCompleted_;
}

void TAuThread::WaitForEnds(std::uint64_t ends) {
  std::unique_lock<std::mutex> lock(wakeMutex_);
  parked_.wait(lock, [&] { return endsCompleted_ >= ends || terminate_; });
}

void TAuThread::Execute() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(wakeMutex_);
      wake_.wait(
          lock, [&] { return resume_ || terminate_ || (!suspendWhenIdle_.load() && stopRequested_.load()); });
      if (terminate_) return;
      resume_ = false;
    }
    while (RunTurn()) {
    }
    Park();
  }
}

void TAuThread::Park() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    ++endsCompleted_;
    // A Start that came while the run was ending has resumed the worker already.
    if (suspendWhenIdle_.load() && !resume_) suspended_.store(true);
  }
  parked_.notify_all();
  output_.NotifyStateChange();
}

bool TAuThread::RunTurn() {
  // Whether this run's end is notified, read before the output turns idle: from then on a new Start
  // may set it for the next run.
  std::optional<bool> notify;
  try {
    if (!stopRequested_.load()) {
      const std::int32_t progress = output_.ProgressPercent();
      if (progress != output_.lastProgress_) {
        output_.lastProgress_ = progress;
        if (output_.progressAssigned_.load()) {
          try {
            output_.Synchronize(TAuOutput::CallKind::Progress);
          } catch (...) {
            throw EAuException(CurrentExceptionText(kAuUnknownError));
          }
        }
      }
    }
    const bool abort = stopRequested_.load();
    // An output that is not active has nothing to move; the turn only looks for a stop.
    const bool more = output_.active_.load() ? output_.ProcessBlock(abort) : true;
    // Read again rather than `abort`: a stop requested during the block ends the run now.
    if (more && !stopRequested_.load()) return true;
    stopRequested_.store(false);
    notify = notifyOnDone_.load();
    output_.EndOutput();
    if (*notify) output_.StartDoneNotice(EndsCompleted() + 1);
    stopped_.store(true);
    output_.NotifyStateChange();
    return false;
  } catch (...) {
    output_.RecordError(CurrentExceptionText(kAuUnknownError));
    stopRequested_.store(false);
    if (!notify) notify = notifyOnDone_.load();
    try {
      output_.EndOutput();
    } catch (...) {
      // The first error is the one recorded.
    }
    if (*notify) {
      try {
        output_.StartDoneNotice(EndsCompleted() + 1);
      } catch (...) {
        // No thread for the notice: the error notice below still goes out.
      }
    }
    stopped_.store(true);
    output_.NotifyStateChange();
    output_.Synchronize(TAuOutput::CallKind::ThreadException);
    return false;
  }
}

// ---------------------------------------------------------------------------------------------------
// TVerySmallThread

TVerySmallThread::TVerySmallThread(TAuOutput& output, std::uint64_t ends)
    : output_(output), ends_(ends), thread_(&TVerySmallThread::Execute, this) {}

TVerySmallThread::~TVerySmallThread() {
  if (thread_.joinable()) thread_.join();
}

void TVerySmallThread::Execute() {
  if (output_.SuspendWhenIdle()) output_.thread_->WaitForEnds(ends_);
  if (output_.doneAssigned_.load()) output_.Synchronize(TAuOutput::CallKind::Done);
  finished_.store(true);
}

// ---------------------------------------------------------------------------------------------------
// TAuOutput

TAuOutput::TAuOutput(QObject* owner) : QObject(owner), thread_(std::make_unique<TAuThread>(*this)) {}

TAuOutput::~TAuOutput() { ShutDown(); }

void TAuOutput::EndInputRead(bool& begun, std::exception_ptr& failure) {
  if (!begun) return;
  begun = false;
  TAuInput* input = Input();
  if (input == nullptr) return;
  try {
    input->EndRead();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
}

void TAuOutput::ShutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  // From here on no event runs: a thread waiting for the UI thread is released at once.
  calls_.Close();
  thread_->RequestStop(false);
  calls_.WaitUntil([&] { return thread_->Suspended() || thread_->Stopped(); });
  thread_->Terminate();
  std::lock_guard<std::mutex> lock(noticesMutex_);
  notices_.clear();
}

void TAuOutput::SetInput(TAuInput* input) {
  if (busy_.load()) {
    RequestStop(false);
    WaitUntilStopped();
    StoreInput(input);
    Start();
  } else {
    StoreInput(input);
  }
}

void TAuOutput::StoreInput(TAuInput* input) {
  if (inputDestroyed_) QObject::disconnect(inputDestroyed_);
  inputDestroyed_ = {};
  input_.store(input);
  // The connection exists for the current input only, so its destruction simply clears the reference.
  if (input != nullptr)
    inputDestroyed_ = connect(input, &QObject::destroyed, this, [this] { input_.store(nullptr); });
}

void TAuOutput::Start() {
  if (busy_.load()) throw EAuException(kAuComponentIsBusy);
  if (input_.load() == nullptr) throw EAuException(kAuInputNotAssigned);
  ClearError();
  progressAssigned_.store(static_cast<bool>(OnProgress));
  doneAssigned_.store(static_cast<bool>(OnDone));
  busy_.store(true);
  try {
    PrepareOutput();
    thread_->stopRequested_.store(false);
    // A RequestStop(false) that found the previous run ending already must not silence this one.
    thread_->notifyOnDone_.store(true);
    active_.store(true);
    thread_->Resume();
  } catch (...) {
    const std::string message = CurrentExceptionText(kAuUnknownError);
    RecordError(message);
    // Waking the worker is the last step, so the worker has not seen this run: the run ends here,
    // whatever the worker is still doing for the previous one.
    try {
      EndOutput();
    } catch (...) {
      // The preparation's error is the one to report.
    }
    try {
      StartDoneNotice(thread_->EndsCompleted());
    } catch (...) {
      // No thread for the notice: OnDone is skipped, the error is still reported.
    }
    ReportThreadError(message);
  }
}

TOutputState TAuOutput::OutputState() const {
  // Busy first: it is cleared only after FinishOutput has returned, so osIdle means the output is complete.
  if (!busy_.load()) return TOutputState::osIdle;
  return thread_->Suspended() ? TOutputState::osSuspended : TOutputState::osWorking;
}

std::int32_t TAuOutput::ProgressPercent() const {
  const TAuInput* input = input_.load();
  if (input == nullptr) return 0;
  const std::int64_t size = input->Size();
  if (size < 0) return -1;
  if (size == 0) return 0;
  const double percent = static_cast<double>(input->Position()) / static_cast<double>(size) * 100.0;
  return static_cast<std::int32_t>(std::nearbyint(percent));
}

void TAuOutput::RequestStop(bool notifyDone) { thread_->RequestStop(notifyDone); }

void TAuOutput::WaitUntilStopped() {
  // A call may destroy the output; then there is nothing left to note.
  if (!calls_.ServeUntil([&] { return thread_->Suspended() || thread_->Stopped(); })) return;
  thread_->notifyOnDone_.store(true);
}

void TAuOutput::Stop() {
  RequestStop(true);
  WaitUntilStopped();
}

std::string TAuOutput::ErrorMessage() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return errorMessage_;
}

void TAuOutput::EndOutput() {
  if (!busy_.load()) return;
  active_.store(false);
  std::optional<std::string> failure;
  try {
    FinishOutput();
  } catch (...) {
    failure = CurrentExceptionText(kAuUnknownError);
  }
  if (failure) {
    // Recorded before Busy clears, so whoever sees the output idle also sees the message.
    RecordError(*failure);
    // A FinishOutput that failed before reaching EndRead would leave the input refusing every later run.
    if (TAuInput* input = input_.load(); input != nullptr && input->Busy()) input->AbortRead();
  }
  busy_.store(false);
  if (failure) throw EAuException(*failure);
}

void TAuOutput::ReportThreadError(const std::string& message) {
  active_.store(false);
  busy_.store(false);
  {
    std::lock_guard<std::mutex> lock(errorMutex_);
    errorMessage_ = message;
    errorRecorded_ = true;
  }
  RunEvent(OnThreadException, *this, "OnThreadException");
}

void TAuOutput::ClearError() {
  std::lock_guard<std::mutex> lock(errorMutex_);
  errorMessage_.clear();
  errorRecorded_ = false;
}

void TAuOutput::RecordError(const std::string& message) {
  std::lock_guard<std::mutex> lock(errorMutex_);
  if (errorRecorded_) return;
  errorMessage_ = message;
  errorRecorded_ = true;
}

void TAuOutput::StartDoneNotice(std::uint64_t ends) {
  std::lock_guard<std::mutex> lock(noticesMutex_);
  // Finished notices are joined here (at once, their threads have returned) rather than left to pile up.
  notices_.erase(
      std::remove_if(notices_.begin(), notices_.end(), [](const auto& notice) { return notice->Finished(); }),
      notices_.end());
  notices_.push_back(std::make_unique<TVerySmallThread>(*this, ends));
}

void TAuOutput::Synchronize(CallKind kind) {
  calls_.Invoke([this, kind] {
    switch (kind) {
      case CallKind::Progress: {
        // Not guarded: an exception is carried back to the worker, which ends the run with it.
        const auto handler = OnProgress;
        if (handler) handler(*this);
        return;
      }
      case CallKind::ThreadException:
        RunEvent(OnThreadException, *this, "OnThreadException");
        return;
      case CallKind::Done:
        RunEvent(OnDone, *this, "OnDone");
        return;
    }
  });
}

void TAuOutput::NotifyStateChange() { calls_.Notify(); }

// ---------------------------------------------------------------------------------------------------
// TAuStreamedOutput, TAuFileOut, TAuTaggedFileOut

TAuStreamedOutput::TAuStreamedOutput(QObject* owner) : TAuOutput(owner) {}

void TAuStreamedOutput::SetStream(merolune::Stream* stream) {
  stream_.store(stream);
  streamAssigned_.store(stream != nullptr);
}

TAuFileOut::TAuFileOut(QObject* owner) : TAuStreamedOutput(owner) {}

void TAuFileOut::SetFileMode(TFileOutputMode mode) {
  (void)mode;
  fileMode_.store(TFileOutputMode::foRewrite);
}

merolune::Stream* TAuFileOut::OpenDestination() {
  if (StreamAssigned()) return stream_.load();
  if (fileName_.empty()) throw EAuException(kAuOutputFileNameNotAssigned);
  ownStream_.reset();
  if (FileMode() == TFileOutputMode::foAppend && FileExists(fileName_)) {
    ownStream_ = std::make_unique<TAuFileStream>(
        fileName_, TAuFileStream::fmOpenReadWrite | TAuFileStream::fmShareExclusive);
  } else {
    ownStream_ = std::make_unique<TAuFileStream>(fileName_, TAuFileStream::fmCreate);
  }
  stream_.store(ownStream_.get());
  return ownStream_.get();
}

void TAuFileOut::ReleaseDestination() {
  if (!ownStream_) return;
  const std::unique_ptr<TAuFileStream> stream = std::move(ownStream_);
  stream_.store(nullptr);
  stream->Close();
}

merolune::Stream* TAuFileOut::OpenDestinationAndInput(bool& inputBegun) {
  inputBegun = false;
  merolune::Stream* stream = OpenDestination();
  Input()->BeginRead();
  inputBegun = true;
  return stream;
}

void TAuFileOut::ReleaseDestinationAndInput(bool& inputBegun, std::exception_ptr& failure) {
  try {
    ReleaseDestination();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  EndInputRead(inputBegun, failure);
}

TAuTaggedFileOut::TAuTaggedFileOut(QObject* owner) : TAuFileOut(owner) {}

}  // namespace merolune
