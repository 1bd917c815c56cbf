#pragma once
// The audio pipeline framework: inputs that hand out PCM blocks, outputs that pull them on a worker thread.

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AuException.h"
#include "Exception.h"
#include "Stream.h"
#include "UiThreadCalls.h"

namespace merolune {

// Message texts of the pipeline. The ones ending in a space are followed by a path.
inline constexpr char kAuComponentIsBusy[] = "Component is Busy";
inline constexpr char kAuInputNotAssigned[] = "Input is not assigned";
inline constexpr char kAuInputIsBusy[] = "The component is Busy";
inline constexpr char kAuInputFileNameNotAssigned[] = "The file name is not assigned";
inline constexpr char kAuOutputFileNameNotAssigned[] = "File name is not assigned.";
inline constexpr char kAuStreamNotOpened[] = "The Stream is not opened";
// Followed by the path in quotes, ". " and the system's reason: Cannot create file "a.ogg". Permission denied
inline constexpr char kAuCannotCreateFile[] = "Cannot create file ";
inline constexpr char kAuCannotOpenFile[] = "Cannot open file ";
// The reason given when another stream of ours holds the file.
inline constexpr char kAuFileInUse[] = "The file is in use.";
// Followed by the path and the system's reason in parentheses.
inline constexpr char kAuCannotReadFile[] = "Cannot read file ";
inline constexpr char kAuCannotWriteFile[] = "Cannot write to file ";
// What ErrorMessage holds when something other than a std::exception was thrown.
inline constexpr char kAuUnknownError[] = "Unknown error in the audio pipeline";

// A file opened by UTF-8 path with an access and sharing mode, for the components that open their own
// files. Mode fmCreate creates the file (or empties an existing one) for reading and writing, shared with
// nobody; any other mode opens an existing file with the access in bits 0-1 (fmOpenRead, fmOpenWrite,
// fmOpenReadWrite) and the sharing in bits 4-7 (fmShareExclusive, fmShareDenyWrite, fmShareDenyRead,
// fmShareDenyNone).
//
// Sharing is kept with flock(2) locks among the files this class opens: "shared with nobody" takes an
// exclusive lock, "others may read" (fmShareDenyWrite) a shared one, the laxer modes none. So a stream
// that was never released makes the next exclusive open of its file fail instead of two writers
// interleaving; other programs are not held back (Linux has no mandatory sharing).
//
// Reading, writing and closing are FileStream's; only the opening and the messages are this class's.
// Throws EAuException: "Cannot create file "<path>". <reason>" or "Cannot open file "<path>". <reason>"
// from the constructor,
// "Cannot read file <path> (<reason>)" from Read, Size and a Seek before the start, "Cannot write to
// file <path> (<reason>)" from Write and Close (a write stores all bytes or throws). Not thread-safe:
// one thread at a time.
class TAuFileStream final : public FileStream {
 public:
  static constexpr std::uint16_t fmCreate = 0xFFFF;
  static constexpr std::uint16_t fmOpenRead = 0x0000;
  static constexpr std::uint16_t fmOpenWrite = 0x0001;
  static constexpr std::uint16_t fmOpenReadWrite = 0x0002;
  static constexpr std::uint16_t fmShareCompat = 0x0000;
  static constexpr std::uint16_t fmShareExclusive = 0x0010;
  static constexpr std::uint16_t fmShareDenyWrite = 0x0020;
  static constexpr std::uint16_t fmShareDenyRead = 0x0030;
  static constexpr std::uint16_t fmShareDenyNone = 0x0040;

  // The destructor closes silently; Close (releasing the lock) reports a failing close.
  TAuFileStream(const std::string& path, std::uint16_t mode);

 private:
  // Opens and locks the file as `mode` says; the descriptor, or throws.
  static int Open(const std::string& path, std::uint16_t mode);
  [[noreturn]] void Fail(Failure what, int error) const override;
};

// The state an output is in, as callers poll it.
enum class TOutputState : std::int32_t {
  osWorking = 0,    // busy, the worker is running blocks
  osSuspended = 1,  // busy, but the worker has not been woken yet (only inside Start)
  osIdle = 2,       // not busy: finished, stopped or failed
};

enum class TFileOutputMode { foRewrite, foAppend };

// The source end of a pipeline: hands out interleaved PCM on request, block by block, from its own
// buffer. A QObject so that an owner (the parent) manages its life; an output that uses it is told
// when it is destroyed.
//
// Threads. BeginRead runs on the thread that starts the output (the UI thread); ReadBlock, CopyBlock
// and EndRead run on the output's worker thread while it runs, and on the UI thread again when a start
// fails. Only one thread at a time reads; the hand-over happens through the output's start and end.
// Position, Size and Busy may be read from any thread at any time. Set an input up only while it is
// not Busy, and do not destroy it while a busy output uses it.
//
// Units: Position and Size in bytes; a sample frame is Channels × BitsPerSample / 8 bytes.
class TAuInput : public QObject {
  Q_OBJECT

 public:
  explicit TAuInput(QObject* owner = nullptr);
  ~TAuInput() override;

  // The format of the PCM handed out: bits per sample (8, 16, 24 or 32), channel count and samples
  // per second per channel. May open the source to find out; may throw EAuException.
  virtual std::int32_t GetBitsPerSample() = 0;
  virtual std::int32_t GetChannels() = 0;
  virtual std::int32_t GetSampleRate() = 0;
  // Length in whole seconds; 0 when the input cannot tell (this base).
  virtual std::int32_t GetTotalSeconds();

  // Hands out the next bytes. On entry `bytes` is the most the caller wants (at least one frame); on
  // return `buffer` points into the input's own buffer and `bytes` holds how many are there: never
  // more than asked, always whole frames, and 0 at the end of the data (file inputs then set `buffer`
  // to null). The bytes stay valid until the next call. Advances Position by `bytes`. Throws
  // EAuException "The Stream is not opened" when not between BeginRead and EndRead, and whatever the
  // decoder reports; the output then ends with that message.
  virtual void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) = 0;
  // EndRead with any exception swallowed, then not Busy: for clean-up paths.
  virtual void AbortRead();
  // Makes the input ready to deliver from its start: sets Busy, Size and Position 0. Throws
  // EAuException when it cannot (busy, nothing to read, unreadable source).
  virtual void BeginRead() = 0;
  // Closes what BeginRead opened and clears Busy. Must cope with a BeginRead that failed halfway.
  virtual void EndRead() = 0;

  // ReadBlock for `count` bytes, copied to `dest`; the number copied, 0 at the end.
  std::int32_t CopyBlock(void* dest, std::int32_t count);

  std::int32_t BitsPerSample() { return GetBitsPerSample(); }
  std::int32_t Channels() { return GetChannels(); }
  std::int32_t SampleRate() { return GetSampleRate(); }
  std::int32_t TotalSeconds() { return GetTotalSeconds(); }

  // Bytes handed out since BeginRead.
  std::int64_t Position() const { return position_.load(); }
  // Bytes the input will deliver in all; negative when that cannot be told in advance.
  std::int64_t Size() const { return size_.load(); }
  // True between BeginRead and EndRead.
  bool Busy() const { return busy_.load(); }

 protected:
  // The last step of ReadBlock for inputs that decode into a buffer of their own (`data`, holding
  // bufEnd_ valid bytes, bufStart_ the 1-based index of the next one to hand out): trims `bytes` to
  // whole frames of `frameBytes` and to what is left, points `buffer` at byte bufStart_, and advances
  // bufStart_ and Position. Refill the buffer in whole frames, or a tail shorter than a frame stays
  // behind and reads as the end.
  void HandOutFromBuffer(const std::uint8_t* data, std::int32_t frameBytes, const std::uint8_t*& buffer,
                         std::int32_t& bytes);

  std::atomic<std::int64_t> position_{0};
  std::atomic<std::int64_t> size_{0};
  std::atomic<bool> busy_{false};
  // The component's own buffer, 1-based: empty when bufStart_ > bufEnd_. Used by the reading thread only.
  std::int32_t bufStart_ = 1;
  std::int32_t bufEnd_ = 0;
};

// An input that reads from a stream assigned by its user instead of opening something itself.
// AssignStream and the getters run on the UI thread while the input is not Busy; the stream stays
// owned by whoever assigned it and must outlive the reading.
class TAuStreamedInput : public TAuInput {
  Q_OBJECT

 public:
  explicit TAuStreamedInput(QObject* owner = nullptr);

  // Reads from `stream` from now on; null goes back to the input's own source.
  virtual void AssignStream(merolune::Stream* stream);
  merolune::Stream* Stream() const { return stream_.load(); }
  bool StreamAssigned() const { return streamAssigned_.load(); }
  // Whether the source may be opened just to answer a format query. True unless a subclass says not.
  bool Seekable() const { return seekable_.load(); }

 protected:
  std::atomic<merolune::Stream*> stream_{nullptr};
  std::atomic<bool> streamAssigned_{false};
  std::atomic<bool> seekable_{true};
};

// The base of the decoders that read a named file (or an assigned stream): WAV, Vorbis, FLAC, APE.
//
// A subclass implements OpenSource, CloseSource, SeekSample and ReadBlock:
// - OpenSource: holding OpenLock(), do nothing when openCount_ > 0; else open the assigned stream or
//   the file FileName() (with TAuFileStream), read the format into bitsPerSample_, sampleRate_,
//   channels_, set valid_, totalSamples_ (frames, negative when unknown) and usually size_, and set
//   openCount_ to 1. Throws EAuException when the source cannot be opened or is not of its format.
// - CloseSource: holding OpenLock(), release what OpenSource opened (an assigned stream stays open;
//   rewind it if the next read should start over) and set openCount_ to 0. Idempotent, never throws.
// - SeekSample(frame): move the decoder so the next data starts at that frame.
// - ReadBlock: throw kAuStreamNotOpened unless Busy(); hold ReadLock(); when the buffer is empty
//   (bufStart_ > bufEnd_) decode the next chunk into it (bufStart_ = 1, bufEnd_ = bytes obtained); at
//   the end of the source either restart (Loop(): EndRead then BeginRead) or answer 0 bytes and a null
//   pointer; else finish with HandOutFromBuffer.
// BeginRead and EndRead are done here; they run OpenSource and CloseSource.
//
// FileName, Loop, StartSample and EndSample are set on the UI thread while not Busy. Paths are UTF-8.
class TAuFileIn : public TAuStreamedInput {
  Q_OBJECT

 public:
  explicit TAuFileIn(QObject* owner = nullptr);

  const std::string& FileName() const { return fileName_; }
  // Closes the source first.
  void SetFileName(const std::string& fileName);
  // At the end of the source, start again from the beginning instead of ending.
  bool Loop() const { return loop_.load(); }
  void SetLoop(bool loop) { loop_.store(loop); }
  // The range to deliver, in frames: from StartSample up to (not including) EndSample, -1 meaning the
  // end of the source. Reset to 0 and -1 by EndRead.
  std::int64_t StartSample() const { return startSample_.load(); }
  void SetStartSample(std::int64_t sample) { startSample_.store(sample); }
  std::int64_t EndSample() const { return endSample_.load(); }
  void SetEndSample(std::int64_t sample) { endSample_.store(sample); }
  // Frames in the source (in the range, once reading); valid after OpenSource.
  std::int64_t TotalSamples() const { return totalSamples_.load(); }
  // Whether the source's format was recognised.
  bool Valid() const { return valid_.load(); }

  // Open the source when Seekable(), then answer from the fields.
  std::int32_t GetBitsPerSample() override;
  std::int32_t GetChannels() override;
  std::int32_t GetSampleRate() override;
  // Size in bytes over the byte rate, to the nearest second; 0 when any factor is 0.
  std::int32_t GetTotalSeconds() override;

  // Throws EAuException "The component is Busy" when already reading and "The file name is not
  // assigned" without stream or file name; then opens the source, seeks to StartSample, and sets Size
  // to the bytes of the range (-1 when the length is unknown) and Position to 0. A failure after Busy
  // was set closes the source and clears Busy again before the exception goes on.
  void BeginRead() override;
  // CloseSource, StartSample 0, EndSample -1, not Busy.
  void EndRead() override;
  // As the base, and forgets that the source was open.
  void AbortRead() override;
  // Closes the source first.
  void AssignStream(merolune::Stream* stream) override;

 protected:
  virtual void OpenSource() = 0;
  virtual void CloseSource() = 0;
  virtual void SeekSample(std::int64_t sample) = 0;

  // Held by OpenSource and CloseSource; recursive so that one may call the other.
  std::recursive_mutex& OpenLock() { return openLock_; }
  // Held by ReadBlock.
  std::mutex& ReadLock() { return readLock_; }
  // Bytes per frame from the fields; 0 before the format is known.
  std::int32_t FrameBytes() const;
  // The whole of ReadBlock for a decoder with a buffer of its own (see HandOutFromBuffer): throws
  // kAuStreamNotOpened unless Busy; hands out what the buffer holds, holding ReadLock and calling
  // `refill` first when it is empty (false at the end of the data); at the end starts again from the
  // beginning when Loop() is set and this pass delivered anything, else answers 0 bytes and a null
  // pointer. `data` gives the buffer's start after a refill.
  void ReadDecoded(const std::function<bool()>& refill, const std::function<const std::uint8_t*()>& data,
                   const std::uint8_t*& buffer, std::int32_t& bytes);

  std::atomic<std::int32_t> openCount_{0};
  std::atomic<bool> valid_{false};
  std::atomic<std::int32_t> bitsPerSample_{0};
  std::atomic<std::int32_t> sampleRate_{0};
  std::atomic<std::int32_t> channels_{0};
  std::atomic<std::int64_t> totalSamples_{0};

 private:
  std::string fileName_;
  std::atomic<bool> loop_{false};
  std::atomic<std::int64_t> startSample_{0};
  std::atomic<std::int64_t> endSample_{-1};
  std::recursive_mutex openLock_;
  std::mutex readLock_;
};

class TAuOutput;

// The worker thread of one output: runs the output's blocks back to back from Start until the input
// ends, a stop is requested or something throws, ends the output, and then waits (parked) for the next
// Start. Created with its output and private to it; the OS thread starts at the first Start and is
// joined when the output is destroyed. Errors on it are caught and stored in the output, never passed on.
class TAuThread {
 public:
  explicit TAuThread(TAuOutput& output);
  // Terminate() if not done yet.
  ~TAuThread();
  TAuThread(const TAuThread&) = delete;
  TAuThread& operator=(const TAuThread&) = delete;

  // UI thread: wake the worker for a run (starting the OS thread the first time; that may throw
  // std::system_error). Counts as resumed at once, so a stop requested right after is waited for.
  void Resume();
  // True while parked with SuspendWhenIdle (and before the first run).
  bool Suspended() const { return suspended_.load(); }
  // Ask the current run to end on the worker's next turn.
  void RequestStop(bool notifyDone);
  // Set when a run has ended; cleared by RequestStop.
  bool Stopped() const { return stopped_.load(); }
  bool SuspendWhenIdle() const { return suspendWhenIdle_.load(); }
  void SetSuspendWhenIdle(bool suspend) { suspendWhenIdle_.store(suspend); }
  // Ends the OS thread and joins it; the worker must be parked (after a stop) or it finishes its run first.
  void Terminate();

 private:
  friend class TAuOutput;
  friend class TVerySmallThread;

  void Execute();
  // One turn; false when the run has ended.
  bool RunTurn();
  void Park();
  // Returns once `ends` runs have ended and the worker parked after each, or the thread is terminated.
  void WaitForEnds(std::uint64_t ends);
  std::uint64_t EndsCompleted();

  TAuOutput& output_;
  std::thread thread_;  // started and joined on the UI thread
  std::mutex wakeMutex_;
  std::condition_variable wake_;     // resume_ or terminate_ set, or a stop requested
  std::condition_variable parked_;   // endsCompleted_ grew or terminate_ set
  bool resume_ = false;              // guarded by wakeMutex_: a Start waits for the worker
  bool terminate_ = false;           // guarded by wakeMutex_
  std::uint64_t endsCompleted_ = 0;  // guarded by wakeMutex_: runs ended and followed by a park
  std::atomic<bool> suspended_{true};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> notifyOnDone_{true};
  std::atomic<bool> suspendWhenIdle_{true};
};

// The short-lived thread that delivers OnDone after a run: it waits until the worker has parked (with
// SuspendWhenIdle), so that a handler that starts the output again finds it ready, then runs OnDone on
// the UI thread and ends. Owned by its output, which joins it; never used directly.
class TVerySmallThread {
 public:
  TVerySmallThread(TAuOutput& output, std::uint64_t ends);
  ~TVerySmallThread();
  TVerySmallThread(const TVerySmallThread&) = delete;
  TVerySmallThread& operator=(const TVerySmallThread&) = delete;

  bool Finished() const { return finished_.load(); }

 private:
  void Execute();

  TAuOutput& output_;
  const std::uint64_t ends_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// The sink end of a pipeline: pulls blocks from Input() on a worker thread of its own and writes them
// somewhere (a WAV file, an encoder library). Start returns at once; the caller polls OutputState (on
// the UI thread, processing events meanwhile) or waits for OnDone.
//
// A subclass implements three steps, called by the framework only:
// - PrepareOutput (on the thread that calls Start, the UI thread): open the sink, call the input's
//   BeginRead, write any header. May throw; the output then ends at once (see Start).
// - ProcessBlock(abort) (worker thread, once per turn while Active): when `abort` is true, return false
//   at once without writing. Otherwise move one block from the input (ReadBlock or CopyBlock) to the
//   sink; return false when there is nothing more (the input answered 0 bytes), true to be called
//   again. Let write errors and input errors propagate: they end the output with their message in
//   ErrorMessage, never a silently short file.
// - FinishOutput (worker thread; on the UI thread after a failed PrepareOutput): complete and close
//   the sink and call the input's EndRead. Called exactly once after every PrepareOutput, also when
//   PrepareOutput or ProcessBlock threw, so it must cope with a half-prepared sink. May throw (a
//   failing close is reported like a write error); should still reach the input's EndRead, though the
//   framework ends a still-busy input with AbortRead after a failed FinishOutput.
// A subclass whose steps use its own members calls ShutDown() first in its destructor.
//
// Threads. The output belongs to the thread that creates it, the UI thread, which must run a Qt event
// loop or pump events (QCoreApplication::processEvents) while it waits; the output must not be moved
// to another thread. On that thread: construction, destruction, Start, the setters, RequestStop,
// Stop, WaitUntilStopped. OutputState, ProgressPercent, Busy, Active and ErrorMessage may be called
// from any thread. The events OnProgress, OnThreadException and OnDone always run on the UI thread,
// from its event processing or from WaitUntilStopped: OnProgress while the worker waits for it (so it
// sees the progress the worker is at), OnDone after the worker has parked. Whether OnProgress and
// OnDone are assigned is sampled at Start; assign the handlers while the output is idle. A handler
// must not wait for the worker (WaitUntilStopped, SetInput or destruction of a busy output) from
// OnProgress, as the worker is waiting for that very handler.
//
// Errors. Start throws EAuException "Component is Busy" and "Input is not assigned"; every other
// failure, on either thread, is caught: the output ends (FinishOutput has run, Busy is false), the first
// message is in ErrorMessage before OutputState turns osIdle, and OnThreadException is called. An
// exception thrown by OnProgress ends the output the same way with its message; one thrown by
// OnDone or OnThreadException is logged and dropped.
class TAuOutput : public QObject {
  Q_OBJECT

 public:
  using TOutputDoneEvent = std::function<void(TAuOutput& sender)>;
  using TOutputProgressEvent = std::function<void(TAuOutput& sender)>;
  using TThreadExceptionEvent = std::function<void(TAuOutput& sender)>;

  explicit TAuOutput(QObject* owner = nullptr);
  // ShutDown() (no event runs any more), then the worker and the done notices are joined.
  ~TAuOutput() override;

  TAuInput* Input() const { return input_.load(); }
  // While Busy: stops the run without OnDone, waits for it, stores `input` and starts again, so the
  // output restarts from the new input's beginning (that Start may throw as Start does). While idle it
  // only stores `input`. Destroying the input later sets Input to null.
  virtual void SetInput(TAuInput* input);

  // Throws EAuException "Component is Busy" when busy and "Input is not assigned" without input.
  // Otherwise clears ErrorMessage, sets Busy, calls PrepareOutput, sets Active and wakes the worker.
  // If PrepareOutput throws, Start still returns normally: the output is ended here (FinishOutput,
  // then OnDone later through a notice), Busy is false, ErrorMessage holds the message and
  // OnThreadException has been called, all before Start returns.
  void Start();
  // Another name for Start.
  void Run() { Start(); }

  // osIdle when not Busy, else osSuspended while the worker has not been woken, else osWorking.
  TOutputState OutputState() const;
  // Position over Size of the input in percent, to the nearest integer: 0 without an input or with
  // Size 0, -1 when the Size is unknown (negative).
  std::int32_t ProgressPercent() const;
  // Asks the worker to end the run on its next turn (at most the block in progress is still written)
  // and returns at once. `notifyDone` false skips this run's OnDone.
  void RequestStop(bool notifyDone = true);
  // Waits until the worker has parked or the run has stopped, running the UI-thread calls the worker
  // and the notices are waiting for meanwhile; then OnDone is notified again for later runs. UI thread.
  void WaitUntilStopped();
  // RequestStop(true) followed by WaitUntilStopped.
  void Stop();

  // True from Start until the output has ended (after FinishOutput returned).
  bool Busy() const { return busy_.load(); }
  // True from Start until the output ends; while false ProcessBlock is not called.
  bool Active() const { return active_.load(); }
  // The message of the first error of the last run; empty when it ran without error.
  std::string ErrorMessage() const;
  // Whether the worker counts as suspended between runs (true from construction). Either way it
  // waits for the next Start without spinning; false only makes OutputState say osWorking rather
  // than osSuspended inside Start and lets OnDone go without waiting for the worker to park.
  bool SuspendWhenIdle() const { return thread_->SuspendWhenIdle(); }
  void SetSuspendWhenIdle(bool suspend) { thread_->SetSuspendWhenIdle(suspend); }

  TOutputDoneEvent OnDone;                  // a run has ended (not after RequestStop(false))
  TOutputProgressEvent OnProgress;          // ProgressPercent has changed
  TThreadExceptionEvent OnThreadException;  // a run ended with an error; see ErrorMessage

 protected:
  virtual bool ProcessBlock(bool abort) = 0;
  virtual void FinishOutput() = 0;
  virtual void PrepareOutput() = 0;

  // Stops a running run without OnDone (FinishOutput runs on the worker as usual), ends the worker
  // and stops delivering events. For the first line of a subclass's destructor, so that no step runs
  // on a half-destroyed object; the base destructor calls it too. The output cannot start again.
  void ShutDown();
  // For FinishOutput: ends the reading PrepareOutput began on the input when `begun` (and clears
  // it), keeping an exception of EndRead in `failure` unless an earlier one is there.
  void EndInputRead(bool& begun, std::exception_ptr& failure);

 private:
  friend class TAuThread;
  friend class TVerySmallThread;

  // The calls a worker or a notice makes into the UI thread.
  enum class CallKind { Progress, ThreadException, Done };

  void StoreInput(TAuInput* input);
  // If Busy: clears Active, calls FinishOutput, clears Busy (also when FinishOutput throws; its error
  // is recorded first and the exception goes on).
  void EndOutput();
  // UI thread, after a failed start: not Active, not Busy, ErrorMessage := message, OnThreadException.
  void ReportThreadError(const std::string& message);
  void ClearError();
  // Keeps the first error of a run.
  void RecordError(const std::string& message);
  // Starts the OnDone notice for the run that ended as the `ends`-th.
  void StartDoneNotice(std::uint64_t ends);
  // Worker or notice thread: runs the event on the UI thread and waits for it; nothing happens once the
  // output is closing. An exception the Progress handler throws is rethrown here.
  void Synchronize(CallKind kind);
  // Wakes a UI thread waiting in WaitUntilStopped or ShutDown.
  void NotifyStateChange();

  std::atomic<TAuInput*> input_{nullptr};
  QMetaObject::Connection inputDestroyed_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> active_{false};
  std::atomic<bool> progressAssigned_{false};
  std::atomic<bool> doneAssigned_{false};
  std::int32_t lastProgress_ = 0;  // worker thread only
  bool shutDown_ = false;          // UI thread only

  mutable std::mutex errorMutex_;
  std::string errorMessage_;    // guarded by errorMutex_
  bool errorRecorded_ = false;  // guarded by errorMutex_

  // The calls into the UI thread. Its lock and condition also carry the worker's state changes to a UI
  // thread waiting in WaitUntilStopped or ShutDown.
  UiThreadCalls calls_;

  std::mutex noticesMutex_;
  std::vector<std::unique_ptr<TVerySmallThread>> notices_;  // guarded by noticesMutex_

  std::unique_ptr<TAuThread> thread_;
};

// An output that writes to a stream assigned by its user, or (in the subclasses) to a file it opens
// itself. SetStream runs on the UI thread while the output is idle; the stream stays owned by whoever
// assigned it and must outlive the run.
class TAuStreamedOutput : public TAuOutput {
  Q_OBJECT

 public:
  explicit TAuStreamedOutput(QObject* owner = nullptr);

  merolune::Stream* Stream() const { return stream_.load(); }
  bool StreamAssigned() const { return streamAssigned_.load(); }
  // Writes to `stream` from the next run on; null goes back to the output's own file.
  void SetStream(merolune::Stream* stream);

 protected:
  // The stream being written: the assigned one, or the file OpenDestination opened.
  std::atomic<merolune::Stream*> stream_{nullptr};
  std::atomic<bool> streamAssigned_{false};
};

// The base of the encoders that write a named file (or an assigned stream): WAV, Vorbis, FLAC, APE.
// FileName and FileMode are set on the UI thread while the output is idle; paths are UTF-8.
class TAuFileOut : public TAuStreamedOutput {
  Q_OBJECT

 public:
  explicit TAuFileOut(QObject* owner = nullptr);

  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& fileName) { fileName_ = fileName; }
  TFileOutputMode FileMode() const { return fileMode_.load(); }
  // This base stores foRewrite whatever it is given; outputs that can append override it.
  virtual void SetFileMode(TFileOutputMode mode);

 protected:
  // For PrepareOutput: the stream to write to. An assigned stream is used as it is. Otherwise
  // FileName is required (EAuException "File name is not assigned.") and opened with TAuFileStream:
  // created (emptied), or with foAppend and an existing file opened for reading and writing, shared
  // with nobody. That stream becomes Stream() and belongs to the output until ReleaseDestination.
  merolune::Stream* OpenDestination();
  // For FinishOutput: closes and frees the stream OpenDestination opened; an assigned stream is left
  // to its owner. Throws EAuException when the close fails (the stream is freed anyway).
  void ReleaseDestination();
  // The usual first steps of PrepareOutput: OpenDestination, then the input's BeginRead, with
  // `inputBegun` set once that has succeeded. The destination stream.
  merolune::Stream* OpenDestinationAndInput(bool& inputBegun);
  // The usual last steps of FinishOutput: ReleaseDestination and EndInputRead, each one's exception
  // kept in `failure` unless an earlier one is there.
  void ReleaseDestinationAndInput(bool& inputBegun, std::exception_ptr& failure);

  std::atomic<TFileOutputMode> fileMode_{TFileOutputMode::foRewrite};

 private:
  std::string fileName_;
  std::unique_ptr<TAuFileStream> ownStream_;
};

// ID3 version 1 tags of an MP3 file. Strings are UTF-8; Year and Track 0 mean not set.
struct TId3v1Tags {
  std::string Title;
  std::string Artist;
  std::string Album;
  std::int32_t Year = 0;
  std::string Comment;
  std::int32_t Track = 0;
  std::string Genre;
};

// ID3 version 2 tags. Strings are UTF-8; Year and Track 0 mean not set.
struct TId3v2Tags {
  std::string Title;
  std::string Artist;
  std::string Album;
  std::int32_t Year = 0;
  std::string Comment;
  std::int32_t Track = 0;
  std::string Genre;
  std::string Composer;
  std::string Copyright;
  std::string Encoder;
};

// APE version 2 tags. Strings are UTF-8; Year and Track 0 mean not set.
struct TAPEv2Tags {
  std::string Title;
  std::string Artist;
  std::string Album;
  std::int32_t Year = 0;
  std::string Comment;
  std::int32_t Track = 0;
  std::string Genre;
  std::string Composer;
  std::string Copyright;
};

// A file output that carries tag sets for the encoder to write (MP3). The tags are set on the UI
// thread while the output is idle and read by the encoder's steps; assigning copies.
class TAuTaggedFileOut : public TAuFileOut {
  Q_OBJECT

 public:
  explicit TAuTaggedFileOut(QObject* owner = nullptr);

  const TId3v1Tags& Id3v1Tags() const { return id3v1Tags_; }
  void SetId3v1Tags(const TId3v1Tags& tags) { id3v1Tags_ = tags; }
  const TId3v2Tags& Id3v2Tags() const { return id3v2Tags_; }
  void SetId3v2Tags(const TId3v2Tags& tags) { id3v2Tags_ = tags; }
  const TAPEv2Tags& APEv2Tags() const { return apev2Tags_; }
  void SetAPEv2Tags(const TAPEv2Tags& tags) { apev2Tags_ = tags; }

 private:
  TId3v1Tags id3v1Tags_;
  TId3v2Tags id3v2Tags_;
  TAPEv2Tags apev2Tags_;
};

}  // namespace merolune
