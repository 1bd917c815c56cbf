// The worker thread component.

#include "KThdCmp.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QtGlobal>

#include <exception>
#include <utility>

#include "../engine/Exception.h"

namespace merolune {

namespace {

// The one event type the worker posts to the component; registered once per process.
QEvent::Type WakeupEventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

void WarnHandlerFailure(const char* handler) {
  try {
    throw;
  } catch (const std::exception& error) {
    qWarning("TKThdComp: %s threw: %s", handler, error.what());
  } catch (...) {
    qWarning("TKThdComp: %s threw", handler);
  }
}

}  // namespace

QThread::Priority ToQThreadPriority(TThreadPriority priority) {
  switch (priority) {
    case TThreadPriority::tpIdle:
      return QThread::IdlePriority;
    case TThreadPriority::tpLowest:
      return QThread::LowestPriority;
    case TThreadPriority::tpLower:
      return QThread::LowPriority;
    case TThreadPriority::tpNormal:
      return QThread::NormalPriority;
    case TThreadPriority::tpHigher:
      return QThread::HighPriority;
    case TThreadPriority::tpHighest:
      return QThread::HighestPriority;
    case TThreadPriority::tpTimeCritical:
      return QThread::TimeCriticalPriority;
  }
  return QThread::NormalPriority;
}

TKThdComp::TKThdComp(QObject* parent) : QObject(parent), uiThread_(std::this_thread::get_id()) {}

TKThdComp::~TKThdComp() {
  terminated_.store(true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    // Nothing is delivered any more; the posted wake-up, if any, dies with the QObject.
    calls_.clear();
  }
  callDone_.notify_all();
  // Joining without processing events is safe only because closing_ released every
  // Synchronize; a body that never polls Terminated still blocks here.
  if (thread_.joinable()) thread_.join();
}

void TKThdComp::Start() {
  if (running_.load()) throw Exception("スレッドを２重に起動できません");
  if (!OnExecute) return;
  // Running is cleared only after the previous thread was joined (Finish), so thread_ is free.
  running_.store(true);
  terminated_.store(false);
  try {
    thread_ = std::thread(&TKThdComp::ThreadMain, this, OnExecute, ToQThreadPriority(priority_));
  } catch (...) {
    running_.store(false);
    throw;
  }
}

void TKThdComp::Stop() {
  if (running_.load()) terminated_.store(true);
}

bool TKThdComp::Terminated() const { return !running_.load() || terminated_.load(); }

std::int32_t TKThdComp::Synchronize(std::int32_t wParam, std::int32_t lParam) {
  if (std::this_thread::get_id() == uiThread_) {
    // Waiting for the UI thread on the UI thread would never end.
    std::int32_t result = 0;
    RunSynchronize(wParam, lParam, result);
    return result;
  }
  const auto call = std::make_shared<Call>();
  call->kind = Call::Kind::Sync;
  call->wParam = wParam;
  call->lParam = lParam;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!EnqueueLocked(call)) return 0;
  callDone_.wait(lock, [&] { return call->done || closing_; });
  if (!call->done) return 0;  // released by the destructor
  if (call->error) {
    // Taken out of the call so that the exception dies on this thread whichever thread lets go
    // of the call last: the exception's reference count lives in the (uninstrumented) C++
    // runtime, and ThreadSanitizer would take a release on the UI thread for a race.
    const std::exception_ptr error = std::move(call->error);
    lock.unlock();
    std::rethrow_exception(error);
  }
  return call->result;
}

void TKThdComp::PostAsync(std::int32_t wParam, std::int32_t lParam) {
  const auto call = std::make_shared<Call>();
  call->kind = Call::Kind::Async;
  call->wParam = wParam;
  call->lParam = lParam;
  std::lock_guard<std::mutex> lock(mutex_);
  EnqueueLocked(call);
}

void TKThdComp::ThreadMain(ExecuteEvent body, QThread::Priority priority) {
  // Best effort. Under Linux's default scheduling all threads share one static priority, so Qt
  // mostly records the value (IdlePriority does switch to SCHED_IDLE); a failure only warns.
  QThread::currentThread()->setPriority(priority);
  try {
    body(*this);
  } catch (...) {
    // An error ends the thread without a word; the end is still reported below.
  }
  const auto end = std::make_shared<Call>();
  end->kind = Call::Kind::End;
  std::lock_guard<std::mutex> lock(mutex_);
  EnqueueLocked(end);  // when closing, the destructor joins instead
}

bool TKThdComp::EnqueueLocked(const std::shared_ptr<Call>& call) {
  if (closing_) return false;
  calls_.push_back(call);
  if (!wakeupPosted_) {
    wakeupPosted_ = true;
    // Posted while mutex_ is held: the receiver takes mutex_ before Qt frees the event, which
    // orders the two threads' use of it in terms a race detector sees.
    QCoreApplication::postEvent(this, new QEvent(WakeupEventType()));
  }
  return true;
}

void TKThdComp::customEvent(QEvent* event) {
  // The event is deliberately not inspected: only the worker posts custom events here, and a
  // spare delivery finds an empty queue. Reading it before taking mutex_ would be a race in a
  // race detector's eyes, as the allocation happened on the worker thread.
  (void)event;
  DeliverCalls();
}

void TKThdComp::DeliverCalls() {
  // A handler may destroy the component (or start a nested event loop that delivers calls
  // itself), so the loop takes one call at a time and checks that it is still alive.
  const QPointer<TKThdComp> alive(this);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeupPosted_ = false;
  }
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (calls_.empty()) return;
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    switch (call->kind) {
      case Call::Kind::Sync: {
        std::int32_t result = 0;
        std::exception_ptr error;
        try {
          RunSynchronize(call->wParam, call->lParam, result);
        } catch (...) {
          error = std::current_exception();
        }
        if (!alive) return;  // the destructor has already released the caller
        {
          std::lock_guard<std::mutex> lock(mutex_);
          call->result = result;
          call->error = std::move(error);
          call->done = true;
        }
        callDone_.notify_all();
        break;
      }
      case Call::Kind::Async:
        try {
          if (OnAsyncEvent) OnAsyncEvent(*this, call->wParam, call->lParam);
        } catch (...) {
          WarnHandlerFailure("OnAsyncEvent");
        }
        break;
      case Call::Kind::End:
        try {
          Finish();
        } catch (...) {
          WarnHandlerFailure("OnTerminate");
        }
        break;
    }
    if (!alive) return;
  }
}

void TKThdComp::RunSynchronize(std::int32_t wParam, std::int32_t lParam, std::int32_t& result) {
  result = 0;
  if (OnSynchronize) OnSynchronize(*this, wParam, lParam, result);
}

void TKThdComp::Finish() {
  // The body has returned and only the thread's exit is left, so this join is short.
  if (thread_.joinable()) thread_.join();
  running_.store(false);
  if (OnTerminate) OnTerminate(*this);
}

}  // namespace merolune
