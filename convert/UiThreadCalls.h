#pragma once
// The queue of calls from other threads into the UI thread, delivered through its Qt event loop.

#include <QObject>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QEvent;

namespace merolune {

// Carries calls from worker threads to the UI thread: queued ones (Post) and ones the caller waits
// for (Invoke). The worker thread component and the pipeline's outputs each own one; their handlers
// run inside the calls.
//
// Threads. The queue belongs to the thread that creates it, the UI thread, which must run a Qt event
// loop or pump events; it must not be moved to another thread. Post, Invoke, WaitUntil and Notify
// may be called from any thread; Deliver, ServeUntil (see there) and Close on the UI thread. Calls
// run in the order they were queued, Post and Invoke interleaved.
//
// Lifetime. A call may destroy the queue's owner, and with it the queue: Deliver and ServeUntil then
// return false and touch nothing. A call may also pump events itself, delivering later calls from
// inside an earlier one. Close (also run by the destructor) drops the queued calls, releases every
// waiting Invoke and refuses new calls; a call running at that moment still finishes, but nobody
// waits for it any more, so a call keeps what it writes in state it shares with its caller (a
// std::shared_ptr it captured), never in the caller's frame.
//
// Errors. An exception escaping an Invoke call is carried back and rethrown by Invoke. Posted calls
// must not throw (Qt cannot carry an exception through its event loop): run the handler inside
// CallLoggingFailure.
class UiThreadCalls : public QObject {
  Q_OBJECT

 public:
  using Task = std::function<void()>;

  UiThreadCalls();
  ~UiThreadCalls() override;
  UiThreadCalls(const UiThreadCalls&) = delete;
  UiThreadCalls& operator=(const UiThreadCalls&) = delete;

  // Queues `task` and returns at once; false (the task dropped) once closed.
  bool Post(Task task);
  // Runs `task` on the UI thread and waits until it has run; on the UI thread itself runs it at once.
  // True when it ran, false when Close released the wait first (the task then may never run).
  bool Invoke(Task task);

  // UI thread: runs the queued calls in order. False when a call destroyed the queue.
  bool Deliver();
  // Waits until `ready()` holds. `ready` is evaluated with the queue's lock held; whoever changes
  // what it reads calls Notify afterwards.
  void WaitUntil(const std::function<bool()>& ready);
  // Like WaitUntil; on the UI thread it runs the calls that arrive meanwhile, elsewhere it waits for
  // the UI thread to run them. False when a call destroyed the queue.
  bool ServeUntil(const std::function<bool()>& ready);
  // Wakes WaitUntil and ServeUntil to look at their condition again.
  void Notify();
  // UI thread: see Lifetime.
  void Close();

 protected:
  // The wake-up posted by Post and Invoke: delivers the queued calls.
  void customEvent(QEvent* event) override;

 private:
  // Shared between the caller and the queue, so that a call released by Close never writes into a
  // dead frame.
  struct Call {
    Task task;
    std::exception_ptr error;  // guarded by mutex_
    bool done = false;         // guarded by mutex_
  };

  // Adds a call and makes sure the UI thread will look at it; false once closed. mutex_ must be held.
  bool EnqueueLocked(std::shared_ptr<Call> call);

  const std::thread::id uiThread_;
  // A plain mutex and condition variable rather than Qt's blocking queued connection: the hand-over
  // stays visible to ThreadSanitizer, which does not see into the (uninstrumented) Qt library, the
  // UI thread can run the calls itself while it waits, and Close can release a waiting caller.
  std::mutex mutex_;
  std::condition_variable changed_;          // a call was queued or done, Notify, Close
  std::deque<std::shared_ptr<Call>> calls_;  // guarded by mutex_
  bool wakeupPosted_ = false;                // guarded by mutex_: a wake-up event is on its way
  bool closed_ = false;                      // guarded by mutex_
};

// Runs `handler`, a handler with nowhere to send an exception (it runs from the UI thread's event
// processing); one that escapes is logged with qWarning as "<owner>: <name> threw: <message>" and
// dropped.
void CallLoggingFailure(const char* owner, const char* name, const std::function<void()>& handler) noexcept;

}  // namespace merolune
