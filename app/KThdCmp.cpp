// The worker thread component: a body on a thread of its own, with calls back into the UI thread.

#include "KThdCmp.h"

#include <memory>

#include "../engine/Exception.h"

namespace merolune {

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

TKThdComp::TKThdComp(QObject* parent) : QObject(parent) {}

TKThdComp::~TKThdComp() {
  terminated_.store(true);
  // Releases every Synchronize and drops what is queued: no handler runs any more.
  calls_.Close();
  // Joining without processing events is safe only because the queue released every Synchronize; a
  // body that never polls Terminated still blocks here.
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
  // Shared with the call: a destructor that releases this caller leaves the handler writing here.
  const auto result = std::make_shared<std::int32_t>(0);
  if (!calls_.Invoke([this, wParam, lParam, result] { RunSynchronize(wParam, lParam, *result); })) return 0;
  return *result;
}

void TKThdComp::PostAsync(std::int32_t wParam, std::int32_t lParam) {
  calls_.Post([this, wParam, lParam] {
    CallLoggingFailure("TKThdComp", "OnAsyncEvent", [&] {
      if (OnAsyncEvent) OnAsyncEvent(*this, wParam, lParam);
    });
  });
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
  // When the queue is closed, the destructor joins instead.
  calls_.Post([this] { CallLoggingFailure("TKThdComp", "OnTerminate", [this] { Finish(); }); });
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
