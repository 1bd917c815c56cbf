// The watcher of Unix signals: a self-pipe that turns interrupt, terminate and hang-up into a Qt signal.

#include "SignalWatcher.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

namespace merolune {

namespace {

// The write end of the pipe, for the handler; -1 while no watcher lives.
std::atomic<int> writeEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch lock-free atomics");

extern "C" void OnSignal(int number) {
  const int saved = errno;
  const int fd = writeEnd.load();
  // A full pipe loses the byte; the ones already in it report the same request.
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

struct SignalWatcher::Saved {
  int readEnd = -1;
  int writeEnd = -1;
  std::vector<std::pair<int, struct sigaction>> actions;
};

SignalWatcher::SignalWatcher(std::initializer_list<int> numbers, QObject* parent)
    : QObject(parent), saved_(std::make_unique<Saved>()) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  saved_->readEnd = ends[0];
  saved_->writeEnd = ends[1];
  writeEnd.store(ends[1]);
  notifier_ = std::make_unique<QSocketNotifier>(ends[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Slow system calls go on after the handler; the work stops where the program looks.
  action.sa_flags = SA_RESTART;
  for (const int number : numbers) {
    struct sigaction old {};
    if (::sigaction(number, &action, &old) == 0) saved_->actions.emplace_back(number, old);
  }
}

SignalWatcher::~SignalWatcher() {
  for (const auto& [number, old] : saved_->actions) ::sigaction(number, &old, nullptr);
  writeEnd.store(-1);
  notifier_.reset();
  ::close(saved_->readEnd);
  ::close(saved_->writeEnd);
}

void SignalWatcher::Drain() {
  unsigned char numbers[64];
  for (;;) {
    const ssize_t n = ::read(saved_->readEnd, numbers, sizeof numbers);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) emit Received(numbers[i]);
  }
}

}  // namespace merolune
