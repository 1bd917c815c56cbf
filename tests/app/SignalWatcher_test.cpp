// Unix signals reach the thread of the event loop, whichever thread they arrive on.

#include "SignalWatcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

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
    // Sent to the process from another thread: the kernel hands it to whichever thread it likes.
    std::thread([number] { ::kill(::getpid(), number); }).join();
    QElapsedTimer waited;
    waited.start();
    while (received.empty() && waited.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
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
