#pragma once
// The worker thread component: one handler on a background thread, with calls back into the UI thread.

#include <QObject>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "UiThreadCalls.h"

namespace merolune {

// Thread priorities as the owner names them; the thread gets the nearest Qt priority.
enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The Qt priority a thread of the given priority runs at (Idle -> IdlePriority, Lowest ->
// LowestPriority, Lower -> LowPriority, Normal -> NormalPriority, Higher -> HighPriority,
// Highest -> HighestPriority, TimeCritical -> TimeCriticalPriority).
QThread::Priority ToQThreadPriority(TThreadPriority priority);

// Runs OnExecute on a thread of its own and lets that body call back into the UI thread with two
// integers, synchronously (Synchronize) or not (PostAsync). The owner sets the handlers and calls
// Start, Stop and the queries; the thread itself stays hidden.
//
// Threads. The component belongs to the thread that creates it (the UI thread, which runs the
// Qt event loop) and must not be moved to another. On that thread: construction, destruction,
// Start, Stop, Running, the setters and the handlers OnTerminate, OnSynchronize and
// OnAsyncEvent, which are delivered through the event loop. On the worker thread: OnExecute,
// which may call Terminated, Synchronize and PostAsync (those three may be called from any
// thread). Running turns false only when the UI thread handles the end of the body, and a body
// in Synchronize waits until the UI thread handles the call: an owner that waits for the worker
// on the UI thread must keep processing events while it waits, or both threads wait for ever.
// The handlers are set on the UI thread; OnExecute is copied at Start, so changing it while
// running affects only the next start.
//
// Ownership. A QObject: the parent, if any, owns it. It owns its thread. The owner is meant to
// Stop it and wait for Running to become false before destroying it; the destructor copes
// anyway (see ~TKThdComp).
//
// Errors. Start throws Exception("スレッドを２重に起動できません") when already running, and
// std::system_error when the system cannot create a thread. An exception escaping OnExecute ends
// the thread silently. An exception escaping OnSynchronize is carried back to the body and thrown
// there by Synchronize. OnAsyncEvent and OnTerminate must not throw: Qt cannot carry an exception
// through its event loop, so one escaping them is logged with qWarning and dropped.
class TKThdComp : public QObject {
  Q_OBJECT

 public:
  using ExecuteEvent = std::function<void(TKThdComp& sender)>;
  using TerminateEvent = std::function<void(TKThdComp& sender)>;
  using SyncEvent = std::function<void(TKThdComp& sender, std::int32_t wParam, std::int32_t lParam,
                                       std::int32_t& result)>;
  using AsyncEvent = std::function<void(TKThdComp& sender, std::int32_t wParam, std::int32_t lParam)>;

  explicit TKThdComp(QObject* parent = nullptr);
  // Normally the component is not running here. If it is, the destructor asks the body to end
  // (as Stop does), releases a body waiting in Synchronize (it gets 0; later calls return 0 at
  // once and PostAsync drops its notifications) and joins the thread. It does not process events:
  // no handler runs any more, OnTerminate included, and a body that does not poll Terminated
  // keeps the destructor waiting.
  ~TKThdComp() override;

  // Applies from the next Start; tpNormal at creation.
  TThreadPriority Priority() const { return priority_; }
  void SetPriority(TThreadPriority priority) { priority_ = priority; }

  // Starts OnExecute on a new thread at Priority. Without OnExecute nothing starts and Running
  // stays false. Throws Exception when already running.
  void Start();
  // Asks a running body to end: from now on Terminated returns true. Returns at once; does
  // nothing when not running.
  void Stop();
  // While running, whether Stop was called; when not running, true. The body polls it.
  bool Terminated() const;
  // True from Start until the UI thread has handled the end of the body.
  bool Running() const { return running_.load(); }

  // Runs OnSynchronize on the UI thread and returns the result it set (0 without a handler),
  // waiting until it has run. Called on the UI thread itself, it runs the handler directly.
  std::int32_t Synchronize(std::int32_t wParam, std::int32_t lParam);
  // Queues OnAsyncEvent for the UI thread and returns at once. Notifications are delivered in
  // the order they were posted, interleaved with Synchronize calls in order, and all before
  // OnTerminate.
  void PostAsync(std::int32_t wParam, std::int32_t lParam);

  ExecuteEvent OnExecute;      // the body; worker thread
  TerminateEvent OnTerminate;  // after the body returned; UI thread
  SyncEvent OnSynchronize;     // UI thread
  AsyncEvent OnAsyncEvent;     // UI thread

 private:
  void ThreadMain(ExecuteEvent body, QThread::Priority priority);
  void RunSynchronize(std::int32_t wParam, std::int32_t lParam, std::int32_t& result);
  // UI thread: the end of the body. Joins the thread, clears Running, calls OnTerminate.
  void Finish();

  // Declared before thread_, so that it outlives it: the thread may post to it until the destructor
  // has joined it.
  UiThreadCalls calls_;
  TThreadPriority priority_ = TThreadPriority::tpNormal;
  std::thread thread_;                // UI thread only
  std::atomic<bool> running_{false};  // written on the UI thread only
  std::atomic<bool> terminated_{false};
};

}  // namespace merolune
