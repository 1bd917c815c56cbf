// The queue of calls from other threads into the UI thread.

#include "UiThreadCalls.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QtGlobal>

#include <utility>

#include "Exception.h"

namespace merolune {

namespace {

// The one event type the queue posts to itself; registered once per process.
QEvent::Type WakeupEventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

}  // namespace

UiThreadCalls::UiThreadCalls() : uiThread_(std::this_thread::get_id()) {}

UiThreadCalls::~UiThreadCalls() { Close(); }

bool UiThreadCalls::Post(Task task) {
  auto call = std::make_shared<Call>();
  call->task = std::move(task);
  std::lock_guard<std::mutex> lock(mutex_);
  return EnqueueLocked(std::move(call));
}

bool UiThreadCalls::Invoke(Task task) {
  if (std::this_thread::get_id() == uiThread_) {
    // Waiting for the UI thread on the UI thread would never end.
    task();
    return true;
  }
  const auto call = std::make_shared<Call>();
  call->task = std::move(task);
  std::unique_lock<std::mutex> lock(mutex_);
  if (!EnqueueLocked(call)) return false;
  changed_.wait(lock, [&] { return call->done || closed_; });
  if (!call->done) return false;  // released by Close
  if (call->error) {
    // Taken out of the call so that the exception dies on this thread whichever thread lets go of
    // the call last: the exception's reference count lives in the (uninstrumented) C++ runtime, and
    // ThreadSanitizer would take a release on the UI thread for a race.
    const std::exception_ptr error = std::move(call->error);
    lock.unlock();
    std::rethrow_exception(error);
  }
  return true;
}

bool UiThreadCalls::EnqueueLocked(std::shared_ptr<Call> call) {
  if (closed_) return false;
  calls_.push_back(std::move(call));
  if (!wakeupPosted_) {
    wakeupPosted_ = true;
    // Posted while mutex_ is held: the receiver takes mutex_ before Qt frees the event, which orders
    // the two threads' use of it in terms a race detector sees.
    QCoreApplication::postEvent(this, new QEvent(WakeupEventType()));
  }
  // A UI thread in ServeUntil waits for calls too.
  changed_.notify_all();
  return true;
}

void UiThreadCalls::customEvent(QEvent* event) {
  // Not inspected: only the queue posts custom events to itself, and a spare wake-up finds an empty
  // queue. Reading the event before taking mutex_ would be a race in a race detector's eyes, as it
  // was allocated on another thread.
  (void)event;
  Deliver();
}

bool UiThreadCalls::Deliver() {
  // A call may destroy the queue (or pump events and deliver later calls itself), so the calls are
  // taken one at a time and the queue is checked after each.
  const QPointer<UiThreadCalls> alive(this);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeupPosted_ = false;
  }
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (calls_.empty()) return true;
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    std::exception_ptr error;
    try {
      call->task();
    } catch (...) {
      error = std::current_exception();
    }
    if (!alive) return false;  // Close has already released the caller
    {
      std::lock_guard<std::mutex> lock(mutex_);
      call->error = std::move(error);
      call->done = true;
    }
    changed_.notify_all();
  }
}

void UiThreadCalls::WaitUntil(const std::function<bool()>& ready) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, ready);
}

bool UiThreadCalls::ServeUntil(const std::function<bool()>& ready) {
  const bool onUiThread = std::this_thread::get_id() == uiThread_;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !calls_.empty() || ready(); });
      if (ready()) return true;
      if (!onUiThread) {
        // The UI thread runs the calls; whatever they change is looked at once they are gone.
        changed_.wait(lock, [&] { return calls_.empty() || ready(); });
        continue;
      }
    }
    if (!Deliver()) return false;
  }
}

void UiThreadCalls::Notify() {
  // Taking the mutex orders what the notifier wrote before this call against a waiter's check of it.
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

void UiThreadCalls::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    // Nothing is delivered any more; the posted wake-up, if any, dies with the QObject.
    calls_.clear();
  }
  changed_.notify_all();
}

void CallLoggingFailure(const char* owner, const char* name, const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (...) {
    try {
      qWarning("%s: %s threw: %s", owner, name, CurrentExceptionText("an unknown exception").c_str());
    } catch (...) {
      // Nothing more can be done.
    }
  }
}

}  // namespace merolune
