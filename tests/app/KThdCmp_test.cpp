// The worker thread component: start and stop, the end on the UI thread, calls back into it.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "KThdCmp.h"

namespace merolune {
namespace {

using namespace std::chrono_literals;

// Processes UI-thread events until done() holds or the time is up; whether it holds.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Waits without processing events.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A body that runs until asked to end, then reports that it has returned.
void LoopUntilTerminated(TKThdComp& sender, std::atomic<bool>& started, std::atomic<bool>& returned) {
  started = true;
  while (!sender.Terminated()) std::this_thread::sleep_for(1ms);
  returned = true;
}

TEST(KThdComp, StartWithoutBodyStartsNothing) {
  TKThdComp comp;
  EXPECT_EQ(comp.Priority(), TThreadPriority::tpNormal);
  EXPECT_FALSE(comp.Running());
  EXPECT_TRUE(comp.Terminated());
  comp.Start();
  EXPECT_FALSE(comp.Running());
  EXPECT_TRUE(comp.Terminated());
  comp.Stop();  // not running: nothing happens
  EXPECT_FALSE(comp.Running());
}

TEST(KThdComp, SecondStartWhileRunningThrows) {
  TKThdComp comp;
  std::atomic<bool> started{false}, returned{false};
  comp.OnExecute = [&](TKThdComp& sender) { LoopUntilTerminated(sender, started, returned); };
  comp.Start();
  ASSERT_TRUE(comp.Running());
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  try {
    comp.Start();
    ADD_FAILURE() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(std::string(error.what()), "スレッドを２重に起動できません");
  }
  // The running thread is unaffected.
  EXPECT_TRUE(comp.Running());
  EXPECT_FALSE(comp.Terminated());
  EXPECT_FALSE(returned.load());
  comp.Stop();
  EXPECT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_TRUE(returned.load());
}

TEST(KThdComp, StopEndsTheBodyAndRunningClearsOnlyWhenEventsAreProcessed) {
  TKThdComp comp;
  std::atomic<bool> started{false}, returned{false};
  int terminateCalls = 0;
  bool runningInOnTerminate = true;
  comp.OnExecute = [&](TKThdComp& sender) { LoopUntilTerminated(sender, started, returned); };
  comp.OnTerminate = [&](TKThdComp& sender) {
    EXPECT_EQ(&sender, &comp);
    ++terminateCalls;
    runningInOnTerminate = sender.Running();
  };
  comp.Start();
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  EXPECT_FALSE(comp.Terminated());
  comp.Stop();
  EXPECT_TRUE(comp.Terminated());
  ASSERT_TRUE(WaitUntil([&] { return returned.load(); }));
  // The body has returned, but the UI thread has not processed its events yet.
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(comp.Running());
  EXPECT_EQ(terminateCalls, 0);
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(terminateCalls, 1);
  EXPECT_FALSE(runningInOnTerminate);
  EXPECT_TRUE(comp.Terminated());
  // Nothing more arrives.
  QCoreApplication::processEvents();
  EXPECT_EQ(terminateCalls, 1);
}

TEST(KThdComp, StartsAgainAfterTheEnd) {
  TKThdComp comp;
  std::atomic<int> runs{0};
  int terminateCalls = 0;
  comp.OnExecute = [&](TKThdComp&) { ++runs; };
  comp.OnTerminate = [&](TKThdComp&) { ++terminateCalls; };
  for (int round = 1; round <= 3; ++round) {
    comp.Start();
    EXPECT_TRUE(comp.Running());
    ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
    EXPECT_EQ(runs.load(), round);
    EXPECT_EQ(terminateCalls, round);
  }
  // A new start clears the stop request of the previous run.
  std::atomic<bool> started{false}, returned{false};
  comp.OnExecute = [&](TKThdComp& sender) { LoopUntilTerminated(sender, started, returned); };
  comp.Start();
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  EXPECT_FALSE(comp.Terminated());
  comp.Stop();
  EXPECT_TRUE(PumpUntil([&] { return !comp.Running(); }));
}

TEST(KThdComp, RestartFromOnTerminate) {
  TKThdComp comp;
  std::atomic<int> runs{0};
  int terminateCalls = 0;
  comp.OnExecute = [&](TKThdComp&) { ++runs; };
  comp.OnTerminate = [&](TKThdComp& sender) {
    if (++terminateCalls < 3) sender.Start();
  };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return terminateCalls == 3; }));
  EXPECT_FALSE(comp.Running());
  EXPECT_EQ(runs.load(), 3);
}

TEST(KThdComp, SynchronizeReturnsTheHandlersResult) {
  TKThdComp comp;
  std::atomic<std::int32_t> got{-1};
  std::vector<std::pair<std::int32_t, std::int32_t>> seen;
  comp.OnSynchronize = [&](TKThdComp& sender, std::int32_t wParam, std::int32_t lParam, std::int32_t& result) {
    EXPECT_EQ(&sender, &comp);
    EXPECT_EQ(result, 0);  // starts at 0
    seen.emplace_back(wParam, lParam);
    result = wParam * 1000 + lParam;
  };
  comp.OnExecute = [&](TKThdComp& sender) { got = sender.Synchronize(7, -3); };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(got.load(), 6997);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], std::make_pair(std::int32_t{7}, std::int32_t{-3}));
}

TEST(KThdComp, SynchronizeWithoutHandlerReturnsZero) {
  TKThdComp comp;
  std::atomic<std::int32_t> got{-1};
  comp.OnExecute = [&](TKThdComp& sender) { got = sender.Synchronize(1, 2); };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(got.load(), 0);
}

TEST(KThdComp, SynchronizeOnTheUiThreadRunsTheHandlerDirectly) {
  TKThdComp comp;
  EXPECT_EQ(comp.Synchronize(4, 5), 0);
  comp.OnSynchronize = [](TKThdComp&, std::int32_t wParam, std::int32_t lParam, std::int32_t& result) {
    result = wParam + lParam;
  };
  EXPECT_EQ(comp.Synchronize(4, 5), 9);
}

TEST(KThdComp, BodyRunsOnItsOwnThreadAndHandlersOnTheUiThread) {
  const std::thread::id ui = std::this_thread::get_id();
  ASSERT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
  TKThdComp comp;
  std::thread::id body;
  std::atomic<bool> bodyIsQtMainThread{true};
  std::vector<std::thread::id> handlers;
  comp.OnExecute = [&](TKThdComp& sender) {
    body = std::this_thread::get_id();
    bodyIsQtMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    sender.PostAsync(1, 2);
    sender.Synchronize(3, 4);
  };
  comp.OnSynchronize = [&](TKThdComp&, std::int32_t, std::int32_t, std::int32_t&) {
    handlers.push_back(std::this_thread::get_id());
  };
  comp.OnAsyncEvent = [&](TKThdComp&, std::int32_t, std::int32_t) { handlers.push_back(std::this_thread::get_id()); };
  comp.OnTerminate = [&](TKThdComp&) { handlers.push_back(std::this_thread::get_id()); };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_NE(body, ui);  // read after the end handler joined the thread
  EXPECT_FALSE(bodyIsQtMainThread.load());
  ASSERT_EQ(handlers.size(), 3u);
  for (const auto& id : handlers) EXPECT_EQ(id, ui);
}

TEST(KThdComp, PostAsyncDeliversInOrderBeforeTheEnd) {
  TKThdComp comp;
  constexpr int kCount = 500;
  std::vector<std::pair<std::int32_t, std::int32_t>> received;
  bool terminatedAfterAll = false;
  comp.OnExecute = [&](TKThdComp& sender) {
    for (int i = 0; i < kCount; ++i) {
      sender.PostAsync(i, -i);
      if (i == kCount / 2) {
        EXPECT_EQ(sender.Synchronize(0, 0), 0);
      }
    }
  };
  comp.OnAsyncEvent = [&](TKThdComp& sender, std::int32_t wParam, std::int32_t lParam) {
    EXPECT_EQ(&sender, &comp);
    received.emplace_back(wParam, lParam);
  };
  comp.OnTerminate = [&](TKThdComp&) { terminatedAfterAll = received.size() == kCount; };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  ASSERT_EQ(received.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(received[static_cast<std::size_t>(i)], std::make_pair(std::int32_t{i}, std::int32_t{-i}));
  }
  EXPECT_TRUE(terminatedAfterAll);
}

TEST(KThdComp, PriorityMapping) {
  EXPECT_EQ(ToQThreadPriority(TThreadPriority::tpIdle), QThread::IdlePriority);
  EXPECT_EQ(ToQThreadPriority(TThreadPriority::tpLowest), QThread::LowestPriority);
  EXPECT_EQ(ToQThreadPriority(TThreadPriority::tpLower), QThread::LowPriority);
  EXPECT_EQ(ToQThreadPriority(TThreadPriority::tpNormal), QThread::NormalPriority);
  EXPECT_EQ(ToQThreadPriority(TThreadPriority::tpHigher), QThread::HighPriority);
  EXPECT_EQ(ToQThreadPriority(TThreadPriority::tpHighest), QThread::HighestPriority);
  EXPECT_EQ(ToQThreadPriority(TThreadPriority::tpTimeCritical), QThread::TimeCriticalPriority);
}

TEST(KThdComp, ThreadRunsAtThePriority) {
  TKThdComp comp;
  std::atomic<int> priority{-1};
  comp.OnExecute = [&](TKThdComp&) { priority = static_cast<int>(QThread::currentThread()->priority()); };
  comp.SetPriority(TThreadPriority::tpHigher);
  EXPECT_EQ(comp.Priority(), TThreadPriority::tpHigher);
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(priority.load(), static_cast<int>(QThread::HighPriority));

  comp.SetPriority(TThreadPriority::tpLowest);
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(priority.load(), static_cast<int>(QThread::LowestPriority));
}

TEST(KThdComp, PriorityChangeWhileRunningAppliesToTheNextStart) {
  TKThdComp comp;
  std::atomic<bool> started{false}, returned{false};
  std::atomic<int> priority{-1};
  comp.OnExecute = [&](TKThdComp& sender) {
    LoopUntilTerminated(sender, started, returned);
    priority = static_cast<int>(QThread::currentThread()->priority());
  };
  comp.Start();
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  comp.SetPriority(TThreadPriority::tpHighest);
  comp.Stop();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(priority.load(), static_cast<int>(QThread::NormalPriority));
}

TEST(KThdComp, ExceptionInBodyEndsTheThreadQuietly) {
  TKThdComp comp;
  int terminateCalls = 0;
  comp.OnExecute = [](TKThdComp&) { throw std::runtime_error("body failed"); };
  comp.OnTerminate = [&](TKThdComp&) { ++terminateCalls; };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(terminateCalls, 1);
  // And it can run again.
  comp.OnExecute = [](TKThdComp&) { throw 42; };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(terminateCalls, 2);
}

TEST(KThdComp, ExceptionInOnSynchronizeIsThrownInTheBody) {
  TKThdComp comp;
  std::string caught;
  std::atomic<std::int32_t> after{-1};
  comp.OnSynchronize = [](TKThdComp&, std::int32_t wParam, std::int32_t, std::int32_t& result) {
    if (wParam == 1) throw Exception("handler failed");
    result = 5;
  };
  comp.OnExecute = [&](TKThdComp& sender) {
    try {
      sender.Synchronize(1, 0);
    } catch (const Exception& error) {
      caught = error.what();
    }
    after = sender.Synchronize(2, 0);
  };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(caught, "handler failed");  // read after the join in the end handler
  EXPECT_EQ(after.load(), 5);
}

TEST(KThdComp, ManySynchronizeCallsWhileTheUiThreadPumps) {
  TKThdComp comp;
  constexpr int kCalls = 2000;
  std::atomic<int> wrong{0};
  int handled = 0;
  comp.OnSynchronize = [&](TKThdComp&, std::int32_t wParam, std::int32_t lParam, std::int32_t& result) {
    ++handled;
    result = wParam * 3 - lParam;
  };
  comp.OnExecute = [&](TKThdComp& sender) {
    for (std::int32_t i = 0; i < kCalls && !sender.Terminated(); ++i) {
      if (sender.Synchronize(i, 7) != i * 3 - 7) ++wrong;
    }
  };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }, 60000));
  EXPECT_EQ(handled, kCalls);
  EXPECT_EQ(wrong.load(), 0);
}

TEST(KThdComp, HandlerThatProcessesEventsItself) {
  // A long job on the UI thread pumps events inside a handler; nested deliveries keep the order.
  TKThdComp comp;
  std::vector<std::int32_t> order;
  comp.OnAsyncEvent = [&](TKThdComp&, std::int32_t wParam, std::int32_t) {
    order.push_back(wParam);
    if (wParam == 0) {
      for (int i = 0; i < 50; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(1ms);
      }
    }
  };
  comp.OnSynchronize = [&](TKThdComp&, std::int32_t wParam, std::int32_t, std::int32_t& result) {
    order.push_back(wParam);
    result = wParam;
  };
  std::atomic<std::int32_t> last{-1};
  comp.OnExecute = [&](TKThdComp& sender) {
    sender.PostAsync(0, 0);
    sender.PostAsync(1, 0);
    last = sender.Synchronize(2, 0);
    sender.PostAsync(3, 0);
  };
  comp.Start();
  ASSERT_TRUE(PumpUntil([&] { return !comp.Running(); }));
  EXPECT_EQ(last.load(), 2);
  EXPECT_EQ(order, (std::vector<std::int32_t>{0, 1, 2, 3}));
}

TEST(KThdComp, DestroyedWhileRunningStopsAndJoins) {
  std::atomic<bool> started{false}, returned{false};
  int terminateCalls = 0;
  {
    TKThdComp comp;
    comp.OnExecute = [&](TKThdComp& sender) { LoopUntilTerminated(sender, started, returned); };
    comp.OnTerminate = [&](TKThdComp&) { ++terminateCalls; };
    comp.Start();
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  }
  EXPECT_TRUE(returned.load());
  QCoreApplication::processEvents();
  EXPECT_EQ(terminateCalls, 0);  // no handler runs during or after destruction
}

TEST(KThdComp, DestroyedWhileTheBodyWaitsInSynchronize) {
  std::atomic<bool> returned{false};
  std::atomic<int> calls{0};
  std::atomic<int> nonZero{0};
  bool handlerRan = false;
  {
    TKThdComp comp;
    comp.OnSynchronize = [&](TKThdComp&, std::int32_t, std::int32_t, std::int32_t& result) {
      handlerRan = true;
      result = 1;
    };
    comp.OnExecute = [&](TKThdComp& sender) {
      while (!sender.Terminated()) {
        ++calls;
        if (sender.Synchronize(1, 1) != 0) ++nonZero;
        sender.PostAsync(1, 1);
      }
      // Once closing, calls come back at once.
      if (sender.Synchronize(1, 1) != 0) ++nonZero;
      returned = true;
    };
    comp.Start();
    ASSERT_TRUE(WaitUntil([&] { return calls.load() > 0; }));
    std::this_thread::sleep_for(20ms);  // let it block in Synchronize
  }
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(nonZero.load(), 0);
  QCoreApplication::processEvents();
  EXPECT_FALSE(handlerRan);
}

TEST(KThdComp, DeletedInsideItsOwnHandler) {
  auto* comp = new TKThdComp;
  std::atomic<bool> returned{false};
  std::atomic<std::int32_t> got{-1};
  bool deleted = false;
  QObject::connect(comp, &QObject::destroyed, [&] { deleted = true; });
  comp->OnSynchronize = [&](TKThdComp& sender, std::int32_t, std::int32_t, std::int32_t& result) {
    result = 9;
    delete &sender;  // releases the body, which ends while the destructor joins
  };
  comp->OnExecute = [&](TKThdComp& sender) {
    got = sender.Synchronize(0, 0);
    returned = true;
  };
  comp->Start();
  ASSERT_TRUE(PumpUntil([&] { return deleted; }));
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(got.load(), 0);
}

}  // namespace
}  // namespace merolune
