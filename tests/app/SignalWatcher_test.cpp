// Unix signals reach the thread of the event loop, whichever thread they arrive on.

#include "SignalWatcher.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

namespace merolune {
namespace {

class SignalWatcherTest : public ::testing::TestWithParam<int> {};

TEST_P(SignalWatcherTest, ReportsTheSignalOnTheLoopsThreadAndRestoresTheOldAction) {
  const int number = GetParam();
  struct sigaction before {};
  ASSERT_EQ(::sigaction(number, nullptr, &before), 0);
  {
    SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
    std::vector<int> received;
    Qt::HANDLE where = nullptr;
    QObject::connect(&watcher, &SignalWatcher::Received, [&](int n) {
      received.push_back(n);
      where = QThread::currentThreadId();
    });
    // Raised on another thread than the loop's, as a terminal's interrupt may be. The sender lives
    // on until the loop has seen it, since a sanitizer's runtime may run the handler late, at the
    // thread's next call into it.
    std::atomic<bool> seen{false};
    std::thread sender([number, &seen] {
      ::pthread_kill(::pthread_self(), number);
      for (int i = 0; i < 1000 && !seen.load(); ++i) ::usleep(10000);
    });
    QElapsedTimer waited;
    waited.start();
    while (received.empty() && waited.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    seen.store(true);
    sender.join();
    EXPECT_EQ(received, std::vector<int>{number});
    EXPECT_EQ(where, QThread::currentThreadId());
  }
  struct sigaction after {};
  ASSERT_EQ(::sigaction(number, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalWatcherTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& param) { return std::string(sigabbrev_np(param.param)); });

}  // namespace
}  // namespace merolune
